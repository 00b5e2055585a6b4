#pragma once
// How a transfer ended, for callers that care (the command-line front end's
// exit status); the window's commands ignore it, as the user has already been
// told everything through the host.
namespace kestrel {

enum class TransferOutcome {
    Completed,  // everything sent and acknowledged
    Failed,     // no prompt, a refused frame, no "end binary", the file ended early
    Stopped,    // the user pressed Stop
    NotStarted, // the file could not be opened or its headers were refused
};

} // namespace kestrel
