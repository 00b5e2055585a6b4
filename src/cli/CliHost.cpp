#include "CliHost.h"

#include "TerminalFilter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <QThread>

#include <cmath>
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

bool parseCounterText(const QString& text, quint64& sent, quint64& total) {
    static const QRegularExpression counter(
        QStringLiteral("^([0-9a-f]+)(?:/| Bytes of )([0-9a-f]+)(?: sent\\.)?$"));
    const auto m = counter.match(text);
    if (!m.hasMatch()) return false;
    bool ok1 = false, ok2 = false;
    sent = m.captured(1).toULongLong(&ok1, 16);
    total = m.captured(2).toULongLong(&ok2, 16);
    return ok1 && ok2;
}

CliHost::CliHost(std::FILE* out, std::FILE* err, bool showProgress)
    : out_(out), err_(err), outIsTerminal_(isTerminal(out)), errIsTerminal_(isTerminal(err)),
      showProgress_(showProgress && isTerminal(err)) {}

void CliHost::appendToTerminal(const QByteArray& chunk) {
    QByteArray text = filterReceivedText(chunk);
    if (text.isEmpty()) return;
    if (!outIsTerminal_) text.replace("\r\n", "\n");
    clearProgress();
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), out_);
    std::fflush(out_);
    lastOut_ = text.back();
}

void CliHost::endOpenLine() {
    if (lastOut_ == '\n') return;
    std::fputs(outIsTerminal_ ? "\r\n" : "\n", out_);
    std::fflush(out_);
    lastOut_ = '\n';
}

void CliHost::clearTerminal() {
    if (!outIsTerminal_) return;
    clearProgress();
    std::fputs("\033[H\033[2J", out_);
    std::fflush(out_);
}

void CliHost::setField(int fieldId, const QString& text) {
    if (fieldId != FieldCounter || !showProgress_) return;
    quint64 sent = 0, total = 0;
    if (!parseCounterText(text, sent, total)) {
        clearProgress(); // an emptied counter: the piece loop has finished
        return;
    }
    if (!progressShown_ || sent < sent_ || total != total_) started_.start();
    sent_ = sent;
    total_ = total;
    drawProgress(sent == total);
}

void CliHost::setProgressRange(int, int) {}
void CliHost::setProgressPosition(int) {}

void CliHost::drawProgress(bool force) {
    if (!force && lastDraw_.isValid() && lastDraw_.elapsed() < 100) return;
    lastDraw_.start();
    const double fraction = total_ ? double(sent_) / double(total_) : 1.0;
    constexpr int width = 30;
    const int filled = int(fraction * width);
    const double seconds = started_.isValid() ? started_.elapsed() / 1000.0 : 0.0;
    const double rate = seconds > 0.05 ? double(sent_) / seconds : 0.0;
    QString eta = QStringLiteral("--:--");
    if (rate > 0 && total_ >= sent_) {
        const qint64 left = qint64(std::ceil(double(total_ - sent_) / rate));
        eta = QStringLiteral("%1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
    }
    const QString line =
        QStringLiteral("\r[%1%2] %3% %4 of %5  %6/s  ETA %7\033[K")
            .arg(QString(filled, u'#'), QString(width - filled, u'-'))
            .arg(int(fraction * 100), 3)
            .arg(humanBytes(double(sent_)), humanBytes(double(total_)), humanBytes(rate), eta);
    std::fputs(line.toLocal8Bit().constData(), err_);
    std::fflush(err_);
    progressShown_ = true;
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
    if (msecs > 0) QThread::msleep(static_cast<unsigned long>(msecs));
}

qint64 CliHost::timeOfDaySeconds() {
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace kestrel::cli
