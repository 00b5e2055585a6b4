// The window on a network port whose server does not answer: start-up
// returns at once with the port status saying the connection is being made,
// the window answers the user meanwhile (Stop, the Port Settings dialog,
// Escape), and a connection that never comes is reported as before.
#include "ControlIds.h"
#include "MainDialog.h"
#include "NetworkSerialPort.h"
#include "PortFactory.h"
#include "ScriptedDialogs.h"
#include "Strings.h"
#include "TcpPeer.h"
#include "TerminalView.h"

#include "../serial/QtPrinters.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

// Short enough for a test to see the connect give up, long enough to act
// while it is pending.
constexpr int ConnectTimeoutMs = 1500;

class SlowConnectWindow : public ::testing::Test {
protected:
    void SetUp() override {
        QSettings store;
        store.clear();
        store.setValue(QStringLiteral("Config/CommPort"), 1);
        store.setValue(QStringLiteral("Config/CommSettings"), QStringLiteral("115200,n,8,1"));
        auto port = makeSerialPort(name);
        ASSERT_TRUE(port);
        static_cast<NetworkSerialPort&>(*port).setConnectTimeout(ConnectTimeoutMs);
        window = std::make_unique<MainDialog>(std::move(port), dialogs);
        QElapsedTimer clock;
        clock.start();
        window->initialise();
        startUpMs = clock.elapsed();
        window->show();
    }

    QString portField() const { return window->field(FieldPort)->text(); }
    // Long enough for the abandoned connect to have given up, had it gone on.
    static void outlastTheConnectTimeout() { QTest::qWait(ConnectTimeoutMs + 500); }

    FullListener server;
    const QString name = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port());
    ScriptedDialogs dialogs;
    std::unique_ptr<MainDialog> window;
    qint64 startUpMs = 0;
};

TEST_F(SlowConnectWindow, StartUpReturnsAtOnceAndStopEndsThePendingConnect) {
    EXPECT_LT(startUpMs, 500);
    EXPECT_TRUE(window->port().portOpening());
    EXPECT_EQ(portField(), "Connecting: " + name + ":115200,n,8,1");

    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(window->stopButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->port().portOpening(); }, 500));
    EXPECT_LT(clock.elapsed(), 500);
    EXPECT_FALSE(window->port().portOpen());
    EXPECT_EQ(portField(), name + ":115200,n,8,1");
    outlastTheConnectTimeout();
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    EXPECT_TRUE(dialogs.portRequests.isEmpty());
}

TEST_F(SlowConnectWindow, ConnectThatNeverComesIsReportedAsAFailedOpen) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.messages.isEmpty(); }, 5000));
    EXPECT_EQ(dialogs.messages.front(), strings::text(strings::PortNotOpened) +
                                            "\n\nNo answer from 127.0.0.1:" +
                                            QString::number(server.port()) + " within 2 seconds");
    // The message promises the Port Settings dialog; it follows.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.portRequests.isEmpty(); }, 1000));
    EXPECT_EQ(portField(), name + ":115200,n,8,1");
    EXPECT_EQ(dialogs.messages.size(), 1);
}

// Port Settings while the connect is pending: the dialog comes up at once,
// OK ends that connect and starts one with the new settings, and only that
// one's failure is said.
TEST_F(SlowConnectWindow, PortSettingsEndThePendingConnectAndStartAnother) {
    QElapsedTimer clock;
    clock.start();
    PortDialogFields fields;
    fields.baudText = QStringLiteral("57600");
    dialogs.portAnswer = fields;
    QTest::keyClick(window->terminalView(), Qt::Key_F12);
    EXPECT_LT(clock.elapsed(), 500);
    ASSERT_EQ(dialogs.portRequests.size(), 1);
    EXPECT_TRUE(window->port().portOpening());
    EXPECT_EQ(portField(), "Connecting: " + name + ":57600,N,8,1") << portField().toStdString();

    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.messages.isEmpty(); }, 5000));
    outlastTheConnectTimeout();
    ASSERT_EQ(dialogs.messages.size(), 1) << dialogs.messages.join('|').toStdString();
    EXPECT_TRUE(dialogs.messages.front().startsWith(strings::text(strings::PortSettingsRefused) +
                                                    "\n\nNo answer from 127.0.0.1:"))
        << dialogs.messages.front().toStdString();
    EXPECT_EQ(dialogs.portRequests.size(), 1);
}

TEST_F(SlowConnectWindow, EscapeQuitsWhileTheConnectIsPending) {
    ASSERT_TRUE(window->port().portOpening());
    dialogs.answerYes = true;
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(window->terminalView(), Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 500));
    EXPECT_LT(clock.elapsed(), 500);
    EXPECT_EQ(dialogs.questions, QStringList{"Quit Kestrel?"});
    EXPECT_FALSE(window->port().portOpening());
}

} // namespace
} // namespace kestrel::test
