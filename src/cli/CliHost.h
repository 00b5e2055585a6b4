#pragma once
// The command-line front end's host: what the window would append to its
// terminal goes to standard output, what it would show in a message box goes
// to standard error as one line, and transfers draw a progress bar on standard
// error when it is a terminal.
#include "Host.h"

#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>

namespace kestrel {
class SessionLog;
}

namespace kestrel::cli {

// "standard output cannot be written (No space left on device)".
QString outputFailure(int error);

class CliHost : public Host {
public:
    CliHost(std::FILE* out, std::FILE* err, bool showProgress);

    void appendToTerminal(const QByteArray& chunk) override;
    void clearTerminal() override;
    void setField(int fieldId, const QString& text) override;
    void setProgressRange(int lower, int upper) override;
    void setProgressPosition(int position) override;
    // The progress display on standard error (a terminal only, and not with
    // --quiet); the CLI's receive calls it too.
    void transferProgress(quint64 done, quint64 total) override;
    void transferProgressEnded() override;
    void setTitle(const QString&) override {}
    void messageBox(const QString& text, BoxIcon icon) override;
    void waitForUser(const QString& text) override;
    void beep() override;
    void pumpMessages() override;
    void sleepMilliseconds(int msecs) override;
    void interruptSleep() override;
    // Sleeps are slept again after interruptSleep (the watch's next run).
    void resumeSleeping() { sleepInterrupted_ = false; }
    void requestQuit() override { quitRequested_ = true; }

    bool quitRequested() const { return quitRequested_; }
    // Writes a note of the program's own on standard error ("kestrel-cli: ...").
    void note(const QString& text);
    // Ends a line the program's output left open ("Registers set: ..." has no
    // line end of its own), so the shell prompt starts on a line of its own.
    void endOpenLine();
    // Message boxes shown so far (their count tells a script something went wrong).
    int messagesShown() const { return messages_; }
    // Console bytes other than CR, LF, TAB and BS are shown as ^[ and friends
    // when standard output is a terminal, so the console cannot drive it.
    void setVisibleControls(bool on) { visibleControls_ = on; }
    // The terminal's text also goes to this log (--log); nullptr: none.
    void setSessionLog(SessionLog* log) { log_ = log; }

private:
    void drawProgress(bool force);
    void clearProgress();
    // Writes to standard output; after a failed write (the reader has gone)
    // nothing more is written there, and that is said once on standard error.
    void writeOut(const QByteArray& bytes);
    int terminalColumns() const;

    std::FILE* out_;
    std::FILE* err_;
    bool outIsTerminal_;
    bool errIsTerminal_;
    bool showProgress_;
    bool quitRequested_ = false;
    int messages_ = 0;
    char lastOut_ = '\n';
    bool visibleControls_ = false;
    bool outLost_ = false;
    bool sleepInterrupted_ = false;
    QEventLoop* sleepLoop_ = nullptr;
    SessionLog* log_ = nullptr;

    // Progress of the running piece of a transfer, read from the counter field.
    bool progressShown_ = false;
    quint64 sent_ = 0;
    quint64 total_ = 0;
    QElapsedTimer started_;
    QElapsedTimer lastDraw_;
    QElapsedTimer lastPump_;
};

} // namespace kestrel::cli
