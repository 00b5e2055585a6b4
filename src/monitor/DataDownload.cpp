#include "DataDownload.h"

#include "FileAccess.h"
#include "MonitorLink.h"
#include "NumberText.h"
#include "SerialPort.h"
#include "Strings.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

constexpr qint64 LargestLength = 0xFFFFFFFFLL;

// Holds transferBusy and displaySuppressed for one command, whatever way it
// ends.
class TransferFlags {
public:
    explicit TransferFlags(MonitorLink& link) : link_(link) {
        link_.transferBusy = true;
        link_.displaySuppressed = true;
    }
    ~TransferFlags() {
        link_.transferBusy = false;
        link_.displaySuppressed = false;
    }
    TransferFlags(const TransferFlags&) = delete;
    TransferFlags& operator=(const TransferFlags&) = delete;

private:
    MonitorLink& link_;
};

// Receive events stay off for the whole download and come back on at its
// end, whichever way it ends.
class ReceiveEventsOffUntilDone {
public:
    explicit ReceiveEventsOffUntilDone(SerialPort& port) : port_(port) { port_.setRThreshold(0); }
    ~ReceiveEventsOffUntilDone() { port_.setRThreshold(1); }
    ReceiveEventsOffUntilDone(const ReceiveEventsOffUntilDone&) = delete;
    ReceiveEventsOffUntilDone& operator=(const ReceiveEventsOffUntilDone&) = delete;

private:
    SerialPort& port_;
};

// Why the frame loop ended before the whole file had gone out.
enum class LoopEnd { AllSent, Stopped, Refused, FileEnded, ReadError };

void reportReadError(Host& host, const QString& path, quint32 sent, int error) {
    host.messageBox(QStringLiteral("Read error in file %1 after %2 bytes: %3.")
                        .arg(path)
                        .arg(sent)
                        .arg(QString::fromLocal8Bit(std::strerror(error))));
}

LoopEnd sendFrames(MonitorLink& link, ExclusiveFile& file, const QString& path, quint32 length) {
    Host& host = link.host();
    quint32 sent = 0;
    if (file.seek(0) != 0) {
        reportReadError(host, path, sent, file.lastErrno());
        return LoopEnd::ReadError;
    }
    while (sent < length) {
        if (link.abortRequested) return LoopEnd::Stopped;
        // Never more than the header announced, even if the file has grown.
        const qint64 want = std::min<qint64>(FrameSize, qint64(length) - sent);
        const qint64 n = file.read(link.transferBuffer.data(), want);
        if (n < 0) {
            reportReadError(host, path, sent, file.lastErrno());
            return LoopEnd::ReadError;
        }
        if (n == 0) {
            // The file shrank after its length went out in the header.
            host.appendToTerminal(QString::asprintf("File ended early: %06lx/%06lx bytes sent.\r",
                                                    static_cast<unsigned long>(sent),
                                                    static_cast<unsigned long>(length))
                                      .toLatin1());
            return LoopEnd::FileEnded;
        }
        sent += static_cast<quint32>(n);
        if (!link.sendBinaryBlocks(link.transferBuffer.data(), static_cast<qint32>(n)))
            return LoopEnd::Refused;
        host.setField(FieldCounter,
                      QString::asprintf("%06lx/%06lx", static_cast<unsigned long>(sent),
                                        static_cast<unsigned long>(length)));
        host.transferProgress(sent, length);
        host.setProgressPosition(static_cast<int>(double(sent) * 1000.0 / double(length)));
    }
    return LoopEnd::AllSent;
}

} // namespace

TransferOutcome downloadDataFile(MonitorLink& link, const QString& path, quint32 address) {
    MonitorLink::Operation operation(link);
    Host& host = link.host();
    link.abortRequested = false;
    if (link.refuseBinaryOverXonXoff()) return TransferOutcome::NotStarted;

    ExclusiveFile file;
    if (const FileErrorCategory failed = file.open(path, ExclusiveFile::Mode::Read);
        failed != FileErrorCategory::None) {
        host.messageBox(cantOpenFileMessage(path, failed, file.lastErrno()));
        return TransferOutcome::NotStarted;
    }
    const qint64 size = file.size();
    if (size < 0) {
        host.messageBox(cantOpenFileMessage(path, FileErrorCategory::InvalidFile));
        return TransferOutcome::NotStarted;
    }
    if (size > LargestLength) {
        // The header's length field has 32 bits; a truncated length would
        // load the wrong amount without anyone noticing.
        host.messageBox(QStringLiteral("File %1 is too large to download: the length of a "
                                       "download is at most 4294967295 bytes.")
                            .arg(path));
        return TransferOutcome::NotStarted;
    }
    const auto length = static_cast<quint32>(size);

    host.setProgressRange(0, 1000);
    link.discardInput();
    if (!link.beginBinaryWrite()) {
        host.messageBox(
            QStringLiteral("Binary write timeout.\nYou may need to reset your Yaroze."));
        link.sendByte(0x03);
        link.sendText(QByteArrayLiteral("\r"));
        file.close();
        link.discardInput();
        return TransferOutcome::Failed;
    }

    host.setField(FieldState, path);
    host.appendToTerminal(QByteArray("Sending: ") + path.toLocal8Bit() +
                          QString::asprintf(", Address:%lx, Length:%lx\r",
                                            static_cast<unsigned long>(address),
                                            static_cast<unsigned long>(length))
                              .toLatin1());
    link.sendLoadHeader(address, length);

    const LoopEnd end = sendFrames(link, file, path, length);

    const bool ended = link.endBinary();
    if (!ended) host.messageBox(QStringLiteral("No end binary!"));
    link.sendText(QByteArrayLiteral("\r"));
    host.setField(FieldState, QStringLiteral("Done."));
    host.setProgressPosition(0);

    file.close();
    link.discardInput();

    switch (end) {
    case LoopEnd::AllSent:
        return ended ? TransferOutcome::Completed : TransferOutcome::Failed;
    case LoopEnd::Stopped:
        return TransferOutcome::Stopped;
    default:
        return TransferOutcome::Failed;
    }
}

TransferOutcome
downloadDataFileCommand(MonitorLink& link,
                        const std::function<std::optional<DownloadRequest>()>& runDialog) {
    MonitorLink::Operation operation(link);
    if (link.transferBusy) {
        link.host().messageBox(strings::text(strings::UploadInProgress));
        return TransferOutcome::NotStarted;
    }
    TransferFlags flags(link);
    const std::optional<DownloadRequest> request = runDialog();
    if (!request) return TransferOutcome::NotStarted;
    ReceiveEventsOffUntilDone eventsOff(link.port());
    return downloadDataFile(link, request->fileName, parseHex32(request->addressText.toLatin1()));
}

} // namespace kestrel
