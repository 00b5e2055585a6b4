#include "ReceiveFile.h"

#include "MonitorLink.h"
#include "NumberText.h"
#include "SerialPort.h"
#include "Strings.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

ReceiveCapture::ReceiveCapture(MonitorLink& link) : link_(link) {
    link_.setCaptureWriter([this](const QByteArray& chunk) { return take(chunk); });
}

ReceiveCapture::~ReceiveCapture() {
    link_.setCapturing(false);
    link_.setCaptureWriter(nullptr);
    if (receiveFile_.isOpen()) {
        receiveFile_.close();
        dropEmptyPartial();
    }
}

FileErrorCategory ReceiveCapture::openFile(const QString& path) {
    // A FILE that is a symbolic link is received into the file it names, as
    // writing through the link did, and the link stays.
    const QFileInfo given(path);
    const QString resolved = given.isSymLink() ? given.canonicalFilePath() : QString();
    path_ = resolved.isEmpty() ? path : resolved;
    partialPath_ = path_ + QStringLiteral(".partial");
    receiveFileOpen_ = false;
    openErrno_ = 0;
    const QByteArray name = QFile::encodeName(path_);
    struct stat st {};
    if (!name.isEmpty() && ::stat(name.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            openErrno_ = EISDIR;
            return FileErrorCategory::AccessDenied;
        }
        if (!S_ISREG(st.st_mode)) {
            partialPath_ = path_;
        } else if (const FileErrorCategory held =
                       targetHold_.open(path_, ExclusiveFile::Mode::Read);
                   held == FileErrorCategory::SharingViolation) {
            // Another program holds FILE: it is not replaced under its feet.
            openErrno_ = targetHold_.lastErrno();
            return held;
        }
    }
    const FileErrorCategory failed = receiveFile_.open(partialPath_, ExclusiveFile::Mode::Write);
    if (failed != FileErrorCategory::None) {
        openErrno_ = receiveFile_.lastErrno();
        targetHold_.close();
    }
    return failed;
}

void ReceiveCapture::closeFile() {
    receiveFile_.close();
    targetHold_.close();
    dropEmptyPartial();
}

void ReceiveCapture::dropEmptyPartial() {
    if (partialPath_ == path_ || received_ > 0) return;
    ::unlink(QFile::encodeName(partialPath_).constData());
}

int ReceiveCapture::replaceTarget() {
    if (partialPath_ == path_) return 0;
    const QByteArray from = QFile::encodeName(partialPath_);
    const QByteArray to = QFile::encodeName(path_);
    // An existing FILE keeps its mode, as it did when it was emptied and
    // written in place.
    struct stat st {};
    if (::stat(to.constData(), &st) == 0 && S_ISREG(st.st_mode))
        ::chmod(from.constData(), st.st_mode & 07777);
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

void ReceiveCapture::requestAndCapture(quint32 address, quint32 length) {
    expected_ = length;
    received_ = 0;
    {
        // The receive path is kept away until the capture is on, so it cannot
        // take a mix of what came before the header and the answer.
        ReceiveEventsOff eventsOff(link_.port());
        link_.sendReadRequest(address, length);
        if (length > 0) {
            receiveFileOpen_ = true;
            link_.setCapturing(true);
        }
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
    int writeError = receiveFile_.lastErrno();
    receiveFile_.close();
    receiveFileOpen_ = false;
    link_.setCapturing(false);
    QString failedFile = partialPath_;
    if (outcome == TransferOutcome::Completed) {
        if (const int renameError = replaceTarget(); renameError != 0) {
            outcome = TransferOutcome::Failed;
            writeError = renameError;
            failedFile = path_;
        }
    } else {
        dropEmptyPartial();
    }
    targetHold_.close();

    Host& host = link_.host();
    const auto count = static_cast<qulonglong>(received_);
    const auto total = static_cast<qulonglong>(expected_);
    // Where what arrived is, when FILE did not get it.
    const QString kept =
        partialPath_ == path_ || received_ == 0
            ? QString()
            : QStringLiteral(" %1 keeps them; %2 is as it was.").arg(partialPath_, path_);
    switch (outcome) {
    case TransferOutcome::Completed:
        host.setField(FieldTask, QStringLiteral("Received %1 bytes.").arg(count));
        break;
    case TransferOutcome::Stopped:
        host.setField(
            FieldTask,
            QStringLiteral("Receive stopped: %1 of %2 bytes.%3")
                .arg(count)
                .arg(total)
                .arg(kept.isEmpty()
                         ? QString()
                         : QStringLiteral(" Kept in %1.").arg(QFileInfo(partialPath_).fileName())));
        break;
    default:
        host.setField(FieldTask,
                      QStringLiteral("Receive failed: %1 of %2 bytes.").arg(count).arg(total));
        // The switches are already off: the box pumps messages, and more
        // bytes may arrive while it is open.
        host.messageBox(QStringLiteral("Can't write file %1: %2.\nReceiving stopped after %3 "
                                       "of %4 bytes; the file is closed.%5")
                            .arg(failedFile, QString::fromLocal8Bit(std::strerror(writeError)))
                            .arg(count)
                            .arg(total)
                            .arg(kept));
        break;
    }
    if (onFinished) onFinished(outcome, received_);
}

void ReceiveCapture::stop() {
    if (!receiveFileOpen_) {
        link_.setCapturing(false);
        if (receiveFile_.isOpen()) closeFile();
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
    if (link.isBusy() || capture.active()) {
        host.messageBox(strings::text(strings::UploadInProgress));
        return ReceiveStart::Refused;
    }
    if (link.refuseBinaryOverXonXoff()) return ReceiveStart::Refused;
    link.sendText(QByteArrayLiteral("\r"));
    // Keeps other transfers from starting in the middle of the binary-read
    // conversation (they would be reached through the messages it pumps).
    const TransferHold busy(link, TransferHold::Kind::Busy);

    const std::optional<ReceiveRequest> request = runDialog();
    if (!request) return ReceiveStart::Cancelled;
    const quint32 address = parseHex32(request->addressText.toLatin1());
    const quint32 length = parseHex32(request->lengthText.toLatin1());

    if (const FileErrorCategory failed = capture.openFile(request->fileName);
        failed != FileErrorCategory::None) {
        host.messageBox(cantOpenFileMessage(request->fileName, failed, capture.openErrno()));
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
