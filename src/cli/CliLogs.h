#pragma once
// The logs kestrel-cli keeps: --log (the terminal's text, with --timestamps
// stamped line by line) and --log-raw (every byte the line delivered, as it
// came).
#include "SessionLog.h"

#include <QString>

#include <memory>
#include <optional>

namespace kestrel {
class SerialPort;
}

namespace kestrel::cli {

class CliHost;
struct Options;

class CliLogs {
public:
    CliLogs() = default;
    ~CliLogs();
    CliLogs(const CliLogs&) = delete;
    CliLogs& operator=(const CliLogs&) = delete;

    // Opens the logs the options name and ties the text log to the host's
    // terminal. The reason one could not be opened (a log is a regular file
    // or a new one, and not the command's own file), or nothing.
    std::optional<QString> open(const Options& options, CliHost& host);
    // The port the session talks through: `port` itself, or with a raw log,
    // `port` behind a stand-in that logs every byte read from it.
    std::unique_ptr<SerialPort> tap(std::unique_ptr<SerialPort> port);

private:
    std::unique_ptr<SessionLog> text_;
    std::unique_ptr<SessionLog> raw_;
};

} // namespace kestrel::cli
