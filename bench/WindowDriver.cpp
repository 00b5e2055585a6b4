// Drives Kestrel's real main window (offscreen) for the window's figures.
//
//   kestrel-bench-window download DEVICE FILE ADDRESS
//       runs the "Download data file" command on an open window and reports
//       the command's wall time and the CPU it took
//   kestrel-bench-window flood BYTES [LOGFILE]
//       (with LOGFILE, the window logs to it with timestamps, as File > Log
//       to File... and Timestamps in Log do) floods a pseudo-terminal the window listens on with
//       console text and reports when the last line was shown, how long the event loop went
//       unanswered, and whether the view holds what the filter model says
//
// Results go to stdout as "name value" lines; the bench runner reads them.
// The window is the application's own MainDialog with its real serial
// component; only the modal dialogs are answered by this program.
#include "ControlIds.h"
#include "MainDialog.h"
#include "QtSerialPortComponent.h"
#include "TerminalFilter.h"
#include "TerminalView.h"
#include "UserDialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;

namespace {

// Answers the download dialog with a fixed request; any message box is a
// failure of the run and is reported, never shown.
class BenchDialogs : public UserDialogs {
public:
    std::optional<DownloadRequest> request;
    std::optional<QString> chosenFile;
    QStringList messages;

    void message(QWidget*, const QString& text, BoxIcon) override { messages << text; }
    bool question(QWidget*, const QString&) override { return false; }
    std::optional<QString> openFileName(QWidget*, const FileChooserRequest&) override {
        return chosenFile;
    }
    std::optional<QFont> chooseFont(QWidget*, const QFont&) override { return std::nullopt; }
    std::optional<PortDialogFields> portSettings(QWidget*, const PortDialogFields&) override {
        return std::nullopt;
    }
    std::optional<DownloadRequest> download(QWidget*) override { return request; }
    std::optional<ReceiveRequest> receive(QWidget*) override { return std::nullopt; }
    void about(QWidget*) override {}
    void help(QWidget*, const QString&) override {}
};

// The window as the application builds it, with every terminal append seen
// on its way in, so the flood can replay the same chunks through the model.
class ObservedWindow : public MainDialog {
public:
    using MainDialog::MainDialog;
    std::function<void(const QByteArray&)> appended;

    void appendToTerminal(const QByteArray& chunk) override {
        MainDialog::appendToTerminal(chunk);
        if (appended) appended(chunk);
    }
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void report(const char* name, double value) {
    std::printf("%s %.6f\n", name, value);
}

std::unique_ptr<ObservedWindow> openWindow(const QString& device, BenchDialogs& dialogs) {
    auto port = std::make_unique<QtSerialPortComponent>();
    port->setDeviceOverride(device);
    auto window = std::make_unique<ObservedWindow>(std::move(port), dialogs);
    window->initialise();
    window->show();
    QCoreApplication::processEvents();
    return window;
}

bool failed(const BenchDialogs& dialogs) {
    for (const QString& text : dialogs.messages)
        std::fprintf(stderr, "kestrel-bench-window: message box: %s\n", qPrintable(text));
    return !dialogs.messages.isEmpty();
}

int download(const QString& device, const QString& file, const QString& address) {
    BenchDialogs dialogs;
    auto window = openWindow(device, dialogs);
    if (failed(dialogs)) return 1;
    dialogs.request = DownloadRequest{file, address};

    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    window->runCommand(CommandDownloadData);
    const double seconds = wall.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    if (failed(dialogs)) return 1;
    report("seconds", seconds);
    report("cpu", cpu);
    return 0;
}

// Console text as a chatty program prints it: lines of mixed length ending
// in CR LF, some typed over with backspaces, some with the monitor's words
// the filter rewrites. The last line is unique, so its arrival is visible.
QByteArray floodText(qsizetype size) {
    std::mt19937 random(20240601);
    static const char* const words[] = {"printf", "frame", "vsync", "SIOCONS", "pad",  "0x801f",
                                        "ok",     "GPU",   "tick",  "F10 F2",  "sound"};
    const QByteArray last = "end of flood\r\n";
    QByteArray text;
    text.reserve(size);
    int lineNumber = 0;
    while (text.size() < size - last.size()) {
        QByteArray line = QByteArray::number(lineNumber++) + ":";
        const int wordCount = static_cast<int>(random() % 14);
        for (int i = 0; i < wordCount; ++i) {
            line += ' ';
            line += words[random() % std::size(words)];
        }
        if (random() % 5 == 0) line += "xy\b\bok";
        line += "\r\n";
        text += line;
    }
    text.truncate(std::max<qsizetype>(0, size - last.size()));
    return text + last;
}

// Writes everything into the line as fast as the pseudo-terminal takes it,
// until done or told to stop.
void writeAll(int fd, const QByteArray& bytes, const std::atomic<bool>& stop) {
    const char* at = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0 && !stop) {
        const ssize_t n = ::write(fd, at, static_cast<size_t>(std::min<qsizetype>(left, 65536)));
        if (n > 0) {
            at += n;
            left -= n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd room{fd, POLLOUT, 0};
            ::poll(&room, 1, 100);
        } else if (!(n < 0 && errno == EINTR)) {
            return;
        }
    }
}

// The console's side of the line, closed however the flood ends.
class MasterSide {
public:
    MasterSide() : fd_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~MasterSide() {
        if (fd_ >= 0) ::close(fd_);
    }
    MasterSide(const MasterSide&) = delete;
    MasterSide& operator=(const MasterSide&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

int flood(qsizetype size, const QString& logFile) {
    const MasterSide line;
    const int master = line.fd();
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("kestrel-bench-window: pseudo-terminal");
        return 1;
    }
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    const QString device = QString::fromLocal8Bit(ptsname(master));

    BenchDialogs dialogs;
    auto window = openWindow(device, dialogs);
    if (failed(dialogs)) return 1;
    TerminalView* view = window->terminalView();
    if (!logFile.isEmpty()) {
        dialogs.chosenFile = logFile;
        window->runCommand(CommandLogTimestamps);
        window->runCommand(CommandLogToFile);
        if (failed(dialogs)) return 1;
    }

    const QByteArray input = floodText(size);
    const QByteArray before = view->terminalText();
    QByteArray received;
    std::vector<QByteArray> chunks;
    window->appended = [&](const QByteArray& chunk) {
        chunks.push_back(chunk);
        received += chunk;
    };

    QElapsedTimer clock;
    qint64 lastTick = 0, longestSilence = 0, allReceived = -1, shown = -1;
    // The event loop answers this timer whenever it is free; the longest gap
    // between two answers is the longest time the window was frozen.
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(5);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestSilence = std::max(longestSilence, now - lastTick);
        lastTick = now;
        if (allReceived < 0 && received.size() >= input.size()) {
            allReceived = now;
            view->viewport()->update();
        }
    });
    // Shown means painted: the first paint of the view after the last byte
    // has been appended.
    struct PaintWatch : QObject {
        std::function<void()> painted;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) painted();
            return false;
        }
    } paintWatch;
    paintWatch.painted = [&] {
        if (allReceived >= 0 && shown < 0) {
            shown = clock.nsecsElapsed();
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        }
    };
    view->viewport()->installEventFilter(&paintWatch);

    std::atomic<bool> stopWriting = false;
    clock.start();
    heartbeat.start();
    std::thread writer(writeAll, master, std::cref(input), std::cref(stopWriting));
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    giveUp.start(120'000);
    QCoreApplication::exec();
    heartbeat.stop();
    stopWriting = true;
    writer.join();
    view->viewport()->removeEventFilter(&paintWatch);

    if (shown < 0 || failed(dialogs)) {
        std::fprintf(stderr, "kestrel-bench-window: the last line never arrived (%lld of %lld)\n",
                     static_cast<long long>(received.size()), static_cast<long long>(input.size()));
        return 1;
    }
    QByteArray model = before;
    for (const QByteArray& chunk : chunks)
        model = appendToTerminalText(model, chunk);
    report("bytes", double(input.size()));
    report("seconds", shown / 1e9);
    report("longest-silence", longestSilence / 1e9);
    report("chunks", double(chunks.size()));
    report("received-intact", received == input ? 1 : 0);
    report("text-exact", view->terminalText() == model ? 1 : 0);
    return 0;
}

int usage() {
    std::fputs("usage: kestrel-bench-window download DEVICE FILE ADDRESS\n"
               "       kestrel-bench-window flood BYTES [LOGFILE]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tamsworth"));
    QApplication::setApplicationName(QStringLiteral("Kestrel"));
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 4 && args[0] == QLatin1String("download"))
        return download(args[1], args[2], args[3]);
    if ((args.size() == 2 || args.size() == 3) && args[0] == QLatin1String("flood")) {
        bool ok = false;
        const qsizetype size = args[1].toLongLong(&ok);
        return ok && size > 0 ? flood(size, args.value(2)) : usage();
    }
    return usage();
}
