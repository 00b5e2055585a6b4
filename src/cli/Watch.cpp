#include "Watch.h"

#include "CliCommands.h"
#include "CliHost.h"
#include "ConsoleIo.h"
#include "MonitorLink.h"
#include "SerialPort.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::cli {

namespace {

class RealQuietTimer : public QuietTimer {
public:
    explicit RealQuietTimer(int ms) {
        timer_.setSingleShot(true);
        timer_.setInterval(ms);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (onQuiet) onQuiet();
        });
    }
    void restart() override { timer_.start(); }
    void stop() override { timer_.stop(); }

private:
    QTimer timer_;
};

// What tells one version of the file from the next: a rename puts another
// inode in its place, a rewrite changes its length or time.
struct FileState {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec mtime {};
    bool operator==(const FileState& o) const {
        return exists == o.exists && inode == o.inode && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileState stateOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    return {true, st.st_ino, st.st_size, st.st_mtim};
}

} // namespace

std::unique_ptr<QuietTimer> makeQuietTimer(int ms) {
    return std::make_unique<RealQuietTimer>(ms);
}

struct FileWatch::Seen {
    FileState file;
    ino_t watchedInode = 0;
};

FileWatch::FileWatch(const QString& path, std::unique_ptr<QuietTimer> timer, QObject* parent)
    : QObject(parent), path_(QFileInfo(path).absoluteFilePath()), timer_(std::move(timer)),
      seen_(std::make_unique<Seen>()) {
    timer_->onQuiet = [this] { quiet(); };
    watcher_.addPath(QFileInfo(path_).absolutePath());
    seen_->file = stateOf(path_);
    followFile();
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] { changed(true); });
    // The folder also reports every other file of a build: only a change to
    // this file counts.
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { changed(false); });
}

FileWatch::~FileWatch() = default;

// A file renamed over or deleted and created again is another inode: the
// watch moves to it.
void FileWatch::followFile() {
    const FileState now = stateOf(path_);
    if (!now.exists) {
        seen_->watchedInode = 0;
        return;
    }
    if (now.inode == seen_->watchedInode && watcher_.files().contains(path_)) return;
    watcher_.removePath(path_);
    if (watcher_.addPath(path_)) seen_->watchedInode = now.inode;
}

void FileWatch::changed(bool fromFile) {
    const FileState now = stateOf(path_);
    if (!fromFile && now == seen_->file) return;
    seen_->file = now;
    followFile();
    timer_->restart();
}

void FileWatch::quiet() {
    const FileState now = stateOf(path_);
    // Written to since the last notice: the notice is on its way, and the
    // quiet period starts again.
    if (!(now == seen_->file)) {
        seen_->file = now;
        followFile();
        timer_->restart();
        return;
    }
    // Gone (between the delete and the create of a rename): wait for it.
    if (!now.exists) return;
    emit settled();
}

int runWatch(Session& s, const Options& o, std::unique_ptr<QuietTimer> timer) {
    const QString& path = o.arguments[0];
    const bool isLoad = o.command == QLatin1String("load");
    FileWatch watch(path, std::move(timer));
    QEventLoop loop;
    bool runWanted = QFileInfo::exists(path);
    bool running = false;
    bool ending = false;
    int status = ExitOk;
    const auto end = [&](int endStatus) {
        ending = true;
        status = endStatus;
        loop.quit();
    };
    // A change while the command runs is taken up once it has ended.
    QObject::connect(&watch, &FileWatch::settled, &loop, [&] {
        runWanted = true;
        loop.quit();
    });
    // Ctrl-C: the running command has been stopped already (and ends with
    // 1); an idle watch ends with the signal's status.
    QObject::connect(&s.interrupts, &InterruptBridge::interrupted, &loop,
                     [&](int sig) { end(running ? ExitTransferFailed : 128 + sig); });
    // A lost device fails what runs, not the watch: the port looks for it
    // again, and a change meanwhile is run once it is back.
    s.waitsForDevice = true;
    const auto done = qScopeGuard([&s] { s.waitsForDevice = false; });

    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    // Ctrl-C stays the program's, the other keys go to the console.
    RawTerminal raw(RawTerminal::Signals::ToProgram);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    bool inputOpen = true;
    QObject::connect(&s.port, &SerialPort::deviceRestored, &loop, [&] {
        input.setEnabled(inputOpen && !running);
        loop.quit();
    });
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&] {
        // Piped input waits for the device; typed keys go where the window's
        // go, nowhere, and Ctrl-] still ends the watch.
        if (!terminal && !s.port.portOpen()) {
            input.setEnabled(false);
            return;
        }
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            // Input ended; the watch goes on until Ctrl-C.
            inputOpen = false;
            input.setEnabled(false);
            return;
        }
        QByteArray bytes(buffer, n);
        if (terminal) {
            if (const qsizetype quit = bytes.indexOf('\x1d'); quit >= 0) { // Ctrl-]
                bytes.truncate(quit);
                end(ExitOk);
            }
        } else {
            bytes.replace('\n', '\r');
        }
        MonitorLink::Operation keystrokes(s.link);
        s.link.sendText(bytes);
    });

    s.host.note(
        QStringLiteral("watching %1; %2 ends")
            .arg(path, terminal ? QStringLiteral("Ctrl-C or Ctrl-]") : QStringLiteral("Ctrl-C")));
    if (!runWanted) s.host.note(QStringLiteral("%1 does not exist yet; waiting for it").arg(path));
    const QString again = isLoad ? QStringLiteral("%1 changed, loading again.")
                                 : QStringLiteral("%1 changed, running it again.");
    bool first = true;
    while (!ending) {
        if (!runWanted || !s.port.portOpen()) {
            loop.exec();
            continue;
        }
        runWanted = false;
        s.host.endOpenLine();
        s.host.note(first ? (isLoad ? QStringLiteral("loading %1.").arg(path)
                                    : QStringLiteral("running %1.").arg(path))
                          : again.arg(path));
        first = false;
        input.setEnabled(false);
        running = true;
        // A sleep a loss cut short ended that run, not the sleeps of this one.
        s.host.resumeSleeping();
        const int runStatus = runCommand(s, o);
        running = false;
        input.setEnabled(inputOpen);
        if (!ending) status = runStatus;
        // An auto file's own quit ends the watch too.
        if (s.host.quitRequested()) break;
    }
    if (!s.port.portOpen() && !ending) status = ExitTransferFailed;
    s.host.endOpenLine();
    return status;
}

} // namespace kestrel::cli
