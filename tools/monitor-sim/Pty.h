#pragma once
// The pseudo-terminal pair that stands in for the serial cable, and the
// optional symlink that gives its slave side a stable name.
#include <string>

namespace kestrel::sim {

class Pty {
public:
    Pty() = default;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty() { close(); }

    // Opens a new pair, both sides raw. The simulator keeps its own handle on
    // the slave so the master never reads end-of-file while Kestrel has the
    // port closed. Returns an error text on failure.
    std::string open();
    // Closing the master hangs up every opener of the slave.
    void close();
    // Takes a connected socket as the line, in place of a pair.
    void adopt(int socket, const std::string& name) {
        close();
        master_ = socket;
        slavePath_ = name;
    }

    bool isOpen() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Points `link` at `target`, replacing an older symlink in one step. Refuses
// to replace anything that is not a symlink. Returns an error text on failure.
std::string replaceLink(const std::string& link, const std::string& target);
// Removes `link` if it is a symlink that still points at `target`.
void removeLink(const std::string& link, const std::string& target);

} // namespace kestrel::sim
