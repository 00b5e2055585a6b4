#pragma once
// The session log: the terminal's text (or the line's raw bytes) appended to
// a file. What reaches the file is in the kernel's hands at every line end and
// never later than FlushIntervalMs after it was logged, so a killed program
// leaves a log that ends at most that far back.
//
// A write that fails (a full disk), or a file that has been removed with or
// without its folder so that what is written reaches nothing, is reported
// once through the failure handler with the system's reason, and logging
// stops there; whatever called write() goes on as if nothing had happened.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

namespace kestrel {

class SessionLog {
public:
    // Shown text: line ends (CR LF, lone CR, lone LF) become LF, and with
    // timestamps every line starts with the local time. Raw: bytes as given.
    enum class Mode { Text, Raw };
    // Milliseconds since the epoch; shown as local time. Tests inject their own.
    using Clock = std::function<qint64()>;
    static constexpr int FlushIntervalMs = 100;

    explicit SessionLog(Mode mode = Mode::Text, Clock clock = {});
    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    // What open() takes: a log is a regular file or a new one. Any also takes
    // a device (/dev/full is how a full disk is seen without filling one).
    enum class Files { RegularOnly, Any };

    // Opens `path` for appending (created when missing), at once whatever
    // the file is: a pipe without a reader does not hold it. The reason it
    // could not be opened ("not a regular file" for a pipe, a device or a
    // socket), or nothing.
    std::optional<QString> open(const QString& path, Files files = Files::RegularOnly);
    // Writes what is buffered and closes the file; a file removed meanwhile
    // is reported as a failed write is.
    void close();
    bool isOpen() const { return fd_ >= 0; }
    QString path() const { return path_; }

    void setTimestamps(bool on) { timestamps_ = on; }
    bool timestamps() const { return timestamps_; }
    // Called once, with a one-line reason, when a write fails.
    void setFailureHandler(std::function<void(const QString&)> handler) {
        onFailure_ = std::move(handler);
    }

    void write(const QByteArray& bytes);
    void flush();

    // "2026-12-10 14:03:07.412 "
    static QByteArray timestampText(const QDateTime& time);

private:
    void appendText(const QByteArray& text);
    void appendStamp();
    // The file's last link has gone: nothing written reaches anyone.
    bool removed() const;
    void fail(const QString& reason);
    void closeFile();

    Mode mode_;
    Clock clock_;
    // The file, written with plain system calls so a failure keeps the
    // system's reason; -1 while closed.
    int fd_ = -1;
    QString path_;
    QByteArray buffer_;
    QTimer flushTimer_;
    std::function<void(const QString&)> onFailure_;
    bool timestamps_ = false;
    bool atLineStart_ = true;
    // A CR ended the last write: an LF starting the next one is the same
    // line end.
    bool afterCr_ = false;
    // The date and time to the second of the last stamp, reused while the
    // second lasts: a flood logs thousands of lines a second.
    qint64 stampSecond_ = -1;
    QByteArray stampHead_;
};

} // namespace kestrel
