// `kestrel-cli load` tells the truth about the start registers: exit 0 and
// "Registers set" only when the whole program is in memory and the monitor
// has echoed the last register command; a download that did not complete
// sets no registers. A real CLI process against the monitor simulator, on a
// pseudo-terminal and on the simulator's own paced TCP port.
#include "Simulator.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kestrel::test;

namespace {

const QByteArray RegistersLine("Registers set:  PC-8001003c, GP-80019110, SP-801ff000\n");
const QByteArray NotConfirmed("kestrel-cli: ERROR: The monitor did not confirm the start "
                              "registers!\n");

// hello.exe on the line: "bwr\r" (4), the load header (9) and three frames
// (3 x 2050) make 6163 bytes, 0x03 the 6164th; "sr epc 8001003c\r" and
// "sr gp 80019110\r" end at 6195, "sr sp 801ff000\r" at 6210.
constexpr int LastFrameEnds = 6163;
constexpr int InsideTheLastRegisterCommand = 6200;

struct LoadCase {
    const char* name;
    QStringList simulatorOptions;
    QStringList cliOptions;
    qsizetype fileLength; // -1: all of hello.exe
    bool completes;
    // What reached the simulator: no register command at all after a
    // download that did not complete.
    bool registerCommandsSent;
    QByteArray errorText;      // on standard error, besides other lines
    QByteArray terminalText{}; // on standard output
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

QString portName(const QString& simulatorDevice) {
    // The simulator names its TCP port "tcp:HOST:PORT".
    return simulatorDevice.startsWith(QLatin1String("tcp:")) ? "tcp://" + simulatorDevice.mid(4)
                                                             : simulatorDevice;
}

class CliLoadOutcome : public ::testing::TestWithParam<LoadCase> {};

TEST_P(CliLoadOutcome, ExitStatusAndRegistersLineMatchWhatTheConsoleHas) {
    const LoadCase& c = GetParam();
    QTemporaryDir dir;
    QFile fixture(QStringLiteral(KESTREL_SOURCE_DIR "/tests/fixtures/exe/hello.exe"));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    const QString exe = dir.filePath("hello.exe");
    QFile copy(exe);
    ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
    const QByteArray whole = fixture.readAll();
    copy.write(c.fileLength < 0 ? whole : whole.left(c.fileLength));
    copy.close();

    Simulator sim(c.simulatorOptions);
    ASSERT_FALSE(sim.devicePath().isEmpty());
    QProcess cli;
    cli.start(QStringLiteral(KESTREL_BINARY_DIR "/src/cli/kestrel-cli"),
              QStringList{"-q", "-p", portName(sim.devicePath())} + c.cliOptions +
                  QStringList{"load", exe});
    ASSERT_TRUE(cli.waitForFinished(60000));
    const QByteArray out = cli.readAllStandardOutput();
    const QByteArray err = cli.readAllStandardError();
    // Asked for at once: a load that said it set the registers has had them
    // echoed, so they are there now.
    const SimulatorReport report = sim.report();

    EXPECT_EQ(cli.exitCode(), c.completes ? 0 : 1) << err.data();
    if (c.completes) {
        EXPECT_TRUE(out.endsWith(RegistersLine)) << out.data();
        EXPECT_TRUE(err.isEmpty()) << err.data();
        EXPECT_EQ(report.registers.at("epc"), 0x8001003cu);
        EXPECT_EQ(report.registers.at("gp"), 0x80019110u);
        EXPECT_EQ(report.registers.at("sp"), 0x801ff000u);
    } else {
        EXPECT_FALSE(out.contains("Registers set")) << out.data();
        EXPECT_TRUE(err.contains(c.errorText)) << err.data();
        EXPECT_TRUE(out.contains(c.terminalText)) << out.data();
        EXPECT_EQ(report.registers.at("sp"), 0u);
    }
    EXPECT_EQ(sim.transcript().received().contains("sr "), c.registerCommandsSent);
}

// With -t the terminal follows the load on the same line. On a slow line the
// monitor's echo of the register commands is still arriving when the load
// ends; it must not reach the terminal, where "SP-801ff000" followed by echo
// digits reads as a different stack pointer.
TEST(CliLoadThenTerminal, ShowsNoEchoOfTheRegisterCommands) {
    QTemporaryDir dir;
    const QString exe = dir.filePath("hello.exe");
    ASSERT_TRUE(
        QFile::copy(QStringLiteral(KESTREL_SOURCE_DIR "/tests/fixtures/exe/hello.exe"), exe));
    Simulator sim({"--listen", "tcp:127.0.0.1:0", "--baud", "9600"});
    ASSERT_FALSE(sim.devicePath().isEmpty());
    QProcess cli;
    cli.start(QStringLiteral(KESTREL_BINARY_DIR "/src/cli/kestrel-cli"),
              {"-q", "-t", "-p", portName(sim.devicePath()), "load", exe});
    cli.closeWriteChannel();
    ASSERT_TRUE(cli.waitForFinished(60000));
    const QByteArray out = cli.readAllStandardOutput();
    EXPECT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().constData();
    const qsizetype at = out.indexOf(RegistersLine);
    ASSERT_GE(at, 0) << out.constData();
    const QByteArray after = out.mid(at + RegistersLine.size());
    // At most the monitor's prompt follows.
    EXPECT_TRUE(after.isEmpty() || after == ">>" || after == ">>\n") << after.constData();
}

const QStringList Verify{"--verify"};

INSTANTIATE_TEST_SUITE_P(
    Load, CliLoadOutcome,
    ::testing::Values(LoadCase{"Completes", {}, {}, -1, true, true, {}},
                      LoadCase{"CompletesOnAPacedTcpPort",
                               {"--listen", "tcp:127.0.0.1:0", "--baud", "9600"},
                               {},
                               -1,
                               true,
                               true,
                               {}},
                      LoadCase{"CompletesVerified", {}, Verify, -1, true, true, {}},
                      LoadCase{"DeviceLostDuringTheRegisterCommands",
                               {"--hangup-after", QString::number(InsideTheLastRegisterCommand)},
                               {},
                               -1,
                               false,
                               true,
                               NotConfirmed},
                      LoadCase{"TcpHangupDuringTheRegisterCommands",
                               {"--listen", "tcp:127.0.0.1:0", "--baud", "9600", "--hangup-after",
                                QString::number(InsideTheLastRegisterCommand)},
                               {},
                               -1,
                               false,
                               true,
                               NotConfirmed},
                      LoadCase{"DeviceLostAfterTheLastFrame",
                               {"--hangup-after", QString::number(LastFrameEnds)},
                               {},
                               -1,
                               false,
                               false,
                               " went away: "},
                      LoadCase{"RefusedFrame",
                               {"--refuse-frame", "2"},
                               {},
                               -1,
                               false,
                               false,
                               "kestrel-cli: Upload of data failed.\n"},
                      LoadCase{"NoBinaryWritePrompt",
                               {"--garbage-prompt"},
                               {},
                               -1,
                               false,
                               false,
                               "kestrel-cli: ERROR: No Binary Write Prompt!\n"},
                      LoadCase{"VerifyFails",
                               {"--wrong-read-byte", "10"},
                               Verify,
                               -1,
                               false,
                               false,
                               "kestrel-cli: Verify failed at 80010009: sent "},
                      LoadCase{"TruncatedFile",
                               {},
                               {},
                               4000,
                               false,
                               false,
                               {},
                               "\t\tError! The file ended early: 0007a0 of 001800 bytes sent.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
