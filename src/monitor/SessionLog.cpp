#include "SessionLog.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

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

namespace {

QString systemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

const QString notRegular = QStringLiteral("not a regular file");
const QString removedReason = QStringLiteral("the file or its folder has been removed");

} // namespace

std::optional<QString> SessionLog::open(const QString& path, Files files) {
    close();
    // Opened with O_APPEND by hand: QFile's Append seeks to the end, which a
    // device cannot do. O_NONBLOCK: a pipe without a reader fails at once
    // (ENXIO) instead of waiting for one.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        const int error = errno;
        return files == Files::RegularOnly && error == ENXIO ? notRegular : systemReason(error);
    }
    struct stat info {};
    if (files == Files::RegularOnly && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        return notRegular;
    }
    // Writes wait as any file's do.
    if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    fd_ = fd;
    path_ = path;
    atLineStart_ = true;
    afterCr_ = false;
    return std::nullopt;
}

void SessionLog::close() {
    if (fd_ < 0) return;
    flush();
    // What was written before the file went has been lost all the same.
    if (fd_ >= 0 && removed()) fail(removedReason);
    closeFile();
}

void SessionLog::closeFile() {
    if (fd_ < 0) return;
    ::close(std::exchange(fd_, -1));
}

bool SessionLog::removed() const {
    struct stat info {};
    return ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 0;
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
        // A blank line has its time too, taken when it ends.
        if (atLineStart_ && timestamps_) appendStamp();
        buffer_ += '\n';
        atLineStart_ = true;
    }
}

void SessionLog::write(const QByteArray& bytes) {
    if (fd_ < 0 || bytes.isEmpty()) return;
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
    if (fd_ < 0 || buffer_.isEmpty()) return;
    // A removed file takes every write and keeps none of it.
    if (removed()) {
        fail(removedReason);
        return;
    }
    const char* data = buffer_.constData();
    qsizetype left = buffer_.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, data, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        // A write cut short is followed by one that says why (the disk
        // filled up in between); the reason is the system's.
        if (n <= 0) {
            fail(n < 0 ? systemReason(errno) : QStringLiteral("the write was cut short"));
            return;
        }
        data += n;
        left -= n;
    }
    buffer_.clear();
}

void SessionLog::fail(const QString& reason) {
    buffer_.clear();
    closeFile();
    if (onFailure_)
        onFailure_(QStringLiteral("Cannot write the log %1 (%2); logging has stopped.")
                       .arg(path_, reason));
}

} // namespace kestrel
