#pragma once
// Conversions of numbers the user types, with the C library's lenient rules.
#include <QByteArray>
#include <QtGlobal>

namespace kestrel {

// Base 16 as strtoul does it: leading blanks skipped, an optional sign and
// 0x prefix, digits up to the first non-hexadecimal character, no digits give
// 0, a value above 0xFFFFFFFF gives 0xFFFFFFFF.
quint32 parseHex32(const QByteArray& text);

// Base 10 as atoi does it (leading blanks, optional sign, digits up to the
// first non-digit, none give 0), saturated to the range of a signed 32-bit int.
qint32 parseDecimal32(const QByteArray& text);

} // namespace kestrel
