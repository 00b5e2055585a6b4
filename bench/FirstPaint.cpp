// Preloaded into a Qt program (LD_PRELOAD) to time its start-up without
// touching the program: when the first paint of any widget has been handled,
// writes "first-paint NANOSECONDS" (CLOCK_MONOTONIC) to the file descriptor
// named by KESTREL_BENCH_PAINT_FD and leaves the event loop, so the program
// shuts down as it normally does (its serial port lock is removed) while none
// of that is counted.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

class FirstPaintWatch : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!seen_ && event->type() == QEvent::Paint && watched->isWidgetType()) {
            seen_ = true;
            // Queued behind the paint, so it fires once the whole window has
            // been painted and flushed, not at the first widget's turn.
            QTimer::singleShot(0, [] { finish(); });
        }
        return false;
    }

private:
    static void finish() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const char* fdText = std::getenv("KESTREL_BENCH_PAINT_FD");
        const int fd = fdText ? std::atoi(fdText) : STDOUT_FILENO;
        char line[64];
        const int length =
            std::snprintf(line, sizeof line, "first-paint %lld\n",
                          static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
        const bool written = ::write(fd, line, static_cast<size_t>(length)) == length;
        // exit(), not quit(): quit() would ask the window to close, and a
        // window that asks the user first would keep running.
        QCoreApplication::exit(written ? 0 : 1);
    }

    bool seen_ = false;
};

void watchFirstPaint() {
    QCoreApplication::instance()->installEventFilter(
        new FirstPaintWatch(QCoreApplication::instance()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(watchFirstPaint)
