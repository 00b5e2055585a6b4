#pragma once
// The local command language: the eleven commands an auto file runs on this
// computer instead of sending them to the console, and the executable
// download command, which runs "load" on a chosen file.
#include "Transfer.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace kestrel {

class MonitorLink;

struct LocalCommandResult {
    // False when the keyword is none of the table's (the terminal says so).
    bool recognised = true;
    // How the transfer ended, for "dload" and "load"; empty for the others.
    // A "load" of a file that is not a downloadable executable (S-Format
    // included) is NotStarted.
    std::optional<TransferOutcome> transfer;
};

// Runs one command to its end, including any download, wait or message box.
// Keywords are exact and case-sensitive; arguments are 8-bit text, file paths
// in the file system's encoding. The caller holds the line (TransferHold) and has
// receive events off.
LocalCommandResult runLocalCommand(MonitorLink& link, const QByteArray& keyword,
                                   const QByteArray& firstArg, const QByteArray& secondArg,
                                   const QByteArray& rest);

// Shows the open-file chooser with this filter (entries and patterns
// separated by '|'); the chosen full path, or nothing when cancelled.
using FileChooser = std::function<std::optional<QString>(const QString& filter)>;

inline const QString ExecutableFileFilter = QStringLiteral("All Files (*.*) | *.* ||");

// The "Download executable file" command: refused while a transfer runs,
// otherwise the chosen file goes through "load". Empty when nothing ran.
std::optional<TransferOutcome> onDownloadExecutable(MonitorLink& link,
                                                    const FileChooser& chooseFile);

} // namespace kestrel
