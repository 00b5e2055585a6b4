// The network serial port against a TCP peer of the test's own: Telnet
// negotiation as a server answers it, 0xFF and zero bytes both ways, the
// settings on the wire, the errors a user sees, and a dropped connection
// coming back.
#include "NetworkSerialPort.h"
#include "LineText.h"
#include "PortFactory.h"
#include "PortProfile.h"
#include "QtSerialPortComponent.h"
#include "TcpPeer.h"
#include "TelnetCodec.h"

#include "../serial/QtPrinters.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using test::line;

using test::FullListener;
using test::TcpPeer;

std::unique_ptr<NetworkSerialPort> portFor(const QString& name) {
    const auto address = NetworkAddress::parse(name);
    EXPECT_TRUE(address) << name.toStdString();
    return address ? std::make_unique<NetworkSerialPort>(*address, name) : nullptr;
}

QString nameFor(const char* scheme, quint16 port) {
    return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port);
}

// Reads from the port until `count` bytes have arrived or msecs pass.
QByteArray readCount(SerialPort& port, qsizetype count, int msecs = 5000) {
    QByteArray got;
    QDeadlineTimer deadline(msecs);
    while (got.size() < count && !deadline.hasExpired()) {
        port.waitForInput(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        got += port.input();
    }
    return got;
}

const QByteArray Nop("\xff\xf1", 2);
const QByteArray OptionRequest("\xff\xfd\x18", 3); // DO TERMINAL-TYPE

struct DataCase {
    const char* scheme;
    TcpPeer::Mode mode;
};

class NetworkData : public ::testing::TestWithParam<DataCase> {};

// Zero bytes and 0xFF both ways, Telnet commands in the middle of the data
// kept out of it, and the receive event raised from the event loop.
TEST_P(NetworkData, BytesArriveExactlyBothWays) {
    const DataCase& c = GetParam();
    const bool telnet = c.mode != TcpPeer::Mode::Raw;
    TcpPeer peer(c.mode);
    auto port = portFor(nameFor(c.scheme, peer.port()));
    ASSERT_TRUE(port->setPortOpen(true)) << port->lastError().toStdString();
    ASSERT_TRUE(peer.waitForClient());

    QByteArray frame(2048, '\xff');
    frame[7] = '\0';
    frame[100] = 'A';
    ASSERT_TRUE(port->output(frame));
    EXPECT_TRUE(port->waitForOutput(1000));
    const QByteArray expectedWire = telnet ? TelnetCodec::escape(frame) : frame;
    ASSERT_TRUE(peer.waitForReceived(expectedWire));
    EXPECT_TRUE(peer.received().endsWith(expectedWire)); // and nothing after it

    const QByteArray block("x\0\xffy", 4);
    QByteArray wire = telnet ? TelnetCodec::escape(block) : block;
    if (telnet) wire = wire.left(4) + Nop + OptionRequest + wire.mid(4);
    QSignalSpy events(port.get(), &SerialPort::onComm);
    port->setRThreshold(1);
    ASSERT_TRUE(peer.send(wire));
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.count() > 0; }));
    EXPECT_EQ(readCount(*port, block.size()), block);
    if (telnet) {
        EXPECT_TRUE(peer.waitForReceived(QByteArray("\xff\xfc\x18", 3)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, NetworkData,
    ::testing::Values(DataCase{"tcp", TcpPeer::Mode::Raw},
                      DataCase{"rfc2217", TcpPeer::Mode::TelnetComPort},
                      DataCase{"rfc2217", TcpPeer::Mode::TelnetRefusingComPort}),
    [](const auto& info) { return std::string(info.param.scheme) + std::to_string(info.index); });

TEST(NetworkSerialPort, SettingsGoToTheRemotePortOnOpenAndAtOnceWhenChanged) {
    TcpPeer peer(TcpPeer::Mode::TelnetComPort);
    auto port = portFor(nameFor("rfc2217", peer.port()));
    ASSERT_TRUE(port->setSettings(line("115200,n,8,1")));
    ASSERT_TRUE(port->setPortOpen(true)) << port->lastError().toStdString();
    EXPECT_TRUE(port->remoteSettingsAccepted());
    EXPECT_TRUE(peer.waitForReceived(TelnetCodec::settingsCommands({115200, 8, 1, 1, 1})));

    ASSERT_TRUE(port->setSettings(line("9600,e,7,2")));
    EXPECT_TRUE(peer.waitForReceived(TelnetCodec::settingsCommands({9600, 7, 3, 2, 1})));
    ASSERT_TRUE(port->setFlowControl(FlowControl::RtsCts));
    EXPECT_TRUE(peer.waitForReceived(TelnetCodec::settingsCommands({9600, 7, 3, 2, 3})));
    EXPECT_EQ(port->settings(), line("9600,e,7,2"));
    EXPECT_EQ(port->flowControl(), FlowControl::RtsCts);
}

// A server without COM port control, and a raw connection, say once that the
// remote settings are not set, and carry the data all the same.
TEST(NetworkSerialPort, SettingsThatCannotBeSetAreSaidOnce) {
    struct {
        const char* scheme;
        TcpPeer::Mode mode;
        const char* said;
    } cases[] = {
        {"rfc2217", TcpPeer::Mode::TelnetRefusingComPort, "refused COM port control"},
        {"tcp", TcpPeer::Mode::Raw, "raw TCP connection"},
    };
    for (const auto& c : cases) {
        TcpPeer peer(c.mode);
        auto port = portFor(nameFor(c.scheme, peer.port()));
        QSignalSpy notices(port.get(), &SerialPort::notice);
        ASSERT_TRUE(port->setPortOpen(true)) << port->lastError().toStdString();
        ASSERT_TRUE(port->setSettings(line("19200,n,8,1")));
        ASSERT_TRUE(port->setSettings(line("38400,n,8,1")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return notices.count() > 0; })) << c.scheme;
        QCoreApplication::processEvents();
        ASSERT_EQ(notices.count(), 1) << c.scheme;
        EXPECT_TRUE(notices[0][0].toString().contains(QLatin1String(c.said)))
            << notices[0][0].toString().toStdString();
        EXPECT_FALSE(peer.received().contains(QByteArray("\xff\xfa", 2))) << c.scheme;
        ASSERT_TRUE(port->output("ok"));
        EXPECT_TRUE(peer.waitForReceived("ok"));
    }
}

quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort(); // closed again when probe goes
}

TEST(NetworkSerialPort, ConnectFailuresSayWhatToDo) {
    FullListener full;
    struct {
        QString name;
        const char* said;
    } cases[] = {
        {nameFor("tcp", closedPort()), "Connection refused by 127.0.0.1:"},
        {"rfc2217://no-such-host.invalid:7002", "Host not found: no-such-host.invalid"},
        {nameFor("rfc2217", full.port()), "No answer from 127.0.0.1:"},
    };
    for (const auto& c : cases) {
        auto port = portFor(c.name);
        port->setConnectTimeout(300);
        EXPECT_FALSE(port->setPortOpen(true)) << c.name.toStdString();
        EXPECT_FALSE(port->portOpen());
        EXPECT_TRUE(port->lastError().startsWith(QLatin1String(c.said)))
            << port->lastError().toStdString();
    }
}

// Opening without waiting: the call returns at once, the port reads as
// opening (not open) meanwhile, and the outcome comes once, from the event
// loop, with the reasons a waiting open gives.
TEST(NetworkSerialPort, BeginOpenReturnsAtOnceAndTellsTheOutcomeOnce) {
    TcpPeer peer(TcpPeer::Mode::TelnetComPort);
    FullListener full;
    struct {
        QString name;
        const char* said; // nullptr: it opens
    } cases[] = {
        {nameFor("rfc2217", peer.port()), nullptr},
        {nameFor("tcp", closedPort()), "Connection refused by 127.0.0.1:"},
        {nameFor("rfc2217", full.port()), "No answer from 127.0.0.1:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        auto port = portFor(c.name);
        port->setConnectTimeout(300);
        QSignalSpy opened(port.get(), &SerialPort::opened);
        QSignalSpy failed(port.get(), &SerialPort::openFailed);
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(port->beginOpen());
        EXPECT_LT(clock.elapsed(), 100);
        EXPECT_TRUE(port->portOpening());
        EXPECT_FALSE(port->portOpen());

        ASSERT_TRUE(QTest::qWaitFor([&] { return opened.count() + failed.count() > 0; }, 3000));
        QTest::qWait(100);
        EXPECT_FALSE(port->portOpening());
        EXPECT_EQ(port->portOpen(), c.said == nullptr);
        EXPECT_EQ(opened.count(), c.said ? 0 : 1);
        ASSERT_EQ(failed.count(), c.said ? 1 : 0);
        if (c.said) {
            EXPECT_TRUE(failed[0][0].toString().startsWith(QLatin1String(c.said)))
                << failed[0][0].toString().toStdString();
            EXPECT_EQ(failed[0][0].toString(), port->lastError());
        }
    }
    // The COM port control was answered before the port said it was open.
    EXPECT_TRUE(peer.waitForReceived(TelnetCodec::settingsCommands({9600, 8, 1, 1, 1})));
}

TEST(NetworkSerialPort, ClosingWhileOpeningEndsItWithoutAWord) {
    FullListener full;
    auto port = portFor(nameFor("rfc2217", full.port()));
    port->setConnectTimeout(300);
    QSignalSpy opened(port.get(), &SerialPort::opened);
    QSignalSpy failed(port.get(), &SerialPort::openFailed);
    ASSERT_TRUE(port->beginOpen());
    ASSERT_TRUE(port->portOpening());
    ASSERT_TRUE(port->setPortOpen(false));
    EXPECT_FALSE(port->portOpening());
    QTest::qWait(600);
    EXPECT_EQ(opened.count() + failed.count(), 0);
    EXPECT_FALSE(port->isWatchingForServer());
}

TEST(NetworkSerialPort, DroppedConnectionIsLostThenRestoredWhenTheServerIsBack) {
    TcpPeer peer(TcpPeer::Mode::TelnetComPort);
    auto port = portFor(nameFor("rfc2217", peer.port()));
    port->setReconnectInterval(50);
    ASSERT_TRUE(port->setSettings(line("57600,n,8,1")));
    ASSERT_TRUE(port->setPortOpen(true));
    port->setRThreshold(1);
    QSignalSpy lost(port.get(), &SerialPort::deviceLost);
    QSignalSpy restored(port.get(), &SerialPort::deviceRestored);
    const QByteArray settings = TelnetCodec::settingsCommands({57600, 8, 1, 1, 1});
    ASSERT_TRUE(peer.waitForReceived(settings));

    peer.dropClient();
    // A transfer waiting for the monitor's answer sees the loss in its wait.
    EXPECT_FALSE(port->waitForInput(500) && port->portOpen());
    EXPECT_FALSE(port->portOpen());
    EXPECT_EQ(port->inBufferCount(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return lost.count() > 0; }));
    EXPECT_TRUE(lost[0][0].toString().startsWith(
        QStringLiteral("The connection %1 was lost:").arg(port->deviceName())))
        << lost[0][0].toString().toStdString();
    EXPECT_TRUE(port->isWatchingForServer());

    ASSERT_TRUE(QTest::qWaitFor([&] { return restored.count() > 0; }));
    EXPECT_TRUE(port->portOpen());
    EXPECT_EQ(peer.connectionsAccepted(), 2);
    // The new connection has the settings in force again.
    ASSERT_TRUE(port->output("again"));
    ASSERT_TRUE(peer.waitForReceived("again"));
    EXPECT_EQ(peer.received().count(settings), 2);
}

// While another client has the server's port, the connections it turns
// away are neither an open nor a reopening: the words are the reason, and
// the port keeps looking until it gets the line.
TEST(NetworkSerialPort, ConnectionTurnedAwayIsNoOpenAndNoReopening) {
    const QByteArray words = "Port already in use\r\n\x1b[2J";
    TcpPeer peer(TcpPeer::Mode::Raw);
    auto port = portFor(nameFor("tcp", peer.port()));
    port->setReconnectInterval(50);
    peer.turnAway(1, words);
    EXPECT_FALSE(port->setPortOpen(true));
    EXPECT_EQ(port->lastError(), "the server turned the connection away: Port already in use [2J");

    ASSERT_TRUE(port->setPortOpen(true)) << port->lastError().toStdString();
    port->setRThreshold(1);
    QSignalSpy lost(port.get(), &SerialPort::deviceLost);
    QSignalSpy restored(port.get(), &SerialPort::deviceRestored);
    QSignalSpy received(port.get(), &SerialPort::onComm);
    ASSERT_TRUE(peer.waitForClient());
    peer.turnAway(3, words);
    peer.dropClient();
    ASSERT_TRUE(QTest::qWaitFor([&] { return restored.count() > 0; }));
    EXPECT_EQ(peer.connectionsAccepted(), 2 + 3 + 1);
    QTest::qWait(200);
    EXPECT_EQ(lost.count(), 1);
    EXPECT_EQ(restored.count(), 1);
    EXPECT_TRUE(port->portOpen());
    EXPECT_EQ(received.count(), 0) << "the server's words are not the console's";
}

TEST(NetworkSerialPort, ClosingByHandIsNoLoss) {
    TcpPeer peer(TcpPeer::Mode::Raw);
    auto port = portFor(nameFor("tcp", peer.port()));
    QSignalSpy lost(port.get(), &SerialPort::deviceLost);
    ASSERT_TRUE(port->setPortOpen(true));
    ASSERT_TRUE(port->output("last words"));
    ASSERT_TRUE(port->setPortOpen(false));
    EXPECT_TRUE(peer.waitForReceived("last words"));
    QCoreApplication::processEvents();
    EXPECT_EQ(lost.count(), 0);
    EXPECT_FALSE(port->isWatchingForServer());
    EXPECT_TRUE(port->output("dropped")); // a closed port drops sends quietly
}

TEST(PortFactory, PortNamePicksTheComponentAndTheStatusShowsIt) {
    QString error;
    auto net = makeSerialPort("rfc2217://pi.local:7002", &error);
    ASSERT_TRUE(net);
    EXPECT_NE(dynamic_cast<NetworkSerialPort*>(net.get()), nullptr);
    ASSERT_TRUE(net->setSettings(line("115200,n,8,1")));
    EXPECT_EQ(portStatusText(*net), "rfc2217://pi.local:7002:115200,n,8,1");

    auto raw = makeSerialPort("tcp://[::1]:4000", &error);
    ASSERT_TRUE(raw);
    EXPECT_EQ(dynamic_cast<NetworkSerialPort*>(raw.get())->address().host, "::1");

    auto device = makeSerialPort("/dev/ttyUSB0", &error);
    ASSERT_TRUE(device);
    EXPECT_EQ(dynamic_cast<QtSerialPortComponent*>(device.get())->deviceOverride(), "/dev/ttyUSB0");
    // A bare name is a file of the working folder, not of /dev.
    auto bare = makeSerialPort("plink", &error);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->deviceOverride(), QDir::current().absoluteFilePath("plink"));
    EXPECT_TRUE(makeSerialPort({}, &error));

    EXPECT_FALSE(makeSerialPort("tcp://::1:4000", &error));
    EXPECT_TRUE(error.contains(QLatin1String("IPv6 address in brackets"))) << error.toStdString();
}

} // namespace
} // namespace kestrel
