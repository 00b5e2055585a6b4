// kestrel-cli on lines slower than the program: a command ends, and the
// program exits, only once what it sent has crossed the line; what cannot be
// delivered makes the command fail. Real processes against the simulator
// pacing its line (--baud) and against a pseudo-terminal the test drains
// itself, slowly and without an echo.
#include "Pty.h"
#include "Simulator.h"
#include "TestFiles.h"
#include "TimedCliRun.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace kestrel::test {
namespace {

struct SlowLineCase {
    const char* name;
    int baud;
    QByteArray autoFile;
    friend void PrintTo(const SlowLineCase& c, std::ostream* os) { *os << c.name; }
};

class SlowLine : public ::testing::TestWithParam<SlowLineCase> {
protected:
    QTemporaryDir dir;
};

TEST_P(SlowLine, ProgramEndsOnlyOnceEveryByteHasCrossedTheLine) {
    const SlowLineCase& c = GetParam();
    const QString speed = QString::number(c.baud);
    Simulator sim({"--baud", speed});
    const QString script = writeTestFile(dir, "lines.sio", c.autoFile);
    const QByteArray expected = sentForm(c.autoFile);
    qsizetype atExit = -1;
    const TimedCliRun run = runCliTimed(
        {"-q", "-s", speed + ",n,8,1", "-p", sim.devicePath(), "auto", script}, {}, {}, [&] {
            // Right after the exit: what the simulator has taken in by then.
            atExit = sim.transcript().received().size();
        });
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_TRUE(run.err.isEmpty()) << run.err.constData();
    EXPECT_GE(run.elapsedMs, lineTimeMs(expected.size(), c.baud) * 9 / 10);
    EXPECT_GE(atExit, expected.size() - slackBytes(c.baud));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sim.transcript().received() == expected; }, 1000))
        << sim.transcript().received().size() << " of " << expected.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Auto, SlowLine,
                         ::testing::Values(SlowLineCase{"ManyLines", 57600, manyLines()},
                                           // One line far longer than the
                                           // kernel takes in one go.
                                           SlowLineCase{"OneLongLine", 57600,
                                                        "echo " + QByteArray(30000, 'x') + "\r"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The piped terminal on a line nobody echoes: the end of its input and a
// quiet line do not end it while its bytes are still crossing.
TEST(SlowLinePipedTerminal, EndsOnlyOnceStandardInputHasCrossedTheLine) {
    sim::Pty pty;
    ASSERT_EQ(pty.open(), "");
    constexpr int Baud = 19200; // 1920 bytes a second, read by the test below
    QByteArray input;
    for (int i = 0; i < 800; ++i)
        input += "sr epc 8001" + QByteArray::number(i).rightJustified(4, '0') + "\n";
    const qsizetype total = input.size(); // 12800 bytes, 6.7 s on the line
    QElapsedTimer drained;
    drained.start();
    qint64 taken = 0;
    QByteArray received;
    const auto drain = [&] {
        const qint64 allowed = drained.elapsed() * Baud / 10 / 1000 - taken;
        if (allowed <= 0) return;
        char buffer[4096];
        const auto n = ::read(pty.master(), buffer,
                              static_cast<size_t>(std::min<qint64>(allowed, sizeof buffer)));
        if (n > 0) {
            taken += n;
            received.append(buffer, n);
        }
    };
    qsizetype atExit = -1;
    const TimedCliRun run = runCliTimed({"-q", "-s", QString::number(Baud) + ",n,8,1", "-p",
                                         QString::fromStdString(pty.slavePath()), "term"},
                                        input, {}, [&] {
                                            drain();
                                            atExit = received.size();
                                        });
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_GE(run.elapsedMs, lineTimeMs(total, Baud) * 9 / 10);
    EXPECT_GE(atExit, total - slackBytes(Baud));
    QElapsedTimer rest;
    rest.start();
    while (received.size() < total && rest.elapsed() < 3000) {
        drain();
        QTest::qWait(5);
    }
    EXPECT_EQ(received, QByteArray(input).replace('\n', '\r'));
}

// Bytes that never cross the line make the command fail, with one line on
// standard error saying why.
struct UndeliveredCase {
    const char* name;
    QStringList simOptions;
    QString settings;
    QByteArray autoFile;
    QByteArray error; // in the one stderr line
    friend void PrintTo(const UndeliveredCase& c, std::ostream* os) { *os << c.name; }
};

class Undelivered : public ::testing::TestWithParam<UndeliveredCase> {
protected:
    QTemporaryDir dir;
};

TEST_P(Undelivered, FailsTheCommandWithOneLine) {
    const UndeliveredCase& c = GetParam();
    Simulator sim(c.simOptions);
    const QString script = writeTestFile(dir, "lines.sio", c.autoFile);
    const TimedCliRun run = runCliTimed(
        {"-q", "-s", c.settings, "-p", sim.devicePath(), "auto", script}, {}, {}, {}, 20000);
    EXPECT_EQ(run.exitCode, 1) << run.err.constData();
    EXPECT_EQ(run.err.count('\n'), 1) << run.err.constData();
    EXPECT_TRUE(run.err.contains(c.error)) << run.err.constData();
    EXPECT_LT(run.elapsedMs, 10000);
}

INSTANTIATE_TEST_SUITE_P(Auto, Undelivered,
                         ::testing::Values(
                             // Gone 9000 bytes in, long after the auto file has handed over all
                             // 18000: the program is waiting for them to cross.
                             UndeliveredCase{"DeviceGoesAwayWhileTheLineDrains",
                                             {"--baud", "57600", "--hangup-after", "9000"},
                                             "57600,n,8,1",
                                             manyLines(),
                                             "went away"},
                             // A line far slower than its settings say: what is queued does not
                             // leave within its own line time and the answer time-out.
                             UndeliveredCase{"LineSlowerThanItsSettings",
                                             {"--baud", "9600"},
                                             "115200,n,8,1",
                                             "echo " + QByteArray(40000, 'x') + "\r",
                                             "could not be sent"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Ctrl-C while the program waits for its bytes to cross ends it at once,
// as a stopped command (18000 bytes need 19 s at 9600 baud).
TEST(SlowLineInterrupted, CtrlCEndsTheWaitForTheLine) {
    Simulator sim({"--baud", "9600"});
    QTemporaryDir dir;
    const QString script = writeTestFile(dir, "lines.sio", manyLines());
    QProcess cli;
    cli.start(QStringLiteral(KESTREL_BINARY_DIR "/src/cli/kestrel-cli"),
              {"-q", "-s", "9600,n,8,1", "-p", sim.devicePath(), "auto", script});
    ASSERT_TRUE(cli.waitForStarted());
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim.transcript().received().size() > 960; }, 5000));
    EXPECT_EQ(cli.state(), QProcess::Running) << "still waiting for the line";
    QElapsedTimer sinceSignal;
    sinceSignal.start();
    ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
    ASSERT_TRUE(cli.waitForFinished(5000));
    EXPECT_LT(sinceSignal.elapsed(), 1000);
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 1);
}

// Downloads below 9600 baud: a frame is longer on the line than the answer
// time-out, which starts only once it has crossed.
class SlowDownload : public ::testing::TestWithParam<int> {
protected:
    QTemporaryDir dir;
};

TEST_P(SlowDownload, DataFileLandsAtTheLinesOwnPace) {
    const QString speed = QString::number(GetParam());
    Simulator sim({"--baud", speed});
    const QByteArray data = randomBytes(100, 23);
    const QString file = writeTestFile(dir, "data.bin", data);
    const TimedCliRun run = runCliTimed(
        {"-q", "-s", speed + ",n,8,1", "-p", sim.devicePath(), "dload", file, "80010000"});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_EQ(sim.memory(0x80010000, data.size()), data);
    EXPECT_EQ(sim.report().counter("frames-acknowledged"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Baud, SlowDownload, ::testing::Values(2400, 4800),
                         [](const auto& info) { return std::to_string(info.param); });

} // namespace
} // namespace kestrel::test
