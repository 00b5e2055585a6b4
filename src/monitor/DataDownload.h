#pragma once
// Downloads any file, byte for byte, to a memory address of the console
// through the binary-write conversation.
#include "Transfer.h"

#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace kestrel {

class MonitorLink;

// The core of the data download. Expects receive events off and
// the line held by the caller (TransferHold).
//
// The load header carries the length in 32 bits, so a file of 4 GiB or more
// is refused before anything is sent (NotStarted). A file that shrinks while
// it is sent, or a read error, ends the frames early: the monitor is still
// told the conversation is over, and the outcome is Failed.
TransferOutcome downloadDataFile(MonitorLink& link, const QString& path, quint32 address);

// What the download dialog hands back when the user presses OK.
struct DownloadRequest {
    QString fileName;
    QString addressText; // hexadecimal, converted leniently (0x prefix, stops at a non-digit)
};

// The "Download data file" command, shared by the window and the command
// line: refuses while another transfer runs (the UploadInProgress message),
// holds the line busy and quiet while the dialog is open and the file is sent,
// keeps receive events off during the download, and releases everything on
// every path. runDialog returns nothing when the user cancels.
// NotStarted when refused or cancelled, otherwise the core's outcome.
TransferOutcome
downloadDataFileCommand(MonitorLink& link,
                        const std::function<std::optional<DownloadRequest>()>& runDialog);

} // namespace kestrel
