#include "FrameLoop.h"

#include "FileAccess.h"
#include "MonitorLink.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

QByteArray endedEarlyLine(FrameStyle style, quint64 sent, quint32 length) {
    const auto done = static_cast<unsigned long>(sent);
    const auto total = static_cast<unsigned long>(length);
    return style == FrameStyle::DataFile
               ? QString::asprintf("File ended early: %06lx/%06lx bytes sent.\r", done, total)
                     .toLatin1()
               : QString::asprintf("\t\tError! The file ended early: %06lx of %06lx bytes sent.\r",
                                   done, total)
                     .toLatin1();
}

} // namespace

SentFrames::Digest SentFrames::digest(QByteArrayView bytes) {
    const QByteArray full = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    Digest digest{};
    std::copy_n(full.cbegin(), digest.size(), digest.begin());
    return digest;
}

void SentFrames::add(QByteArrayView stored) {
    digests_.push_back(digest(stored));
}

bool SentFrames::matches(qsizetype index, QByteArrayView bytes) const {
    return index >= 0 && index < size() && digests_[std::size_t(index)] == digest(bytes);
}

void showFrameCount(Host& host, FrameStyle style, quint64 done, quint32 length) {
    const auto count = static_cast<unsigned long>(done);
    const auto total = static_cast<unsigned long>(length);
    host.setField(FieldCounter,
                  style == FrameStyle::DataFile
                      ? QString::asprintf("%06lx/%06lx", count, total)
                      : QString::asprintf("%06lx Bytes of %06lx sent.", count, total));
    host.transferProgress(done, length);
    host.setProgressPosition(static_cast<int>(double(done) * 1000.0 / double(length)));
}

void clearFrameCount(Host& host) {
    host.setField(FieldCounter, QString());
    host.transferProgressEnded();
    host.setProgressPosition(0);
}

void reportReadError(MonitorLink& link, const QString& path, quint64 sent, int error) {
    link.host().messageBox(QStringLiteral("Read error in file %1 after %2 bytes: %3.")
                               .arg(path)
                               .arg(sent)
                               .arg(QString::fromLocal8Bit(std::strerror(error))));
}

FrameLoopEnd sendFrames(MonitorLink& link, ExclusiveFile& file, const QString& path, quint32 length,
                        FrameStyle style, SentFrames& record) {
    Host& host = link.host();
    record.clear();
    char* const buffer = link.transferBuffer().data();
    const bool dataFile = style == FrameStyle::DataFile;
    // 64 bits: near the top of the 32-bit range the count would wrap.
    quint64 sent = 0;
    while (sent < length) {
        if (link.isAborting()) return FrameLoopEnd::Stopped;
        // A data file never sends more than the header announced, even if the
        // file has grown.
        const qint64 want =
            dataFile ? std::min<qint64>(FrameSize, qint64(length - sent)) : FrameSize;
        const qint64 n = file.read(buffer, want);
        if (n < 0 && dataFile) {
            reportReadError(link, path, sent, file.lastErrno());
            return FrameLoopEnd::ReadError;
        }
        if (n <= 0) {
            // The file shrank after its length went out in the header. Without
            // this the count would stop advancing and nothing would be resent
            // forever.
            host.appendToTerminal(endedEarlyLine(style, sent, length));
            return FrameLoopEnd::FileEnded;
        }
        const bool accepted = link.sendBinaryBlocks(buffer, static_cast<qint32>(n));
        // The executable counter says what had gone out before this frame,
        // whatever the monitor made of it; the data counter what it has taken.
        if (!dataFile) showFrameCount(host, style, sent, length);
        // The monitor has dropped out of the conversation; further frames
        // would only be refused one by one, each with its own message.
        if (!accepted) return FrameLoopEnd::Refused;
        // The monitor stores every frame whole, one after the other, up to the
        // announced length: a short read in the middle of the file (one that
        // was being rewritten) leaves the frame's pad of spaces in memory.
        const quint64 frameStart = quint64(record.size()) * FrameSize;
        if (frameStart < length) {
            std::fill(buffer + n, buffer + FrameSize, ' ');
            record.add(QByteArrayView(
                buffer, qsizetype(std::min<quint64>(FrameSize, length - frameStart))));
        }
        sent += static_cast<quint64>(n);
        if (dataFile) showFrameCount(host, style, sent, length);
    }
    return FrameLoopEnd::AllSent;
}

} // namespace kestrel
