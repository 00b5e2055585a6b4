// The monitor simulator serving its line on TCP itself (--listen), so the
// raw-TCP path runs without ser2net: a download, the simulator's hang-up of
// the connection, and the port reconnecting to the next client slot.
#include "DataDownload.h"
#include "MonitorLink.h"
#include "NetworkSerialPort.h"
#include "PortFactory.h"
#include "RecorderHost.h"
#include "Simulator.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

TEST(SimulatorListen, RawTcpDownloadThenHangupAndReconnect) {
    // The simulator closes the connection after the header and first frame.
    Simulator sim({"--listen", "tcp:127.0.0.1:0", "--hangup-after", "30000"});
    ASSERT_TRUE(sim.devicePath().startsWith("tcp:127.0.0.1:")) << sim.devicePath().toStdString();
    const QString name = "tcp://" + sim.devicePath().mid(4);

    TestClock clock{false};
    RecorderHost host{clock};
    host.onPump = [] { QCoreApplication::processEvents(); };
    auto port = makeSerialPort(name);
    ASSERT_TRUE(port);
    static_cast<NetworkSerialPort&>(*port).setReconnectInterval(100);
    MonitorLink link(*port, host);
    QObject::connect(port.get(), &SerialPort::onComm, [&link] { link.onCommEvent(); });
    ASSERT_TRUE(port->setPortOpen(true)) << port->lastError().toStdString();
    port->setRThreshold(1);
    QSignalSpy lost(port.get(), &SerialPort::deviceLost);
    QSignalSpy restored(port.get(), &SerialPort::deviceRestored);

    QTemporaryDir dir;
    const auto download = [&](const QByteArray& data, quint32 address) {
        QFile f(dir.filePath(QString::number(address, 16)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
        f.close();
        return downloadDataFileCommand(link, [&]() -> std::optional<DownloadRequest> {
            return DownloadRequest{f.fileName(), QString::number(address, 16)};
        });
    };

    QByteArray small(5000, '\xff');
    small[0] = '\0';
    ASSERT_EQ(download(small, 0x80010000), TransferOutcome::Completed);
    EXPECT_EQ(sim.memory(0x80010000, small.size()), small);

    // The hang-up lands in the middle of this one.
    EXPECT_EQ(download(QByteArray(64 * 1024, 'k'), 0x80100000), TransferOutcome::Failed);
    ASSERT_TRUE(QTest::qWaitFor([&] { return lost.count() > 0; }));
    EXPECT_TRUE(lost[0][0].toString().contains(name)) << lost[0][0].toString().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return restored.count() > 0; }));
    ASSERT_TRUE(link.sendText("ver\r"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return host.rawTerminal().endsWith(">>"); }));
}

} // namespace
} // namespace kestrel::test
