// End to end through a real ser2net: the monitor simulator on a
// pseudo-terminal, ser2net serving it on 127.0.0.1 through a raw TCP accepter
// or a telnet(rfc2217) one, and Kestrel's network port at the other end.
#include "DataDownload.h"
#include "ExecutableDownload.h"
#include "LineText.h"
#include "MonitorLink.h"
#include "NetworkSerialPort.h"
#include "PortFactory.h"
#include "PortProfile.h"
#include "ReceiveFile.h"
#include "RecorderHost.h"
#include "Ser2net.h"
#include "Simulator.h"
#include "TestFiles.h"

#include "../serial/QtPrinters.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel::test {
namespace {

// Random bytes with runs of 0xFF and of zero bytes, the two the Telnet layer
// and the monitor's line are most likely to get wrong.
QByteArray testData(qsizetype size, quint32 seed) {
    QByteArray bytes(size, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    for (qsizetype at = 0; at + 600 < size; at += 50'000) {
        bytes.replace(at, 300, QByteArray(300, '\xff'));
        bytes.replace(at + 300, 300, QByteArray(300, '\0'));
    }
    return bytes;
}

// The line speed the pseudo-terminal has now, as ser2net set it.
speed_t deviceSpeed(const QString& device) {
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return 0;
    termios tio{};
    tcgetattr(fd, &tio);
    ::close(fd);
    return cfgetospeed(&tio);
}

class ThroughSer2net : public ::testing::TestWithParam<Ser2net::Accepter> {
protected:
    void SetUp() override {
        if (Ser2net::program().isEmpty()) GTEST_SKIP() << "ser2net is not installed";
        ASSERT_FALSE(sim.devicePath().isEmpty());
        server.emplace(GetParam(), sim.devicePath());
        ASSERT_TRUE(server->start()) << server->error().toStdString();

        host.onPump = [] { QCoreApplication::processEvents(); };
        port = makeSerialPort(server->portName());
        ASSERT_TRUE(port);
        net().setReconnectInterval(100);
        link.emplace(*port, host);
        QObject::connect(port.get(), &SerialPort::onComm, [this] { link->onCommEvent(); });
        ASSERT_TRUE(port->setSettings(line("115200,n,8,1")));
        ASSERT_TRUE(port->setPortOpen(true)) << port->lastError().toStdString();
        port->setRThreshold(1);
    }

    NetworkSerialPort& net() { return static_cast<NetworkSerialPort&>(*port); }
    bool rfc2217() const { return GetParam() == Ser2net::Accepter::Rfc2217; }

    QString writeFile(const QString& name, const QByteArray& bytes) {
        return kestrel::test::writeTestFile(dir, name, bytes);
    }

    TransferOutcome download(const QString& file, quint32 address) {
        return downloadDataFileCommand(*link, [&]() -> std::optional<DownloadRequest> {
            return DownloadRequest{file, QString::number(address, 16)};
        });
    }

    Simulator sim;
    std::optional<Ser2net> server;
    TestClock clock{false};
    RecorderHost host{clock};
    std::unique_ptr<SerialPort> port;
    std::optional<MonitorLink> link;
    QTemporaryDir dir;
};

TEST_P(ThroughSer2net, TerminalLineGetsTheMonitorsAnswer) {
    ASSERT_TRUE(link->sendText("ver\r"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return host.rawTerminal().contains(">>"); }));
    // The simulator writes its transcript a moment after it has answered.
    EXPECT_TRUE(QTest::qWaitFor([&] { return sim.transcript().received().endsWith("ver\r"); }));
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
}

TEST_P(ThroughSer2net, OneMebibyteWithRunsOfFFAndZeroLandsByteForByte) {
    const QByteArray data = testData(1 << 20, 16);
    ASSERT_EQ(download(writeFile("mebibyte.bin", data), 0x80100000), TransferOutcome::Completed)
        << host.messages.join('|').toStdString();
    EXPECT_EQ(sim.memory(0x80100000, data.size()), data);
    EXPECT_EQ(host.fields[FieldCounter], "100000/100000");
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
}

TEST_P(ThroughSer2net, PsExeLoadsWithItsRegisters) {
    const QString path = dir.filePath("hello.exe");
    ASSERT_TRUE(QFile::copy(KESTREL_SOURCE_DIR "/tests/fixtures/exe/hello.exe", path));
    QFile exe(path);
    ASSERT_TRUE(exe.open(QIODevice::ReadOnly));
    const QByteArray file = exe.readAll();
    exe.close();
    TransferOutcome outcome;
    {
        const TransferHold hold(*link);
        outcome = downloadPsExe(*link, path);
    }
    ASSERT_EQ(outcome, TransferOutcome::Completed) << host.messages.join('|').toStdString();
    // The download ends once the monitor has echoed the last register
    // command, so the registers are in place when it returns.
    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.memory(0x80010000, file.size() - 2048), file.mid(2048));
    EXPECT_EQ(report.registers.at("epc"), 0x8001003cu);
    EXPECT_EQ(report.registers.at("gp"), 0x80019110u);
    EXPECT_EQ(report.registers.at("sp"), 0x801ff000u);
    EXPECT_EQ(report.counter("stray-bytes"), 0u);
}

TEST_P(ThroughSer2net, ReceivedBlockWithFFAndZeroBytesMatchesMemory) {
    QByteArray data = testData(4000, 4);
    data.replace(10, 8, QByteArray(8, '\xff'));
    data.replace(20, 8, QByteArray(8, '\0'));
    ASSERT_EQ(download(writeFile("sent.bin", data), 0x80050000), TransferOutcome::Completed);

    ReceiveCapture capture(*link);
    std::optional<TransferOutcome> outcome;
    capture.onFinished = [&](TransferOutcome o, quint32) { outcome = o; };
    const QString target = dir.filePath("received.bin");
    const auto start =
        receiveDataFileCommand(*link, capture, [&]() -> std::optional<ReceiveRequest> {
            return ReceiveRequest{target, "80050000", "fa0"};
        });
    ASSERT_EQ(start, ReceiveStart::Capturing);
    ASSERT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, 10000));
    EXPECT_EQ(*outcome, TransferOutcome::Completed);
    QFile received(target);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), data);
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
}

// F12 as the window runs it: the dialog's choice is applied and the port
// reopened in the background; through RFC 2217 ser2net puts the speed on the
// device.
TEST_P(ThroughSer2net, ChangedSpeedReachesTheDevice) {
    QSettings store(dir.filePath("kestrel.ini"), QSettings::IniFormat);
    QSignalSpy notices(port.get(), &SerialPort::notice);
    ASSERT_TRUE(QTest::qWaitFor([&] { return deviceSpeed(sim.devicePath()) == B115200; }));
    editPortSettings(*port, store, host, [](const PortDialogFields& shown) {
        PortDialogFields fields = shown;
        fields.baudText = QStringLiteral("57600");
        return std::optional<PortDialogFields>(fields);
    });
    // The connection is made from the event loop; the status says so meanwhile.
    EXPECT_EQ(host.fields[FieldPort], "Connecting: " + server->portName() + ":57600,N,8,1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !port->portOpening(); }));
    ASSERT_TRUE(port->portOpen()) << port->lastError().toStdString();
    if (rfc2217()) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return deviceSpeed(sim.devicePath()) == B57600; }));
        EXPECT_TRUE(net().remoteSettingsAccepted());
    } else {
        ASSERT_TRUE(QTest::qWaitFor([&] { return notices.count() > 0; }));
        EXPECT_TRUE(notices[0][0].toString().contains("raw TCP"));
        // ser2net puts its own configured speed back on the new connection.
        EXPECT_TRUE(QTest::qWaitFor([&] { return deviceSpeed(sim.devicePath()) == B115200; }));
    }
    // The line still carries the conversation.
    ASSERT_TRUE(link->sendText("ver\r"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return host.rawTerminal().contains(">>"); }));
}

// ser2net dies in the middle of a download: the transfer fails as on a
// vanished device, the loss is reported with its reason, and once ser2net is
// back the port reopens by itself.
TEST_P(ThroughSer2net, ServerKilledMidTransferFailsItThenComesBack) {
    QSignalSpy lost(port.get(), &SerialPort::deviceLost);
    QSignalSpy restored(port.get(), &SerialPort::deviceRestored);
    const QByteArray data = testData(256 * 1024, 7);
    host.onPump = [&] {
        if (host.progressPositions.size() == 20) server->kill();
        QCoreApplication::processEvents();
    };
    QDeadlineTimer deadline(10000);
    EXPECT_EQ(download(writeFile("cut.bin", data), 0x80200000), TransferOutcome::Failed);
    EXPECT_FALSE(deadline.hasExpired());
    EXPECT_EQ(host.messages, QStringList({"Upload of data failed.", "No end binary!"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return lost.count() > 0; }));
    EXPECT_TRUE(lost[0][0].toString().contains(server->portName()))
        << lost[0][0].toString().toStdString();
    EXPECT_FALSE(port->portOpen());

    host.onPump = [] { QCoreApplication::processEvents(); };
    ASSERT_TRUE(server->start()) << server->error().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return restored.count() > 0; }, 10000));
    EXPECT_TRUE(port->portOpen());
    ASSERT_TRUE(link->sendText("ver\r"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return host.rawTerminal().contains(">>"); }));
}

INSTANTIATE_TEST_SUITE_P(Accepters, ThroughSer2net,
                         ::testing::Values(Ser2net::Accepter::RawTcp, Ser2net::Accepter::Rfc2217),
                         [](const auto& info) { return std::string(Ser2net::name(info.param)); });

} // namespace
} // namespace kestrel::test
