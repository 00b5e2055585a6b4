// The receive path against a console that prints faster than it is read: a
// writer thread floods a pseudo-terminal while the real serial component
// raises receive events on the test's event loop.
#include "LineText.h"
#include "MonitorLink.h"
#include "Pty.h"
#include "QtSerialPortComponent.h"
#include "RecorderHost.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace kestrel {
namespace {

using test::line;

using sim::Pty;
using test::RecorderHost;
using test::TestClock;

QByteArray consoleText(qsizetype size) {
    QByteArray text;
    for (int line = 0; text.size() < size; ++line)
        text += "line " + QByteArray::number(line) + QByteArray(line % 50, '.') + "\r\n";
    text.truncate(size);
    return text;
}

// Without a bound the receive loop keeps reading while the flood lasts, so one
// event swallows megabytes and the window answers nothing until it ends.
TEST(ReceiveFlood, EveryEventTakesABoundedPieceAndNothingIsLost) {
    Pty pty;
    ASSERT_EQ(pty.open(), "");
    QtSerialPortComponent port;
    port.setDeviceOverride(QString::fromStdString(pty.slavePath()));
    ASSERT_TRUE(port.setSettings(line("115200,n,8,1")));
    ASSERT_TRUE(port.setPortOpen(true)) << port.lastError().toStdString();
    TestClock clock(false);
    RecorderHost host(clock);
    MonitorLink link(port, host);
    QObject::connect(&port, &SerialPort::onComm, [&link] { link.onCommEvent(); });
    port.setRThreshold(1);

    const QByteArray flood = consoleText(2 * 1024 * 1024);
    std::atomic<bool> written = false;
    std::thread writer([&] { written = pty.write(flood.toStdString()); });
    QDeadlineTimer deadline(20'000);
    while (host.rawTerminal().size() < flood.size() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    writer.join();

    ASSERT_TRUE(written);
    EXPECT_EQ(host.rawTerminal(), flood);
    qsizetype largest = 0;
    for (const QByteArray& chunk : host.appended)
        largest = std::max(largest, chunk.size());
    // The bound plus what one read can take from the kernel's queue.
    EXPECT_LE(largest, 16 * 1024 + 64 * 1024);
}

} // namespace
} // namespace kestrel
