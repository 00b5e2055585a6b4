// kestrel-cli's terminal and watch when the line goes away under them: a
// device that hangs up and comes back at the same path (an unplugged USB
// adapter), the simulator's own TCP port dropping the connection, and a real
// ser2net killed and started again. The loss is said once, the port is looked
// for every second, and input given meanwhile goes out once it is back.
#include "Ser2net.h"
#include "Simulator.h"
#include "TcpPeer.h"
#include "TestFiles.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>

namespace kestrel::test {
namespace {

QString cliProgram() {
    return QStringLiteral(KESTREL_BINARY_DIR "/src/cli/kestrel-cli");
}

enum class Line { RelinkedDevice, SimulatorTcp, Ser2netRfc2217 };
enum class Mode { Terminal, WatchLoad };

struct LossCase {
    const char* name;
    Line line;
    Mode mode;
};

// The bytes the simulator takes in before the line goes: the terminal's
// "ls\r", or the middle of the load's second frame.
qsizetype cutAfter(Mode mode) {
    return mode == Mode::Terminal ? 3 : 3000;
}

class LineLoss : public ::testing::TestWithParam<LossCase> {
protected:
    void SetUp() override {
        const LossCase& c = GetParam();
        const QString cut = QString::number(cutAfter(c.mode));
        switch (c.line) {
        case Line::RelinkedDevice:
            portName = dir.filePath("console");
            sim.emplace(QStringList{"--link", portName, "--relink", "--hangup-after", cut});
            break;
        case Line::SimulatorTcp:
            sim.emplace(QStringList{"--listen", "tcp:127.0.0.1:0", "--hangup-after", cut});
            portName = "tcp://" + sim->devicePath().mid(4);
            break;
        case Line::Ser2netRfc2217:
            if (Ser2net::program().isEmpty()) GTEST_SKIP() << "ser2net is not installed";
            // Paced, so the test can cut the line in the middle of a load.
            sim.emplace(QStringList{"--baud", "38400"});
            server.emplace(Ser2net::Accepter::Rfc2217, sim->devicePath());
            ASSERT_TRUE(server->start()) << server->error().toStdString();
            portName = server->portName();
            break;
        }
        ASSERT_FALSE(sim->devicePath().isEmpty());
    }

    // ser2net dies once the simulator has taken the bytes; the simulator's
    // own hang-up needs nothing.
    void cutTheLine() {
        if (!server) return;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return sim->transcript().received().size() >= cutAfter(GetParam().mode); },
            10000));
        server->kill();
    }

    void bringTheLineBack() {
        if (server) {
            ASSERT_TRUE(server->start()) << server->error().toStdString();
        }
    }

    bool waitUntil(const std::function<bool()>& ready, int msecs = 10000) {
        return QTest::qWaitFor(
            [&] {
                out += cli.readAllStandardOutput();
                err += cli.readAllStandardError();
                return ready();
            },
            msecs);
    }

    QTemporaryDir dir;
    std::optional<Simulator> sim;
    std::optional<Ser2net> server;
    QString portName;
    QProcess cli;
    QByteArray out;
    QByteArray err;
};

TEST_P(LineLoss, IsSaidOnceAndTheLineIsUsedAgainOnceItIsBack) {
    const LossCase& c = GetParam();
    const QString exe = writeTestFile(dir, "game.exe", [] {
        QFile f(fixturePath(QStringLiteral("hello.exe")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }());
    QStringList args{"-q", "-p", portName};
    if (c.mode == Mode::Terminal)
        args << "term";
    else
        args << "--watch"
             << "load" << exe;
    cli.start(cliProgram(), args);
    ASSERT_TRUE(cli.waitForStarted());
    if (c.mode == Mode::Terminal) cli.write("ls\n");
    cutTheLine();

    const auto lossLines = [&] { return err.count("went away") + err.count("was lost"); };
    ASSERT_TRUE(waitUntil([&] { return lossLines() > 0; })) << err.data();
    EXPECT_EQ(cli.state(), QProcess::Running)
        << "ended with " << cli.exitCode() << ": " << err.data();
    // Given while the line is gone: it waits, and goes out once the line is
    // back. The CR first ends the binary mode a cut load left the monitor in.
    cli.write("\nsr gp 1234\n");
    bringTheLineBack();
    ASSERT_TRUE(waitUntil([&] { return err.contains("Reopened"); })) << err.data();
    EXPECT_TRUE(QTest::qWaitFor([&] { return sim->registers().at("gp") == 0x1234; }, 5000))
        << sim->transcript().received().right(64).toHex(' ').constData();

    if (c.mode == Mode::Terminal) {
        cli.closeWriteChannel();
        ASSERT_TRUE(cli.waitForFinished(10000));
        out += cli.readAllStandardOutput();
        err += cli.readAllStandardError();
        EXPECT_EQ(cli.exitCode(), 0) << err.data();
        EXPECT_TRUE(out.contains("sr gp 1234")) << out.data();
    } else {
        // The load the loss cut failed with its reason; the next change of
        // the file loads over the line that is back.
        EXPECT_TRUE(err.contains("Upload of data failed.")) << err.data();
        const auto loads = [&] { return err.count(" changed, loading again."); };
        ASSERT_EQ(loads(), 0) << err.data();
        QFile f(exe);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("\0", 1);
        f.close();
        ASSERT_TRUE(waitUntil([&] { return loads() == 1; })) << err.data();
        // Keys are read only between loads: the answer to one shows the
        // watch is idle again, and Ctrl-C then ends it.
        cli.write("dr\n");
        const QRegularExpression answer(QStringLiteral("epc 8001003c\\r?\\ngp 80019110"));
        ASSERT_TRUE(waitUntil([&] { return answer.match(QString::fromLatin1(out)).hasMatch(); }))
            << out.data();
        ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
        ASSERT_TRUE(cli.waitForFinished(10000));
        err += cli.readAllStandardError();
        EXPECT_EQ(cli.exitCode(), 128 + SIGINT) << err.data();
    }
    EXPECT_EQ(lossLines(), 1) << err.data();
    EXPECT_EQ(err.count("every second"), 1) << err.data();
    EXPECT_EQ(err.count("Reopened " + portName.toUtf8()), 1) << err.data();
}

INSTANTIATE_TEST_SUITE_P(
    Cli, LineLoss,
    ::testing::Values(
        LossCase{"TermOnAnUnpluggedDevice", Line::RelinkedDevice, Mode::Terminal},
        LossCase{"TermOnADroppedConnection", Line::SimulatorTcp, Mode::Terminal},
        LossCase{"TermThroughARestartedSer2net", Line::Ser2netRfc2217, Mode::Terminal},
        LossCase{"WatchOnAnUnpluggedDevice", Line::RelinkedDevice, Mode::WatchLoad},
        LossCase{"WatchOnADroppedConnection", Line::SimulatorTcp, Mode::WatchLoad},
        LossCase{"WatchThroughARestartedSer2net", Line::Ser2netRfc2217, Mode::WatchLoad}),
    [](const auto& info) { return std::string(info.param.name); });

// ser2net serves one client at a time: a second one is told so in words and
// the connection closed. The program says those words and gives up as on a
// port it cannot open.
class BusySer2net : public ::testing::TestWithParam<Ser2net::Accepter> {};

TEST_P(BusySer2net, SecondClientShowsTheServersRefusal) {
    if (Ser2net::program().isEmpty()) GTEST_SKIP() << "ser2net is not installed";
    Simulator sim;
    ASSERT_FALSE(sim.devicePath().isEmpty());
    Ser2net server(GetParam(), sim.devicePath());
    server.setKickOldUser(false);
    ASSERT_TRUE(server.start()) << server.error().toStdString();
    QTcpSocket first;
    first.connectToHost("127.0.0.1", server.port());
    ASSERT_TRUE(first.waitForConnected(3000));

    QProcess second;
    second.start(cliProgram(), {"-p", server.portName(), "term"});
    ASSERT_TRUE(second.waitForStarted());
    second.closeWriteChannel();
    ASSERT_TRUE(second.waitForFinished(10000));
    const QByteArray err = second.readAllStandardError();
    EXPECT_EQ(second.exitCode(), 2) << err.data();
    EXPECT_TRUE(err.contains(server.portName().toUtf8())) << err.data();
    EXPECT_TRUE(err.contains("Port already in use")) << err.data();
    EXPECT_FALSE(err.contains("QIODevice")) << err.data();
    EXPECT_EQ(err.count('\n'), 1) << err.data();
    EXPECT_TRUE(second.readAllStandardOutput().isEmpty());
}

// A server that refuses or never answers: the command line waits for the
// outcome (the whole connect time-out for no answer), says why and exits 2.
TEST(CliOpen, UnreachableServerIsAPortThatCannotBeOpened) {
    FullListener full;
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 closed = probe.serverPort();
    probe.close();
    struct {
        quint16 port;
        const char* said;
        int leastMs;
    } cases[] = {
        {closed, "Connection refused by 127.0.0.1:%1: is the server running and the port right?",
         0},
        {full.port(), "No answer from 127.0.0.1:%1 within 5 seconds", 4500},
    };
    for (const auto& c : cases) {
        const QString name = QStringLiteral("rfc2217://127.0.0.1:%1").arg(c.port);
        SCOPED_TRACE(name.toStdString());
        QProcess cli;
        QElapsedTimer clock;
        clock.start();
        cli.start(cliProgram(), {"-p", name, "term"});
        ASSERT_TRUE(cli.waitForStarted());
        cli.closeWriteChannel();
        ASSERT_TRUE(cli.waitForFinished(15000));
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        EXPECT_GE(clock.elapsed(), c.leastMs);
        EXPECT_EQ(cli.exitCode(), 2) << err.toStdString();
        EXPECT_EQ(err, QStringLiteral("kestrel-cli: cannot open %1: %2\n")
                           .arg(name, QString::fromLatin1(c.said).arg(c.port)))
            << err.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Accepters, BusySer2net,
                         ::testing::Values(Ser2net::Accepter::RawTcp, Ser2net::Accepter::Rfc2217),
                         [](const auto& info) { return std::string(Ser2net::name(info.param)); });

} // namespace
} // namespace kestrel::test
