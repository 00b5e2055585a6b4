#pragma once
// The console's executable formats: classification by the first bytes, and
// the header records of PS-X EXE and A-OUT (MIPS little-endian COFF) files.
#include <QByteArrayView>
#include <QString>

namespace kestrel {

enum class ExecutableFormat { NotExecutable, SFormat, PsExe, AOut };

// Classifies the first bytes of a file (fewer than 8 when the file is shorter).
ExecutableFormat classifyExecutableBytes(QByteArrayView firstBytes);
// Opens the file read-only, reads its first 8 bytes and classifies them; a
// file that cannot be opened is NotExecutable.
ExecutableFormat classifyExecutable(const QString& path);

} // namespace kestrel
