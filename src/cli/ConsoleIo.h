#pragma once
// The host terminal of kestrel-cli: raw mode for `term`, always restored, and
// Ctrl-C turned into the Stop button on the main thread.
#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace kestrel::cli {

// Puts standard input into raw mode while it lives, if it is a terminal. The
// saved mode is also restored by a second Ctrl-C and at exit.
class RawTerminal {
public:
    // ToConsole: Ctrl-C is a key like any other. ToProgram: it still raises
    // SIGINT, and output keeps its line ends, because the program prints
    // lines of its own between the console's.
    enum class Signals { ToConsole, ToProgram };
    explicit RawTerminal(Signals ctrlC = Signals::ToConsole);
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool active() const { return active_; }

private:
    bool active_ = false;
};

// The first Ctrl-C (SIGINT, also SIGTERM and SIGHUP) calls onInterrupt with
// the signal's number on the main thread, the next one ends the program at
// once (status 128 plus its number) after the host terminal has been restored.
class InterruptBridge : public QObject {
    Q_OBJECT
public:
    explicit InterruptBridge(std::function<void(int signal)> onInterrupt,
                             QObject* parent = nullptr);
    ~InterruptBridge() override;

    // SIGTERM or SIGHUP that asked the program to end; 0 if none came.
    int endingSignal() const { return endingSignal_; }

signals:
    // SIGTERM or SIGHUP: whatever loop is waiting ends.
    void endRequested();
    // Any of the three, after onInterrupt has run.
    void interrupted(int signal);

private:
    void readPipe();
    std::function<void(int)> onInterrupt_;
    std::unique_ptr<QSocketNotifier> notifier_;
    int endingSignal_ = 0;
};

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null where they were
// closed), so nothing the program opens later takes their place.
void openStandardDescriptors();

} // namespace kestrel::cli
