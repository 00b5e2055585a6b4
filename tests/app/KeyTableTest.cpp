// The keys the window names (the menu's shortcut texts, the help text) are the
// keys it answers: a binding changed in one place shows in the others.
#include "KeyTable.h"
#include "ControlIds.h"
#include "TerminalView.h"
#include "WindowFixture.h"

#include <QAction>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

namespace kestrel::test {
namespace {

using KeyTableTest = WindowFixture;

TEST_F(KeyTableTest, HelpTextNamesTheKeysAndTheReadme) {
    open();
    window->runCommand(CommandHelp);
    ASSERT_EQ(dialogs.helpTexts.size(), 1);
    const QString text = dialogs.helpTexts[0];
    const QString keys = QStringLiteral("Kestrel keys\n\n"
                                        "F3\tRun an auto file\n"
                                        "Shift+F3\tRun the last auto file again\n"
                                        "F4\tDownload a data file to an address\n"
                                        "F5\tDownload an executable (PS-X EXE or A-OUT)\n"
                                        "F12\tPort settings\n"
                                        "Ctrl+F\tTerminal font\n"
                                        "Shift+Insert\tPaste the clipboard's text to the console\n"
                                        "Alt+S\tStop the running transfer\n"
                                        "Esc\tQuit\n\n"
                                        "Everything else you type goes to the console as you "
                                        "type it, except while a transfer runs.\n\n");
    ASSERT_TRUE(text.startsWith(keys)) << text.toStdString();
    const QRegularExpression readme(QStringLiteral(
        R"(^The README is (/\S+/README\.md\.|in the top folder of Kestrel's source\.)$)"));
    EXPECT_TRUE(readme.match(text.mid(keys.size())).hasMatch()) << text.toStdString();
}

// The command a key named in the window's texts runs, as the key filter finds
// it: the text is read back as Qt reads a key sequence, not as it was made.
std::optional<int> commandOfNamedKey(const QString& name) {
    const QKeySequence sequence = QKeySequence::fromString(name, QKeySequence::PortableText);
    if (sequence.count() != 1) return std::nullopt;
    const QKeyEvent press(QEvent::KeyPress, sequence[0].key(), sequence[0].keyboardModifiers());
    const KeyBinding* binding = findBinding(press);
    if (!binding) return std::nullopt;
    return binding->command;
}

TEST_F(KeyTableTest, EachMenuItemShowsTheKeyThatRunsItsCommand) {
    open();
    int shown = 0;
    for (QAction* menu : window->menuBar()->actions()) {
        for (QAction* item : menu->menu()->actions()) {
            if (item->isSeparator()) continue;
            const int command = item->data().toInt();
            const QStringList parts = item->text().split(u'\t');
            ASSERT_LE(parts.size(), 2) << item->text().toStdString();
            if (parts.size() == 2) {
                ++shown;
                EXPECT_EQ(commandOfNamedKey(parts[1]), command) << item->text().toStdString();
                continue;
            }
            // No key shown: none runs the command.
            for (const KeyBinding* b = keyTableBegin(); b != keyTableEnd(); ++b)
                EXPECT_NE(b->command, command) << item->text().toStdString() << " is run by "
                                               << keyText(b->keys).toStdString();
        }
    }
    EXPECT_GT(shown, 0);
}

TEST_F(KeyTableTest, EachKeyTheHelpNamesIsAKeyTheWindowAnswers) {
    open();
    window->runCommand(CommandHelp);
    ASSERT_EQ(dialogs.helpTexts.size(), 1);
    const QStringList paragraphs = dialogs.helpTexts[0].split(QStringLiteral("\n\n"));
    ASSERT_GE(paragraphs.size(), 2);
    const QStringList lines = paragraphs[1].split(u'\n');
    for (const QString& line : lines) {
        const QStringList parts = line.split(u'\t');
        ASSERT_EQ(parts.size(), 2) << line.toStdString();
        EXPECT_TRUE(commandOfNamedKey(parts[0])) << line.toStdString();
    }
    // The Stop line names the key of the Stop button's own mnemonic, which
    // is what presses it outside a sleep.
    const auto stop = std::find_if(lines.begin(), lines.end(), [](const QString& line) {
        return line.endsWith(QStringLiteral("Stop the running transfer"));
    });
    ASSERT_NE(stop, lines.end());
    EXPECT_EQ(commandOfNamedKey(stop->section(u'\t', 0, 0)), StopButtonId);
    EXPECT_EQ(QKeySequence::mnemonic(window->stopButton()->text())
                  .toString(QKeySequence::PortableText)
                  .toStdString(),
              stop->section(u'\t', 0, 0).toStdString());
}

// While the window sleeps it answers only the Stop key and the ways out;
// other keys, bound ones included, are swallowed.
TEST_F(KeyTableTest, InASleepOnlyStopAndTheQuitKeysAreAnswered) {
    open();
    struct Case {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        bool asks;
    };
    const Case cases[] = {
        {"Esc", Qt::Key_Escape, Qt::NoModifier, true},
        {"Ctrl+Pause", Qt::Key_Pause, Qt::ControlModifier, true},
        {"Cancel", Qt::Key_Cancel, Qt::NoModifier, true},
        {"Shift+Cancel", Qt::Key_Cancel, Qt::ShiftModifier, true},
        {"Alt+F4", Qt::Key_F4, Qt::AltModifier, true},
        {"F12", Qt::Key_F12, Qt::NoModifier, false},
        {"Shift+Esc", Qt::Key_Escape, Qt::ShiftModifier, false},
        {"x", Qt::Key_X, Qt::NoModifier, false},
    };
    dialogs.answerYes = false;
    for (const Case& c : cases) {
        dialogs.questions.clear();
        // Each key is pressed inside the sleep; Stop then ends it.
        QTimer::singleShot(0, window.get(), [&] {
            // Sent as events: QTest has no text for keys such as Cancel.
            for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                QKeyEvent key(type, c.key, c.mods);
                QCoreApplication::sendEvent(window->terminalView(), &key);
            }
            QTest::keyClick(window->terminalView(), Qt::Key_S, Qt::AltModifier);
        });
        QElapsedTimer slept;
        slept.start();
        window->sleepMilliseconds(10'000);
        EXPECT_LT(slept.elapsed(), 10'000) << c.name << ": Stop ends the sleep";
        EXPECT_EQ(dialogs.questions.size(), c.asks ? 1 : 0) << c.name;
        EXPECT_TRUE(window->link().isAborting()) << c.name;
        window->link().clearAbort();
    }
    EXPECT_TRUE(port->writes.isEmpty());
    EXPECT_TRUE(dialogs.portRequests.isEmpty());
}

} // namespace
} // namespace kestrel::test
