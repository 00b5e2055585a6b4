// An auto file run through Kestrel's own serial component against the
// monitor simulator on a pseudo-terminal, on the real clock: console lines,
// a data download, an executable load, and local commands in between.
#include "AutoFile.h"
#include "AutomationFixture.h"
#include "MonitorLink.h"
#include "QtSerialPortComponent.h"
#include "SimulatorLinkFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class AutoEndToEnd : public SimulatorLinkFixture {
protected:
    // Reads the line until the simulator has answered `lastLine`, so the
    // report that follows has seen every byte of the run.
    void awaitEcho(const QByteArray& lastLine) {
        ReceiveEventsOff eventsOff(port);
        port.setInputLen(0);
        QByteArray answer;
        while (!answer.contains(lastLine + "\r\n>>") && port.waitForInput(3000))
            answer += port.input();
        EXPECT_TRUE(answer.contains(lastLine + "\r\n>>")) << answer.toStdString();
    }

    LowerCaseDir dir;
};

TEST_F(AutoEndToEnd, ConsoleLinesDownloadsAndLocalCommands) {
    QByteArray data(3000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 13 + 1);
    const QByteArray dataPath = dir.write("data.bin", data).toLocal8Bit();
    const QByteArray exePath = dir.copyFixture("exe/hello.exe").toLocal8Bit();
    QFile exe(exePath);
    ASSERT_TRUE(exe.open(QIODevice::ReadOnly));
    const QByteArray image = exe.readAll().mid(2048);

    const QString autoFile = dir.write("session.sio", "SR T0 0xABCD\r\n"
                                                      "local dload " +
                                                          dataPath +
                                                          "\t0x80100000\r\n"
                                                          "local load " +
                                                          exePath +
                                                          "\n"
                                                          "local echo Loaded OK\x1a"
                                                          "local sleep 1\r"
                                                          "sr t1  5\r\n"
                                                          "sr t2 7");

    QElapsedTimer timer;
    timer.start();
    AutoRunner runner(link);
    const AutoRunResult result = runner.runAutoFile(autoFile, TransferHold(link));
    const qint64 elapsed = timer.elapsed();
    EXPECT_EQ(result.end, AutoRunResult::End::Completed);
    EXPECT_EQ(result.failedTransfers, 0);
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
    awaitEcho("sr t1 5");

    // One pause after the data download, one for the sleep; both really waited.
    EXPECT_EQ(host.sleeps, (QList<int>{1000, 1000}));
    EXPECT_GE(elapsed, 2000);
    const QByteArray terminal = host.rawTerminal();
    EXPECT_TRUE(terminal.contains(": PSX-EXE format.\r"));
    EXPECT_TRUE(terminal.contains("loaded ok\r"));
    EXPECT_TRUE(terminal.contains("Going to sleep for 1 seconds...done.\r"));
    EXPECT_EQ(host.fields[FieldTask], "Auto file completed.");

    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.memory(0x80100000, data.size()), data);
    EXPECT_EQ(report.memory(0x80010000, image.size()), image);
    EXPECT_EQ(report.regions.size(), 2u);
    EXPECT_EQ(report.registers.at("t0"), 0xabcdu);
    EXPECT_EQ(report.registers.at("t1"), 5u);
    EXPECT_EQ(report.registers.count("t2"), 0u); // its line has no line end
    EXPECT_EQ(report.registers.at("epc"), 0x8001003cu);
    EXPECT_EQ(report.counter("binary-writes"), 2u);
    EXPECT_EQ(report.counter("frames-refused"), 0u);

    // The console saw its lines in file order around the two downloads, and
    // nothing of the local commands themselves.
    const QByteArray received = sim.transcript().received();
    EXPECT_TRUE(received.startsWith("sr t0 abcd\r"
                                    "bwr\r"))
        << received.left(40).toStdString();
    EXPECT_TRUE(received.endsWith("sr t1 5\r"));
    EXPECT_EQ(received.count("bwr\r"), 2);
    EXPECT_FALSE(received.contains("local"));
    EXPECT_FALSE(received.contains("loaded"));
}

} // namespace
