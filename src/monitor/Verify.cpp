#include "Verify.h"

#include "FileAccess.h"
#include "FrameLoop.h"
#include "MonitorLink.h"
#include "SerialPort.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace kestrel {

namespace {

// What the monitor sends once a block is over, short or not.
const QByteArray BlockEnd = QByteArrayLiteral("\r\n>>");

QByteArray line(const QString& text) {
    return text.toLatin1() + '\r';
}

TransferOutcome fail(Host& host, const QString& text) {
    host.appendToTerminal(line(text));
    host.messageBox(text);
    return TransferOutcome::Failed;
}

QString hex8(quint32 value) {
    return QString::asprintf("%08lx", static_cast<unsigned long>(value));
}

// Why frame `index`, read back as `readBack`, is not what went out. The byte
// is named from the file, but only while the file's bytes there are still
// the ones the frame carried: a byte the file holds now may never have been
// sent.
QString explainDifference(ExclusiveFile& file, qint64 offset, const SentFrames& sent,
                          qsizetype index, QByteArrayView readBack, quint32 address) {
    const quint32 frameAddress = address + quint32(index) * FrameSize;
    std::array<char, FrameSize> original{};
    const qint64 at = offset + qint64(index) * FrameSize;
    const qint64 n = file.seek(at) == at ? file.read(original.data(), readBack.size()) : -1;
    if (n < 0)
        return QStringLiteral("Verify failed at %1: the file can no longer be read: %2.")
            .arg(hex8(frameAddress), QString::fromLocal8Bit(std::strerror(file.lastErrno())));
    const QByteArrayView fileBytes(original.data(), n);
    if (!sent.matches(index, fileBytes))
        return QStringLiteral("Verify failed at %1: the file changed during the download, and the "
                              "memory read back differs from what was sent in the %2 bytes from "
                              "there.")
            .arg(hex8(frameAddress))
            .arg(readBack.size());
    const auto differs = std::mismatch(readBack.cbegin(), readBack.cend(), fileBytes.cbegin());
    return QStringLiteral("Verify failed at %1: sent %2, read %3.")
        .arg(hex8(frameAddress + quint32(differs.first - readBack.cbegin())))
        .arg(QString::asprintf("%02x", quint8(*differs.second)),
             QString::asprintf("%02x", quint8(*differs.first)));
}

} // namespace

TransferOutcome verifyDownload(MonitorLink& link, ExclusiveFile& file, qint64 offset,
                               const SentFrames& sent, quint32 address, quint32 length) {
    Host& host = link.host();
    if (link.isAborting()) return TransferOutcome::Stopped;

    const ReceiveEventsOff eventsOff(link.port());
    link.discardInput();
    if (!link.beginBinaryRead()) {
        // A CR takes a monitor that did go into binary mode back to its prompt.
        link.sendText(QByteArrayLiteral("\r"));
        link.discardInput();
        return fail(host, QStringLiteral("Verify failed at %1: the monitor did not start a "
                                         "binary-read conversation.")
                              .arg(hex8(address)));
    }
    link.sendReadRequest(address, length);

    host.setField(FieldTask, QStringLiteral("Verifying"));
    host.setProgressRange(0, 1000);
    // The block comes back into the transfer buffer a frame at a time, and
    // each whole frame is compared with what went out in it.
    char* const frame = link.transferBuffer().data();
    std::optional<QString> difference;
    quint64 got = 0;
    QByteArray tail; // the last bytes that came, to tell the monitor's prompt
    const MonitorLink::MemoryEnd end = link.readMemory([&](QByteArrayView bytes) {
        tail = (tail + bytes.toByteArray()).right(BlockEnd.size());
        while (!bytes.isEmpty()) {
            const quint64 inFrame = got % FrameSize;
            const quint64 frameLength = std::min<quint64>(FrameSize, length - (got - inFrame));
            const auto take = qsizetype(std::min<quint64>(frameLength - inFrame, bytes.size()));
            std::copy(bytes.cbegin(), bytes.cbegin() + take, frame + inFrame);
            got += quint64(take);
            bytes = bytes.sliced(take);
            if (!difference && inFrame + quint64(take) == frameLength) {
                const auto index = qsizetype((got - 1) / FrameSize);
                const QByteArrayView readBack(frame, qsizetype(frameLength));
                if (!sent.matches(index, readBack))
                    difference = explainDifference(file, offset, sent, index, readBack, address);
            }
        }
        showFrameCount(host, FrameStyle::DataFile, got, length);
    });
    clearFrameCount(host);
    host.setField(FieldTask, QString());

    if (end == MonitorLink::MemoryEnd::Stopped) {
        link.discardInput();
        return TransferOutcome::Stopped;
    }
    if (end == MonitorLink::MemoryEnd::Short) {
        // A short block ends with the monitor's prompt, which is not memory;
        // it is reported as short, not by the prompt's bytes that differ.
        link.discardInput();
        if (tail == BlockEnd) got -= quint64(BlockEnd.size());
        return fail(host, QStringLiteral("Verify failed at %1: read %2 of %3 bytes.")
                              .arg(hex8(quint32(address + got)))
                              .arg(got)
                              .arg(length));
    }
    link.discardInput();
    if (difference) return fail(host, *difference);
    host.appendToTerminal(
        line(QStringLiteral("Verified: %1 bytes at %2.").arg(length).arg(hex8(address))));
    return TransferOutcome::Completed;
}

} // namespace kestrel
