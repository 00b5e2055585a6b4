#pragma once
// The frames of a binary write: a file's bytes, 2048 to a frame, each one
// acknowledged by the monitor before the next goes out, with Stop looked at
// before every frame and the counter and progress bar kept up to date.
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <array>
#include <vector>

namespace kestrel {

class ExclusiveFile;
class Host;
class MonitorLink;

// The data download and the executable download read and count their frames
// each in its own long-standing way; what they send and show stays as it was.
enum class FrameStyle {
    // Reads no more than is left, so the last frame is padded; counts
    // "%06lx/%06lx" once a frame is acknowledged; a read error is reported in
    // a message box naming the file.
    DataFile,
    // Reads whole 2048-byte pieces, so the last one may carry bytes that
    // follow the image (the load header has told the monitor where to stop);
    // counts "%06lx Bytes of %06lx sent." as each frame goes out; a read error
    // ends the file.
    Executable,
};

// What each frame of a binary write put into the console's memory, 2048
// bytes to a frame: a digest of the frame as it went out (a short frame's pad
// included), up to the announced length. A read-back is compared with this,
// not with the file, which may have been rewritten while it was being sent;
// no copy of the bytes is kept.
class SentFrames {
public:
    void clear() { digests_.clear(); }
    void add(QByteArrayView stored);
    qsizetype size() const { return qsizetype(digests_.size()); }
    // Whether `bytes` are what frame `index` (0 at the block's start) stored.
    bool matches(qsizetype index, QByteArrayView bytes) const;

private:
    // 128 bits of SHA-256: a chance match is out of the question.
    using Digest = std::array<char, 16>;
    static Digest digest(QByteArrayView bytes);
    std::vector<Digest> digests_;
};

// Why the frames ended.
enum class FrameLoopEnd { AllSent, Stopped, Refused, FileEnded, ReadError };

// Sends `length` bytes from the file's current position, and keeps in
// `record` what each acknowledged frame stored.
FrameLoopEnd sendFrames(MonitorLink& link, ExclusiveFile& file, const QString& path, quint32 length,
                        FrameStyle style, SentFrames& record);

// The counter, the structured progress and the progress bar after `done` of
// `length` bytes, in the style's wording; and all three emptied again.
void showFrameCount(Host& host, FrameStyle style, quint64 done, quint32 length);
void clearFrameCount(Host& host);

// The read error of a data download, as its message box says it.
void reportReadError(MonitorLink& link, const QString& path, quint64 sent, int error);

} // namespace kestrel
