#include "CliHost.h"

#include "SessionLog.h"
#include "TerminalFilter.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrel::cli {

namespace {
bool isTerminal(std::FILE* f) {
    return ::isatty(::fileno(f)) == 1;
}

QString humanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 3)
        bytes /= 1024.0, ++u;
    return u == 0 ? QStringLiteral("%1 B").arg(qint64(bytes))
                  : QStringLiteral("%1 %2").arg(bytes, 0, 'f', 1).arg(QLatin1String(units[u]));
}
} // namespace

CliHost::CliHost(std::FILE* out, std::FILE* err, bool showProgress)
    : out_(out), err_(err), outIsTerminal_(isTerminal(out)), errIsTerminal_(isTerminal(err)),
      showProgress_(showProgress && isTerminal(err)) {}

QByteArray visibleControls(const QByteArray& text) {
    QByteArray shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\r' && c != '\n' && c != '\t' && c != '\b') || u == 0x7f) {
            shown += '^';
            shown += static_cast<char>(u ^ 0x40);
        } else {
            shown += c;
        }
    }
    return shown;
}

void CliHost::appendToTerminal(const QByteArray& chunk) {
    QByteArray text = filterReceivedText(chunk);
    if (text.isEmpty()) return;
    if (log_) log_->write(text);
    if (!outIsTerminal_)
        text.replace("\r\n", "\n");
    else if (visibleControls_)
        text = visibleControls(text);
    clearProgress();
    writeOut(text);
    lastOut_ = text.back();
}

QString outputFailure(int error) {
    return QStringLiteral("standard output cannot be written (%1)")
        .arg(QString::fromLocal8Bit(std::strerror(error)));
}

void CliHost::writeOut(const QByteArray& bytes) {
    if (outLost_) return;
    errno = 0;
    const size_t n = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), out_);
    if (n == static_cast<size_t>(bytes.size()) && std::fflush(out_) == 0) return;
    const int error = errno;
    outLost_ = true;
    note(outputFailure(error) + QStringLiteral("; what is running goes on without a display"));
}

void CliHost::endOpenLine() {
    if (lastOut_ == '\n') return;
    writeOut(outIsTerminal_ ? "\r\n" : "\n");
    lastOut_ = '\n';
}

void CliHost::clearTerminal() {
    if (!outIsTerminal_) return;
    clearProgress();
    writeOut("\033[H\033[2J");
}

// The fields are the window's; the progress display takes its numbers from
// transferProgress.
void CliHost::setField(int, const QString&) {}

void CliHost::transferProgressEnded() {
    clearProgress();
}

void CliHost::transferProgress(quint64 done, quint64 total) {
    if (!showProgress_) return;
    if (!progressShown_ || done < sent_ || total != total_) started_.start();
    sent_ = done;
    total_ = total;
    drawProgress(done == total);
}

void CliHost::setProgressRange(int, int) {}
void CliHost::setProgressPosition(int) {}

void CliHost::drawProgress(bool force) {
    if (!force && lastDraw_.isValid() && lastDraw_.elapsed() < 100) return;
    lastDraw_.start();
    const double fraction = total_ ? double(sent_) / double(total_) : 1.0;
    const double seconds = started_.isValid() ? started_.elapsed() / 1000.0 : 0.0;
    // A rate measured over a few bytes or a few milliseconds says nothing.
    const bool rateKnown = seconds >= 0.5 && sent_ > 0;
    QString tail = QStringLiteral(" %1% %2 of %3")
                       .arg(int(fraction * 100), 3)
                       .arg(humanBytes(double(sent_)), humanBytes(double(total_)));
    if (rateKnown) {
        const double rate = double(sent_) / seconds;
        const qint64 left = qint64(std::ceil(double(total_ - std::min(sent_, total_)) / rate));
        tail += QStringLiteral("  %1/s  ETA %2:%3")
                    .arg(humanBytes(rate))
                    .arg(left / 60)
                    .arg(left % 60, 2, 10, QLatin1Char('0'));
    }
    // One column is left free: a line that fills the last column wraps on
    // some terminals.
    const int columns = terminalColumns() - 1;
    int barWidth = std::min(30, columns - int(tail.size()) - 2);
    QString line;
    if (barWidth >= 5) {
        const int filled = int(fraction * barWidth);
        line =
            QStringLiteral("[%1%2]").arg(QString(filled, u'#'), QString(barWidth - filled, u'-'));
    }
    line = (line + tail).left(std::max(columns, 1));
    std::fputs(QStringLiteral("\r%1\033[K").arg(line).toLocal8Bit().constData(), err_);
    std::fflush(err_);
    progressShown_ = true;
}

int CliHost::terminalColumns() const {
    winsize size{};
    if (::ioctl(::fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void CliHost::clearProgress() {
    if (!progressShown_) return;
    std::fputs("\r\033[K", err_);
    std::fflush(err_);
    progressShown_ = false;
}

void CliHost::note(const QString& text) {
    clearProgress();
    std::fprintf(err_, "kestrel-cli: %s\n", text.toLocal8Bit().constData());
    std::fflush(err_);
}

void CliHost::messageBox(const QString& text, BoxIcon) {
    ++messages_;
    QString line = text;
    line.replace(u'\n', u' ');
    note(line.trimmed());
}

void CliHost::waitForUser(const QString& text) {
    messageBox(text, BoxIcon::Information);
    if (::isatty(STDIN_FILENO) != 1) {
        note(QStringLiteral("(standard input is not a terminal: going on)"));
        return;
    }
    std::fputs("kestrel-cli: press Return to go on", err_);
    std::fflush(err_);
    for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
    }
}

void CliHost::beep() {
    if (errIsTerminal_) std::fputc('\a', err_), std::fflush(err_);
}

void CliHost::pumpMessages() {
    // A frame pumps eight times, and each pump polls every descriptor the
    // loop watches: that cost more than the frame's own writes and reads.
    // What the command line dispatches (Ctrl-C, a lost device) can wait a
    // millisecond.
    constexpr qint64 PumpIntervalNs = 1'000'000;
    if (lastPump_.isValid() && lastPump_.nsecsElapsed() < PumpIntervalNs) return;
    lastPump_.start();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void CliHost::sleepMilliseconds(int msecs) {
    // Waits in an event loop, so Ctrl-C, SIGTERM and a lost device are heard
    // during the sleep and end it (through interruptSleep).
    if (msecs <= 0 || sleepInterrupted_) return;
    QEventLoop loop;
    sleepLoop_ = &loop;
    QTimer::singleShot(msecs, &loop, &QEventLoop::quit);
    loop.exec();
    sleepLoop_ = nullptr;
}

void CliHost::interruptSleep() {
    // Once stopped, the program is ending: later sleeps are not slept either.
    sleepInterrupted_ = true;
    if (sleepLoop_) sleepLoop_->quit();
}

} // namespace kestrel::cli
