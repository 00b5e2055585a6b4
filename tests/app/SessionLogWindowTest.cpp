// The window's session log (File > "Log to File...", "Timestamps in Log") and
// paste (Edit > "Paste", Shift+Insert).
#include "ControlIds.h"
#include "Strings.h"
#include "TerminalView.h"
#include "WindowFixture.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::test {
namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

class SessionLogWindowTest : public WindowFixture {
protected:
    void console(const QByteArray& bytes) {
        port->deliver(bytes);
        emit port->onComm();
    }
    QAction* logItem() const { return window->commandAction(CommandLogToFile); }
    QAction* stampItem() const { return window->commandAction(CommandLogTimestamps); }
};

TEST_F(SessionLogWindowTest, LogToFileStartsOnAChosenFileAndStopsWhenChosenAgain) {
    open();
    ASSERT_TRUE(logItem() && stampItem());
    EXPECT_TRUE(logItem()->isCheckable());
    EXPECT_TRUE(stampItem()->isCheckable());

    // Cancelled: no log, and the item stays unchecked.
    logItem()->trigger();
    EXPECT_FALSE(logItem()->isChecked());

    const QString path = files.filePath(QStringLiteral("session.log"));
    dialogs.chosenFile = path;
    logItem()->trigger();
    ASSERT_EQ(dialogs.chooserRequests.size(), 2);
    EXPECT_EQ(dialogs.chooserRequests[1].defaultSuffix, "log");
    EXPECT_TRUE(logItem()->isChecked());

    // The console's text after the filter, and the program's own lines.
    console("SIOCONS ready\r\n>>");
    window->appendToTerminal("Sending: a.bin, Address:80010000, Length:5\r");
    console(QByteArray("ls\r\nx\0y\n", 9));
    EXPECT_EQ(readAll(path), "Kestrel ready\n>>Sending: a.bin, Address:80010000, Length:5\n"
                             "ls\nxy");

    logItem()->trigger();
    EXPECT_FALSE(logItem()->isChecked());
    EXPECT_EQ(dialogs.chooserRequests.size(), 2) << "stopping asks for no file";
    console("after\r\n");
    EXPECT_EQ(readAll(path), "Kestrel ready\n>>Sending: a.bin, Address:80010000, Length:5\n"
                             "ls\nxy");
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
}

TEST_F(SessionLogWindowTest, TimestampsInLogStampEachLine) {
    open();
    const QString path = files.filePath(QStringLiteral("stamped.log"));
    dialogs.chosenFile = path;
    stampItem()->trigger();
    EXPECT_TRUE(stampItem()->isChecked());
    logItem()->trigger();
    console("one\r\ntwo\r\n");
    stampItem()->trigger();
    EXPECT_FALSE(stampItem()->isChecked());
    console("three\r\n");
    const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} one\\n"
                       "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} two\\nthree\\n$"));
    const QString text = QString::fromLatin1(readAll(path));
    EXPECT_TRUE(form.match(text).hasMatch()) << text.toStdString();
}

// A log is a regular file or a new one: a missing folder, a pipe (which
// would hold the window until someone reads it) or a device is said, and the
// item stays unchecked. PIPE is a named pipe with a reader that never reads.
TEST_F(SessionLogWindowTest, UnopenableLogIsSaidAndLeftUnchecked) {
    open();
    const QString pipe = files.filePath(QStringLiteral("pipe"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const int reader = ::open(QFile::encodeName(pipe).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::pair<QString, QString> cases[] = {
        {files.filePath(QStringLiteral("no-such-folder/x.log")),
         QStringLiteral("No such file or directory")},
        {pipe, QStringLiteral("not a regular file")},
        {QStringLiteral("/dev/full"), QStringLiteral("not a regular file")},
    };
    for (const auto& [path, reason] : cases) {
        dialogs.messages.clear();
        dialogs.chosenFile = path;
        logItem()->trigger();
        EXPECT_FALSE(logItem()->isChecked()) << path.toStdString();
        EXPECT_EQ(dialogs.messages,
                  QStringList{QStringLiteral("Cannot open the log %1 (%2).").arg(path, reason)});
    }
    ::close(reader);
}

// A log that fails in the middle of a download (here its folder has gone,
// so what is written reaches nothing) is said once, after the download,
// which goes on to its end.
TEST_F(SessionLogWindowTest, LogFailingMidTransferIsSaidOnceAfterwardsAndTheTransferFinishes) {
    open();
    ASSERT_TRUE(QDir(files.path()).mkdir(QStringLiteral("logs")));
    const QString path = files.filePath(QStringLiteral("logs/session.log"));
    dialogs.chosenFile = path;
    logItem()->trigger();
    ASSERT_TRUE(logItem()->isChecked());
    ASSERT_TRUE(QDir(files.filePath(QStringLiteral("logs"))).removeRecursively());

    const QString data =
        writeFile(QStringLiteral("three-frames.bin"), QByteArray(3 * FrameSize, 'd'));
    dialogs.downloadAnswer = DownloadRequest{data, QStringLiteral("80010000")};
    bool runningWhenSaid = true;
    dialogs.onMessage = [&](const QString&) { runningWhenSaid = window->operationRunning(); };
    answerLikeTheMonitor(*port, [](int) {});
    window->runCommand(CommandDownloadData);

    const QByteArray wire = port->wire();
    EXPECT_EQ(wire.count(QByteArray(FrameSize, 'd')), 3);
    EXPECT_TRUE(wire.endsWith("\x03\r")) << wire.right(8).toHex().constData();
    EXPECT_EQ(dialogs.messages,
              QStringList{QStringLiteral("Cannot write the log %1 (the file or its folder has been "
                                         "removed); logging has stopped.")
                              .arg(path)});
    EXPECT_FALSE(runningWhenSaid) << "the message waited for the download";
    EXPECT_FALSE(logItem()->isChecked());

    console("more text\r\n");
    EXPECT_EQ(dialogs.messages.size(), 1);
}

struct PasteCase {
    const char* name;
    QString clipboard;
    QByteArray sent;
    friend void PrintTo(const PasteCase& c, std::ostream* os) { *os << c.name; }
};

class PasteTable : public WindowFixture, public ::testing::WithParamInterface<PasteCase> {};

// The menu item and Shift+Insert send the same bytes, one write each, as
// typing would.
TEST_P(PasteTable, SendsTheClipboardAsTyped) {
    open();
    QGuiApplication::clipboard()->setText(GetParam().clipboard);
    port->writes.clear();
    window->commandAction(CommandPaste)->trigger();
    QList<QByteArray> expected;
    for (char c : GetParam().sent)
        expected << QByteArray(1, c);
    EXPECT_EQ(port->writes, expected);

    port->writes.clear();
    QTest::keyClick(window->terminalView(), Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(port->writes, expected);
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

const PasteCase pasteCases[] = {
    {"ThreeLinesCrLf", QStringLiteral("sr epc 80010000\r\nls\r\ngo\r\n"),
     "sr epc 80010000\rls\rgo\r"},
    {"LfAndLoneCrAreCr", QStringLiteral("a\nb\rc"), "a\rb\rc"},
    {"BlankLinesKept", QStringLiteral("a\r\n\r\nb\n\n"), "a\r\rb\r\r"},
    {"Latin1SentAsOneByteOthersLeftOut", QStringLiteral(u"caf\u00e9 \u20ac5 \U0001F600!"),
     "caf\xe9 5 !"},
    {"TabAndControlsAsTheyAre", QStringLiteral("a\tb\x1b"), "a\tb\x1b"},
    {"EmptySendsNothing", QString(), ""},
};

INSTANTIATE_TEST_SUITE_P(Paste, PasteTable, ::testing::ValuesIn(pasteCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Shift+Insert pressed while a download runs is refused with the busy
// message; the download goes on and nothing pasted reaches the line.
TEST_F(SessionLogWindowTest, PasteIsRefusedWhileATransferRuns) {
    open();
    QGuiApplication::clipboard()->setText(QStringLiteral("PASTED\n"));
    const QString data =
        writeFile(QStringLiteral("two-frames.bin"), QByteArray(2 * FrameSize, 'd'));
    dialogs.downloadAnswer = DownloadRequest{data, QStringLiteral("80010000")};
    answerLikeTheMonitor(*port, [&](int frames) {
        if (frames == 1)
            QCoreApplication::postEvent(
                window->terminalView(),
                new QKeyEvent(QEvent::KeyPress, Qt::Key_Insert, Qt::ShiftModifier));
    });
    window->runCommand(CommandDownloadData);
    EXPECT_EQ(dialogs.messages, QStringList{strings::text(strings::UploadInProgress)});
    const QByteArray wire = port->wire();
    EXPECT_FALSE(wire.contains("PASTED"));
    EXPECT_EQ(wire.count(QByteArray(FrameSize, 'd')), 2);
    EXPECT_TRUE(wire.endsWith("\x03\r"));

    // Afterwards the same paste goes out.
    port->writes.clear();
    window->commandAction(CommandPaste)->trigger();
    EXPECT_EQ(port->wire(), "PASTED\r");
}

} // namespace
} // namespace kestrel::test
