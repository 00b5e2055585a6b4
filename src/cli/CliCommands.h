#pragma once
// The commands of kestrel-cli, each the same core code a window command runs
// after its dialog or chooser.
#include "CliOptions.h"

#include <cstdio>

namespace kestrel {
class MonitorLink;
class ReceiveCapture;
class SerialPort;
} // namespace kestrel

namespace kestrel::cli {

class CliHost;
class InterruptBridge;

struct Session {
    MonitorLink& link;
    SerialPort& port;
    CliHost& host;
    InterruptBridge& interrupts;
    // The receive under way, for Ctrl-C to stop.
    ReceiveCapture* capture = nullptr;
    // A terminal or a watch runs: a lost device is waited for, not the end.
    bool waitsForDevice = false;
};

// Stops what runs, as the Stop button does: a transfer, an auto file, a sleep,
// a receive.
void stopRunning(Session& session);

// `ports`: the serial devices of this machine, one a line; a list that
// cannot be written is said on `err` and fails (status 1).
int listPorts(std::FILE* out, std::FILE* err);
QStringList serialDevices();

// Runs options.command; returns the exit status.
int runCommand(Session& session, const Options& options);
// The interactive terminal (or, without a terminal on standard input, the
// copy of standard input to the port and of the port to standard output).
int runTerminal(Session& session);

// Waits until what the program has sent has crossed the line (see
// MonitorLink::finishSending) and returns the command's exit status with
// that taken into account: bytes that could not be sent make a command that
// had succeeded fail; a line that did not take them in time is said on
// standard error (a lost device has said so itself). The caller decides
// whether the console's answers meanwhile are shown.
int deliverSent(Session& session, int status);

// How long the line must be quiet before `receive` gives up, and before the
// piped terminal ends after its input has ended.
inline constexpr int ReceiveQuietMs = 5000;
inline constexpr int PipeQuietMs = 1000;

} // namespace kestrel::cli
