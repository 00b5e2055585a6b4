#pragma once
// The command line of kestrel-cli: one table of options (names, help, effect),
// parsed without side effects so it can be tested and fuzzed.
#include "FlowControl.h"
#include "LineSettings.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace kestrel::cli {

struct Options {
    QString port;                     // device; empty: the port stored by the window
    QString settings;                 // line settings as given; empty: stored, else 9600,n,8,1
    std::optional<LineSettings> line; // what `settings` says; empty when it says nothing
    FlowControl flow = FlowControl::None;
    bool quiet = false; // no progress display
    bool thenTerminal = false;
    bool visibleControls = false; // term shows control characters as ^[ and friends
    QString logPath;              // the terminal's text goes here too
    bool timestamps = false;      // each line of that log starts with the time
    QString rawLogPath;           // every received byte goes here as it came
    bool watch = false;           // load/auto again whenever the file changes
    bool verify = false;          // every download is read back and compared
    QString command;              // load, dload, receive, auto, term, ports
    QStringList arguments;
};

// What the command line asks for when it is not a command to run.
struct Usage {
    QString text;   // for stdout (help, version) or stderr (errors)
    int exitStatus; // 0 for --help and --version, 2 for mistakes
};

using ParseResult = std::variant<Options, Usage>;

// `args` excludes the program name.
ParseResult parseCommandLine(const QStringList& args);

QString helpText();

// Exit statuses.
inline constexpr int ExitOk = 0;
inline constexpr int ExitTransferFailed = 1;
inline constexpr int ExitUsage = 2;

// The most `receive` asks for: no console has more memory than that.
inline constexpr quint32 LargestReceiveLength = 16u * 1024 * 1024;

} // namespace kestrel::cli
