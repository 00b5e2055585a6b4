#include "ReceiveFile.h"

#include "MonitorLink.h"
#include "NumberText.h"
#include "SerialPort.h"
#include "Strings.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

// Long enough for eight bytes to leave at the slowest line speed; the wait
// ends as soon as they have left.
constexpr int HeaderDrainMs = 1000;

QByteArray requestHeader(quint32 address, quint32 length) {
    QByteArray header(1, '\x01');
    for (quint32 value : {address, length})
        for (int shift = 24; shift >= 0; shift -= 8)
            header += static_cast<char>(value >> shift);
    return header;
}

// Keeps other transfers from starting in the middle of the binary-read
// conversation (they would be reached through the messages it pumps).
class BusyWhileStarting {
public:
    explicit BusyWhileStarting(MonitorLink& link) : link_(link) { link_.transferBusy = true; }
    ~BusyWhileStarting() { link_.transferBusy = false; }
    BusyWhileStarting(const BusyWhileStarting&) = delete;
    BusyWhileStarting& operator=(const BusyWhileStarting&) = delete;

private:
    MonitorLink& link_;
};

} // namespace

ReceiveCapture::ReceiveCapture(MonitorLink& link) : link_(link) {
    link_.captureWriter = [this](const QByteArray& chunk) { return take(chunk); };
}

ReceiveCapture::~ReceiveCapture() {
    link_.captureReceived = false;
    link_.captureWriter = nullptr;
}

FileErrorCategory ReceiveCapture::openFile(const QString& path) {
    path_ = path;
    const FileErrorCategory failed = receiveFile_.open(path, ExclusiveFile::Mode::Write);
    if (failed != FileErrorCategory::None) receiveFileOpen_ = false;
    return failed;
}

void ReceiveCapture::closeFile() {
    receiveFile_.close();
}

void ReceiveCapture::requestAndCapture(quint32 address, quint32 length) {
    expected_ = length;
    received_ = 0;
    const QByteArray header = requestHeader(address, length);
    {
        // The monitor answers only once it has the whole header, so whatever
        // is waiting before the last byte goes out is not part of the answer.
        // The receive path is kept away meanwhile so it cannot take a mix of
        // both.
        ReceiveEventsOff eventsOff(link_.port());
        for (int i = 0; i < header.size() - 1; ++i)
            link_.sendByte(header[i]);
        link_.port().waitForOutput(HeaderDrainMs);
        link_.discardInput();
        if (length > 0) {
            receiveFileOpen_ = true;
            link_.captureReceived = true;
        }
        link_.sendByte(header.back());
    }
    if (length == 0) finish(TransferOutcome::Completed);
}

qsizetype ReceiveCapture::take(const QByteArray& chunk) {
    if (!receiveFileOpen_) return 0;
    const qint64 wanted = std::min<qint64>(chunk.size(), qint64(expected_) - received_);
    if (wanted > 0 && receiveFile_.write(chunk.constData(), wanted) < 0) {
        // Part of the chunk may be in the file (a disk that filled up in the
        // middle of it): the count the user is told is what the file holds.
        if (const qint64 held = receiveFile_.size(); held >= 0)
            received_ = static_cast<quint32>(held);
        finish(TransferOutcome::Failed);
        return wanted;
    }
    received_ += static_cast<quint32>(wanted);
    if (received_ == expected_) finish(TransferOutcome::Completed);
    return std::max<qint64>(wanted, 0);
}

void ReceiveCapture::finish(TransferOutcome outcome) {
    const int writeError = receiveFile_.lastErrno();
    receiveFile_.close();
    receiveFileOpen_ = false;
    link_.captureReceived = false;

    Host& host = link_.host();
    const auto count = static_cast<unsigned>(received_);
    const auto total = static_cast<unsigned>(expected_);
    switch (outcome) {
    case TransferOutcome::Completed:
        host.setField(FieldTask, QString::asprintf("Received %x bytes.", count));
        break;
    case TransferOutcome::Stopped:
        host.setField(FieldTask,
                      QString::asprintf("Receive stopped: %x of %x bytes.", count, total));
        break;
    default:
        host.setField(FieldTask,
                      QString::asprintf("Receive failed: %x of %x bytes.", count, total));
        // The switches are already off: the box pumps messages, and more
        // bytes may arrive while it is open.
        host.messageBox(QStringLiteral("Can't write file %1: %2.\nReceiving stopped after %3 "
                                       "of %4 bytes; the file is closed.")
                            .arg(path_, QString::fromLocal8Bit(std::strerror(writeError)))
                            .arg(count, 0, 16)
                            .arg(total, 0, 16));
        break;
    }
    if (onFinished) onFinished(outcome, received_);
}

void ReceiveCapture::stop() {
    if (!receiveFileOpen_) {
        link_.captureReceived = false;
        receiveFile_.close();
        return;
    }
    finish(TransferOutcome::Stopped);
}

ReceiveStart
receiveDataFileCommand(MonitorLink& link, ReceiveCapture& capture,
                       const std::function<std::optional<ReceiveRequest>()>& runDialog) {
    MonitorLink::Operation operation(link);
    Host& host = link.host();
    // A second request while bytes of the first are still arriving would mix
    // the two answers, so a running capture counts as a running transfer.
    if (link.transferBusy || capture.active()) {
        host.messageBox(strings::text(strings::UploadInProgress));
        return ReceiveStart::Refused;
    }
    link.sendText(QByteArrayLiteral("\r"));
    link.displaySuppressed = false;
    BusyWhileStarting busy(link);

    const std::optional<ReceiveRequest> request = runDialog();
    if (!request) return ReceiveStart::Cancelled;
    const quint32 address = parseHex32(request->addressText.toLatin1());
    const quint32 length = parseHex32(request->lengthText.toLatin1());

    if (const FileErrorCategory failed = capture.openFile(request->fileName);
        failed != FileErrorCategory::None) {
        host.messageBox(cantOpenFileMessage(request->fileName, failed));
        return ReceiveStart::CannotOpen;
    }
    host.setField(FieldTask, QString::asprintf("Recv: %x %x", static_cast<unsigned>(address),
                                               static_cast<unsigned>(length)));
    bool prompted = false;
    {
        // With receive events on, the receive path would take the monitor's
        // prompt away from the match as soon as it arrived (during the
        // message pumping of the send), so they stay off until the header is
        // out.
        ReceiveEventsOff eventsOff(link.port());
        prompted = link.beginBinaryRead();
        if (prompted) capture.requestAndCapture(address, length);
    }
    if (!prompted) {
        host.messageBox(strings::text(strings::NoBinaryRead));
        capture.closeFile();
        link.sendText(QByteArrayLiteral("\n"));
        return ReceiveStart::NoPrompt;
    }
    link.sendText(QByteArrayLiteral("\r"));
    return ReceiveStart::Capturing;
}

void stopReceiving(ReceiveCapture& capture) {
    capture.stop();
}

} // namespace kestrel
