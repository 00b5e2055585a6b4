// Both front ends on a network port through a real ser2net (RFC 2217): the
// window as a user drives it (typing, the port status, ser2net killed and
// started again), and kestrel-cli picking the component by the port name.
#include "ControlIds.h"
#include "MainDialog.h"
#include "NetworkSerialPort.h"
#include "PortFactory.h"
#include "ScriptedDialogs.h"
#include "Ser2net.h"
#include "Simulator.h"
#include "TerminalView.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

class FrontEnds : public ::testing::Test {
protected:
    void SetUp() override {
        if (Ser2net::program().isEmpty()) GTEST_SKIP() << "ser2net is not installed";
        QCoreApplication::setOrganizationName(QStringLiteral("Tamsworth"));
        QCoreApplication::setApplicationName(QStringLiteral("Kestrel"));
        ASSERT_FALSE(sim.devicePath().isEmpty());
        ASSERT_TRUE(server.start()) << server.error().toStdString();
    }

    // The window's store, holding Com1 at 115200: the network port replaces
    // the Com port, the line settings come from here.
    static void storeComPort1(QSettings& store) {
        store.clear();
        store.setValue(QStringLiteral("Config/CommPort"), 1);
        store.setValue(QStringLiteral("Config/CommSettings"), QStringLiteral("115200,n,8,1"));
    }

    Simulator sim;
    Ser2net server{Ser2net::Accepter::Rfc2217, sim.devicePath()};
};

TEST_F(FrontEnds, WindowTypesShowsThePortAndReopensAfterTheServerCameBack) {
    QSettings store;
    storeComPort1(store);

    auto port = makeSerialPort(server.portName());
    ASSERT_TRUE(port);
    static_cast<NetworkSerialPort&>(*port).setReconnectInterval(100);
    ScriptedDialogs dialogs;
    MainDialog window(std::move(port), dialogs);
    window.initialise();
    window.show();
    const auto field = [&](int id) { return window.field(id)->text(); };
    EXPECT_EQ(field(FieldPort), "Connecting: " + server.portName() + ":115200,n,8,1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.port().portOpen(); }));
    EXPECT_EQ(field(FieldPort), server.portName() + ":115200,n,8,1");

    QTest::keyClicks(window.terminalView(), "ver");
    QTest::keyClick(window.terminalView(), Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window.terminalView()->terminalText().contains("ver\r\n>>"); }, 3000));

    server.kill();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field(FieldPort).startsWith("Device lost: "); }));
    EXPECT_TRUE(window.terminalView()->terminalText().contains("was lost"));
    ASSERT_TRUE(server.start()) << server.error().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field(FieldPort).startsWith("Reopened: "); }));
    EXPECT_EQ(field(FieldPort), "Reopened: " + server.portName() + ":115200,n,8,1");
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
}

// A network port cannot turn into a Com port: the Port Settings dialog names
// it and keeps the Com buttons out of reach, and an answer naming a Com port
// anyway neither stores it nor leaves the network port.
TEST_F(FrontEnds, PortSettingsOnANetworkPortKeepItAndStoreNoComPort) {
    QSettings store;
    storeComPort1(store);

    ScriptedDialogs dialogs;
    MainDialog window(makeSerialPort(server.portName()), dialogs);
    window.initialise();
    window.runCommand(CommandPortSettings);
    ASSERT_EQ(dialogs.portRequests.size(), 1);
    EXPECT_EQ(dialogs.portRequests[0].deviceInUse, server.portName());
    EXPECT_TRUE(dialogs.portRequests[0].comPortsLocked);

    PortDialogFields com3 = dialogs.portRequests[0];
    com3.portIndex = 2;
    dialogs.portAnswer = com3;
    window.runCommand(CommandPortSettings);
    EXPECT_EQ(window.port().deviceOverride(), server.portName());
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.port().portOpen(); }));
    EXPECT_EQ(store.value(QStringLiteral("Config/CommPort")).toInt(), 1);
    EXPECT_TRUE(window.field(FieldPort)->text().startsWith(server.portName() + ":115200,"))
        << window.field(FieldPort)->text().toStdString();
}

TEST_F(FrontEnds, CliLoadsThroughTheNetworkNameAndRefusesAMalformedOne) {
    const QString cli = KESTREL_BINARY_DIR "/src/cli/kestrel-cli";
    QProcess run;
    run.start(cli, {"-q", "-p", server.portName(), "-s", "115200,n,8,1", "load",
                    fixturePath(QStringLiteral("hello.exe"))});
    ASSERT_TRUE(run.waitForFinished(30000));
    EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    EXPECT_TRUE(run.readAllStandardOutput().contains("PSX-EXE"));
    // The load ends once the monitor has echoed the last register command.
    EXPECT_TRUE(sim.transcript().received().endsWith("sr sp 801ff000\r"))
        << sim.transcript().received().right(48).constData();
    EXPECT_EQ(sim.registers().at("epc"), 0x8001003cu);

    run.start(cli, {"-p", "tcp://::1:7002", "term"});
    ASSERT_TRUE(run.waitForFinished(10000));
    EXPECT_EQ(run.exitCode(), 2);
    EXPECT_TRUE(run.readAllStandardError().contains("IPv6 address in brackets"));
}

// Loads one after another through a raw TCP accepter to a console on a
// 38400-baud line, alternating two one-frame programs whose start registers
// differ: each load that exits 0 has left its own registers in the console,
// and nothing of one load's register commands runs into the next load's
// conversation.
TEST_F(FrontEnds, CliLoadsBackToBackEachLeavingItsOwnRegisters) {
    Simulator paced({"--baud", "38400"});
    ASSERT_FALSE(paced.devicePath().isEmpty());
    Ser2net raw(Ser2net::Accepter::RawTcp, paced.devicePath());
    ASSERT_TRUE(raw.start()) << raw.error().toStdString();
    QTemporaryDir dir;
    QFile fixture(fixturePath(QStringLiteral("hello.exe")));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    // The header and the first 2048 bytes of the image, announced as such.
    QByteArray hello = fixture.readAll().left(4096);
    const auto putLe32 = [](QByteArray& bytes, int offset, quint32 value) {
        for (int i = 0; i < 4; ++i)
            bytes[offset + i] = char(value >> (8 * i));
    };
    putLe32(hello, 28, 0x800); // text size
    QByteArray other = hello;
    const quint32 otherPc = 0x80010040, otherGp = 0x80019120;
    putLe32(other, 16, otherPc); // initial PC
    putLe32(other, 20, otherGp); // initial GP
    struct Program {
        QString path;
        quint32 pc, gp;
    };
    const Program programs[] = {{writeTestFile(dir, "hello.exe", hello), 0x8001003c, 0x80019110},
                                {writeTestFile(dir, "other.exe", other), otherPc, otherGp}};
    constexpr int Loads = 12;
    for (int load = 0; load < Loads; ++load) {
        SCOPED_TRACE(load);
        const Program& program = programs[load % 2];
        QProcess run;
        run.start(KESTREL_BINARY_DIR "/src/cli/kestrel-cli",
                  {"-q", "-p", raw.portName(), "load", program.path});
        ASSERT_TRUE(run.waitForFinished(30000));
        const QByteArray out = run.readAllStandardOutput();
        ASSERT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
        EXPECT_TRUE(out.endsWith(QStringLiteral("Registers set:  PC-%1, GP-%2, SP-801ff000\n")
                                     .arg(program.pc, 8, 16, QLatin1Char('0'))
                                     .arg(program.gp, 8, 16, QLatin1Char('0'))
                                     .toLatin1()))
            << out.constData();
        const auto registers = paced.registers();
        EXPECT_EQ(registers.at("epc"), program.pc);
        EXPECT_EQ(registers.at("gp"), program.gp);
        EXPECT_EQ(registers.at("sp"), 0x801ff000u);
    }
    const SimulatorReport report = paced.report();
    EXPECT_EQ(report.counter("binary-writes"), quint64(Loads));
    EXPECT_EQ(report.counter("stray-bytes"), 0u);
}

} // namespace
} // namespace kestrel::test
