#pragma once
// Auto files: text files whose lines go to the console as if typed, except
// lines starting with the word "local", which run as local commands.
//
// A file is read byte by byte (through a fixed buffer) from its start to the
// length it had when opened. CR, LF and Ctrl-Z each end a line, empty lines
// are skipped, and bytes after the last line end are ignored. Only the
// current line is held, however long it grows.
#include "LocalCommand.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

namespace kestrel {

class ExclusiveFile;
class MonitorLink;
class TransferHold;

// In this order: tabs become spaces; runs of spaces become one space; every
// " 0x" loses its "0x" (so hexadecimal numbers reach the console without the
// prefix; " 0X" and a prefix at the very start stay); letters A-Z become
// a-z; blanks are trimmed from both ends. Bytes above 127 are left as they
// are: the file's encoding is unknown, and changing them one byte at a time
// could break a multibyte character.
QByteArray normaliseAutoLine(QByteArray line);

// Splits at the first space. Without a space, word and remainder are both the
// whole text, so the words after the last one repeat it.
struct CutText {
    QByteArrayView word;
    QByteArrayView remainder;
};
CutText cut(QByteArrayView text);

// Normalises one line (zero bytes dropped first), shows it in the task pane,
// and either sends it followed by a CR or runs it as a local command, whose
// result it returns.
//
// A relative file name in "local load" and "local dload" is taken from the
// working directory; when it is not there but is beside the auto file (in
// `autoFileDir`), that one is used and the terminal says so.
std::optional<LocalCommandResult> executeAutoLine(MonitorLink& link, QByteArray line,
                                                  const QString& autoFileDir = {});

inline const QString AutoFileFilter =
    QStringLiteral("SIO Files (*.sio)|*.sio|All Files (*.*)|*.*||");

struct AutoRunResult {
    enum class End { Completed, Stopped, NotOpened, ReadError, DeviceLost };
    End end = End::Completed;
    // "dload" and "load" lines whose transfer did not complete.
    int failedTransfers = 0;
};

// The Auto and Auto Again commands, and the run of one file.
class AutoRunner {
public:
    explicit AutoRunner(MonitorLink& link);

    // The file last confirmed in the Auto chooser, kept even when it could
    // not be opened; lives only while the program runs.
    QString lastAutoFile;

    // Empty when nothing ran (refused, or the chooser was cancelled).
    std::optional<AutoRunResult> autoCommand(const FileChooser& chooseFile);
    std::optional<AutoRunResult> autoAgainCommand();

    // Runs one file under the caller's hold, and releases it at the end
    // whatever happened (after Stop, a read error or a failed open alike).
    AutoRunResult runAutoFile(const QString& path, TransferHold hold);

    // Reads the next piece of the open file, as ExclusiveFile::read does.
    // Replaceable so a failing medium can be simulated.
    std::function<qint64(ExclusiveFile& file, char* buffer, qint64 size)> readChunk;

private:
    MonitorLink& link_;
};

} // namespace kestrel
