#include "DataDownload.h"

#include "FileAccess.h"
#include "FrameLoop.h"
#include "MonitorLink.h"
#include "NumberText.h"
#include "Strings.h"
#include "Verify.h"

namespace kestrel {

namespace {

constexpr qint64 LargestLength = 0xFFFFFFFFLL;

} // namespace

TransferOutcome downloadDataFile(MonitorLink& link, const QString& path, quint32 address) {
    MonitorLink::Operation operation(link);
    Host& host = link.host();
    link.clearAbort();
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

    FrameLoopEnd end = FrameLoopEnd::ReadError;
    SentFrames sent;
    if (file.seek(0) != 0)
        reportReadError(link, path, 0, file.lastErrno());
    else
        end = sendFrames(link, file, path, length, FrameStyle::DataFile, sent);

    const bool ended = link.endBinary();
    if (!ended) host.messageBox(QStringLiteral("No end binary!"));
    link.sendText(QByteArrayLiteral("\r"));
    // Only what the monitor took whole is read back.
    TransferOutcome verified = TransferOutcome::Completed;
    if (ended && end == FrameLoopEnd::AllSent && link.verifyDownloads()) {
        link.discardInput();
        verified = verifyDownload(link, file, 0, sent, address, length);
    }
    host.setField(FieldState, QStringLiteral("Done."));
    host.setProgressPosition(0);

    file.close();
    link.discardInput();

    switch (end) {
    case FrameLoopEnd::AllSent:
        return ended ? verified : TransferOutcome::Failed;
    case FrameLoopEnd::Stopped:
        return TransferOutcome::Stopped;
    default:
        return TransferOutcome::Failed;
    }
}

TransferOutcome
downloadDataFileCommand(MonitorLink& link,
                        const std::function<std::optional<DownloadRequest>()>& runDialog) {
    MonitorLink::Operation operation(link);
    if (link.isBusy()) {
        link.host().messageBox(strings::text(strings::UploadInProgress));
        return TransferOutcome::NotStarted;
    }
    TransferHold hold(link, TransferHold::Kind::Quiet);
    const std::optional<DownloadRequest> request = runDialog();
    if (!request) return TransferOutcome::NotStarted;
    hold.takeLine();
    return downloadDataFile(link, request->fileName, parseHex32(request->addressText.toLatin1()));
}

} // namespace kestrel
