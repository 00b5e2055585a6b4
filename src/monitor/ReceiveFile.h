#pragma once
// Receives a block of the console's memory into a file: the binary-read
// conversation asks for it, and the bytes the monitor sends back arrive
// through the receive path, which shows them and hands them to the capture.
//
// Which bytes are captured: the monitor answers the request header with the
// memory itself, raw, exactly as many bytes as were asked for. Anything it
// sent before it had the whole header (the tail of the prompt line, echoes)
// is dropped just before the header's last byte goes out, and only the
// requested number of bytes after it are written; whatever follows (the
// monitor's next prompt, the echo of the closing "\r") is shown but not
// written.
#include "FileAccess.h"
#include "Transfer.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace kestrel {

class MonitorLink;

// Owns the receive file and the switches of one capture at a time. It installs
// itself as the link's capture writer for its whole lifetime.
class ReceiveCapture {
public:
    explicit ReceiveCapture(MonitorLink& link);
    ~ReceiveCapture();
    ReceiveCapture(const ReceiveCapture&) = delete;
    ReceiveCapture& operator=(const ReceiveCapture&) = delete;

    // A capture is under way: the file is open and received bytes go into it.
    bool active() const { return receiveFileOpen_; }
    quint32 received() const { return received_; }
    quint32 expected() const { return expected_; }

    // Called once when a capture ends: Completed when the requested length
    // has been written, Stopped by Stop Receiving, Failed on a write error.
    std::function<void(TransferOutcome outcome, quint32 received)> onFinished;

    // The steps of the receive command (see receiveDataFileCommand). A regular
    // file (or a new one) is received into FILE.partial beside it and renamed
    // over FILE only once the whole block is in; a capture that fails or is
    // stopped leaves FILE as it was and FILE.partial with what did arrive
    // (nothing arrived: no FILE.partial). A device or pipe is written directly.
    FileErrorCategory openFile(const QString& path);
    void closeFile();
    // errno of the failed openFile.
    int openErrno() const { return openErrno_; }
    QString path() const { return path_; }
    // Where the bytes go while the capture runs, and where they stay when it
    // does not finish.
    QString partialPath() const { return partialPath_; }
    // Sends the request header and starts capturing `length` bytes; a length
    // of 0 finishes at once.
    void requestAndCapture(quint32 address, quint32 length);

    // Stop Receiving: ends a capture early and closes the file. Does nothing
    // when no capture is under way.
    void stop();

private:
    // How many of the chunk's bytes belong to the block.
    qsizetype take(const QByteArray& chunk);
    void finish(TransferOutcome outcome);
    // Renames the finished FILE.partial over FILE; errno on failure, else 0.
    int replaceTarget();
    // FILE.partial with nothing in it is not kept.
    void dropEmptyPartial();

    MonitorLink& link_;
    ExclusiveFile receiveFile_;
    // Holds FILE itself for exclusive use while FILE.partial is written.
    ExclusiveFile targetHold_;
    bool receiveFileOpen_ = false;
    QString path_;
    QString partialPath_; // equal to path_ for a device or pipe
    int openErrno_ = 0;
    quint32 expected_ = 0;
    quint32 received_ = 0;
};

// What the receive dialog hands back when the user presses OK.
struct ReceiveRequest {
    QString fileName;
    QString addressText; // hexadecimal, converted leniently
    QString lengthText;  // hexadecimal, converted leniently
};

enum class ReceiveStart {
    Capturing,  // the header went out; onFinished reports the end (at once for length 0)
    Refused,    // another transfer, auto file or capture is running (the UploadInProgress message)
    Cancelled,  // the dialog was cancelled
    CannotOpen, // the target file could not be created
    NoPrompt,   // the monitor did not start the binary-read conversation (the NoBinaryRead message)
};

// The "Receive Data File" command, shared by the window and the command line.
// runDialog returns nothing when the user cancels.
ReceiveStart
receiveDataFileCommand(MonitorLink& link, ReceiveCapture& capture,
                       const std::function<std::optional<ReceiveRequest>()>& runDialog);

// The "Stop Receiving Data File" command.
void stopReceiving(ReceiveCapture& capture);

} // namespace kestrel
