// kestrel-cli as a user runs it: a real process on a real pseudo-terminal with
// the monitor simulator at the other end.
#include "Simulator.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using namespace kestrel::test;

namespace {

struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

QString cliProgram() {
    return QStringLiteral(KESTREL_BINARY_DIR "/src/cli/kestrel-cli");
}

CliRun runCli(const QStringList& args, const QByteArray& input = {},
              const QString& workingDirectory = {}) {
    QProcess p;
    if (!workingDirectory.isEmpty()) p.setWorkingDirectory(workingDirectory);
    p.start(cliProgram(), args);
    EXPECT_TRUE(p.waitForStarted());
    if (!input.isEmpty()) p.write(input);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(30000)) << args.join(' ').toStdString();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

// 3000 bytes, two in three of them zero, the rest random.
QByteArray blockWithZeroBytes() {
    QByteArray block(3000, '\0');
    for (int i = 0; i < block.size(); i += 3)
        block[i] = char(QRandomGenerator::global()->bounded(256));
    return block;
}

class CliTest : public ::testing::Test {
protected:
    QString write(const QString& name, const QByteArray& bytes) {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    }
    QTemporaryDir dir;
};

TEST_F(CliTest, DataDownloadPrintsWhatTheWindowWouldAndLandsExactly) {
    Simulator sim;
    const QString path = write("five.bin", QByteArray("\x01\x00\xff\x7fZ", 5));
    const CliRun r = runCli({"-p", sim.devicePath(), "dload", path, "0x80010000"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Sending: " + path.toUtf8() + ", Address:80010000, Length:5\n");
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    EXPECT_EQ(sim.memory(0x80010000, 5), QByteArray("\x01\x00\xff\x7fZ", 5));
}

TEST_F(CliTest, ExecutableLoadSetsRegisters) {
    Simulator sim;
    // A private copy: a download holds its file locked, and other tests may be
    // loading the shared fixture at the same moment.
    QFile fixture(QStringLiteral(KESTREL_SOURCE_DIR "/tests/fixtures/exe/hello.exe"));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    const QString exe = write("hello.exe", fixture.readAll());
    const CliRun r = runCli({"--port", sim.devicePath(), "load", exe});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("\n" + exe.toUtf8() + ": PSX-EXE format.\n")) << r.out.data();
    EXPECT_TRUE(r.out.contains("Registers set:  PC-")) << r.out.data();
    const auto regs = sim.registers();
    EXPECT_NE(regs.at("epc"), 0u);
    EXPECT_NE(regs.at("sp"), 0u);
}

TEST_F(CliTest, ExitStatusTellsWhatWentWrong) {
    Simulator sim;
    const QString data = write("data.bin", QByteArray(5000, 'd'));
    const QString text = write("notes.txt", "just text\n");

    CliRun r = runCli({"-p", sim.devicePath(), "load", text});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(
        r.out.contains(": Not a PlayStation executable - Use Download Datafile instead.\n"));

    r = runCli({"-p", sim.devicePath(), "dload", dir.filePath("missing.bin"), "0"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.startsWith("kestrel-cli: Can't open file ")) << r.err.data();
    EXPECT_TRUE(r.err.contains("error = 2")) << r.err.data();

    r = runCli({"-p", dir.filePath("no-such-device"), "term"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("cannot open")) << r.err.data();

    r = runCli({"-p", sim.devicePath(), "-s", "fast,q,9,9", "term"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("line settings 'fast,q,9,9' refused")) << r.err.data();

    r = runCli({"dload", data});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("'dload' takes 2 arguments")) << r.err.data();
}

TEST_F(CliTest, RefusedFrameExitsOne) {
    Simulator sim({"--refuse-frame", "2"});
    const QString data = write("data.bin", QByteArray(5000, 'd'));
    const CliRun r = runCli({"-p", sim.devicePath(), "dload", data, "80010000"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("kestrel-cli: Upload of data failed.")) << r.err.data();
}

TEST_F(CliTest, NoPromptExitsOneAndSaysSoOnOneLine) {
    Simulator sim({"--garbage-prompt"});
    const QString data = write("data.bin", "abc");
    const CliRun r = runCli({"-p", sim.devicePath(), "dload", data, "80010000"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("kestrel-cli: ERROR: No Binary Write Prompt!\n")) << r.err.data();
    EXPECT_TRUE(
        r.err.contains("kestrel-cli: Binary write timeout. You may need to reset your Yaroze.\n"))
        << r.err.data();
}

TEST_F(CliTest, CtrlCStopsTheDownloadAndTheEndingStillRuns) {
    // 9600 baud: each 2 KiB frame takes over two seconds on the line.
    Simulator sim({"--baud", "9600"});
    const QString data = write("big.bin", QByteArray(5 * 2048, 'b'));
    QProcess p;
    p.start(cliProgram(), {"-p", sim.devicePath(), "dload", data, "80010000"});
    ASSERT_TRUE(p.waitForStarted());
    // Mid-transfer: the first frame's bytes have begun to reach the monitor
    // ("bwr" and CR, then the 9-byte header, then 0x02 and the data).
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return sim.transcript().received().size() > 4 + 9 + 1; }, 10000))
        << sim.transcript().received().toHex().constData();
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 1);
    const QByteArray out = p.readAllStandardOutput();
    EXPECT_TRUE(out.contains("\n*** CURRENT FILE TRANSFER ABORTED ***\n")) << out.data();
    const auto report = sim.report();
    EXPECT_LT(report.counter("frames-acknowledged"), 5u);
    EXPECT_EQ(report.counter("binary-writes"), 1u);
    // The ending told the monitor the write is over: 0x03 and CR went out. The
    // simulator takes its input in at the line's pace, so the last bytes may
    // reach its transcript a moment after the program has ended.
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return sim.transcript().received().endsWith("\x03\r"); }, 5000))
        << sim.transcript().received().right(16).toHex().constData();
}

TEST_F(CliTest, ReceiveWritesTheBlockIncludingZeroBytes) {
    Simulator sim;
    const QByteArray block = blockWithZeroBytes();
    const QString source = write("block.bin", block);
    ASSERT_EQ(runCli({"-p", sim.devicePath(), "dload", source, "80020000"}).exitCode, 0);
    const QString target = dir.filePath("back.bin");
    const CliRun r = runCli({"-q", "-p", sim.devicePath(), "receive", target, "80020000", "bb8"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QFile f(target);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), block);
}

TEST_F(CliTest, AutoFileRunsConsoleLinesAndLocalCommands) {
    Simulator sim;
    // Auto-file lines are lower-cased, file names included: the data file is
    // named relative to a working directory.
    write("level.dat", "LEVEL");
    const QString script = write("boot.sio", "ls\r\nlocal echo Hello From Auto\r\n"
                                             "LOCAL DLOAD level.dat 0x80030000\r\n");
    const CliRun r = runCli({"-p", sim.devicePath(), "auto", script}, {}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("hello from auto\n")) << r.out.data();
    EXPECT_EQ(sim.memory(0x80030000, 5), "LEVEL");
    EXPECT_TRUE(sim.transcript().received().startsWith("ls\r"));
}

TEST_F(CliTest, TermWithoutTerminalCopiesLinesBothWays) {
    Simulator sim;
    const CliRun r = runCli({"-p", sim.devicePath(), "term"}, "sr epc 80010000\n");
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("sr epc 80010000\n")) << r.out.data();
    EXPECT_EQ(sim.registers().at("epc"), 0x80010000u);
}

} // namespace

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// The raw log holds the bytes exactly as the simulator sent them, memory
// block and binary answers included, in order. Only the receive is logged:
// what the line held between two runs belongs to neither.
TEST_F(CliTest, RawLogHoldsEveryByteAsReceived) {
    Simulator sim;
    const QByteArray block = blockWithZeroBytes();
    const QString source = write("block.bin", block);
    const QString raw = dir.filePath("raw.bin");
    CliRun r = runCli({"-q", "-p", sim.devicePath(), "dload", source, "80020000"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    write("raw.bin", "kept\n");
    r = runCli({"-q", "--log-raw", raw, "-p", sim.devicePath(), "receive", dir.filePath("back.bin"),
                "80020000", "bb8"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QByteArray logged = readFile(raw);
    ASSERT_TRUE(logged.startsWith("kept\n")) << "the raw log appends";
    const QByteArray received = logged.sliced(5);
    EXPECT_TRUE(received.contains(block));
    EXPECT_TRUE(sim.transcript().sent().contains(received))
        << received.toHex().right(64).constData();
}

// The raw log of an auto file holds what was read while nothing was shown:
// the console's answers to the auto file's own lines, the load's frames and
// register commands, the data download. It is what the simulator sent, in
// order, up to what was still on its way when the run ended.
TEST_F(CliTest, RawLogHoldsWhatAnAutoFileReadsUnseen) {
    Simulator sim;
    write("level.dat", "LEVEL");
    QFile fixture(QStringLiteral(KESTREL_SOURCE_DIR "/tests/fixtures/exe/hello.exe"));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    write("hello.exe", fixture.readAll());
    const QString script = write("boot.sio", "sr epc 80010000\r\ndr\r\nlocal load hello.exe\r\n"
                                             "local dload level.dat 80030000\r\n");
    const QString raw = dir.filePath("raw.bin");
    const CliRun r =
        runCli({"-q", "-p", sim.devicePath(), "--log-raw", raw, "auto", script}, {}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QByteArray logged = readFile(raw);
    const QByteArray sent = sim.transcript().sent();
    EXPECT_TRUE(sent.startsWith(logged)) << logged.constData();
    qsizetype at = 0;
    for (const QByteArray& part :
         {QByteArray("sr epc 80010000\r\n>>"), QByteArray("epc 80010000"),
          QByteArray("bwr\r\nbinaryYYYend binary\r\n>>"), QByteArray("sr sp 801ff000\r\n>>"),
          QByteArray("bwr\r\nbinaryYend binary\r\n")}) {
        at = logged.indexOf(part, at);
        ASSERT_GE(at, 0) << part.constData() << " missing from\n" << logged.constData();
    }
}

// The text log of an auto file: the console's text as the terminal shows it
// and the program's own lines, each stamped, LF line ends.
TEST_F(CliTest, LogWithTimestampsHoldsTheAutoFileSession) {
    Simulator sim;
    write("level.dat", "LEVEL");
    const QString script = write("boot.sio", "ls\r\nlocal echo Hello From Auto\r\n"
                                             "LOCAL DLOAD level.dat 0x80030000\r\n");
    const QString log = dir.filePath("session.log");
    const CliRun r = runCli({"-p", sim.devicePath(), "--log", log, "--timestamps", "auto", script},
                            {}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QByteArray text = readFile(log);
    EXPECT_FALSE(text.contains('\r')) << text.constData();
    const QList<QByteArray> lines = text.split('\n');
    ASSERT_GE(lines.size(), 3) << text.constData();
    const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
    // Every line, a blank one too; the last line has ended.
    EXPECT_TRUE(lines.last().isEmpty()) << text.constData();
    for (const QByteArray& line : lines.first(lines.size() - 1))
        EXPECT_TRUE(stamp.match(QString::fromLatin1(line)).hasMatch()) << line.constData();
    EXPECT_TRUE(text.contains(" Starting auto-execution : ")) << text.constData();
    EXPECT_TRUE(text.contains(" hello from auto\n")) << text.constData();
    EXPECT_TRUE(text.contains(" Sending: level.dat, Address:80030000, Length:5\n"))
        << text.constData();
    // Without timestamps the stdout text and the log are the same lines.
    EXPECT_TRUE(r.out.contains("hello from auto\n"));
}

// A log that cannot be written is one line on standard error with the
// system's reason; the download goes on to its end and succeeds. Both logs
// are a few bytes short of the file size limit the program runs under, so
// their first write is cut short and the rest of it fails, as on a disk that
// fills (the limit's signal ignored, as a shell's `trap '' XFSZ` does).
TEST_F(CliTest, FailingLogIsSaidOnceAndTheTransferCarriesOn) {
    Simulator sim;
    const QString data = write("three.bin", QByteArray(3 * 2048, 'd'));
    const QString text = write("text.log", QByteArray(995, 't'));
    const QString raw = write("raw.log", QByteArray(995, 'r'));
    QProcess p;
    p.setChildProcessModifier([] {
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
    });
    p.start(cliProgram(), {"-q", "-p", sim.devicePath(), "--log", text, "--log-raw", raw, "dload",
                           data, "80010000"});
    ASSERT_TRUE(p.waitForFinished(30000));
    const QByteArray err = p.readAllStandardError();
    EXPECT_EQ(p.exitCode(), 0) << err.constData();
    EXPECT_EQ(sim.memory(0x80010000, 3 * 2048), QByteArray(3 * 2048, 'd'));
    const QList<QByteArray> lines = err.trimmed().split('\n');
    EXPECT_EQ(lines.size(), 2) << err.constData(); // one for each log
    for (const QString& path : {text, raw}) {
        const QByteArray line = "kestrel-cli: Cannot write the log " + path.toUtf8() +
                                " (File too large); logging has stopped.";
        EXPECT_TRUE(lines.contains(line)) << err.constData();
    }
}

// A log whose folder is removed while the command runs writes into nothing:
// said once, as a failed write is; the command goes on.
TEST_F(CliTest, LogWhoseFolderIsRemovedIsSaidOnce) {
    Simulator sim;
    ASSERT_TRUE(QDir(dir.path()).mkdir("logs"));
    const QString log = dir.filePath("logs/session.log");
    QProcess p;
    p.start(cliProgram(), {"-p", sim.devicePath(), "--log", log, "term"});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out;
    // Types a line and waits for the console's echo of it.
    auto type = [&](const QByteArray& line) {
        p.write(line + "\n");
        QDeadlineTimer deadline(10000);
        while (!out.contains(line) && !deadline.hasExpired()) {
            p.waitForReadyRead(100);
            out += p.readAllStandardOutput();
        }
        return out.contains(line);
    };
    ASSERT_TRUE(type("first")) << out.constData();
    ASSERT_TRUE(QDir(dir.filePath("logs")).removeRecursively());
    ASSERT_TRUE(type("second")) << out.constData();
    ASSERT_TRUE(type("third")) << out.constData();
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(30000));
    const QByteArray err = p.readAllStandardError();
    EXPECT_EQ(p.exitCode(), 0) << err.constData();
    EXPECT_EQ(err, "kestrel-cli: Cannot write the log " + log.toUtf8() +
                       " (the file or its folder has been removed); logging has stopped.\n");
}

TEST_F(CliTest, LogThatCannotBeOpenedStopsBeforeTheLine) {
    Simulator sim;
    const CliRun r =
        runCli({"-p", sim.devicePath(), "--log", dir.filePath("missing/x.log"), "term"}, "ls\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.startsWith("kestrel-cli: cannot open the log ")) << r.err.constData();
    EXPECT_TRUE(sim.transcript().received().isEmpty());
}

} // namespace

namespace {

TEST_F(CliTest, WatchLoadsAgainAfterEachRewriteUntilCtrlC) {
    Simulator sim;
    QFile fixture(QStringLiteral(KESTREL_SOURCE_DIR "/tests/fixtures/exe/hello.exe"));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    const QByteArray exeBytes = fixture.readAll();
    const QString exe = write("hello.exe", exeBytes);
    QProcess p;
    p.start(cliProgram(), {"-q", "-p", sim.devicePath(), "--watch", "load", exe});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out;
    QByteArray err;
    const auto loadsSeen = [&](int loads) {
        return QTest::qWaitFor(
            [&] {
                out += p.readAllStandardOutput();
                err += p.readAllStandardError();
                return out.count("Registers set:  PC-") >= loads;
            },
            10000);
    };
    ASSERT_TRUE(loadsSeen(1)) << out.data() << err.data();
    // A build writing its output in two pieces is one load.
    for (int rebuild = 2; rebuild <= 3; ++rebuild) {
        QFile f(exe);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(exeBytes.left(100));
        f.flush();
        f.write(exeBytes.mid(100));
        f.close();
        ASSERT_TRUE(loadsSeen(rebuild)) << out.data() << err.data();
    }
    // "Registers set" comes before the register commands, and a Ctrl-C
    // during them stops the load. Keys are read only between loads, so the
    // monitor's answer to one shows that the watch is idle again. The echo
    // of "sr epc 8001003c" can reach the terminal too: only the answer has
    // the registers on consecutive lines.
    p.write("dr\n");
    const QRegularExpression answer(QStringLiteral("epc 8001003c\\r?\\ngp 80019110"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            out += p.readAllStandardOutput();
            return answer.match(QString::fromLatin1(out)).hasMatch();
        },
        10000))
        << out.data();
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(10000));
    out += p.readAllStandardOutput();
    err += p.readAllStandardError();
    EXPECT_EQ(p.exitCode(), 128 + SIGINT) << err.data();
    EXPECT_EQ(out.count("Registers set:  PC-"), 3) << out.data();
    EXPECT_EQ(err.count("kestrel-cli: loading " + exe.toUtf8() + ".\n"), 1) << err.data();
    EXPECT_EQ(err.count("kestrel-cli: " + exe.toUtf8() + " changed, loading again.\n"), 2)
        << err.data();
    EXPECT_EQ(sim.report().counter("binary-writes"), 3u) << "each load is one download";
}

} // namespace
