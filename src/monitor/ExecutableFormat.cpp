#include "ExecutableFormat.h"

#include "FileAccess.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kestrel {

namespace {

quint16 le16(QByteArrayView bytes, qsizetype offset) {
    return static_cast<quint16>(static_cast<quint8>(bytes[offset]) |
                                static_cast<quint8>(bytes[offset + 1]) << 8);
}

quint32 le32(QByteArrayView bytes, qsizetype offset) {
    return static_cast<quint32>(le16(bytes, offset)) | static_cast<quint32>(le16(bytes, offset + 2))
                                                           << 16;
}

// Reads until `size` bytes are in or the data ends; the count read.
qint64 readFully(const ByteReader& read, char* buffer, qint64 size) {
    qint64 total = 0;
    while (total < size) {
        const qint64 n = read(buffer + total, size - total);
        if (n <= 0) break;
        total += n;
    }
    return total;
}

} // namespace

ExecutableFormat classifyExecutableBytes(QByteArrayView bytes) {
    // A test that looks at a byte the file does not hold fails; bytes beyond
    // the ones a test looks at do not matter.
    const auto first = [&](qsizetype count) { return bytes.size() >= count; };
    if (first(2) && bytes[0] == 'S' && bytes[1] >= '0' && bytes[1] <= '9')
        return ExecutableFormat::SFormat;
    if (first(8) && bytes.first(8) == QByteArrayView("PS-X EXE")) return ExecutableFormat::PsExe;
    if (first(2) && static_cast<quint8>(bytes[0]) == 0x62 && static_cast<quint8>(bytes[1]) == 0x01)
        return ExecutableFormat::AOut;
    return ExecutableFormat::NotExecutable;
}

ExecutableFormat classifyExecutable(const QString& path) {
    ExclusiveFile file;
    if (file.open(path, ExclusiveFile::Mode::Read) != FileErrorCategory::None)
        return ExecutableFormat::NotExecutable;
    char first[8];
    const qint64 n = file.read(first, sizeof first);
    return classifyExecutableBytes(QByteArrayView(first, std::max<qint64>(n, 0)));
}

quint32 PsExeHeader::startSp() const {
    const quint32 sp = stackBase + stackSize;
    return sp == 0 ? DefaultStackPointer : sp;
}

std::optional<PsExeHeader> decodePsExeHeader(QByteArrayView bytes) {
    if (bytes.size() < PsExeHeaderSize) return std::nullopt;
    PsExeHeader h;
    h.initialPc = le32(bytes, 16);
    h.initialGp = le32(bytes, 20);
    h.textAddress = le32(bytes, 24);
    h.textSize = le32(bytes, 28);
    h.stackBase = le32(bytes, 48);
    h.stackSize = le32(bytes, 52);
    return h;
}

std::optional<AOutFileHeader> decodeAOutFileHeader(QByteArrayView bytes) {
    if (bytes.size() < AOutFileHeaderSize) return std::nullopt;
    AOutFileHeader h;
    h.magic = le16(bytes, 0);
    h.sectionCount = le16(bytes, 2);
    h.timeStamp = le32(bytes, 4);
    h.symbolTableOffset = le32(bytes, 8);
    h.symbolCount = le32(bytes, 12);
    h.optionalHeaderSize = le16(bytes, 16);
    h.flags = le16(bytes, 18);
    return h;
}

std::optional<AOutOptionalHeader> decodeAOutOptionalHeader(QByteArrayView bytes) {
    if (bytes.size() < AOutOptionalHeaderSize) return std::nullopt;
    AOutOptionalHeader h;
    h.magic = le16(bytes, 0);
    h.versionStamp = le16(bytes, 2);
    h.textSize = le32(bytes, 4);
    h.dataSize = le32(bytes, 8);
    h.bssSize = le32(bytes, 12);
    h.entryPoint = le32(bytes, 16);
    h.textStart = le32(bytes, 20);
    h.dataStart = le32(bytes, 24);
    h.bssStart = le32(bytes, 28);
    h.gprMask = le32(bytes, 32);
    for (int i = 0; i < 4; ++i)
        h.cprMask[i] = le32(bytes, 36 + 4 * i);
    h.gpValue = le32(bytes, 52);
    return h;
}

std::optional<AOutSectionHeader> decodeAOutSectionHeader(QByteArrayView bytes) {
    if (bytes.size() < AOutSectionHeaderSize) return std::nullopt;
    AOutSectionHeader h;
    const QByteArrayView name = bytes.first(8);
    const qsizetype nul = name.indexOf('\0');
    h.name = (nul < 0 ? name : name.first(nul)).toByteArray();
    h.physicalAddress = le32(bytes, 8);
    h.virtualAddress = le32(bytes, 12);
    h.size = le32(bytes, 16);
    h.rawDataOffset = le32(bytes, 20);
    h.relocationOffset = le32(bytes, 24);
    h.lineNumberOffset = le32(bytes, 28);
    h.relocationCount = le16(bytes, 32);
    h.lineNumberCount = le16(bytes, 34);
    h.flags = le32(bytes, 36);
    return h;
}

AOutSectionHeader AOutSectionTable::at(int index) const {
    Q_ASSERT(index >= 0 && index < count_);
    const QByteArrayView record(raw_.get() + static_cast<qsizetype>(index) * AOutSectionHeaderSize,
                                AOutSectionHeaderSize);
    return *decodeAOutSectionHeader(record);
}

bool isSectionSelected(const AOutSectionHeader& section) {
    return std::any_of(SectionSendTable.begin(), SectionSendTable.end(), [&](const auto& row) {
        return (row.flagMask & section.flags) != 0 && section.name == row.name;
    });
}

QByteArray headerErrorText(HeaderError error) {
    switch (error) {
    case HeaderError::PsExeRead:
        return " header read error. Download aborted.\r";
    case HeaderError::PsExeSkip:
        return " error skipping header. Download aborted.\r";
    case HeaderError::AOutFileHeaderRead:
        return "\t\tError! The file header could not be read\r";
    case HeaderError::AOutInconsistent:
        return "\t\tError! The file header and optional headers are not consistant\r";
    case HeaderError::AOutNotExecutable:
        return "\t\tError! file is not an executable.\r";
    case HeaderError::AOutOptionalHeaderRead:
        return "\t\tError! The option header could not be read.\r";
    case HeaderError::AOutNoMemory:
        return "\t\tError! Cannot allocate memory for Header Table.\r";
    case HeaderError::AOutSectionsRead:
        return "\t\tError! File section headers ccould not be read\r";
    }
    return {};
}

std::unique_ptr<char[]> allocateSectionTable(std::size_t bytes) {
    return std::unique_ptr<char[]>(new (std::nothrow) char[bytes]);
}

std::optional<HeaderError> readAOutHeaders(const ByteReader& read, AOutHeaders& out,
                                           const SectionTableAllocator& allocate) {
    char fileHeader[AOutFileHeaderSize];
    const qint64 gotFile = readFully(read, fileHeader, sizeof fileHeader);
    const auto file = decodeAOutFileHeader(QByteArrayView(fileHeader, gotFile));
    if (!file) return HeaderError::AOutFileHeaderRead;
    if (file->optionalHeaderSize != AOutOptionalHeaderSize) return HeaderError::AOutInconsistent;
    if ((file->flags & AOutExecutableFlag) == 0) return HeaderError::AOutNotExecutable;

    char optionalHeader[AOutOptionalHeaderSize];
    const qint64 gotOptional = readFully(read, optionalHeader, sizeof optionalHeader);
    const auto optional = decodeAOutOptionalHeader(QByteArrayView(optionalHeader, gotOptional));
    if (!optional) return HeaderError::AOutOptionalHeaderRead;

    const int count = file->sectionCount;
    const std::size_t tableBytes = static_cast<std::size_t>(count) * AOutSectionHeaderSize;
    std::unique_ptr<char[]> table;
    if (tableBytes > 0) {
        table = allocate(tableBytes);
        if (!table) return HeaderError::AOutNoMemory;
        if (readFully(read, table.get(), static_cast<qint64>(tableBytes)) !=
            static_cast<qint64>(tableBytes))
            return HeaderError::AOutSectionsRead;
    }

    out.file = *file;
    out.optional = *optional;
    out.sections = AOutSectionTable(std::move(table), count);
    return std::nullopt;
}

std::optional<HeaderError> decodeAOutHeaders(QByteArrayView bytes, AOutHeaders& out) {
    qsizetype position = 0;
    const ByteReader fromMemory = [&](char* buffer, qint64 size) -> qint64 {
        const qint64 n = std::min<qint64>(size, bytes.size() - position);
        if (n <= 0) return 0;
        std::memcpy(buffer, bytes.data() + position, static_cast<std::size_t>(n));
        position += n;
        return n;
    };
    return readAOutHeaders(fromMemory, out);
}

} // namespace kestrel
