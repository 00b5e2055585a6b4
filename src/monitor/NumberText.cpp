#include "NumberText.h"

#include <cctype>
#include <limits>

namespace kestrel {

namespace {
bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

quint32 parseHex32(const QByteArray& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // "0x" counts as a prefix only when a hexadecimal digit follows it;
    // otherwise the 0 alone is the number.
    if (i + 2 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        hexValue(text[i + 2]) >= 0)
        i += 2;
    quint64 value = 0;
    bool overflow = false;
    for (; i < n && hexValue(text[i]) >= 0; ++i) {
        value = value * 16 + static_cast<quint64>(hexValue(text[i]));
        if (value > 0xFFFFFFFFull) overflow = true, value = 0xFFFFFFFFull;
    }
    if (overflow) return 0xFFFFFFFFu;
    // strtoul negates a signed input in unsigned arithmetic.
    return negative ? static_cast<quint32>(0u - static_cast<quint32>(value))
                    : static_cast<quint32>(value);
}

qint32 parseDecimal32(const QByteArray& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    qint64 value = 0;
    const qint64 limit = negative ? -qint64(std::numeric_limits<qint32>::min())
                                  : qint64(std::numeric_limits<qint32>::max());
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) value = limit;
    }
    return static_cast<qint32>(negative ? -value : value);
}

} // namespace kestrel
