#pragma once
// The pseudo-terminal pair that stands in for the serial cable, and the
// optional symlink that gives its slave side a stable name. The simulator
// plays the console on the master; so do tests that talk to Kestrel's serial
// code without the simulator, with the helpers below.
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::sim {

class Pty {
public:
    Pty() = default;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty() { close(); }

    // Opens a new pair, both sides raw so the line discipline passes every
    // byte through unchanged (no echo, no CR/LF rewriting, no signals). The
    // pair keeps its own handle on the slave so the master never reads
    // end-of-file while Kestrel has the port closed. Returns an error text on
    // failure, empty on success.
    std::string open();
    // Closing the master hangs up every opener of the slave.
    void close() {
        closeMaster();
        closeSlave();
    }
    void closeMaster();
    // Gives up the pair's own slave handle, so that the slave hangs up once
    // the code under test lets go of it too.
    void closeSlave();
    // Takes a connected socket as the line, in place of a pair.
    void adopt(int socket, const std::string& name) {
        close();
        master_ = socket;
        slavePath_ = name;
    }

    bool isOpen() const { return master_ >= 0; }
    int master() const { return master_; }
    // The pair's own slave handle (-1 after closeSlave()), e.g. to read the
    // line settings or the input queue of the code under test.
    int slave() const { return slave_; }
    const std::string& slavePath() const { return slavePath_; }

    // Writes every byte to the master, waiting for room as needed; false if
    // the line is gone.
    bool write(std::string_view bytes);
    // What the master can read within timeoutMs: returns as soon as some
    // bytes have arrived (possibly fewer than were sent), empty on time-out.
    std::string read(int timeoutMs);
    // Reads until `count` bytes have arrived or timeoutMs has passed in total.
    std::string readExactly(std::size_t count, int timeoutMs);
    // Everything that arrives until the line has been quiet for quietMs.
    std::string readUntilQuiet(int quietMs);

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
