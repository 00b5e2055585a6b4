#pragma once
// The console's executable formats: classification by the first bytes, and
// the header records of PS-X EXE and A-OUT (MIPS little-endian COFF) files.
//
// Header decoding reads every field byte by byte, least significant first, so
// it works the same on any host and can be run over arbitrary bytes (tests,
// fuzzing) without a file.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

namespace kestrel {

enum class ExecutableFormat { NotExecutable, SFormat, PsExe, AOut };

// Classifies the first bytes of a file (fewer than 8 when the file is shorter).
// Only the bytes present are tested: "S1" is SFormat and the two bytes 62 01
// are AOut, while PsExe needs all eight magic bytes.
ExecutableFormat classifyExecutableBytes(QByteArrayView firstBytes);
// Opens the file read-only, reads its first 8 bytes and classifies them; a
// file that cannot be opened is NotExecutable.
ExecutableFormat classifyExecutable(const QString& path);

// The start SP of every A-OUT program, and of a PS-X EXE that names no stack.
inline constexpr quint32 DefaultStackPointer = 0x801ffff0;

// --- PS-X EXE --------------------------------------------------------------

inline constexpr int PsExeHeaderSize = 136;
// The image follows the 2048-byte header.
inline constexpr qint64 PsExeImageOffset = 2048;

struct PsExeHeader {
    quint32 initialPc = 0;
    quint32 initialGp = 0;
    quint32 textAddress = 0;
    quint32 textSize = 0;
    quint32 stackBase = 0;
    quint32 stackSize = 0;

    // stack base + stack size (mod 2^32), or DefaultStackPointer when that is 0.
    quint32 startSp() const;
};

// The fields of the first 136 bytes; nullopt when fewer are given.
std::optional<PsExeHeader> decodePsExeHeader(QByteArrayView bytes);

// --- A-OUT -----------------------------------------------------------------

inline constexpr int AOutFileHeaderSize = 20;
inline constexpr int AOutOptionalHeaderSize = 56;
inline constexpr int AOutSectionHeaderSize = 40;
inline constexpr quint16 AOutExecutableFlag = 0x0002;

struct AOutFileHeader {
    quint16 magic = 0;
    quint16 sectionCount = 0;
    quint32 timeStamp = 0;
    quint32 symbolTableOffset = 0;
    quint32 symbolCount = 0;
    quint16 optionalHeaderSize = 0;
    quint16 flags = 0;
};

struct AOutOptionalHeader {
    quint16 magic = 0;
    quint16 versionStamp = 0;
    quint32 textSize = 0;
    quint32 dataSize = 0;
    quint32 bssSize = 0;
    quint32 entryPoint = 0;
    quint32 textStart = 0;
    quint32 dataStart = 0;
    quint32 bssStart = 0;
    quint32 gprMask = 0;
    std::array<quint32, 4> cprMask{};
    quint32 gpValue = 0;
};

struct AOutSectionHeader {
    QByteArray name; // up to the first NUL, at most 8 bytes
    quint32 physicalAddress = 0;
    quint32 virtualAddress = 0;
    quint32 size = 0;
    quint32 rawDataOffset = 0;
    quint32 relocationOffset = 0;
    quint32 lineNumberOffset = 0;
    quint16 relocationCount = 0;
    quint16 lineNumberCount = 0;
    quint32 flags = 0;
};

// Exactly AOutFileHeaderSize, AOutOptionalHeaderSize or AOutSectionHeaderSize
// bytes are decoded; nullopt when fewer are given.
std::optional<AOutFileHeader> decodeAOutFileHeader(QByteArrayView bytes);
std::optional<AOutOptionalHeader> decodeAOutOptionalHeader(QByteArrayView bytes);
std::optional<AOutSectionHeader> decodeAOutSectionHeader(QByteArrayView bytes);

// The section header table as read from the file: one block of count x 40
// bytes (up to 65535 records, about 2.6 MB), decoded a record at a time.
class AOutSectionTable {
public:
    AOutSectionTable() = default;
    AOutSectionTable(std::unique_ptr<char[]> raw, int count)
        : raw_(std::move(raw)), count_(count) {}
    int count() const { return count_; }
    AOutSectionHeader at(int index) const;

private:
    std::unique_ptr<char[]> raw_;
    int count_ = 0;
};

struct AOutHeaders {
    AOutFileHeader file;
    AOutOptionalHeader optional;
    AOutSectionTable sections;
};

// The sections a download sends: a section is selected when one row has a
// flag bit in common with the section's flags and exactly its name.
struct SectionSendRow {
    quint32 flagMask;
    const char* name;
};
inline constexpr std::array<SectionSendRow, 4> SectionSendTable{{
    {0x0020, ".text"},
    {0x0100, ".rdata"},
    {0x0040, ".data"},
    {0x0200, ".sdata"},
}};
bool isSectionSelected(const AOutSectionHeader& section);

// --- header errors ---------------------------------------------------------

enum class HeaderError {
    PsExeRead,              // fewer than 136 header bytes
    PsExeSkip,              // the seek to the image failed
    AOutFileHeaderRead,     // fewer than 20 bytes of file header
    AOutInconsistent,       // optional header size is not 56
    AOutNotExecutable,      // executable flag clear
    AOutOptionalHeaderRead, // fewer than 56 bytes of optional header
    AOutNoMemory,           // the section header table cannot be allocated
    AOutSectionsRead,       // fewer than count x 40 bytes of section headers
};

// The terminal line the download shows for the error.
QByteArray headerErrorText(HeaderError error);

// Reads up to `size` bytes at the current position: the count, 0 at the end
// of the data, -1 on an error.
using ByteReader = std::function<qint64(char* buffer, qint64 size)>;
// Allocates the section header table; nullptr when memory is short.
using SectionTableAllocator = std::function<std::unique_ptr<char[]>(std::size_t bytes)>;
std::unique_ptr<char[]> allocateSectionTable(std::size_t bytes);

// Reads and checks the A-OUT headers in file order: file header, its optional
// header size and executable flag, the optional header, the section table.
// Returns the first check that failed; `out` is complete only without one.
std::optional<HeaderError>
readAOutHeaders(const ByteReader& read, AOutHeaders& out,
                const SectionTableAllocator& allocate = allocateSectionTable);
// The same over the leading bytes of a file held in memory.
std::optional<HeaderError> decodeAOutHeaders(QByteArrayView bytes, AOutHeaders& out);

} // namespace kestrel
