// Classification, header decoding, the start values and the section rule,
// over bytes made here and over the committed files made by the cross tools.
#include "ExecutableFormat.h"
#include "ExeFiles.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

struct ClassifyCase {
    const char* label;
    QByteArray first;
    ExecutableFormat expected;
};

TEST(ExecutableFormat, ClassifiesByTheFirstBytesInTestOrder) {
    using F = ExecutableFormat;
    const ClassifyCase cases[] = {
        {"S-record", "S00F000068656C6C6F", F::SFormat},
        {"S and digit, short file", "S1", F::SFormat},
        {"S9", "S9030000FC\n", F::SFormat},
        {"S alone", "S", F::NotExecutable},
        {"S and letter", "SX000000", F::NotExecutable},
        {"lower-case s", "s1000000", F::NotExecutable},
        {"PS-X EXE", "PS-X EXE", F::PsExe},
        {"PS-X EXE and more", QByteArray("PS-X EXE") + QByteArray(2040, '\0'), F::PsExe},
        {"seven magic bytes only", "PS-X EX", F::NotExecutable},
        {"last magic byte differs", "PS-X EXF", F::NotExecutable},
        {"NUL instead of last byte", QByteArray("PS-X EX\0", 8), F::NotExecutable},
        {"lower case", "ps-x exe", F::NotExecutable},
        {"A-OUT magic", bytes({0x62, 0x01, 0x04, 0x00, 0, 0, 0, 0}), F::AOut},
        {"A-OUT magic, two-byte file", bytes({0x62, 0x01}), F::AOut},
        {"A-OUT magic then text", QByteArray("\x62\x01PS-X EXE"), F::AOut},
        {"magic bytes swapped", bytes({0x01, 0x62, 0, 0, 0, 0, 0, 0}), F::NotExecutable},
        {"0x62 alone", bytes({0x62}), F::NotExecutable},
        {"ELF",
         "\x7f"
         "ELF\x01\x01\x01\x00",
         F::NotExecutable},
        {"empty file", "", F::NotExecutable},
    };
    QTemporaryDir dir;
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(classifyExecutableBytes(c.first), c.expected);
        // The file variant reads at most 8 bytes and must agree.
        const QString path = writeFile(dir, QStringLiteral("f%1").arg(index++), c.first);
        EXPECT_EQ(classifyExecutable(path), c.expected);
    }
    EXPECT_EQ(classifyExecutable(dir.filePath("missing")), F::NotExecutable);
    EXPECT_EQ(classifyExecutable(dir.path()), F::NotExecutable);
}

TEST(ExecutableFormat, PsExeHeaderFieldsAreLeastSignificantByteFirst) {
    QByteArray header = makePsExe({.pc = 0x80012345,
                                   .gp = 0x8001f000,
                                   .address = 0x80010000,
                                   .size = 0x00123456,
                                   .stackBase = 0x801ff000,
                                   .stackSize = 0x1000});
    const auto h = decodePsExeHeader(QByteArrayView(header).first(136));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->initialPc, 0x80012345u);
    EXPECT_EQ(h->initialGp, 0x8001f000u);
    EXPECT_EQ(h->textAddress, 0x80010000u);
    EXPECT_EQ(h->textSize, 0x00123456u);
    EXPECT_EQ(h->startSp(), 0x80200000u);
    EXPECT_FALSE(decodePsExeHeader(QByteArrayView(header).first(135)));
}

TEST(ExecutableFormat, StartStackPointer) {
    struct Case {
        quint32 base, size, sp;
    };
    const Case cases[] = {
        {0, 0, DefaultStackPointer},
        {0x801ff000, 0x1000, 0x80200000},
        {0x801fff00, 0, 0x801fff00},
        {0, 0x801ffe00, 0x801ffe00},
        {0xfffff000, 0x1000, DefaultStackPointer}, // the sum wraps to 0
        {0xfffff000, 0x2000, 0x1000},              // wraps, but not to 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        const auto h = decodePsExeHeader(makePsExe({.stackBase = c.base, .stackSize = c.size}));
        ASSERT_TRUE(h);
        EXPECT_EQ(h->startSp(), c.sp);
    }
}

QByteArray sectionRecord(const QByteArray& name8, quint32 flags) {
    QByteArray record(40, '\0');
    record.replace(0, name8.size(), name8);
    putLe32(record, 8, 0x80010000);
    putLe32(record, 12, 0x00400000);
    putLe32(record, 16, 0x10);
    putLe32(record, 20, 0x200);
    putLe32(record, 36, flags);
    return record;
}

TEST(ExecutableFormat, SectionSelectionNeedsFlagAndExactName) {
    struct Case {
        const char* label;
        QByteArray name8;
        quint32 flags;
        bool selected;
    };
    const Case cases[] = {
        {".text code", ".text", 0x20, true},
        {".rdata read-only", ".rdata", 0x100, true},
        {".data", ".data", 0x40, true},
        {".sdata small data", ".sdata", 0x200, true},
        {"any shared bit is enough", ".data", 0x60, true},
        {"all bits", ".text", 0xffffffff, true},
        {"bytes after the NUL do not count", QByteArray(".text\0zz", 8), 0x20, true},
        {".text without its flag", ".text", 0x40, false},
        {".sdata flagged as data", ".sdata", 0x40, false},
        {".rodata flagged as data", ".rodata", 0x40, false},
        {".rodata with the rdata flag", ".rodata", 0x100, false},
        {"upper case", ".TEXT", 0x20, false},
        {"letter case only", ".Text", 0x20, false},
        {"trailing characters", ".text1", 0x20, false},
        {"eight characters, no NUL", ".textxyz", 0x20, false},
        {"leading blank", " .text", 0x20, false},
        {".bss", ".bss", 0x80, false},
        {".sbss", ".sbss", 0x400, false},
        {"empty name", "", 0x20, false},
        {"no flags", ".text", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto section = decodeAOutSectionHeader(sectionRecord(c.name8, c.flags));
        ASSERT_TRUE(section);
        EXPECT_EQ(isSectionSelected(*section), c.selected);
    }
}

TEST(ExecutableFormat, SectionRecordUsesPhysicalAddress) {
    const auto s = decodeAOutSectionHeader(sectionRecord(".textxyz", 0x20));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->name, ".textxyz");
    EXPECT_EQ(s->physicalAddress, 0x80010000u);
    EXPECT_EQ(s->virtualAddress, 0x00400000u);
    EXPECT_EQ(s->size, 0x10u);
    EXPECT_EQ(s->rawDataOffset, 0x200u);
    EXPECT_FALSE(decodeAOutSectionHeader(QByteArray(39, '\0')));
}

// Every check in file order, over the leading bytes of a file.
TEST(ExecutableFormat, AOutHeaderChecks) {
    const AOutContents good{.entry = 0x80010040,
                            .gp = 0x80018000,
                            .sections = {{.name = ".text", .flags = 0x20, .data = pattern(16)}}};
    const QByteArray file = makeAOut(good);
    AOutContents inconsistent = good;
    inconsistent.optionalHeaderSize = 72;
    AOutContents notExecutable = good;
    notExecutable.flags = 0x0105;
    AOutContents manySections = good;
    manySections.sectionCount = 65535;

    struct Case {
        const char* label;
        QByteArray bytes;
        std::optional<HeaderError> error;
    };
    const Case cases[] = {
        {"complete", file, std::nullopt},
        {"19 bytes", file.left(19), HeaderError::AOutFileHeaderRead},
        {"optional header size 72", makeAOut(inconsistent), HeaderError::AOutInconsistent},
        {"executable flag clear", makeAOut(notExecutable), HeaderError::AOutNotExecutable},
        {"short optional header", file.left(75), HeaderError::AOutOptionalHeaderRead},
        {"one byte of table missing", file.left(115), HeaderError::AOutSectionsRead},
        {"65535 sections announced", makeAOut(manySections), HeaderError::AOutSectionsRead},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        AOutHeaders headers;
        EXPECT_EQ(decodeAOutHeaders(c.bytes, headers), c.error);
    }

    AOutHeaders headers;
    ASSERT_EQ(decodeAOutHeaders(file, headers), std::nullopt);
    EXPECT_EQ(headers.optional.entryPoint, 0x80010040u);
    EXPECT_EQ(headers.optional.gpValue, 0x80018000u);
    ASSERT_EQ(headers.sections.count(), 1);
    EXPECT_EQ(headers.sections.at(0).rawDataOffset, 116u);

    // Zero sections pass: nothing to allocate, nothing to read.
    AOutHeaders empty;
    EXPECT_EQ(decodeAOutHeaders(makeAOut({}), empty), std::nullopt);
    EXPECT_EQ(empty.sections.count(), 0);

    // Memory for the table is asked for once, at its full size.
    std::vector<std::size_t> asked;
    const auto noMemory = [&](std::size_t n) {
        asked.push_back(n);
        return std::unique_ptr<char[]>();
    };
    qsizetype position = 0;
    const ByteReader fromFile = [&](char* buffer, qint64 size) {
        const qint64 n = qMin<qint64>(size, file.size() - position);
        std::copy_n(file.constData() + position, n, buffer);
        position += n;
        return n;
    };
    AOutHeaders unused;
    EXPECT_EQ(readAOutHeaders(fromFile, unused, noMemory), HeaderError::AOutNoMemory);
    EXPECT_EQ(asked, std::vector<std::size_t>{40});
}

TEST(ExecutableFormat, HeaderErrorTexts) {
    const std::pair<HeaderError, const char*> texts[] = {
        {HeaderError::PsExeRead, " header read error. Download aborted.\r"},
        {HeaderError::PsExeSkip, " error skipping header. Download aborted.\r"},
        {HeaderError::AOutFileHeaderRead, "\t\tError! The file header could not be read\r"},
        {HeaderError::AOutInconsistent,
         "\t\tError! The file header and optional headers are not consistant\r"},
        {HeaderError::AOutNotExecutable, "\t\tError! file is not an executable.\r"},
        {HeaderError::AOutOptionalHeaderRead, "\t\tError! The option header could not be read.\r"},
        {HeaderError::AOutNoMemory, "\t\tError! Cannot allocate memory for Header Table.\r"},
        {HeaderError::AOutSectionsRead, "\t\tError! File section headers ccould not be read\r"},
    };
    for (const auto& [error, text] : texts)
        EXPECT_EQ(headerErrorText(error), text);
}

// The committed files come from the MIPS cross tools (make-fixtures.sh).
TEST(ExecutableFormat, RealToolOutput) {
    struct Case {
        const char* file;
        quint32 gp;
        QList<QByteArray> names;
        QList<QByteArray> selected;
    };
    const Case cases[] = {
        {"hello.ecoff",
         0x80019120,
         {".text", ".rdata", ".data", ".bss"},
         {".text", ".rdata", ".data"}},
        {"hello-sdata.ecoff",
         0,
         {".text", ".rdata", ".data", ".sdata", ".sbss", ".bss"},
         {".text", ".rdata", ".data", ".sdata"}},
        {"hello-rodata.ecoff",
         0x80019120,
         {".text", ".rodata", ".data", ".bss"},
         {".text", ".data"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = fixturePath(c.file);
        ASSERT_EQ(classifyExecutable(path), ExecutableFormat::AOut);
        AOutHeaders headers;
        ASSERT_EQ(decodeAOutHeaders(readWhole(path), headers), std::nullopt);
        EXPECT_EQ(headers.file.optionalHeaderSize, 56);
        EXPECT_EQ(headers.optional.entryPoint, 0x8001003cu);
        EXPECT_EQ(headers.optional.gpValue, c.gp);
        QList<QByteArray> names, selected;
        for (int i = 0; i < headers.sections.count(); ++i) {
            const AOutSectionHeader s = headers.sections.at(i);
            names += s.name;
            if (isSectionSelected(s)) selected += s.name;
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(selected, c.selected);
        EXPECT_EQ(headers.sections.at(0).physicalAddress, 0x80010000u);
    }

    const QString exe = fixturePath("hello.exe");
    ASSERT_EQ(classifyExecutable(exe), ExecutableFormat::PsExe);
    const auto h = decodePsExeHeader(readWhole(exe).left(136));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->initialPc, 0x8001003cu);
    EXPECT_EQ(h->initialGp, 0x80019110u);
    EXPECT_EQ(h->textAddress, 0x80010000u);
    EXPECT_EQ(h->textSize, 0x1800u);
    EXPECT_EQ(h->startSp(), 0x801ff000u);
    EXPECT_EQ(classifyExecutable(fixturePath("hello.c")), ExecutableFormat::NotExecutable);
}

// Cut and corrupted copies of a real file: the decoder reads only what it is
// given and says which check failed, whatever the bytes claim.
TEST(ExecutableFormat, HostileHeaderBytes) {
    const QByteArray real = readWhole(fixturePath("hello-sdata.ecoff"));
    QByteArray bytes;
    quint32 state = 12345;
    const auto next = [&] { return state = state * 1103515245u + 12345u; };
    for (int round = 0; round < 3000; ++round) {
        bytes = real.left(static_cast<qsizetype>(next() % 400));
        for (int flips = next() % 4; flips > 0 && !bytes.isEmpty(); --flips)
            bytes[static_cast<qsizetype>(next() % bytes.size())] = static_cast<char>(next() >> 16);
        AOutHeaders headers;
        const auto error = decodeAOutHeaders(bytes, headers);
        if (bytes.size() < 20) {
            EXPECT_EQ(error, HeaderError::AOutFileHeaderRead);
            continue;
        }
        const auto file = decodeAOutFileHeader(bytes);
        const qsizetype needed = 76 + 40 * qsizetype(file->sectionCount);
        if (!error) {
            ASSERT_GE(bytes.size(), needed);
            ASSERT_EQ(headers.sections.count(), file->sectionCount);
            for (int i = 0; i < headers.sections.count(); ++i)
                EXPECT_EQ(headers.sections.at(i).name.size() <= 8, true);
        } else if (*error == HeaderError::AOutSectionsRead) {
            EXPECT_LT(bytes.size(), needed);
        }
        classifyExecutableBytes(bytes.left(8));
        decodePsExeHeader(bytes);
    }
}

} // namespace
