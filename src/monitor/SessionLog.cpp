#include "SessionLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel {

SessionLog::SessionLog(Mode mode, Clock clock) : mode_(mode), clock_(std::move(clock)) {
    // The epoch count is cheap; the local-time conversion is not, and is
    // done once a second (see appendStamp).
    if (!clock_) clock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    flushTimer_.setSingleShot(true);
    QObject::connect(&flushTimer_, &QTimer::timeout, [this] { flush(); });
}

SessionLog::~SessionLog() {
    // Whoever would hear of a failure is going away with this log.
    onFailure_ = nullptr;
    close();
}

std::optional<QString> SessionLog::open(const QString& path) {
    close();
    // Opened with O_APPEND by hand: QFile's Append seeks to the end, which a
    // device such as a pipe or /dev/full cannot do, and says so on stderr.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return QString::fromLocal8Bit(std::strerror(errno));
    path_ = path;
    // Unbuffered: the buffer here is the only one, and flush() puts it in the
    // kernel's hands, where it outlives the process.
    if (!file_.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFile::AutoCloseHandle)) {
        ::close(fd);
        return file_.errorString();
    }
    atLineStart_ = true;
    afterCr_ = false;
    return std::nullopt;
}

void SessionLog::close() {
    if (!file_.isOpen()) return;
    flush();
    file_.close();
}

QByteArray SessionLog::timestampText(const QDateTime& time) {
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")).toLatin1();
}

void SessionLog::appendStamp() {
    const qint64 ms = clock_();
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    if (second != stampSecond_) {
        stampSecond_ = second;
        stampHead_ = QDateTime::fromMSecsSinceEpoch(second * 1000)
                         .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss."))
                         .toLatin1();
    }
    const int milli = int(ms - second * 1000);
    buffer_ += stampHead_;
    buffer_ += char('0' + milli / 100);
    buffer_ += char('0' + milli / 10 % 10);
    buffer_ += char('0' + milli % 10);
    buffer_ += ' ';
}

void SessionLog::appendText(const QByteArray& text) {
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            if (atLineStart_) {
                if (timestamps_) appendStamp();
                atLineStart_ = false;
            }
            afterCr_ = false;
            // The rest of the line up to its end goes in as one piece.
            qsizetype end = i + 1;
            while (end < n && text[end] != '\r' && text[end] != '\n')
                ++end;
            buffer_.append(text.constData() + i, end - i);
            i = end - 1;
            continue;
        }
        const bool sameEnd = c == '\n' && afterCr_;
        afterCr_ = c == '\r';
        if (sameEnd) continue;
        buffer_ += '\n';
        atLineStart_ = true;
    }
}

void SessionLog::write(const QByteArray& bytes) {
    if (!file_.isOpen() || bytes.isEmpty()) return;
    if (mode_ == Mode::Raw) {
        buffer_ += bytes;
    } else {
        appendText(bytes);
    }
    const bool lineEnded =
        mode_ == Mode::Text ? bytes.contains('\r') || bytes.contains('\n') : bytes.contains('\n');
    if (lineEnded) {
        flush();
    } else if (!buffer_.isEmpty() && !flushTimer_.isActive()) {
        flushTimer_.start(FlushIntervalMs);
    }
}

void SessionLog::flush() {
    flushTimer_.stop();
    if (!file_.isOpen() || buffer_.isEmpty()) return;
    const qint64 written = file_.write(buffer_);
    if (written != buffer_.size()) {
        fail();
        return;
    }
    buffer_.clear();
}

void SessionLog::fail() {
    QString reason = file_.errorString();
    if (reason.isEmpty()) reason = QStringLiteral("the write was cut short");
    const QString path = path_;
    buffer_.clear();
    file_.close();
    if (onFailure_)
        onFailure_(
            QStringLiteral("Cannot write the log %1 (%2); logging has stopped.").arg(path, reason));
}

} // namespace kestrel
