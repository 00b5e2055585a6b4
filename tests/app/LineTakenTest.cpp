// While a download, an auto file, a paste or a memory receive has the line,
// nothing typed, pasted or started by another command goes out in the middle
// of it: typed keys are refused with a note in the state field, the commands
// that use the line with the busy message. The font command still answers.
#include "ControlIds.h"
#include "Strings.h"
#include "TerminalView.h"
#include "WindowFixture.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace kestrel::test {
namespace {

const QString TypedKeysRefused = QStringLiteral("Busy: typed keys are not sent during a transfer.");

using During = std::function<void()>;

// Calls `during` once, at the first write the port takes.
void atFirstWrite(FakeSerialPort& port, During during) {
    port.responder = [during = std::move(during), done = false](const QByteArray&) mutable {
        if (std::exchange(done, true)) return;
        during();
    };
}

class LineTaken;

struct Holder {
    const char* name;
    // Starts the operation on a freshly opened window and runs it to its
    // end; `during` runs once while it holds the line, just before the
    // operation dispatches the window's messages.
    std::function<void(LineTaken&, During)> run;
    friend void PrintTo(const Holder& h, std::ostream* os) { *os << h.name; }
};

class LineTaken : public WindowFixture, public ::testing::WithParamInterface<Holder> {
public:
    // The holder's run on a fresh window, with `during` inside it.
    void runHolder(During during) {
        window.reset();
        dialogs = ScriptedDialogs();
        open();
        port->writes.clear();
        GetParam().run(*this, std::move(during));
        QCoreApplication::processEvents();
    }

    // For the holders.
    MainDialog& w() { return *window; }
    FakeSerialPort& fake() { return *port; }
    ScriptedDialogs& scripted() { return dialogs; }
    QString file(const QString& name, const QByteArray& bytes) { return writeFile(name, bytes); }
};

// What a command does when it comes in the middle of the holder.
enum class Answer { BusyMessage, Note, Runs };

struct Intruder {
    const char* name;
    // Posts the user's action, to be dispatched with the window's messages.
    std::function<void(MainDialog&)> post;
    Answer answer;
};

void postKey(MainDialog& w, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier,
             const QString& text = {}) {
    QCoreApplication::postEvent(w.terminalView(), new QKeyEvent(QEvent::KeyPress, key, mods, text));
}

void postMenuItem(MainDialog& w, int command) {
    QMetaObject::invokeMethod(
        &w, [&w, command] { w.commandAction(command)->trigger(); }, Qt::QueuedConnection);
}

const Intruder intruders[] = {
    {"typed keys",
     [](MainDialog& w) {
         postKey(w, Qt::Key_Y, Qt::NoModifier, QStringLiteral("y"));
         postKey(w, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
         QCoreApplication::postEvent(
             w.field(FieldPort),
             new QKeyEvent(QEvent::KeyPress, Qt::Key_Z, Qt::NoModifier, QStringLiteral("z")));
     },
     Answer::Note},
    {"Shift+Insert paste", [](MainDialog& w) { postKey(w, Qt::Key_Insert, Qt::ShiftModifier); },
     Answer::BusyMessage},
    {"F3 auto", [](MainDialog& w) { postKey(w, Qt::Key_F3); }, Answer::BusyMessage},
    {"Shift+F3 auto again", [](MainDialog& w) { postKey(w, Qt::Key_F3, Qt::ShiftModifier); },
     Answer::BusyMessage},
    {"F4 data download", [](MainDialog& w) { postKey(w, Qt::Key_F4); }, Answer::BusyMessage},
    {"F5 executable download", [](MainDialog& w) { postKey(w, Qt::Key_F5); }, Answer::BusyMessage},
    {"Receive", [](MainDialog& w) { postMenuItem(w, CommandReceive); }, Answer::BusyMessage},
    {"F12 port settings", [](MainDialog& w) { postKey(w, Qt::Key_F12); }, Answer::BusyMessage},
    {"Ctrl+F font", [](MainDialog& w) { postKey(w, Qt::Key_F, Qt::ControlModifier); },
     Answer::Runs},
};

// The dialogs a run asked for, to tell whether a refused command opened one.
struct Requests {
    int downloads;
    int receives;
    qsizetype choosers;
    qsizetype ports;
    bool operator==(const Requests&) const = default;
    friend void PrintTo(const Requests& r, std::ostream* os) {
        *os << "downloads " << r.downloads << ", receives " << r.receives << ", choosers "
            << r.choosers << ", port settings " << r.ports;
    }
};

Requests requests(const ScriptedDialogs& d) {
    return {d.downloadRequests, d.receiveRequests, d.chooserRequests.size(), d.portRequests.size()};
}

TEST_P(LineTaken, NothingGoesOutInsideItAndEveryCommandIsRefusedVisibly) {
    runHolder([] {});
    const QByteArray undisturbed = port->wire();
    const Requests holderRequests = requests(dialogs);
    ASSERT_FALSE(undisturbed.isEmpty());
    ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();

    for (const Intruder& intruder : intruders) {
        SCOPED_TRACE(intruder.name);
        QString stateDuring;
        bool busyDuring = false;
        runHolder([&] {
            busyDuring = window->link().isBusy() || window->link().isCapturing();
            intruder.post(*window);
            // Read once the action has been dispatched, before the holder
            // writes its own state.
            QMetaObject::invokeMethod(
                window.get(), [&] { stateDuring = window->field(FieldState)->text(); },
                Qt::QueuedConnection);
        });
        ASSERT_TRUE(busyDuring);
        EXPECT_EQ(port->wire(), undisturbed);
        switch (intruder.answer) {
        case Answer::BusyMessage:
            EXPECT_EQ(dialogs.messages.join('|').toStdString(),
                      strings::text(strings::UploadInProgress).toStdString());
            EXPECT_EQ(requests(dialogs), holderRequests);
            break;
        case Answer::Note:
            EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
            EXPECT_EQ(stateDuring.toStdString(), TypedKeysRefused.toStdString());
            break;
        case Answer::Runs:
            EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
            EXPECT_EQ(dialogs.fontRequests.size(), 1);
            break;
        }
        EXPECT_FALSE(window->link().isBusy());
        EXPECT_EQ(port->rThreshold(), 1);
        // Once it is over, keys go out again.
        port->writes.clear();
        QTest::keyClick(window->terminalView(), Qt::Key_X);
        EXPECT_EQ(port->wire(), "x");
        window.reset();
    }
}

const Holder holders[] = {
    {"DataDownload",
     [](LineTaken& t, During during) {
         t.scripted().downloadAnswer =
             DownloadRequest{t.file(QStringLiteral("data.bin"), QByteArray(3 * FrameSize, 'd')),
                             QStringLiteral("80010000")};
         answerLikeTheMonitor(t.fake(), [during](int frames) {
             if (frames == 1) during();
         });
         t.w().runCommand(CommandDownloadData);
     }},
    {"AutoFile",
     [](LineTaken& t, During during) {
         t.scripted().chosenFile = t.file(QStringLiteral("boot.sio"), "sr epc 80010000\r");
         atFirstWrite(t.fake(), std::move(during));
         t.w().runCommand(CommandAuto);
     }},
    {"Paste",
     [](LineTaken& t, During during) {
         QGuiApplication::clipboard()->setText(QStringLiteral("ls\ndr\n"));
         atFirstWrite(t.fake(), std::move(during));
         t.w().runCommand(CommandPaste);
     }},
    // The block has been asked for and is on its way: the capture takes
    // everything that arrives.
    {"MemoryReceive",
     [](LineTaken& t, During during) {
         t.scripted().receiveAnswer =
             ReceiveRequest{t.file(QStringLiteral("block.bin"), {}), QStringLiteral("80010000"),
                            QStringLiteral("10")};
         t.fake().responder = [&port = t.fake()](const QByteArray& written) {
             if (written == "brd\r") port.deliver("brd\r\nbinary");
         };
         t.w().runCommand(CommandReceive);
         ASSERT_TRUE(t.w().link().isCapturing());
         during();
         QCoreApplication::processEvents();
         t.fake().deliver(QByteArray(16, 'm') + "\r\n>>");
         t.w().link().onCommEvent();
         EXPECT_FALSE(t.w().link().isCapturing());
     }},
};

INSTANTIATE_TEST_SUITE_P(Window, LineTaken, ::testing::ValuesIn(holders),
                         [](const auto& info) { return std::string(info.param.name); });

using PasteStop = WindowFixture;

// A paste holds the line like a transfer, so Stop says it was aborted: it
// then ends before its next byte. A Stop from before it does not count.
TEST_F(PasteStop, StopEndsAPasteBeforeItsNextByte) {
    open();
    QGuiApplication::clipboard()->setText(QStringLiteral("abcdef"));
    window->clearTerminal();
    port->writes.clear();
    atFirstWrite(*port, [&] {
        QMetaObject::invokeMethod(window->stopButton(), &QPushButton::click, Qt::QueuedConnection);
    });
    window->runCommand(CommandPaste);
    EXPECT_EQ(port->wire(), "a");
    EXPECT_TRUE(window->terminalView()->terminalText().contains("CURRENT FILE TRANSFER ABORTED"))
        << window->terminalView()->terminalText().constData();
    EXPECT_FALSE(window->link().isBusy());

    port->responder = {};
    port->writes.clear();
    window->runCommand(CommandPaste);
    EXPECT_EQ(port->wire(), "abcdef");
}

} // namespace
} // namespace kestrel::test
