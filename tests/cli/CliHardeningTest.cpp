// kestrel-cli used as an adversary would: signals at every stage, closed
// descriptors, odd files and devices, junk arguments, hostile console bytes.
// Each case runs the real program against the simulator on a pseudo-terminal.
#include "Pty.h"
#include "Simulator.h"
#include "TestFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel::test;
using kestrel::sim::Pty;

namespace {

QString cliProgram() {
    return QStringLiteral(KESTREL_BINARY_DIR "/src/cli/kestrel-cli");
}
QString exeFixture() {
    return fixturePath(QStringLiteral("hello.exe"));
}

struct Outcome {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Outcome finish(QProcess& p, int msecs = 15000) {
    const bool ended = p.waitForFinished(msecs);
    EXPECT_TRUE(ended) << "still running after " << msecs << " ms";
    if (!ended) {
        p.kill();
        p.waitForFinished();
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

// Polls `ready` while the process runs; false if it never came.
template <typename Ready> bool waitFor(QProcess& p, Ready ready, int msecs = 8000) {
    QDeadlineTimer deadline(msecs);
    while (!deadline.hasExpired()) {
        if (ready()) return true;
        if (p.state() != QProcess::Running) return false;
        p.waitForReadyRead(50);
    }
    return false;
}

// For what the simulator records a moment after the program has ended.
template <typename Ready> bool eventually(Ready ready, int msecs = 3000) {
    QDeadlineTimer deadline(msecs);
    while (!ready()) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(20);
    }
    return true;
}

class Hardening : public ::testing::Test {
protected:
    QString write(const QString& name, const QByteArray& bytes) {
        return kestrel::test::writeTestFile(dir, name, bytes);
    }
    QByteArray read(const QString& name) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QStringList entries() { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }
    Outcome run(const QStringList& args, const QByteArray& input = {}) {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(cliProgram(), args);
        EXPECT_TRUE(p.waitForStarted());
        if (!input.isEmpty()) p.write(input);
        p.closeWriteChannel();
        return finish(p);
    }
    // For a command refused at start: well short of the usual allowance, so
    // one that hangs or runs away fails soon.
    Outcome runShort(const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(cliProgram(), args);
        EXPECT_TRUE(p.waitForStarted());
        p.closeWriteChannel();
        return finish(p, 5000);
    }
    // Runs through bash so descriptors can be closed or piped first.
    Outcome shell(const QString& script, const QStringList& args) {
        return run(QStringList{"-c", script, cliProgram()} + args, {}, QStringLiteral("bash"));
    }
    Outcome run(const QStringList& args, const QByteArray& input, const QString& program) {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(program, args);
        EXPECT_TRUE(p.waitForStarted());
        if (!input.isEmpty()) p.write(input);
        p.closeWriteChannel();
        return finish(p);
    }
    QTemporaryDir dir;
};

// --- a failed or stopped receive --------------------------------------------

TEST_F(Hardening, ReceiveWithoutThePromptLeavesTheFileAsItWas) {
    Simulator sim({"--garbage-prompt"});
    write("keep.bin", "precious");
    const Outcome r = run({"-q", "-p", sim.devicePath(), "receive", "keep.bin", "80100000", "10"});
    EXPECT_EQ(r.exitCode, 1) << r.err.data();
    EXPECT_EQ(read("keep.bin"), "precious");
    EXPECT_EQ(entries(), QStringList{"keep.bin"}) << "nothing arrived: no partial file";
}

TEST_F(Hardening, ReceiveThroughASymbolicLinkReplacesWhatItNames) {
    Simulator sim;
    write("block.bin", "linked block");
    ASSERT_EQ(run({"-q", "-p", sim.devicePath(), "dload", "block.bin", "80020000"}).exitCode, 0);
    write("real.bin", "old");
    ASSERT_TRUE(QFile::link(dir.filePath("real.bin"), dir.filePath("link.bin")));
    const Outcome r = run({"-q", "-p", sim.devicePath(), "receive", "link.bin", "80020000", "c"});
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
    EXPECT_EQ(read("real.bin"), "linked block");
    EXPECT_TRUE(QFileInfo(dir.filePath("link.bin")).isSymLink());
}

TEST_F(Hardening, ReceivedBytesGoToTheFileOnlyAndTheCountIsShown) {
    Simulator sim;
    const QByteArray block = QByteArray("title\x1b]2;PWNED\x07 end", 19);
    write("block.bin", block);
    ASSERT_EQ(run({"-q", "-p", sim.devicePath(), "dload", "block.bin", "80020000"}).exitCode, 0);
    write("back.bin", "old contents");
    const Outcome r = run({"-q", "-p", sim.devicePath(), "receive", "back.bin", "80020000", "13"});
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
    EXPECT_EQ(read("back.bin"), block);
    EXPECT_FALSE(r.out.contains("PWNED")) << r.out.data();
    EXPECT_TRUE(r.err.contains("19 bytes")) << r.err.data();
    EXPECT_EQ(entries(), (QStringList{"back.bin", "block.bin"}));
}

// --- signals at each stage ---------------------------------------------------

enum class Stage { Terminal, Sleep, Download, Receive };

struct SignalCase {
    const char* name;
    int signal;
    Stage stage;
    int exitCode;
};

class Signals : public Hardening, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(Signals, OneSignalEndsTheProgramAndStopsWhatRuns) {
    const SignalCase& c = GetParam();
    // 9600 baud: a 2 KiB frame takes two seconds on the line.
    Simulator sim({"--baud", "9600"});
    QStringList args{"-q", "-p", sim.devicePath()};
    write("data.bin", QByteArray(4 * 2048, 'd'));
    write("keep.bin", "precious");
    switch (c.stage) {
    case Stage::Terminal:
        args << "term";
        break;
    case Stage::Sleep:
        write("sleepy.sio",
              "local echo sleeping\rlocal sleep 99999999999\rlocal dload data.bin 80010000\r");
        args << "auto"
             << "sleepy.sio";
        break;
    case Stage::Download:
        args << "dload"
             << "data.bin"
             << "80010000";
        break;
    case Stage::Receive:
        args << "receive"
             << "keep.bin"
             << "80010000"
             << "4000";
        break;
    }
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(cliProgram(), args);
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out;
    auto stdoutHas = [&](const QByteArray& text) {
        return [&p, &out, text] {
            out += p.readAllStandardOutput();
            return out.contains(text);
        };
    };
    auto simSent = [&](qsizetype n) {
        return [&sim, n] { return sim.transcript().sent().size() > n; };
    };
    auto simReceived = [&](qsizetype n) {
        return [&sim, n] { return sim.transcript().received().size() > n; };
    };
    switch (c.stage) {
    case Stage::Terminal:
        p.write("ls\n");
        ASSERT_TRUE(waitFor(p, stdoutHas("ls")));
        break;
    case Stage::Sleep:
        ASSERT_TRUE(waitFor(p, stdoutHas("Going to sleep")));
        break;
    case Stage::Download:
        ASSERT_TRUE(waitFor(p, simReceived(600)));
        break;
    case Stage::Receive:
        ASSERT_TRUE(waitFor(p, simSent(600)));
        break;
    }
    ::kill(static_cast<pid_t>(p.processId()), c.signal);
    Outcome r = finish(p, 6000);
    r.out.prepend(out);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err.data();

    switch (c.stage) {
    case Stage::Terminal:
        break;
    case Stage::Sleep:
        EXPECT_EQ(sim.report().counter("binary-writes"), 0u) << "nothing after the sleep runs";
        break;
    case Stage::Download: {
        EXPECT_TRUE(r.out.contains("*** CURRENT FILE TRANSFER ABORTED ***")) << r.out.data();
        // The simulator takes the last bytes in at the line's pace.
        EXPECT_TRUE(eventually([&] { return sim.transcript().received().endsWith("\x03\r"); }))
            << "the ending still goes out";
        break;
    }
    case Stage::Receive: {
        EXPECT_EQ(read("keep.bin"), "precious");
        const QByteArray partial = read("keep.bin.partial");
        EXPECT_GT(partial.size(), 0);
        EXPECT_LT(partial.size(), 0x4000);
        EXPECT_TRUE(
            r.err.contains(QStringLiteral("%1 of 16384 bytes").arg(partial.size()).toUtf8()))
            << r.err.data();
        EXPECT_TRUE(r.err.contains("keep.bin.partial")) << r.err.data();
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Signals,
    ::testing::Values(SignalCase{"TermInTerminal", SIGTERM, Stage::Terminal, 128 + SIGTERM},
                      SignalCase{"HupInTerminal", SIGHUP, Stage::Terminal, 128 + SIGHUP},
                      SignalCase{"IntInSleep", SIGINT, Stage::Sleep, 1},
                      SignalCase{"TermInSleep", SIGTERM, Stage::Sleep, 1},
                      SignalCase{"TermInDownload", SIGTERM, Stage::Download, 1},
                      SignalCase{"HupInDownload", SIGHUP, Stage::Download, 1},
                      SignalCase{"IntInReceive", SIGINT, Stage::Receive, 1},
                      SignalCase{"TermInReceive", SIGTERM, Stage::Receive, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// --- closed descriptors ------------------------------------------------------

TEST_F(Hardening, ClosedStdoutDoesNotEndALoad) {
    // Paced, so the reader has long gone when "Registers set" is written.
    Simulator sim({"--baud", "38400"});
    write("hello.exe", [] {
        QFile f(exeFixture());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }());
    const Outcome r =
        shell(QStringLiteral("\"$0\" \"$@\" | head -c1 >/dev/null; exit ${PIPESTATUS[0]}"),
              {"-q", "-p", sim.devicePath(), "load", "hello.exe"});
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
    // The registers are set by the last lines, taken in at the line's pace.
    EXPECT_TRUE(eventually([&] { return sim.registers().at("epc") != 0; }));
    EXPECT_EQ(r.err.count("standard output"), 1) << r.err.data();
}

TEST_F(Hardening, TermWithStandardInputClosedEnds) {
    Simulator sim;
    const Outcome r =
        shell(QStringLiteral("exec \"$0\" \"$@\" <&-"), {"-p", sim.devicePath(), "term"});
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
}

// --- input only the command line checks ------------------------------------

struct FileCase {
    const char* name;
    QStringList command; // FIFO names a named pipe the test makes, EXE the executable fixture
};

class NotRegular : public Hardening, public ::testing::WithParamInterface<FileCase> {};

// READ_FIFO is the same pipe with a reader that never reads.
TEST_P(NotRegular, IsRefusedBeforeAnythingIsSent) {
    Simulator sim;
    const QByteArray fifo = QFile::encodeName(dir.filePath("fifo"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    QStringList args{"-q", "-p", sim.devicePath()};
    for (const QString& word : GetParam().command)
        args << (word == "FIFO" || word == "READ_FIFO" ? dir.filePath("fifo") : word);
    if (!GetParam().command.contains("READ_FIFO")) ::close(reader);
    // A pipe without a reader would hold the program for good.
    const Outcome r = runShort(args);
    if (GetParam().command.contains("READ_FIFO")) ::close(reader);
    EXPECT_EQ(r.exitCode, 2) << r.err.data();
    EXPECT_TRUE(r.err.contains("not a regular file")) << r.err.data();
    const QByteArray received = sim.transcript().received();
    EXPECT_FALSE(received.contains("bwr") || received.contains("brd")) << received.data();
}

INSTANTIATE_TEST_SUITE_P(
    Cli, NotRegular,
    ::testing::Values(
        FileCase{"ZeroDeviceForData", {"dload", "/dev/zero", "0"}},
        FileCase{"ZeroDeviceForLoad", {"load", "/dev/zero"}},
        FileCase{"NamedPipeForData", {"dload", "FIFO", "0"}},
        FileCase{"DirectoryForLoad", {"load", "/tmp"}},
        // A log is a regular file or a new one, for every command.
        FileCase{"NamedPipeAsLog", {"--log", "FIFO", "term"}},
        FileCase{"NamedPipeAsRawLog", {"--log-raw", "FIFO", "receive", "b", "0", "8"}},
        FileCase{"ReadPipeAsRawLog", {"--log-raw", "READ_FIFO", "receive", "b", "0", "8"}},
        FileCase{"ReadPipeAsLog", {"--log", "READ_FIFO", "--timestamps", "term"}},
        FileCase{"NullDeviceAsLog", {"--log", "/dev/null", "term"}},
        FileCase{"FullDeviceAsRawLog", {"--log-raw", "/dev/full", "term"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A log that is the command's own file would feed on itself: a watched auto
// file that logs into itself runs again for every line it logs. Refused
// whatever the spelling, before the port is opened; the file is left as it
// was. F is the command's file, LINK a symbolic link to it.
class LogOnItsOwnFile : public Hardening, public ::testing::WithParamInterface<FileCase> {};

TEST_P(LogOnItsOwnFile, IsRefused) {
    Simulator sim;
    const QByteArray contents = "local echo from the file\r\n";
    write("F", contents);
    ASSERT_TRUE(QFile::link(dir.filePath("F"), dir.filePath("LINK")));
    QStringList args{"-p", sim.devicePath()};
    args << GetParam().command;
    const Outcome r = runShort(args);
    EXPECT_EQ(r.exitCode, 2) << r.err.data();
    EXPECT_TRUE(r.err.contains("is the command's own file")) << r.err.data();
    EXPECT_EQ(read("F"), contents);
    EXPECT_TRUE(sim.transcript().received().isEmpty()) << sim.transcript().received().data();
}

INSTANTIATE_TEST_SUITE_P(
    Cli, LogOnItsOwnFile,
    ::testing::Values(FileCase{"WatchedAutoFile", {"--watch", "--log", "F", "auto", "F"}},
                      FileCase{"AutoFile", {"--log", "F", "--timestamps", "auto", "F"}},
                      FileCase{"RawLogOfADownload", {"--log-raw", "./F", "dload", "F", "0"}},
                      FileCase{"ThroughALink", {"--log", "LINK", "load", "F"}},
                      FileCase{"ReceivedFileNotThereYet",
                               {"--log-raw", "new.bin", "receive", "./new.bin", "0", "8"}}),
    [](const auto& info) { return std::string(info.param.name); });

class AutoStream : public Hardening, public ::testing::WithParamInterface<const char*> {};

TEST_P(AutoStream, RunsItsLines) {
    Simulator sim;
    const Outcome r =
        run({"-p", sim.devicePath(), "auto", GetParam()}, "local echo from a pipe\r\nls\r\n");
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
    EXPECT_TRUE(r.out.contains("from a pipe")) << r.out.data();
    EXPECT_TRUE(eventually([&] { return sim.transcript().received().contains("ls\r"); }));
}

INSTANTIATE_TEST_SUITE_P(Cli, AutoStream, ::testing::Values("-", "/dev/stdin"),
                         [](const auto& info) {
                             return std::string(info.index == 0 ? "Dash" : "DevStdin");
                         });

struct ArgCase {
    const char* name;
    QStringList command;
    const char* named; // what the message names; empty: accepted
};

class Arguments : public Hardening, public ::testing::WithParamInterface<ArgCase> {};

TEST_P(Arguments, JunkNumbersAreRefusedBeforeThePortIsOpened) {
    write("f", "x");
    // A port that cannot be opened: an accepted command line gets that far.
    const Outcome r = run(QStringList{"-p", dir.filePath("no-device")} + GetParam().command);
    EXPECT_EQ(r.exitCode, 2) << r.err.data();
    const QByteArray named = GetParam().named;
    if (named.isEmpty()) {
        EXPECT_TRUE(r.err.contains("cannot open")) << r.err.data();
    } else {
        EXPECT_TRUE(r.err.contains(named)) << r.err.data();
        EXPECT_FALSE(r.err.contains("cannot open")) << r.err.data();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Arguments,
    ::testing::Values(ArgCase{"NoDigits", {"dload", "f", "zz"}, "ADDRESS"},
                      ArgCase{"NineDigits", {"dload", "f", "123456789"}, "ADDRESS"},
                      ArgCase{"PrefixOnly", {"dload", "f", "0x"}, "ADDRESS"},
                      ArgCase{"Negative", {"dload", "f", "-1"}, "ADDRESS"},
                      ArgCase{"TrailingJunk", {"receive", "x", "8001000g", "10"}, "ADDRESS"},
                      ArgCase{"HugeLength", {"receive", "x", "80000000", "100000000"}, "LENGTH"},
                      ArgCase{"ZeroLength", {"receive", "x", "80000000", "0"}, "LENGTH"},
                      ArgCase{"OverSixteenMiB", {"receive", "x", "80000000", "1000001"}, "LENGTH"},
                      ArgCase{"SixteenMiB", {"receive", "x", "0x80000000", "1000000"}, ""},
                      ArgCase{"EightDigits", {"dload", "f", "0X8001ffff"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

class XonXoff : public Hardening, public ::testing::WithParamInterface<FileCase> {};

TEST_P(XonXoff, RefusesBinaryTransfers) {
    Simulator sim;
    write("data.bin", "data");
    QStringList args{"-q", "-f", "xonxoff", "-p", sim.devicePath()};
    for (const QString& word : GetParam().command)
        args << (word == "EXE" ? exeFixture() : word);
    const Outcome r = run(args);
    EXPECT_EQ(r.exitCode, 2) << r.err.data();
    EXPECT_TRUE(r.err.contains("cannot carry binary data")) << r.err.data();
    const auto report = sim.report();
    EXPECT_EQ(report.counter("binary-writes"), 0u);
    EXPECT_EQ(report.counter("binary-reads"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cli, XonXoff,
                         ::testing::Values(FileCase{"Data", {"dload", "data.bin", "80010000"}},
                                           FileCase{"Executable", {"load", "EXE"}},
                                           FileCase{"Receive",
                                                    {"receive", "r.bin", "80010000", "10"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the user's terminal -------------------------------------------------------

struct ControlCase {
    const char* name;
    QStringList command;
    QByteArray input;
    bool visible;
};

class Controls : public Hardening, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(Controls, ReachATerminalOnlyWhereTheyShould) {
    const ControlCase& c = GetParam();
    Simulator sim;
    Pty screen;
    ASSERT_EQ(screen.open(), "");
    write("esc.sio", "local echo before\rlocal echo \x1b]2;pwned\x07\r");
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.setStandardOutputFile(QString::fromStdString(screen.slavePath()));
    p.start(cliProgram(), QStringList{"-q", "-p", sim.devicePath()} + c.command);
    ASSERT_TRUE(p.waitForStarted());
    if (!c.input.isEmpty()) {
        p.write(c.input);
        p.waitForBytesWritten(3000);
    }
    p.closeWriteChannel();
    QByteArray shown;
    QDeadlineTimer deadline(8000);
    while (!shown.contains("pwned") && !deadline.hasExpired())
        shown += QByteArray::fromStdString(screen.read(100));
    finish(p);
    shown += QByteArray::fromStdString(screen.readUntilQuiet(100));
    ASSERT_TRUE(shown.contains("pwned")) << shown.data();
    if (c.visible) {
        EXPECT_TRUE(shown.contains("^[]2;pwned^G")) << shown.data();
        EXPECT_FALSE(shown.contains('\x1b')) << shown.data();
    } else {
        EXPECT_TRUE(shown.contains("\x1b]2;pwned\x07")) << shown.data();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Controls,
    ::testing::Values(
        ControlCase{"AutoFile", {"auto", "esc.sio"}, {}, true},
        ControlCase{"Terminal", {"term"}, "\x1b]2;pwned\x07\n", false},
        ControlCase{"VisibleTerminal", {"term", "--visible-controls"}, "\x1b]2;pwned\x07\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

class Progress : public Hardening, public ::testing::WithParamInterface<FileCase> {};

TEST_P(Progress, FitsANarrowTerminalAndShowsNoRateBeforeItHasOne) {
    Simulator sim({"--baud", "115200"});
    Pty screen;
    ASSERT_EQ(screen.open(), "");
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 40;
    ASSERT_EQ(::ioctl(screen.master(), TIOCSWINSZ, &size), 0);
    write("data.bin", QByteArray(6 * 2048, 'p'));
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.setStandardErrorFile(QString::fromStdString(screen.slavePath()));
    QStringList command = GetParam().command;
    command.replaceInStrings(QStringLiteral("EXE"), exeFixture());
    p.start(cliProgram(), QStringList{"-p", sim.devicePath()} + command);
    ASSERT_TRUE(p.waitForStarted());
    QByteArray shown;
    while (p.state() == QProcess::Running) {
        shown += QByteArray::fromStdString(screen.read(50));
        p.waitForFinished(10);
    }
    shown += QByteArray::fromStdString(screen.readUntilQuiet(100));
    EXPECT_EQ(p.exitCode(), 0);
    ASSERT_TRUE(shown.contains('%')) << "a progress display was drawn";
    shown.replace("\033[K", "");
    for (const QByteArray& piece : shown.split('\r')) {
        for (const QByteArray& line : piece.split('\n')) {
            if (line.startsWith("kestrel-cli: ")) continue; // notes wrap as text does
            EXPECT_LT(line.size(), 40) << line.data();
            EXPECT_FALSE(line.contains(" 0 B/s")) << line.data();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cli, Progress,
                         ::testing::Values(FileCase{"Download", {"dload", "data.bin", "80010000"}},
                                           FileCase{"Executable", {"load", "EXE"}},
                                           FileCase{"Receive",
                                                    {"receive", "back.bin", "80010000", "3000"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hardening, SimulatorWithClosedDescriptorsKeepsItsLineClean) {
    const QString link = dir.filePath("line");
    QProcess sim;
    sim.start(QStringLiteral("bash"),
              {"-c", "exec \"$0\" --link \"$1\" <&- >&-", Simulator::program(), link});
    ASSERT_TRUE(sim.waitForStarted());
    ASSERT_TRUE(eventually([&] { return QFileInfo::exists(link); }, 5000));
    const Outcome r = run({"-p", link, "term"}, "ls\n");
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
    EXPECT_TRUE(r.out.contains("ls")) << r.out.data();
    EXPECT_FALSE(r.out.contains("/dev/")) << "the device line went down the line: " << r.out.data();
    sim.terminate();
    sim.waitForFinished(3000);
}

// --- messages ------------------------------------------------------------------

TEST_F(Hardening, NoPortGivenOrStoredSaysWhatWasTried) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("HOME", dir.path());
    p.setProcessEnvironment(env);
    p.start(cliProgram(), {"term"});
    ASSERT_TRUE(p.waitForStarted());
    p.closeWriteChannel();
    Outcome r = finish(p);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("no port was given or stored")) << r.err.data();
    EXPECT_TRUE(r.err.contains("COM2")) << r.err.data();
    EXPECT_TRUE(r.err.contains("kestrel-cli ports")) << r.err.data();

    p.start(cliProgram(), {"ports"});
    ASSERT_TRUE(p.waitForStarted());
    r = finish(p);
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
}

struct PortCase {
    const char* name;
    QString device; // FILE: a regular file the test writes
    const char* says;
};

class Ports : public Hardening, public ::testing::WithParamInterface<PortCase> {};

TEST_P(Ports, ThatAreNotSerialDevicesSaySo) {
    QString device = GetParam().device;
    if (device == "FILE") device = write("plain.txt", "text");
    const Outcome r = run({"-p", device, "term"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains(GetParam().says)) << r.err.data();
    EXPECT_FALSE(r.err.contains("settings")) << r.err.data();
}

INSTANTIATE_TEST_SUITE_P(Cli, Ports,
                         ::testing::Values(PortCase{"RegularFile", "FILE", "not a serial device"},
                                           PortCase{"DevNull", "/dev/null", "not a serial device"},
                                           PortCase{"Missing", "/nonexistent", "No such file"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A port named by number opens the device the window's Com button opens; a
// bare name is a file of the working folder. Whatever is tried is named.
struct NameCase {
    const char* name;
    QString port;
    QString tried; // DIR/: inside the test's folder
    const char* hint;
};

class PortNames : public Hardening, public ::testing::WithParamInterface<NameCase> {};

TEST_P(PortNames, SayThePathThatWasTried) {
    const NameCase& c = GetParam();
    const Outcome r = run({"-p", c.port, "term"});
    EXPECT_FALSE(r.err.contains(": " + c.port.toUtf8() + "\n")) << r.err.data();
    // The device may be there and ours to open: the terminal then ends with
    // its input.
    if (r.exitCode == 0) return;
    EXPECT_EQ(r.exitCode, 2) << r.err.data();
    QString tried = c.tried;
    tried.replace("DIR/", dir.path() + "/");
    EXPECT_TRUE(r.err.contains("cannot open " + tried.toUtf8() + ":")) << r.err.data();
    EXPECT_TRUE(r.err.contains(c.hint)) << r.err.data();
}

INSTANTIATE_TEST_SUITE_P(
    Cli, PortNames,
    ::testing::Values(NameCase{"FirstComPort", "COM1", "/dev/ttyS0", ""},
                      NameCase{"ComPortInSmallLetters", "com4", "/dev/ttyS3", ""},
                      NameCase{"ComPortOnAUsbAdapter", "COM5", "/dev/ttyUSB0", ""},
                      NameCase{"BareName", "plink", "DIR/plink", ""},
                      NameCase{"BareNameOfADevice", "null", "DIR/null", "/dev/null"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hardening, BareNameOpensTheLinkInTheWorkingFolder) {
    Simulator sim({"--link", dir.filePath("plink")});
    ASSERT_FALSE(sim.devicePath().isEmpty());
    const Outcome r = run({"-p", "plink", "term"}, "ls\n");
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
    EXPECT_TRUE(r.out.contains("ls")) << r.out.data();
}

// Standard output that takes nothing (a full disk): one line on standard
// error; `ports` had nothing else to do and fails, a load's status is its
// transfer's.
struct FullCase {
    const char* name;
    QStringList command; // DEVICE: the simulator's, EXE: the executable fixture
    int exitCode;
};

class FullOutput : public Hardening, public ::testing::WithParamInterface<FullCase> {};

TEST_P(FullOutput, IsSaidOnceOnStandardError) {
    Simulator sim;
    QStringList args = GetParam().command;
    args.replaceInStrings(QStringLiteral("DEVICE"), sim.devicePath());
    args.replaceInStrings(QStringLiteral("EXE"), exeFixture());
    const Outcome r = shell(QStringLiteral("exec \"$0\" \"$@\" >/dev/full"), args);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err.data();
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.data();
    EXPECT_TRUE(r.err.startsWith("kestrel-cli: ")) << r.err.data();
    EXPECT_TRUE(r.err.contains("standard output")) << r.err.data();
    EXPECT_TRUE(r.err.contains("No space left on device")) << r.err.data();
}

INSTANTIATE_TEST_SUITE_P(Cli, FullOutput,
                         ::testing::Values(FullCase{"Ports", {"ports"}, 1},
                                           FullCase{
                                               "Load", {"-q", "-p", "DEVICE", "load", "EXE"}, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct OpenCase {
    const char* name;
    QStringList command;
    const char* says;
};

class CantOpen : public Hardening, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(CantOpen, KeepsTheCategoryAndAddsTheReason) {
    Simulator sim;
    ::mkdir(QFile::encodeName(dir.filePath("adir")).constData(), 0700);
    const Outcome r = run(QStringList{"-q", "-p", sim.devicePath()} + GetParam().command);
    EXPECT_EQ(r.exitCode, 2) << r.err.data();
    EXPECT_TRUE(r.err.contains(GetParam().says)) << r.err.data();
}

INSTANTIATE_TEST_SUITE_P(Cli, CantOpen,
                         ::testing::Values(OpenCase{"MissingFolderForData",
                                                    {"dload", "nowhere/x.bin", "80010000"},
                                                    "error = 3 (No such file or directory)"},
                                           OpenCase{"MissingFile",
                                                    {"dload", "x.bin", "80010000"},
                                                    "error = 2 (No such file or directory)"},
                                           OpenCase{"MissingFolderForReceive",
                                                    {"receive", "nowhere/x.bin", "80010000", "10"},
                                                    "error = 3 (No such file or directory)"},
                                           OpenCase{"DirectoryForReceive",
                                                    {"receive", "adir", "80010000", "10"},
                                                    "error = 5 (Is a directory)"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the device goes away, or someone else holds it ----------------------------

TEST_F(Hardening, AutoFileEndsWhenTheDeviceIsLost) {
    // "ls\r" is three bytes: the device closes as soon as the first line is out.
    Simulator sim({"--hangup-after", "3"});
    write("lost.sio", "ls\rlocal sleep 1\rlocal echo second line\rls\r");
    const Outcome r = run({"-q", "-p", sim.devicePath(), "auto", "lost.sio"});
    EXPECT_EQ(r.exitCode, 1) << r.err.data();
    EXPECT_FALSE(r.out.contains("second line")) << r.out.data();
    EXPECT_EQ(r.out.count("LOST"), 1) << r.out.data();
    EXPECT_TRUE(r.out.contains(sim.devicePath().toUtf8())) << r.out.data();
}

TEST_F(Hardening, ASecondProgramOnTheSamePortLeavesTheTransferAlone) {
    Simulator sim({"--baud", "19200"});
    QByteArray data(3 * 2048, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + i / 251);
    write("data.bin", data);
    QProcess first;
    first.setWorkingDirectory(dir.path());
    first.start(cliProgram(), {"-q", "-p", sim.devicePath(), "dload", "data.bin", "80010000"});
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(waitFor(first, [&] { return sim.transcript().received().size() > 100; }));
    for (int i = 0; i < 3; ++i) {
        const Outcome second = run({"-p", sim.devicePath(), "-s", "9600,e,7,2", "term"});
        EXPECT_EQ(second.exitCode, 2);
        EXPECT_TRUE(second.err.contains("Device busy")) << second.err.data();
    }
    const Outcome r = finish(first);
    EXPECT_EQ(r.exitCode, 0) << r.err.data();
    EXPECT_EQ(sim.memory(0x80010000, data.size()), data);
}

// --- the simulator checks its paths at start -------------------------------------

TEST(SimulatorPaths, AreCheckedAtStart) {
    for (const char* option : {"--report", "--link", "--transcript"}) {
        QProcess p;
        p.start(Simulator::program(), {option, "/nonexistent/folder/file"});
        ASSERT_TRUE(p.waitForStarted());
        ASSERT_TRUE(p.waitForFinished(3000)) << option;
        EXPECT_EQ(p.exitCode(), 2) << option;
        EXPECT_TRUE(p.readAllStandardError().contains("/nonexistent/folder")) << option;
    }
}

} // namespace
