// Kestrel's own serial component and monitor conversation against the
// simulator: the real device path end to end, at the console's usual speed.
#include "LineText.h"
#include "MonitorLink.h"
#include "QtSerialPortComponent.h"
#include "RecorderHost.h"
#include "Simulator.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

TEST(SimulatorWithKestrel, BinaryWriteAndStartRegistersArrive) {
    Simulator sim({"--baud", "115200"});
    QtSerialPortComponent port;
    port.setDeviceOverride(sim.devicePath());
    ASSERT_TRUE(port.setSettings(line("115200,n,8,1")));
    ASSERT_TRUE(port.setPortOpen(true)) << port.lastError().toStdString();
    TestClock clock(false);
    RecorderHost host(clock);
    host.onPump = [] { QCoreApplication::processEvents(); };
    MonitorLink link(port, host);
    port.setRThreshold(0);

    QByteArray data(2049, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    link.discardInput();
    ASSERT_TRUE(link.beginBinaryWrite());
    link.sendLoadHeader(0x80010000, static_cast<quint32>(data.size()));
    for (qsizetype at = 0; at < data.size(); at += FrameSize)
        ASSERT_TRUE(link.sendBinaryBlocks(
            data.constData() + at,
            static_cast<qint32>(qMin<qsizetype>(FrameSize, data.size() - at))));
    EXPECT_TRUE(link.endBinary());
    // The registers go out as Kestrel sends them; the last prompt tells that
    // the simulator has taken both lines.
    link.sendText("sr epc 80010000\r");
    link.sendText("sr sp 801ffff0\r");
    QByteArray answer;
    port.setInputLen(0);
    while (!answer.contains("sr sp 801ffff0\r\n>>") && port.waitForInput(3000))
        answer += port.input();

    const SimulatorReport report = sim.report();
    EXPECT_TRUE(report.memory(0x80010000, data.size()) == data);
    EXPECT_EQ(report.regions.size(), 1u);
    EXPECT_EQ(report.registers.at("epc"), 0x80010000u);
    EXPECT_EQ(report.registers.at("sp"), 0x801ffff0u);
    EXPECT_TRUE(host.messages.isEmpty());
}

} // namespace
} // namespace kestrel::test
