#include "ConsoleIo.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel::cli {

namespace {
// Shared with the signal handler: only async-signal-safe use there.
struct termios savedMode;
std::atomic<bool> savedModeValid{false};
int interruptPipe[2] = {-1, -1};
std::atomic<int> interrupts{0};

void restoreTerminal() {
    if (savedModeValid.exchange(false)) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
}

extern "C" void onSignal(int sig) {
    if (interrupts.fetch_add(1) >= 1) {
        if (savedModeValid.load()) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
        static const char msg[] = "\r\nkestrel-cli: interrupted\r\n";
        [[maybe_unused]] auto n = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        ::_exit(128 + sig);
    }
    const char b = static_cast<char>(sig);
    [[maybe_unused]] auto n = ::write(interruptPipe[1], &b, 1);
}
} // namespace

RawTerminal::RawTerminal(Signals ctrlC) {
    if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &savedMode) != 0) return;
    struct termios raw = savedMode;
    ::cfmakeraw(&raw);
    if (ctrlC == Signals::ToProgram) {
        raw.c_lflag |= ISIG;
        raw.c_oflag |= OPOST;
    }
    savedModeValid = true;
    static bool atExitInstalled = false;
    if (!atExitInstalled) {
        std::atexit(restoreTerminal);
        atExitInstalled = true;
    }
    active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

RawTerminal::~RawTerminal() {
    restoreTerminal();
}

void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one.
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) ::close(null);
    }
}

InterruptBridge::InterruptBridge(std::function<void(int)> onInterrupt, QObject* parent)
    : QObject(parent), onInterrupt_(std::move(onInterrupt)) {
    if (interruptPipe[0] < 0 && ::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &InterruptBridge::readPipe);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

InterruptBridge::~InterruptBridge() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

void InterruptBridge::readPipe() {
    char buf[16];
    int sig = 0;
    for (ssize_t n; (n = ::read(interruptPipe[0], buf, sizeof buf)) > 0;)
        sig = static_cast<unsigned char>(buf[0]);
    if (sig == 0) return;
    if (sig != SIGINT && endingSignal_ == 0) endingSignal_ = sig;
    if (onInterrupt_) onInterrupt_(sig);
    emit interrupted(sig);
    if (endingSignal_ != 0) emit endRequested();
}

} // namespace kestrel::cli
