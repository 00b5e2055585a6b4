#include "Verify.h"

#include "FileAccess.h"
#include "FrameLoop.h"
#include "MonitorLink.h"
#include "SerialPort.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kestrel {

namespace {

constexpr int WaitSliceMs = 250;
// What the monitor sends once a block is over, short or not.
const QByteArray BlockEnd = QByteArrayLiteral("\r\n>>");

struct Difference {
    quint32 address;
    quint8 sent;
    quint8 read;
};

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

} // namespace

TransferOutcome verifyDownload(MonitorLink& link, ExclusiveFile& file, qint64 offset,
                               quint32 address, quint32 length) {
    Host& host = link.host();
    SerialPort& port = link.port();
    if (link.isAborting()) return TransferOutcome::Stopped;
    if (file.seek(offset) != offset)
        return fail(
            host, QStringLiteral("Verify failed at %1: the file can no longer be read: %2.")
                      .arg(hex8(address), QString::fromLocal8Bit(std::strerror(file.lastErrno()))));

    const ReceiveEventsOff eventsOff(port);
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
    char* const expected = link.transferBuffer().data();
    std::optional<Difference> difference;
    quint64 got = 0;
    qint64 deadline = host.timeOfDaySeconds() + MonitorLink::ResponseTimeoutSeconds;
    bool stopped = false;
    bool unreadable = false;
    QByteArray tail; // the last bytes that came, to tell the monitor's prompt
    while (got < length) {
        if (link.isAborting()) {
            stopped = true;
            break;
        }
        if (port.inBufferCount() == 0) {
            // Silence for the whole time-out, or a port that went away: the
            // block has ended short.
            if (host.timeOfDaySeconds() > deadline || !port.portOpen()) break;
            port.waitForInput(WaitSliceMs);
            host.pumpMessages();
            continue;
        }
        port.setInputLen(static_cast<int>(std::min<quint64>(FrameSize, length - got)));
        const QByteArray chunk = port.input();
        port.setInputLen(0);
        const qint64 n = file.read(expected, chunk.size());
        if (n != chunk.size()) {
            unreadable = true;
            break;
        }
        if (!difference) {
            const auto at = std::mismatch(chunk.cbegin(), chunk.cend(), expected);
            if (at.first != chunk.cend())
                difference = Difference{quint32(address + got + (at.first - chunk.cbegin())),
                                        quint8(*at.second), quint8(*at.first)};
        }
        got += quint64(chunk.size());
        tail = (tail + chunk).right(BlockEnd.size());
        deadline = host.timeOfDaySeconds() + MonitorLink::ResponseTimeoutSeconds;
        showFrameCount(host, FrameStyle::DataFile, got, length);
        host.pumpMessages();
    }
    clearFrameCount(host);
    host.setField(FieldTask, QString());

    if (stopped) {
        link.discardInput();
        return TransferOutcome::Stopped;
    }
    if (unreadable) {
        link.discardInput();
        return fail(host, QStringLiteral("Verify failed at %1: the file can no longer be read.")
                              .arg(hex8(quint32(address + got))));
    }
    if (got < length) {
        // A short block ends with the monitor's prompt, which is not memory;
        // it is reported as short, not by the prompt's bytes that differ.
        link.discardInput();
        if (tail == BlockEnd) got -= quint64(BlockEnd.size());
        return fail(host, QStringLiteral("Verify failed at %1: read %2 of %3 bytes.")
                              .arg(hex8(quint32(address + got)))
                              .arg(got)
                              .arg(length));
    }
    // The monitor closes the block with its prompt.
    link.awaitResponse(QByteArrayLiteral(">>"));
    link.discardInput();
    if (difference)
        return fail(host, QStringLiteral("Verify failed at %1: sent %2, read %3.")
                              .arg(hex8(difference->address))
                              .arg(QString::asprintf("%02x", difference->sent),
                                   QString::asprintf("%02x", difference->read)));
    host.appendToTerminal(
        line(QStringLiteral("Verified: %1 bytes at %2.").arg(length).arg(hex8(address))));
    return TransferOutcome::Completed;
}

} // namespace kestrel
