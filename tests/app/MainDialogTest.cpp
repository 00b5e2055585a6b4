// Start-up, the stored size, the layout and the menu of the main window.
#include "AppIdentity.h"
#include "ControlIds.h"
#include "Strings.h"
#include "TerminalView.h"
#include "WindowFixture.h"

#include <QAction>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>

namespace kestrel::test {
namespace {

using MainDialogTest = WindowFixture;

TEST_F(MainDialogTest, StartUpFillsTheWindowAndOpensThePort) {
    open();
    EXPECT_EQ(window->windowTitle(), "Kestrel v" + shortVersion());
    EXPECT_EQ(window->field(FieldPort)->text(), "COM1:9600,n,8,1");
    EXPECT_EQ(window->field(FieldCounter)->text(), "Direct connect.");
    EXPECT_TRUE(port->portOpen());
    EXPECT_EQ(port->rThreshold(), 1);
    EXPECT_TRUE(dialogs.messages.isEmpty());
    const QByteArray text = window->terminalView()->terminalText();
    EXPECT_TRUE(text.startsWith("Kestrel v" + shortVersion().toLatin1())) << text.constData();
    EXPECT_TRUE(text.endsWith("\r\n"));
    EXPECT_EQ(text.count("\r\n"), 1);
    EXPECT_TRUE(window->terminalView()->hasFocus() || !window->isActiveWindow());

    // Every control answers to its ID.
    for (int id : {1000, 1004, 1005, 1006, 1007, 1008, 1009, 1010})
        EXPECT_NE(findControl<QWidget>(window.get(), id), nullptr) << id;
    EXPECT_EQ(window->progressBar()->minimum(), 0);
    EXPECT_EQ(window->progressBar()->maximum(), 1000);
    EXPECT_EQ(window->stopButton()->text(), "&Stop");
    for (int id : {1004, 1005, 1006, 1008, 1010})
        EXPECT_TRUE(window->field(id)->isReadOnly());
}

TEST_F(MainDialogTest, PortThatWillNotOpenIsExplainedThenTheSettingsDialogFollows) {
    configurePort = [](FakeSerialPort& p) {
        p.setPortOpen(false);
        p.refuseOpen = true;
        p.openError = QStringLiteral("/dev/ttyS0: permission denied");
    };
    open();
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0],
              strings::text(strings::PortNotOpened) + "\n\n/dev/ttyS0: permission denied");
    ASSERT_EQ(dialogs.portRequests.size(), 1);
    // Start-up goes on with the port closed.
    EXPECT_FALSE(port->portOpen());
    EXPECT_EQ(window->windowTitle(), "Kestrel v" + shortVersion());
}

TEST_F(MainDialogTest, FirstRunStoresZeroThenTheMinimumClientSize) {
    QSettings().remove(QStringLiteral("Window"));
    open(false);
    EXPECT_EQ(stored("Window/Size_x").toInt(), 0);
    EXPECT_EQ(stored("Window/Size_y").toInt(), 0);
    EXPECT_TRUE(stored("Window/Size_x").isValid());
    showWindow();
    EXPECT_EQ(window->clientArea()->size(), QSize(400, 300));
    EXPECT_EQ(stored("Window/Size_x").toInt(), 400);
    EXPECT_EQ(stored("Window/Size_y").toInt(), 300);
}

TEST_F(MainDialogTest, StoredSizeIsRestoredAsTheClientArea) {
    struct Case {
        QSize stored;
        QSize client;
    };
    for (const Case& c : {Case{{640, 480}, {640, 480}}, Case{{100, 50}, {400, 300}},
                          Case{{1000, 120}, {1000, 300}}}) {
        QSettings().setValue(QStringLiteral("Window/Size_x"), c.stored.width());
        QSettings().setValue(QStringLiteral("Window/Size_y"), c.stored.height());
        open();
        EXPECT_EQ(window->clientArea()->size(), c.client) << c.stored.width();
        EXPECT_EQ(stored("Window/Size_x").toInt(), c.client.width());
        EXPECT_EQ(stored("Window/Size_y").toInt(), c.client.height());
        window.reset();
    }
}

// The controls' rectangles for a client area of w x h.
std::map<int, QRect> expectedLayout(int w, int h) {
    const double W = w;
    return {
        {1000, QRect(5, 5, w - 10, h - 60)},
        {1007, QRect(4, h - 52, int(0.9 * W), 23)},
        {1009, QRect(int(0.9 * W) + 5, h - 52, int(0.1 * W) - 6, 23)},
        {1010, QRect(5, h - 28, int(0.05 * W), 23)},
        {1004, QRect(int(0.05 * W + 5), h - 28, int(0.2 * W), 23)},
        {1005, QRect(int(0.25 * W + 5), h - 28, int(0.2 * W), 23)},
        {1006, QRect(int(0.45 * W + 5), h - 28, int(0.25 * W), 23)},
        {1008, QRect(int(0.7 * W + 5), h - 28, int(0.3 * W) - 5, 23)},
    };
}

TEST_F(MainDialogTest, LayoutFollowsEverySizeChangeAndIsStored) {
    open();
    // (At the narrowest widths two fields keep room for their texts; see
    // AtTheNarrowestTheActivityAndCounterFieldsKeepTheirTexts.)
    for (QSize client : {QSize(1023, 457), QSize(1280, 333), QSize(1111, 300)}) {
        window->resize(client.width(),
                       window->height() - window->clientArea()->height() + client.height());
        QCoreApplication::processEvents();
        ASSERT_EQ(window->clientArea()->size(), client);
        for (const auto& [id, rect] : expectedLayout(client.width(), client.height()))
            EXPECT_EQ(findControl<QWidget>(window.get(), id)->geometry(), rect)
                << id << " at " << client.width() << "x" << client.height();
        EXPECT_EQ(stored("Window/Size_x").toInt(), client.width());
        EXPECT_EQ(stored("Window/Size_y").toInt(), client.height());
    }
}

TEST_F(MainDialogTest, AtTheNarrowestTheActivityAndCounterFieldsKeepTheirTexts) {
    open();
    window->resize(MinimumClientWidth,
                   window->height() - window->clientArea()->height() + MinimumClientHeight);
    QCoreApplication::processEvents();
    ASSERT_EQ(window->clientArea()->width(), MinimumClientWidth);
    window->setField(FieldActivity, QStringLiteral("  RX"));
    window->setField(FieldCounter, QStringLiteral("Direct connect."));
    for (int id : {FieldActivity, FieldCounter}) {
        QLineEdit* field = window->field(id);
        EXPECT_EQ(field->property("shownText").toString(),
                  field->text().trimmed().isEmpty() ? QString() : field->text())
            << id;
    }
    // The row still runs edge to edge without overlapping.
    int right = 5;
    for (int id : {FieldActivity, FieldPort, FieldCounter, FieldState, FieldTask}) {
        const QRect r = window->field(id)->geometry();
        EXPECT_GE(r.left(), right - 1) << id;
        EXPECT_GT(r.width(), 0) << id;
        right = r.left() + r.width();
    }
    EXPECT_LE(right, MinimumClientWidth);
}

TEST_F(MainDialogTest, MinimisedSizeIsLaidOutButNotStored) {
    open();
    window->setWindowState(Qt::WindowMinimized);
    window->clientArea()->resize(0, 0);
    EXPECT_EQ(window->progressBar()->y(), -52);
    EXPECT_EQ(stored("Window/Size_x").toInt(), 400);
    EXPECT_EQ(stored("Window/Size_y").toInt(), 300);

    // A 0 x 0 report is not stored either, whatever the window state says.
    window->setWindowState(Qt::WindowNoState);
    window->clientArea()->resize(0, 0);
    EXPECT_EQ(stored("Window/Size_x").toInt(), 400);
}

TEST_F(MainDialogTest, MenuHoldsEveryCommandWithItsLabel) {
    open();
    struct Item {
        const char* label;
        int id;
    };
    const std::vector<std::pair<QString, std::vector<Item>>> expected = {
        {"&File",
         {{"Download &executable file...\tF5", 32782},
          {"Download &data file...\tF4", 32775},
          {"Receive Data File", 32786},
          {"Stop Receiving Data File", 32787},
          {nullptr, 0},
          {"&Log to File...", 32800},
          {"&Timestamps in Log", 32801},
          {nullptr, 0},
          {"&Auto...\tF3", 32777},
          {"Auto A&gain\tShift+F3", 32785},
          {nullptr, 0},
          {"E&xit\tAlt+F4", 2}}},
        {"&Edit",
         {{"&Port Settings...\tF12", 32780},
          {"&Clear Screen", 32781},
          {"&Paste\tShift+Insert", 32802},
          {"&Verify Downloads", 32803}}},
        {"&View", {{"&Font\tCtrl+F", 32773}}},
        {"&Help", {{"&About Kestrel", 16}}},
    };
    const QList<QAction*> menus = window->menuBar()->actions();
    ASSERT_EQ(menus.size(), static_cast<qsizetype>(expected.size()));
    for (size_t m = 0; m < expected.size(); ++m) {
        EXPECT_EQ(menus[m]->text(), expected[m].first);
        const QList<QAction*> items = menus[m]->menu()->actions();
        ASSERT_EQ(items.size(), static_cast<qsizetype>(expected[m].second.size()));
        for (qsizetype i = 0; i < items.size(); ++i) {
            const Item& want = expected[m].second[static_cast<size_t>(i)];
            if (!want.label) {
                EXPECT_TRUE(items[i]->isSeparator());
                continue;
            }
            EXPECT_EQ(items[i]->text(), QString::fromLatin1(want.label));
            EXPECT_EQ(items[i]->data().toInt(), want.id);
            EXPECT_EQ(window->commandAction(want.id), items[i]);
            // The key table binds the keys; a shortcut on the action would
            // bypass the key filter.
            EXPECT_TRUE(items[i]->shortcut().isEmpty());
        }
    }
}

TEST_F(MainDialogTest, MenuItemsRunTheirCommands) {
    open();
    window->terminalView()->appendChunk("text\r");
    window->commandAction(CommandClearScreen)->trigger();
    EXPECT_TRUE(window->terminalView()->terminalText().isEmpty());
    window->terminalView()->appendChunk("next\r");
    EXPECT_EQ(window->terminalView()->terminalText(), "next\r\n");

    window->commandAction(CommandAbout)->trigger();
    EXPECT_EQ(dialogs.aboutShown, 1);

    QFont chosen(QStringLiteral("DejaVu Sans Mono"), 14);
    dialogs.chosenFont = chosen;
    window->commandAction(CommandFont)->trigger();
    EXPECT_EQ(window->terminalView()->font().pointSize(), 14);
    dialogs.chosenFont.reset();
    window->commandAction(CommandFont)->trigger();
    EXPECT_EQ(window->terminalView()->font().pointSize(), 14);
    EXPECT_EQ(dialogs.fontRequests.size(), 2);

    // Receive sends a CR before it asks; cancelled, nothing else happens.
    window->commandAction(CommandReceive)->trigger();
    EXPECT_EQ(dialogs.receiveRequests, 1);
    EXPECT_EQ(port->writes, QList<QByteArray>{"\r"});
    window->commandAction(CommandStopReceiving)->trigger();
    EXPECT_EQ(port->writes.size(), 1);

    // The executable download runs "load" on the chosen file.
    dialogs.chosenFile = QStringLiteral("/nonexistent/prog.exe");
    window->commandAction(CommandDownloadExecutable)->trigger();
    ASSERT_EQ(dialogs.chooserRequests.size(), 1);
    EXPECT_EQ(dialogs.chooserRequests[0].initialName, "*.*");
    EXPECT_TRUE(window->terminalView()->terminalText().contains(
        "/nonexistent/prog.exe\t\t: Cannot open file for download."))
        << window->terminalView()->terminalText().constData();
    // A folder that does not exist is a bad path (3), not a missing file (2).
    EXPECT_EQ(dialogs.messages.value(0), "Can't open file /nonexistent/prog.exe, error = 3\n");
    dialogs.messages.clear();
    EXPECT_FALSE(window->link().isBusy());
    EXPECT_EQ(port->rThreshold(), 1);
}

TEST_F(MainDialogTest, PumpingDispatchesWaitingEventsAndSleepingBlocks) {
    open();
    QCoreApplication::postEvent(
        window->terminalView(),
        new QKeyEvent(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x")));
    window->pumpMessages();
    EXPECT_EQ(port->writes, QList<QByteArray>{"x"});

    QElapsedTimer timer;
    timer.start();
    window->sleepMilliseconds(40);
    EXPECT_GE(timer.elapsed(), 40);
    EXPECT_LT(timer.elapsed(), 1000);
}

TEST_F(MainDialogTest, ReceivedTextReachesTheTerminalThroughTheFilter) {
    open();
    window->clearTerminal();
    port->deliver(QByteArray("SIOCONS ready\r\n>>"));
    emit port->onComm();
    port->deliver(QByteArray("x\0y", 3));
    emit port->onComm();
    EXPECT_EQ(window->terminalView()->terminalText(), "Kestrel ready\r\n>>xy");
    EXPECT_EQ(window->field(FieldActivity)->text(), "    ");
    EXPECT_EQ(port->rThreshold(), 1);
}

TEST_F(MainDialogTest, PortSettingsCommandAppliesTheDialogsFields) {
    open();
    PortDialogFields answer;
    answer.baudText = QStringLiteral("19200");
    answer.portIndex = 2;
    answer.dataBitsIndex = 0;
    answer.flowIndex = 0;
    answer.parityIndex = 2;
    answer.stopBitsIndex = 1;
    dialogs.portAnswer = answer;
    window->commandAction(CommandPortSettings)->trigger();
    ASSERT_EQ(dialogs.portRequests.size(), 1);
    EXPECT_EQ(dialogs.portRequests[0].baudText, "9600");
    EXPECT_EQ(port->settings().text(), "19200,E,7,2");
    EXPECT_EQ(port->commPort(), 3);
    EXPECT_EQ(window->field(FieldPort)->text(), "COM3:19200,E,7,2");
    EXPECT_EQ(stored("Config/CommSettings").toString(), "19200,E,7,2");
}

} // namespace
} // namespace kestrel::test
