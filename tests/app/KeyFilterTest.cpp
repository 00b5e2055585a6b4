// The key filter: bound keys run commands, typed characters go to the console
// one byte each as they are typed, Escape and the other ways out ask first.
#include "ControlIds.h"
#include "LocalCommand.h"
#include "Strings.h"
#include "TerminalView.h"
#include "WindowFixture.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace kestrel::test {
namespace {

using KeyFilterTest = WindowFixture;

TEST_F(KeyFilterTest, BoundKeysRunTheirCommandsAndSendNothing) {
    struct Case {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        std::function<bool(const ScriptedDialogs&)> ran;
    };
    const Case cases[] = {
        {"F12 port settings", Qt::Key_F12, Qt::NoModifier,
         [](const ScriptedDialogs& d) { return d.portRequests.size() == 1; }},
        {"F4 data download", Qt::Key_F4, Qt::NoModifier,
         [](const ScriptedDialogs& d) { return d.downloadRequests == 1; }},
        {"F5 executable download", Qt::Key_F5, Qt::NoModifier,
         [](const ScriptedDialogs& d) {
             return d.chooserRequests.size() == 1 &&
                    d.chooserRequests[0].filter == ExecutableFileFilter;
         }},
        {"F3 auto", Qt::Key_F3, Qt::NoModifier,
         [](const ScriptedDialogs& d) {
             return d.chooserRequests.size() == 1 &&
                    d.chooserRequests[0].filter.contains(QStringLiteral("*.sio"));
         }},
        {"Shift+F3 auto again", Qt::Key_F3, Qt::ShiftModifier,
         [](const ScriptedDialogs& d) {
             return d.chooserRequests.isEmpty() && d.messages.size() == 1;
         }},
        {"Ctrl+F font", Qt::Key_F, Qt::ControlModifier,
         [](const ScriptedDialogs& d) { return d.fontRequests.size() == 1; }},
        {"Ctrl+Alt+D help", Qt::Key_D, Qt::ControlModifier | Qt::AltModifier,
         [](const ScriptedDialogs& d) {
             return d.helpTexts.size() == 1 && d.helpTexts[0].contains(QStringLiteral("F12")) &&
                    d.helpTexts[0].contains(QStringLiteral("README"));
         }},
    };
    open();
    for (const Case& c : cases) {
        dialogs = ScriptedDialogs();
        port->writes.clear();
        const QByteArray before = window->terminalView()->terminalText();
        QTest::keyClick(window->terminalView(), c.key, c.mods);
        EXPECT_TRUE(c.ran(dialogs)) << c.name;
        EXPECT_TRUE(port->writes.isEmpty()) << c.name;
        EXPECT_EQ(window->terminalView()->terminalText(), before) << c.name;
        EXPECT_FALSE(window->link().isBusy()) << c.name;
        EXPECT_EQ(port->rThreshold(), 1) << c.name;
    }
}

TEST_F(KeyFilterTest, TypedCharactersGoOutOneByteEachAsTheyAreTyped) {
    open();
    // Local echo on: the view edits as keys are typed (a device that does not
    // echo).
    window->setLocalEcho(true);
    window->clearTerminal();
    TerminalView* view = window->terminalView();
    QTest::keyClick(view, Qt::Key_L);
    EXPECT_EQ(port->writes, QList<QByteArray>{"l"}); // sent at once, not at Return
    QTest::keyClick(view, Qt::Key_S);
    QTest::keyClick(view, Qt::Key_Return);
    EXPECT_EQ(port->writes, (QList<QByteArray>{"l", "s", "\r"}));
    EXPECT_EQ(view->terminalText(), "ls\r\n");

    port->writes.clear();
    QTest::keyClicks(view, "ab");
    QTest::keyClick(view, Qt::Key_Backspace);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier);
    QKeyEvent upper(QEvent::KeyPress, Qt::Key_L, Qt::ShiftModifier, QStringLiteral("L"));
    QCoreApplication::sendEvent(view, &upper);
    QKeyEvent latin1(QEvent::KeyPress, Qt::Key_Eacute, Qt::NoModifier, QStringLiteral("\u00e9"));
    QCoreApplication::sendEvent(view, &latin1);
    EXPECT_EQ(port->writes, (QList<QByteArray>{"a", "b", "\b", "\x03", "\x1a", "L", "\xe9"}));
    // The view's own editing removed the b.
    EXPECT_TRUE(view->terminalText().startsWith("ls\r\na")) << view->terminalText().constData();
    EXPECT_FALSE(view->terminalText().contains('b'));
}

TEST_F(KeyFilterTest, KeysWithoutACharacterSendNothing) {
    open();
    for (Qt::Key key : {Qt::Key_Left, Qt::Key_Up, Qt::Key_Delete, Qt::Key_F1, Qt::Key_Home,
                        Qt::Key_Tab, Qt::Key_Shift})
        QTest::keyClick(window->terminalView(), key);
    QTest::keyClick(window->terminalView(), Qt::Key_X, Qt::AltModifier);
    EXPECT_TRUE(port->writes.isEmpty());
    EXPECT_TRUE(dialogs.questions.isEmpty());
}

TEST_F(KeyFilterTest, TypingOnAClosedPortSendsNothingButShowsTheKeysWithLocalEcho) {
    open();
    window->setLocalEcho(true);
    window->clearTerminal();
    port->setPortOpen(false);
    QTest::keyClicks(window->terminalView(), "hi");
    EXPECT_TRUE(port->writes.isEmpty());
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_EQ(window->terminalView()->terminalText(), "hi");
}

TEST_F(KeyFilterTest, WithoutLocalEchoTheViewWaitsForTheConsole) {
    open();
    window->clearTerminal();
    QTest::keyClicks(window->terminalView(), "hi");
    EXPECT_EQ(port->writes, (QList<QByteArray>{"h", "i"}));
    EXPECT_TRUE(window->terminalView()->terminalText().isEmpty());
    window->appendToTerminal("hi");
    EXPECT_EQ(window->terminalView()->terminalText(), "hi");
}

TEST_F(KeyFilterTest, AFailingPortIsReportedOncePerKeystroke) {
    open();
    port->failOutput = true;
    QTest::keyClicks(window->terminalView(), "ab");
    EXPECT_EQ(dialogs.messages, QStringList(2, strings::text(strings::SendFailed)));
    EXPECT_EQ(window->field(FieldState)->text(), "Comms failure.");
}

TEST_F(KeyFilterTest, ReturnInAStatusFieldDoesNothing) {
    open();
    QLineEdit* status = window->field(FieldPort);
    const QString before = status->text();
    QTest::keyClick(status, Qt::Key_Return);
    QTest::keyClick(window->stopButton(), Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(dialogs.questions.isEmpty());
    EXPECT_TRUE(port->writes.isEmpty());
    EXPECT_EQ(status->text(), before);
}

// Each way of leaving asks "Quit Kestrel?"; No leaves everything as it was,
// Yes closes the port and the window.
TEST_F(KeyFilterTest, EveryWayOutAsksTheQuitQuestion) {
    struct Case {
        const char* name;
        std::function<void(MainDialog&)> leave;
    };
    const Case cases[] = {
        {"Escape in the terminal",
         [](MainDialog& w) { QTest::keyClick(w.terminalView(), Qt::Key_Escape); }},
        {"Escape in a status field",
         [](MainDialog& w) { QTest::keyClick(w.field(FieldTask), Qt::Key_Escape); }},
        {"Exit item", [](MainDialog& w) { w.commandAction(CommandExit)->trigger(); }},
        {"Alt+F4",
         [](MainDialog& w) { QTest::keyClick(w.terminalView(), Qt::Key_F4, Qt::AltModifier); }},
        {"close box", [](MainDialog& w) { w.close(); }},
    };
    for (const Case& c : cases) {
        for (bool yes : {false, true}) {
            open();
            window->terminalView()->appendChunk("kept\r");
            const QByteArray text = window->terminalView()->terminalText();
            dialogs.answerYes = yes;
            dialogs.questions.clear();
            c.leave(*window);
            QCoreApplication::processEvents();
            EXPECT_EQ(dialogs.questions, QStringList{"Quit Kestrel?"}) << c.name;
            EXPECT_TRUE(port->writes.isEmpty()) << c.name;
            EXPECT_EQ(window->isVisible(), !yes) << c.name << " yes=" << yes;
            EXPECT_EQ(port->portOpen(), !yes) << c.name << " yes=" << yes;
            if (!yes) {
                EXPECT_EQ(window->terminalView()->terminalText(), text) << c.name;
                EXPECT_EQ(port->rThreshold(), 1) << c.name;
            }
            window.reset();
        }
    }
}

TEST_F(KeyFilterTest, LocalQuitEndsWithoutTheQuestionOnceTheAutoFileHasRun) {
    open();
    const QString path =
        writeFile(QStringLiteral("bye.sio"), "local quit\r\nlocal echo still running\r\n");
    dialogs.chosenFile = path;
    QTest::keyClick(window->terminalView(), Qt::Key_F3);
    EXPECT_TRUE(window->terminalView()->terminalText().contains("still running"));
    EXPECT_TRUE(dialogs.questions.isEmpty());
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(port->portOpen());
}

TEST_F(KeyFilterTest, TabMovesTheFocusAndSendsNothing) {
    open();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->terminalView()->setFocus();
    QTest::keyClick(window->terminalView(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window->stopButton());
    EXPECT_TRUE(port->writes.isEmpty());
}

TEST_F(KeyFilterTest, QuittingDuringADownloadClosesOnceItHasReturned) {
    open();
    const QString path = writeFile(QStringLiteral("data.bin"), QByteArray(5 * FrameSize, 'd'));
    dialogs.downloadAnswer = DownloadRequest{path, QStringLiteral("80010000")};
    dialogs.answerYes = true;
    bool visibleWhenAsked = false;
    bool busyWhenAsked = false;
    dialogs.onQuestion = [&] {
        visibleWhenAsked = window->isVisible();
        busyWhenAsked = window->link().isBusy();
    };
    // The user presses Escape while the second frame is on its way; the
    // download's message pumping lets it through.
    answerLikeTheMonitor(*port, [&](int frames) {
        if (frames == 1)
            QCoreApplication::postEvent(
                window->terminalView(),
                new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    });

    QTest::keyClick(window->terminalView(), Qt::Key_F4);

    EXPECT_EQ(dialogs.questions, QStringList{"Quit Kestrel?"});
    EXPECT_TRUE(visibleWhenAsked);
    EXPECT_TRUE(busyWhenAsked);
    // The download stopped early but finished its conversation.
    const QByteArray wire = port->wire();
    EXPECT_LT(wire.count(QByteArray(FrameSize, 'd')), 5);
    EXPECT_TRUE(wire.endsWith("\x03\r")) << wire.right(8).toHex().constData();
    EXPECT_FALSE(window->link().isBusy());
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(port->portOpen());
}

TEST_F(KeyFilterTest, QuittingWhileAKeystrokeIsBeingSentWaitsForIt) {
    open();
    dialogs.answerYes = true;
    bool openWhenAsked = false;
    dialogs.onQuestion = [&] { openWhenAsked = port->portOpen(); };
    QCoreApplication::postEvent(window->terminalView(),
                                new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    QTest::keyClick(window->terminalView(), Qt::Key_X);
    EXPECT_EQ(dialogs.questions.size(), 1);
    EXPECT_TRUE(openWhenAsked);
    EXPECT_EQ(port->writes, QList<QByteArray>{"x"});
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(port->portOpen());
}

TEST_F(KeyFilterTest, StopButtonAndItsMnemonicStopATransfer) {
    open();
    std::optional<TransferHold> running;
    running.emplace(window->link(), TransferHold::Kind::Busy);
    window->clearTerminal();
    window->stopButton()->click();
    EXPECT_TRUE(window->link().isAborting());
    EXPECT_TRUE(window->terminalView()->terminalText().contains("CURRENT FILE TRANSFER ABORTED"));
    window->link().clearAbort();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window->terminalView(), Qt::Key_S, Qt::AltModifier);
    // A mnemonic presses the button visibly: the click comes a moment later.
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->link().isAborting(); }, 2000));
    EXPECT_TRUE(port->writes.isEmpty());
}

} // namespace
} // namespace kestrel::test
