#pragma once
// What the conversation, the transfers and the automation need from whoever
// shows them to the user: the window, the command-line front end, or a test
// recorder. Nothing here knows about widgets.
#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <chrono>

namespace kestrel {

// Status fields of the main window, by control ID.
enum Field : int {
    FieldPort = 1004,     // "COM2:9600,n,8,1"
    FieldCounter = 1005,  // transfer counters
    FieldState = 1006,    // "Comms failure.", "Done.", file path
    FieldTask = 1008,     // auto-file line, section name, receive state
    FieldActivity = 1010, // "TX  ", "  RX", "    "
};

enum class BoxIcon { Warning, Information, Question };

class Host {
public:
    virtual ~Host() = default;

    // Raw console or program text; the host runs it through FilterReceivedText
    // (and, in the window, the terminal bound).
    virtual void appendToTerminal(const QByteArray& chunk) = 0;
    virtual void clearTerminal() = 0;

    virtual void setField(int fieldId, const QString& text) = 0;
    virtual void setProgressRange(int lower, int upper) = 0;
    virtual void setProgressPosition(int position) = 0;
    // The transfer counter as numbers, beside the counter field's text (which
    // is for people): a front end that draws its own display reads these.
    // Ended: the counter has been emptied, the piece loop is over.
    virtual void transferProgress(quint64 /*done*/, quint64 /*total*/) {}
    virtual void transferProgressEnded() {}
    virtual void setTitle(const QString& title) = 0;

    // A modal message with an OK button; returns when the user has closed it.
    virtual void messageBox(const QString& text, BoxIcon icon = BoxIcon::Warning) = 0;
    // A message the user must acknowledge before the program goes on (the
    // local commands "msgbox" and "pause"). The window shows a message box;
    // a front end without one waits for the user in its own way.
    virtual void waitForUser(const QString& text) { messageBox(text, BoxIcon::Warning); }
    virtual void beep() = 0;

    // Dispatches every window message already waiting, then returns.
    virtual void pumpMessages() = 0;
    // The same, called when the conversation has sent everything and is about
    // to wait for the monitor's answer: work a host has put off (the window's
    // repaints) costs no line time here.
    virtual void pumpMessagesBeforeWait() { pumpMessages(); }
    // A blocking pause that lets no user input through but Stop (and, in the
    // window, the quit question): it ends early when interruptSleep is called.
    virtual void sleepMilliseconds(int msecs) = 0;
    // Stop was pressed: a sleepMilliseconds running below returns at once.
    virtual void interruptSleep() {}
    // Milliseconds on a clock that only moves forward, from any start: how
    // long the line needs for what has been sent, and the time-outs of the
    // conversation, are counted on it, so setting the time of day changes
    // neither.
    virtual qint64 steadyMs() {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    // The local command "quit": end the program without the quit question,
    // once the running operation has unwound.
    virtual void requestQuit() = 0;
};

} // namespace kestrel
