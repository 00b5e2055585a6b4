// The executable downloads against a scripted monitor on the test clock: the
// exact bytes on the line, the terminal lines, panes and pauses, and every
// way a download ends early.
#include "ExecutableDownload.h"
#include "ExeFiles.h"
#include "MonitorLink.h"
#include "ScriptedMonitor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

QByteArray be32(quint32 v) {
    QByteArray out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>(v >> shift);
    return out;
}

QByteArray loadHeader(quint32 address, quint32 size) {
    return QByteArray(1, '\x01') + be32(address) + be32(size);
}

QByteArray frame(const QByteArray& data) {
    QByteArray block = data.left(2048);
    block += QByteArray(2048 - block.size(), ' ');
    quint8 sum = 0;
    for (char c : block)
        sum = static_cast<quint8>(sum + static_cast<quint8>(c));
    return QByteArray(1, '\x02') + block + QByteArray(1, static_cast<char>(sum));
}

QByteArray registerCommands(const char* pc, const char* gp, const char* sp) {
    return QByteArray("sr epc ") + pc + "\rsr gp " + gp + "\rsr sp " + sp + "\r";
}

const QByteArray End("\x03");

enum class Registers { Set, NotSet };

// A PS-X EXE loaded at 0x80010000 with PC 0x80010000, GP 0 and no stack, whose
// frames carried `sent`; the register commands follow only a download that
// completed.
QByteArray psExeWire(quint32 size, const QByteArray& sent, Registers registers = Registers::Set) {
    QByteArray wire = "bwr\r" + loadHeader(0x80010000, size);
    for (qsizetype at = 0; at < sent.size(); at += 2048)
        wire += frame(sent.mid(at, 2048));
    wire += End;
    if (registers == Registers::Set) wire += registerCommands("80010000", "0", "801ffff0");
    return wire;
}
const QByteArray Aborted("\r*** CURRENT FILE TRANSFER ABORTED ***\r");

class Download : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // As the load command leaves things: busy held, receive events off.
        busy.emplace(link, TransferHold::Kind::Busy);
        port.setRThreshold(0);
    }

    QString file(const QByteArray& bytes) {
        return writeFile(dir, QStringLiteral("prog%1").arg(++files), bytes);
    }
    QByteArray line(const QString& path, const char* rest) { return path.toLocal8Bit() + rest; }
    // Presses Stop once, as soon as `frames` frames have been acknowledged.
    void stopAfterFrames(int frames) {
        host.onPump = [this, frames] {
            if (monitor.frames == frames && !link.isAborting()) link.stopTransfer();
        };
    }
    bool sentRegisters() const { return monitor.typed.contains("sr "); }

    TestClock clock{true};
    RecorderHost host{clock};
    FakeSerialPort port{clock};
    MonitorLink link{port, host};
    std::optional<TransferHold> busy;
    ScriptedMonitor monitor{port};
    QTemporaryDir dir;
    int files = 0;
};

TEST_F(Download, PsExeTwoFramesWithPanesAndRegisters) {
    const QByteArray image = pattern(0x1000);
    const QString path = file(makePsExe({.pc = 0x80010000, .gp = 0, .image = image}));
    QList<bool> suppressedWhileSending;
    qsizetype linesWhenTheLastCommandWent = -1;
    monitor.afterWrite = [&](const QByteArray&) {
        suppressedWhileSending += link.displaySuppressed();
        if (monitor.typed.endsWith("sr sp 801ffff0\r"))
            linesWhenTheLastCommandWent = host.appended.size();
    };

    EXPECT_EQ(downloadPsExe(link, path), TransferOutcome::Completed);

    EXPECT_EQ(port.wire(), psExeWire(0x1000, image));
    EXPECT_EQ(host.appended,
              (QList<QByteArray>{line(path, "  address:80010000-80010fff size:001000  \r"),
                                 "Registers set:  PC-80010000, GP-00000000, SP-801ffff0"}));
    // The registers line waits for the monitor's echo of the last command.
    EXPECT_EQ(linesWhenTheLastCommandWent, 1);
    EXPECT_EQ(port.inBufferCount(), 0) << "the echo is taken, not left for the terminal";
    EXPECT_EQ(host.fieldHistory[FieldCounter],
              (QStringList{"000000 Bytes of 001000 sent.", "000800 Bytes of 001000 sent.", ""}));
    EXPECT_EQ(host.progressPositions, (QList<int>{0, 0, 500, 0}));
    EXPECT_EQ(host.progressUpper, 1000);
    EXPECT_TRUE(host.messages.isEmpty());
    ASSERT_EQ(monitor.conversations.size(), 1);
    EXPECT_EQ(monitor.conversations[0].memory, image);
    EXPECT_TRUE(monitor.conversations[0].closed);
    EXPECT_FALSE(suppressedWhileSending.contains(false));
    EXPECT_FALSE(link.displaySuppressed()) << "the echo is hidden only while the download runs";
}

// Header only, whole or cut anywhere after its 136 used bytes: seeking past
// the end of the file is no error.
TEST_F(Download, PsExeOfTextSizeZeroSendsNoFrame) {
    for (int length : {2048, 136}) {
        SCOPED_TRACE(length);
        port.writes.clear();
        host.fieldHistory.clear();
        const QString path = file(makePsExe({.pc = 0x80010000, .image = {}}).left(length));
        EXPECT_EQ(downloadPsExe(link, path), TransferOutcome::Completed);
        EXPECT_EQ(port.wire(), psExeWire(0, {}));
        for (const QString& text : host.fieldHistory[FieldCounter])
            EXPECT_EQ(text, "");
        EXPECT_EQ(host.appended.first(), line(path, "  address:80010000-8000ffff size:000000  \r"));
        host.appended.clear();
    }
}

TEST_F(Download, RegisterCommandsAreTypedOneByteEachAndTheirEchoDropped) {
    QList<bool> suppressedWhileSending;
    monitor.afterWrite = [&](const QByteArray&) {
        suppressedWhileSending += link.displaySuppressed();
    };
    port.deliver("stale>>");

    setStartRegister(link, StartRegister::Epc, 0x80010000);
    setStartRegister(link, StartRegister::Gp, 0);
    setStartRegister(link, StartRegister::Sp, 0x801ffff0);

    EXPECT_EQ(port.wire(), registerCommands("80010000", "0", "801ffff0"));
    EXPECT_EQ(port.writes.size(), port.wire().size());
    // Whatever was waiting, and each command's echo, is gone before the next.
    EXPECT_EQ(monitor.waitingAtLineStart, (QList<int>{7, 0, 0}));
    EXPECT_EQ(port.inBufferCount(), 0);
    EXPECT_FALSE(suppressedWhileSending.contains(false));
    EXPECT_FALSE(link.displaySuppressed());
    EXPECT_TRUE(host.appended.isEmpty());
}

// The registers line tells the user the console has its start registers, so
// it waits for the monitor's echo of the last command: a device that goes
// away during the commands, or a monitor that echoes nothing, fails the load
// with a message and no registers line.
TEST_F(Download, StartRegistersWithoutTheirEchoFailTheLoad) {
    struct Case {
        const char* label;
        bool psExe;
        bool deviceLost; // else the monitor stays silent once they start
    };
    const Case cases[] = {
        {"PS-X EXE, device lost", true, true},
        {"PS-X EXE, no echo", true, false},
        {"A-OUT, device lost", false, true},
        {"A-OUT, no echo", false, false},
    };
    const QString psExe = file(makePsExe({.pc = 0x80010000, .image = pattern(0x10)}));
    const QString aout = file(makeAOut({.entry = 0x80010000}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        port.setPortOpen(true);
        port.writes.clear();
        host.appended.clear();
        host.messages.clear();
        bool silent = false;
        ScriptedMonitor scripted{port};
        const auto monitorTakes = port.responder;
        port.responder = [&, monitorTakes](const QByteArray& written) {
            if (!silent) monitorTakes(written);
            if (!port.wire().endsWith("sr ")) return;
            if (!c.deviceLost)
                silent = true;
            else if (port.wire().contains("sr gp ")) // in the middle of the last one
                port.setPortOpen(false);
        };
        const QString path = c.psExe ? psExe : aout;

        EXPECT_EQ(c.psExe ? downloadPsExe(link, path) : downloadAOut(link, path),
                  TransferOutcome::Failed);

        EXPECT_EQ(host.messages,
                  QStringList{"ERROR: The monitor did not confirm the start registers!"});
        EXPECT_FALSE(host.rawTerminal().contains("Registers set"));
        EXPECT_FALSE(host.rawTerminal().contains("PC="));
        if (!c.deviceLost) {
            EXPECT_TRUE(port.wire().endsWith("sr sp 801ffff0\r"));
        }
        EXPECT_FALSE(link.displaySuppressed());
        port.responder = nullptr;
    }
}

TEST_F(Download, AOutSendsSelectedSectionsEachInItsOwnConversation) {
    const QByteArray text = pattern(0x900, 1), data = pattern(0x10, 2);
    const QByteArray bytes = makeAOut(
        {.entry = 0x80010040,
         .gp = 0x80018000,
         .sections = {{.name = ".text", .flags = 0x20, .address = 0x80010000, .data = text},
                      {.name = ".bss", .flags = 0x80, .address = 0x80011000, .size = 0x400},
                      {.name = ".data", .flags = 0x40, .address = 0x80012000, .data = data}}});
    const QString path = file(bytes);
    const qsizetype textAt = bytes.indexOf(text);
    QList<int> pausesAtEnd;
    monitor.afterWrite = [&](const QByteArray& w) {
        if (w == End) pausesAtEnd += static_cast<int>(host.sleeps.size());
    };
    link.requestAbort(); // a Stop pressed before the download does not count

    EXPECT_EQ(downloadAOut(link, path), TransferOutcome::Completed);

    // The second .text piece asks for 2048 bytes and so carries the .data
    // bytes that follow it in the file.
    EXPECT_EQ(port.wire(), "bwr\r" + loadHeader(0x80010000, 0x900) + frame(text) +
                               frame(bytes.mid(textAt + 2048)) + End + "bwr\r" +
                               loadHeader(0x80012000, 0x10) + frame(data) + End + End +
                               registerCommands("80010040", "80018000", "801ffff0"));
    EXPECT_EQ(host.appended,
              (QList<QByteArray>{line(path, " [ .text] address:80010000-800108ff size:000900\r"),
                                 line(path, " [ .data] address:80012000-8001200f size:000010\r"),
                                 "PC=80010040, GP=80018000, SP=801ffff0\r"}));
    EXPECT_EQ(host.sleeps, (QList<int>{1000, 1000}));
    EXPECT_EQ(pausesAtEnd, (QList<int>{0, 1, 2})); // each pause follows its section's 0x03
    EXPECT_EQ(host.fieldHistory[FieldTask],
              (QStringList{"Sending .text", "", "Sending .data", "", ""}));
    EXPECT_EQ(host.fields[FieldState], "Done.");
    EXPECT_EQ(host.fields[FieldCounter], "");
    EXPECT_EQ(host.title_, AOutDownloadTitle);
    EXPECT_EQ(host.title_, "Kestrel - by the Kestrel developers");
    ASSERT_EQ(monitor.conversations.size(), 2);
    EXPECT_EQ(monitor.conversations[0].memory, text);
    EXPECT_EQ(monitor.conversations[1].memory, data);
    EXPECT_EQ(monitor.closingEnds, 1);
    EXPECT_TRUE(host.messages.isEmpty());
}

TEST_F(Download, AOutWithoutSelectedSectionStillClosesAndSetsRegisters) {
    const QString path = file(makeAOut(
        {.entry = 0x80010000,
         .sections = {
             {.name = ".bss", .flags = 0x80, .size = 0x100},
             {.name = ".Text", .flags = 0x20, .address = 0x80010000, .data = pattern(8)}}}));
    EXPECT_EQ(downloadAOut(link, path), TransferOutcome::Completed);
    EXPECT_EQ(port.wire(), End + registerCommands("80010000", "0", "801ffff0"));
    EXPECT_EQ(host.appended, QList<QByteArray>{"PC=80010000, GP=00000000, SP=801ffff0\r"});
    EXPECT_EQ(host.title_, AOutDownloadTitle);
    EXPECT_TRUE(host.sleeps.isEmpty());
}

// A program only partly in memory must not be started: no registers after
// Stop, but the binary write is still closed.
TEST_F(Download, StopInPsExeClosesAndSetsNoRegisters) {
    const QByteArray image = pattern(0x1800);
    const QString path = file(makePsExe({.pc = 0x80010000, .image = image}));
    stopAfterFrames(1);

    EXPECT_EQ(downloadPsExe(link, path), TransferOutcome::Stopped);

    EXPECT_EQ(monitor.frames, 1);
    EXPECT_EQ(port.wire(), psExeWire(0x1800, image.left(2048), Registers::NotSet));
    EXPECT_FALSE(host.rawTerminal().contains("Registers set"));
    EXPECT_TRUE(host.appended.contains(Aborted));
    EXPECT_EQ(host.fieldHistory[FieldCounter], (QStringList{"000000 Bytes of 001800 sent.", ""}));
    EXPECT_EQ(host.progressPositions.last(), 0);
}

QByteArray twoSectionAOut(const QByteArray& text, const QByteArray& data) {
    return makeAOut(
        {.entry = 0x80010000,
         .sections = {{.name = ".text", .flags = 0x20, .address = 0x80010000, .data = text},
                      {.name = ".data", .flags = 0x40, .address = 0x80020000, .data = data}}});
}

TEST_F(Download, AOutStopEndsAfterCurrentSection) {
    const QString path = file(twoSectionAOut(pattern(0x1000), pattern(0x10, 2)));
    stopAfterFrames(1);
    EXPECT_EQ(downloadAOut(link, path), TransferOutcome::Stopped);

    ASSERT_EQ(monitor.conversations.size(), 1);
    EXPECT_EQ(monitor.conversations[0].frames, 1);
    EXPECT_TRUE(monitor.conversations[0].closed);
    EXPECT_EQ(monitor.closingEnds, 1);
    EXPECT_EQ(host.sleeps, QList<int>{1000});
    EXPECT_EQ(host.title_, AOutDownloadTitle);
    EXPECT_EQ(host.fields[FieldState], "Done.");
    EXPECT_TRUE(host.appended.contains(Aborted));
    EXPECT_FALSE(sentRegisters());
    EXPECT_FALSE(host.rawTerminal().contains("PC="));
}

TEST_F(Download, NoPromptPsExeStillClosesButSetsNoRegisters) {
    monitor.answerPrompts = false;
    const QString path = file(makePsExe({.pc = 0x80010000, .image = pattern(0x800)}));
    EXPECT_EQ(downloadPsExe(link, path), TransferOutcome::Failed);
    EXPECT_EQ(port.wire(), "bwr\r" + End);
    EXPECT_EQ(host.messages, QStringList{"ERROR: No Binary Write Prompt!"});
    EXPECT_EQ(host.appended,
              QList<QByteArray>{line(path, "  address:80010000-800107ff size:000800  \r")});
    EXPECT_TRUE(host.fieldHistory[FieldCounter].isEmpty());
}

TEST_F(Download, NoPromptAOutEndsAtOnce) {
    monitor.answerPrompts = false;
    const QString path = file(twoSectionAOut(pattern(0x800), pattern(0x10, 2)));
    EXPECT_EQ(downloadAOut(link, path), TransferOutcome::Failed);
    EXPECT_EQ(port.wire(), "bwr\r");
    EXPECT_EQ(host.messages, QStringList{"ERROR: No Binary Write Prompt!"});
    EXPECT_EQ(host.appended.last(), "ERROR: No binary write prompt received.");
    EXPECT_TRUE(host.title_.isEmpty());
    EXPECT_TRUE(host.sleeps.isEmpty());
}

TEST_F(Download, RefusedPieceInPsExeEndsTheImageLikeStop) {
    monitor.refusedFrames = {2};
    const QByteArray image = pattern(0x1800);
    const QString path = file(makePsExe({.pc = 0x80010000, .image = image}));

    EXPECT_EQ(downloadPsExe(link, path), TransferOutcome::Failed);

    EXPECT_EQ(monitor.frames, 2); // the third piece is not sent
    EXPECT_EQ(port.wire(), psExeWire(0x1800, image.left(4096), Registers::NotSet));
    EXPECT_FALSE(host.rawTerminal().contains("Registers set"));
    EXPECT_EQ(host.messages, QStringList{"Upload of data failed."});
    EXPECT_EQ(host.fieldHistory[FieldCounter],
              (QStringList{"000000 Bytes of 001800 sent.", "000800 Bytes of 001800 sent.", ""}));
}

TEST_F(Download, RefusedPieceInAOutEndsLikeStop) {
    monitor.refusedFrames = {1};
    const QString path = file(twoSectionAOut(pattern(0x1000), pattern(0x10, 2)));
    EXPECT_EQ(downloadAOut(link, path), TransferOutcome::Failed);
    EXPECT_EQ(host.messages, QStringList{"Upload of data failed."});
    ASSERT_EQ(monitor.conversations.size(), 1);
    EXPECT_EQ(monitor.conversations[0].frames, 1);
    EXPECT_TRUE(monitor.conversations[0].closed);
    EXPECT_EQ(monitor.closingEnds, 1);
    EXPECT_EQ(host.sleeps, QList<int>{1000});
    EXPECT_EQ(host.title_, AOutDownloadTitle);
    EXPECT_FALSE(sentRegisters());
}

TEST_F(Download, TruncatedPsExeEndsWithALineAndSetsNoRegisters) {
    const QByteArray image = pattern(0x900);
    const QString path = file(makePsExe({.pc = 0x80010000, .size = 0x1000, .image = image}));

    EXPECT_EQ(downloadPsExe(link, path), TransferOutcome::Failed);

    EXPECT_EQ(port.wire(), psExeWire(0x1000, image, Registers::NotSet));
    EXPECT_EQ(host.appended.last(),
              "\t\tError! The file ended early: 000900 of 001000 bytes sent.\r");
    EXPECT_TRUE(host.messages.isEmpty());
}

TEST_F(Download, HugeTextSizeEndsAtTheEndOfTheFile) {
    const QString path = file(makePsExe({.pc = 0x80010000, .size = 0xffffffff, .image = "tiny"}));
    EXPECT_EQ(downloadPsExe(link, path), TransferOutcome::Failed);
    EXPECT_EQ(monitor.frames, 1);
    EXPECT_EQ(host.appended[0], line(path, "  address:80010000-8000fffe size:ffffffff  \r"));
    EXPECT_TRUE(host.appended.contains(
        "\t\tError! The file ended early: 000004 of ffffffff bytes sent.\r"));
    EXPECT_FALSE(sentRegisters());
}

TEST_F(Download, AOutSectionPastTheEndOfTheFileEndsLikeStop) {
    const QString path = file(makeAOut(
        {.entry = 0x80010000,
         .sections = {
             {.name = ".text",
              .flags = 0x20,
              .address = 0x80010000,
              .size = 0x20,
              .rawOffset = 0x10000},
             {.name = ".data", .flags = 0x40, .address = 0x80020000, .data = pattern(4)}}}));

    EXPECT_EQ(downloadAOut(link, path), TransferOutcome::Failed);

    EXPECT_EQ(port.wire(), "bwr\r" + loadHeader(0x80010000, 0x20) + End + End);
    EXPECT_EQ(
        host.appended,
        (QList<QByteArray>{line(path, " [ .text] address:80010000-8001001f size:000020\r"),
                           "\t\tError! The file ended early: 000000 of 000020 bytes sent.\r"}));
    EXPECT_EQ(host.sleeps, QList<int>{1000});
    EXPECT_EQ(host.title_, AOutDownloadTitle);
}

// Every refusal before the first byte goes out: the message, nothing sent.
TEST_F(Download, HeaderErrorsSendNothing) {
    const QByteArray aout = twoSectionAOut(pattern(16), pattern(16, 2));
    QByteArray inconsistent = aout, notExecutable = aout, manySections = aout;
    putLe16(inconsistent, 16, 72);
    putLe16(notExecutable, 18, 0x0105);
    putLe16(manySections, 2, 65535);

    struct Case {
        const char* label;
        bool psExe;
        QByteArray bytes;
        QByteArray text;
    };
    const Case cases[] = {
        {"PS-X EXE header short", true, makePsExe({}).left(135),
         " header read error. Download aborted.\r"},
        {"A-OUT file header short", false, aout.left(19),
         "\t\tError! The file header could not be read\r"},
        {"optional header size 72", false, inconsistent,
         "\t\tError! The file header and optional headers are not consistant\r"},
        {"not executable", false, notExecutable, "\t\tError! file is not an executable.\r"},
        {"optional header short", false, aout.left(60),
         "\t\tError! The option header could not be read.\r"},
        {"65535 sections in a short file", false, manySections,
         "\t\tError! File section headers ccould not be read\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        host.appended.clear();
        const QString path = file(c.bytes);
        const TransferOutcome outcome =
            c.psExe ? downloadPsExe(link, path) : downloadAOut(link, path);
        EXPECT_EQ(outcome, TransferOutcome::NotStarted);
        EXPECT_EQ(host.appended, QList<QByteArray>{c.text});
    }

    host.appended.clear();
    const auto noMemory = [](std::size_t) { return std::unique_ptr<char[]>(); };
    EXPECT_EQ(downloadAOut(link, file(aout), noMemory), TransferOutcome::NotStarted);
    EXPECT_EQ(host.appended,
              QList<QByteArray>{"\t\tError! Cannot allocate memory for Header Table.\r"});

    for (bool psExe : {true, false}) {
        host.appended.clear();
        host.messages.clear();
        const QString missing = dir.filePath("missing.exe");
        EXPECT_EQ(psExe ? downloadPsExe(link, missing) : downloadAOut(link, missing),
                  TransferOutcome::NotStarted);
        EXPECT_EQ(host.messages, QStringList{"Can't open file " + missing +
                                             ", error = 2\n(No such file or directory)"});
        EXPECT_EQ(host.appended, QList<QByteArray>{"\t\t: Cannot open file for download.\r"});
    }
    EXPECT_TRUE(port.writes.isEmpty());
    EXPECT_TRUE(monitor.typed.isEmpty());
}

// A file that cannot seek (a pipe) fails the skip to the image.
TEST_F(Download, PsExeOnAPipeFailsTheHeaderSkip) {
    const QByteArray name = QFile::encodeName(dir.filePath("pipe"));
    ASSERT_EQ(::mkfifo(name.constData(), 0600), 0);
    // Holding both ends lets the download's read-only open return at once.
    const int writer = ::open(name.constData(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const QByteArray header = makePsExe({}).left(136);
    ASSERT_EQ(::write(writer, header.constData(), header.size()), header.size());

    EXPECT_EQ(downloadPsExe(link, QFile::decodeName(name)), TransferOutcome::NotStarted);
    ::close(writer);
    EXPECT_EQ(host.appended, QList<QByteArray>{" error skipping header. Download aborted.\r"});
    EXPECT_TRUE(port.writes.isEmpty());
}

// The committed files from the cross tools, through the scripted monitor.
TEST_F(Download, RealToolOutputArrivesWhereItsHeadersSay) {
    const QString aoutPath = fixturePath("hello-sdata.ecoff");
    const QByteArray aout = readWhole(aoutPath);
    EXPECT_EQ(downloadAOut(link, aoutPath), TransferOutcome::Completed);
    struct Expected {
        quint32 address, size, offset;
    };
    const Expected sections[] = {{0x80010000, 0xb0, 0x140},
                                 {0x800100b0, 0x1030, 0x1f0},
                                 {0x800110e0, 0x40, 0x1220},
                                 {0x80011120, 0x4, 0x1260}};
    ASSERT_EQ(monitor.conversations.size(), 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(monitor.conversations[i].address, sections[i].address);
        EXPECT_EQ(monitor.conversations[i].size, sections[i].size);
        EXPECT_EQ(monitor.conversations[i].memory, aout.mid(sections[i].offset, sections[i].size));
    }
    EXPECT_TRUE(host.appended.contains(
        line(aoutPath, " [.rdata] address:800100b0-800110df size:001030\r")));
    EXPECT_EQ(host.appended.last(), "PC=8001003c, GP=00000000, SP=801ffff0\r");
    EXPECT_EQ(host.sleeps.size(), 4);

    monitor.conversations.clear();
    const QString exePath = fixturePath("hello.exe");
    EXPECT_EQ(downloadPsExe(link, exePath), TransferOutcome::Completed);
    ASSERT_EQ(monitor.conversations.size(), 1);
    EXPECT_EQ(monitor.conversations[0].address, 0x80010000u);
    EXPECT_EQ(monitor.conversations[0].memory, readWhole(exePath).mid(2048));
    EXPECT_TRUE(monitor.typed.endsWith(registerCommands("8001003c", "80019110", "801ff000")));
}

} // namespace
