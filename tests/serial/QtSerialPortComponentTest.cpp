#include "QtSerialPortComponent.h"
#include "LineText.h"
#include "PortProfile.h"
#include "Pty.h"
#include "QtPrinters.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kestrel {
namespace {

using test::line;

using sim::Pty;

QString slavePath(const Pty& pty) {
    return QString::fromStdString(pty.slavePath());
}

// Bytes the kernel holds for the slave side that nobody has read yet.
int waitingAtTheSlave(const Pty& pty) {
    int waiting = 0;
    return ::ioctl(pty.slave(), FIONREAD, &waiting) == 0 ? waiting : -1;
}

// Waits, without running the event loop, until what the master wrote has
// crossed the kernel's pty: the slave side holds `count` unread bytes.
bool reachedTheSlave(const Pty& pty, int count) {
    QDeadlineTimer deadline(5000);
    while (waitingAtTheSlave(pty) < count) {
        if (deadline.hasExpired()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

QByteArray randomBytes(qsizetype n) {
    QByteArray bytes(n, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// The component on the slave side of a fresh pseudo-terminal; the test is the
// console on the master side.
class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pty.open(), "");
        port.setDeviceOverride(slavePath(pty));
        ASSERT_TRUE(port.setSettings(line("115200,n,8,1")));
        ASSERT_TRUE(port.setPortOpen(true)) << port.lastError().toStdString();
    }

    // Bytes the master wrote reach the slave through the kernel's pty queue.
    QByteArray receiveAll(qsizetype expected) {
        QByteArray got;
        for (int tries = 0; tries < 50 && got.size() < expected; ++tries) {
            port.waitForInput(100);
            port.setInputLen(0);
            got += port.input();
        }
        return got;
    }

    termios lineSettings() const {
        termios tio{};
        tcgetattr(pty.slave(), &tio);
        return tio;
    }

    Pty pty;
    QtSerialPortComponent port;
};

TEST_F(PtyPortTest, EachOutputLeavesAtOnceAndExact) {
    const QByteArray writes[] = {"l", QByteArray("\0", 1), QByteArray("a\0b\r\n\xff", 6),
                                 randomBytes(300)};
    for (const QByteArray& bytes : writes) {
        ASSERT_TRUE(port.output(bytes));
        // No event loop runs between the write and the read.
        EXPECT_EQ(pty.readExactly(bytes.size(), 1000), bytes.toStdString());
    }
    EXPECT_EQ(port.outBufferCount(), 0);
}

TEST_F(PtyPortTest, FrameOf2048BytesIsAcceptedWhole) {
    const QByteArray frame = randomBytes(2048);
    ASSERT_TRUE(port.output(frame));
    EXPECT_TRUE(port.waitForOutput(2000));
    EXPECT_EQ(port.outBufferCount(), 0);
    EXPECT_EQ(pty.readExactly(2048, 2000), frame.toStdString());
}

TEST_F(PtyPortTest, MoreThanTheDeviceTakesWaitsInTheBufferUntilSent) {
    // Far more than the pty holds while nobody reads the master.
    const QByteArray block = randomBytes(1 << 20);
    ASSERT_TRUE(port.output(block));
    EXPECT_GT(port.outBufferCount(), 0);

    QByteArray arrived;
    std::thread reader(
        [&] { arrived = QByteArray::fromStdString(pty.readExactly(block.size(), 10000)); });
    const bool drained = port.waitForOutput(10000);
    reader.join();
    EXPECT_TRUE(drained);
    EXPECT_EQ(port.outBufferCount(), 0);
    EXPECT_TRUE(arrived == block) << arrived.size() << " of " << block.size() << " bytes";
}

TEST_F(PtyPortTest, BytesFromTheFarEndReachInputZeroBytesIncluded) {
    const QByteArray sent("hello\0world\r", 12);
    pty.write(sent.toStdString());
    EXPECT_EQ(receiveAll(sent.size()), sent);
    EXPECT_EQ(port.inBufferCount(), 0);
}

TEST_F(PtyPortTest, InputLenOneTakesExactlyOneByte) {
    pty.write("xyz");
    ASSERT_TRUE(reachedTheSlave(pty, 3));
    port.setInputLen(1);
    EXPECT_EQ(port.input(), QByteArray("x"));
    EXPECT_EQ(port.inBufferCount(), 2);
}

TEST_F(PtyPortTest, BytesStillInTheKernelAreCountedWithoutTheEventLoop) {
    port.setRThreshold(0);
    pty.write(std::string_view("abc\0", 4));
    ASSERT_TRUE(reachedTheSlave(pty, 4));
    EXPECT_EQ(port.inBufferCount(), 4);
    port.setInputLen(0);
    EXPECT_EQ(port.input(), QByteArray("abc\0", 4));
}

TEST_F(PtyPortTest, ThresholdZeroKeepsBytesAndOneDeliversThemWithAnEvent) {
    QSignalSpy events(&port, &SerialPort::onComm);
    port.setRThreshold(0);
    pty.write("ok");
    ASSERT_TRUE(reachedTheSlave(pty, 2));
    // Nothing is to come: the wait gives a wrongly raised event its chance.
    EXPECT_FALSE(events.wait(300));
    EXPECT_EQ(port.inBufferCount(), 2);

    port.setRThreshold(1);
    EXPECT_EQ(events.count(), 0) << "raised from inside setRThreshold";
    ASSERT_TRUE(events.wait(1000));
    EXPECT_EQ(port.commEvent(), SerialPort::DataReceived);
    port.setInputLen(0);
    EXPECT_EQ(port.input(), QByteArray("ok"));

    pty.write("more");
    EXPECT_TRUE(events.wait(1000));
}

TEST_F(PtyPortTest, EventsComeFromTheEventLoopNeverFromInsideACall) {
    QSignalSpy events(&port, &SerialPort::onComm);
    port.setRThreshold(1);
    pty.write("x");
    ASSERT_TRUE(reachedTheSlave(pty, 1));
    // Reading with events on (as the memory receive does) fetches the byte
    // from the kernel without raising the event there and then.
    EXPECT_EQ(port.inBufferCount(), 1);
    EXPECT_TRUE(port.waitForInput(100));
    EXPECT_EQ(events.count(), 0);
    EXPECT_TRUE(events.wait(1000));
    EXPECT_EQ(events.count(), 1);
}

TEST_F(PtyPortTest, HandlerThatPumpsMessagesIsNotReentered) {
    // The receive path: events off, read everything, pump, events back on.
    int depth = 0, deepest = 0, events = 0;
    QByteArray received;
    QObject::connect(&port, &SerialPort::onComm, [&] {
        ++events;
        deepest = std::max(deepest, ++depth);
        port.setRThreshold(0);
        if (received.isEmpty()) {
            // The second piece is readable while we pump.
            const int before = waitingAtTheSlave(pty);
            pty.write("second");
            EXPECT_TRUE(reachedTheSlave(pty, before + 6));
        }
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        while (port.inBufferCount() > 0) {
            port.setInputLen(0);
            received += port.input();
        }
        port.setRThreshold(1);
        --depth;
    });
    port.setRThreshold(1);
    pty.write("first");
    EXPECT_TRUE(QTest::qWaitFor([&] { return received == "firstsecond"; }, 5000))
        << received.constData();
    EXPECT_EQ(deepest, 1);
    EXPECT_GE(events, 1);
}

TEST_F(PtyPortTest, SettingsReachTheDeviceAndRefusedOnesChangeNothing) {
    ASSERT_TRUE(port.setSettings(line("19200,n,8,2")));
    termios tio = lineSettings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);

    // A pseudo-terminal cannot do parity or 7 data bits: the new speed must
    // not stay behind either.
    EXPECT_FALSE(port.setSettings(line("9600,e,7,1")));
    EXPECT_FALSE(port.setSettings(line("9600,n,8,1.5")));
    EXPECT_EQ(port.settings().text(), QStringLiteral("19200,n,8,2"));
    tio = lineSettings();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
}

TEST_F(PtyPortTest, OpenFailsWhenTheDeviceDoesNotTakeTheSettings) {
    port.setPortOpen(false);
    ASSERT_TRUE(port.setSettings(line("9600,e,7,1")));
    EXPECT_FALSE(port.setPortOpen(true));
    EXPECT_FALSE(port.portOpen());
    EXPECT_EQ(port.lastError(),
              slavePath(pty) + QStringLiteral(" does not take the settings 9600,e,7,1"));
}

TEST_F(PtyPortTest, HandshakingChoosesTheFlowControl) {
    struct Case {
        FlowControl flow;
        bool rtsCts, xonXoff;
    };
    const Case cases[] = {{FlowControl::None, false, false},
                          {FlowControl::XonXoff, false, true},
                          {FlowControl::RtsCts, true, false},
                          {FlowControl::RtsCtsXonXoff, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(flowControlNumber(c.flow));
        ASSERT_TRUE(port.setFlowControl(c.flow));
        EXPECT_EQ(port.flowControl(), c.flow);
        const termios tio = lineSettings();
        EXPECT_EQ(bool(tio.c_cflag & CRTSCTS), c.rtsCts);
        EXPECT_EQ(bool(tio.c_iflag & IXON), c.xonXoff);
    }
}

TEST_F(PtyPortTest, PortNumberCannotChangeWhileOpen) {
    EXPECT_FALSE(port.setCommPort(3));
    EXPECT_EQ(port.commPort(), 1);
    port.setPortOpen(false);
    EXPECT_TRUE(port.setCommPort(3));
    EXPECT_FALSE(port.setCommPort(0));
    EXPECT_FALSE(port.setCommPort(256));
    EXPECT_EQ(port.commPort(), 3);
}

TEST_F(PtyPortTest, ClosedPortCountsNothingAndDropsOutput) {
    pty.write("waiting");
    port.setPortOpen(false);
    EXPECT_FALSE(port.portOpen());
    EXPECT_EQ(port.inBufferCount(), 0);
    EXPECT_EQ(port.input(), QByteArray());
    EXPECT_TRUE(port.output("dropped"));
    EXPECT_EQ(port.outBufferCount(), 0);
    EXPECT_TRUE(port.waitForOutput(10));
    EXPECT_EQ(pty.read(100), "");
    // Nothing can arrive, but a caller's wait still lasts its time (no spin).
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(port.waitForInput(150));
    EXPECT_GE(clock.elapsed(), 140);
}

TEST_F(PtyPortTest, SecondUserOfTheDeviceIsToldItIsBusy) {
    QtSerialPortComponent second;
    second.setDeviceOverride(slavePath(pty));
    EXPECT_FALSE(second.setPortOpen(true));
    EXPECT_TRUE(second.lastError().startsWith(QLatin1String("Device busy")))
        << second.lastError().toStdString();
}

TEST_F(PtyPortTest, FarEndHangingUpClosesThePortAndRaisesDeviceLost) {
    QSignalSpy lost(&port, &SerialPort::deviceLost);
    port.setRThreshold(0);
    pty.closeMaster();
    pty.closeSlave();
    // A transfer holding the thread notices at its next wait...
    port.waitForInput(200);
    EXPECT_FALSE(port.portOpen());
    EXPECT_TRUE(port.output("after")) << "sending behaves as on a closed port";
    EXPECT_EQ(port.inBufferCount(), 0);
    // ...and the event loop then closes the device and tells the window.
    ASSERT_TRUE(lost.wait(2000));
    EXPECT_FALSE(port.portOpen());
    EXPECT_FALSE(lost.first().first().toString().isEmpty());
    EXPECT_TRUE(port.isWatchingForDevice());
    EXPECT_TRUE(port.output("later"));
}

TEST_F(PtyPortTest, HangUpIsNoticedByTheEventLoopAlone) {
    QSignalSpy lost(&port, &SerialPort::deviceLost);
    port.setRThreshold(1);
    pty.closeMaster();
    pty.closeSlave();
    ASSERT_TRUE(lost.wait(2000));
    EXPECT_FALSE(port.portOpen());
}

// The event loop can find the device readable and then, before it hands
// that to the port, run something that takes the bytes first (a conversation
// reading the line). The read that finds nothing is no lost device.
TEST_F(PtyPortTest, BytesTakenBeforeTheEventLoopReadsThemLoseNothing) {
    QSignalSpy lost(&port, &SerialPort::deviceLost);
    port.setRThreshold(1);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(pty.write(">>"));
        ASSERT_TRUE(reachedTheSlave(pty, 2));
        QMetaObject::invokeMethod(
            &port,
            [this] {
                port.setInputLen(0);
                while (port.inBufferCount() > 0)
                    port.input();
            },
            Qt::QueuedConnection);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(lost.count(), 0);
    EXPECT_TRUE(port.portOpen()) << port.lastError().toStdString();
}

TEST(PtyPortReconnect, ReopensWithTheSettingsInForceWhenTheDeviceReturns) {
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("console"));
    auto first = std::make_unique<Pty>();
    ASSERT_EQ(first->open(), "");
    ASSERT_TRUE(QFile::link(slavePath(*first), link));

    QtSerialPortComponent port;
    port.setDeviceOverride(link);
    ASSERT_TRUE(port.setSettings(line("19200,n,8,2")));
    ASSERT_TRUE(port.setFlowControl(FlowControl::RtsCts));
    ASSERT_TRUE(port.setPortOpen(true)) << port.lastError().toStdString();
    QSignalSpy lost(&port, &SerialPort::deviceLost);
    QSignalSpy restored(&port, &SerialPort::deviceRestored);

    // The device goes away and its node with it (as an unplugged adapter's
    // does); a pty's own number may be reused by any other program at once.
    first.reset();
    ASSERT_TRUE(QFile::remove(link));
    ASSERT_TRUE(lost.wait(2000));
    // No event to wait for: the watch looks once a second, and a round that
    // finds nothing at the path must not reopen anything.
    QTest::qWait(1200);
    EXPECT_EQ(restored.count(), 0);
    EXPECT_FALSE(port.portOpen());

    Pty second;
    ASSERT_EQ(second.open(), "");
    ASSERT_TRUE(QFile::link(slavePath(second), link));
    ASSERT_TRUE(restored.wait(3000));
    EXPECT_TRUE(port.portOpen());
    EXPECT_FALSE(port.isWatchingForDevice());
    EXPECT_EQ(port.settings().text(), QStringLiteral("19200,n,8,2"));
    termios tio{};
    tcgetattr(second.slave(), &tio);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    ASSERT_TRUE(port.output("back"));
    EXPECT_EQ(second.readExactly(4, 1000), "back");
}

TEST(PtyPortReconnect, ClosingByHandEndsTheWatch) {
    auto pty = std::make_unique<Pty>();
    ASSERT_EQ(pty->open(), "");
    QtSerialPortComponent port;
    port.setDeviceOverride(slavePath(*pty));
    ASSERT_TRUE(port.setPortOpen(true));
    QSignalSpy lost(&port, &SerialPort::deviceLost);
    pty.reset();
    ASSERT_TRUE(lost.wait(2000));
    port.setPortOpen(false);
    EXPECT_FALSE(port.isWatchingForDevice());
}

TEST(QtSerialPortComponent, MissingDeviceSaysSo) {
    QtSerialPortComponent port;
    port.setDeviceOverride(QStringLiteral("/dev/kestrel-no-such-tty"));
    EXPECT_FALSE(port.setPortOpen(true));
    EXPECT_EQ(port.lastError(),
              QStringLiteral("No such file or directory: /dev/kestrel-no-such-tty"));
    EXPECT_FALSE(port.portOpen());
}

TEST_F(PtyPortTest, DeviceTheUserMayNotOpenNamesTheGroupToJoin) {
    const group* dialout = getgrnam("dialout");
    if (getuid() != 0 || !dialout) GTEST_SKIP() << "needs root and a dialout group";
    port.setPortOpen(false);
    const QByteArray path = QByteArray::fromStdString(pty.slavePath());
    ASSERT_EQ(chown(path.constData(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(path.constData(), 0660), 0);
    // In a child process that has given up root for an ordinary user.
    EXPECT_EXIT(
        {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            QtSerialPortComponent other;
            other.setDeviceOverride(slavePath(pty));
            const bool opened = other.setPortOpen(true);
            fprintf(stderr, "%s\n", qPrintable(other.lastError()));
            _exit(opened ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "Permission denied: add yourself to the group 'dialout'");
}

TEST(QtSerialPortComponent, PermissionMessageNamesTheOwningGroup) {
    const group* dialout = getgrnam("dialout");
    if (!dialout) GTEST_SKIP() << "no dialout group here";
    QTemporaryDir dir;
    const QString device = dir.filePath(QStringLiteral("tty"));
    QFile file(device);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    // Only root or a member may give a file to the group.
    if (chown(QFile::encodeName(device).constData(), getuid(), dialout->gr_gid) != 0) {
        ASSERT_EQ(errno, EPERM) << std::strerror(errno);
        GTEST_SKIP() << "giving a file to the group 'dialout' needs root or membership of it";
    }
    ASSERT_EQ(chmod(QFile::encodeName(device).constData(), 0660), 0);
    EXPECT_EQ(QtSerialPortComponent::permissionDeniedReason(device),
              QStringLiteral("Permission denied: add yourself to the group 'dialout'"));
}

TEST(QtSerialPortComponent, DeviceOverrideReplacesThePortInStatusAndDevice) {
    QtSerialPortComponent port;
    ASSERT_TRUE(port.setCommPort(6));
    EXPECT_EQ(port.deviceName(), QStringLiteral("/dev/ttyUSB1"));
    EXPECT_EQ(portStatusText(port), QStringLiteral("COM6:9600,n,8,1"));
    port.setDeviceOverride(QStringLiteral("/dev/pts/3"));
    EXPECT_EQ(port.deviceName(), QStringLiteral("/dev/pts/3"));
    EXPECT_EQ(portStatusText(port), QStringLiteral("/dev/pts/3:9600,n,8,1"));
}

} // namespace
} // namespace kestrel
