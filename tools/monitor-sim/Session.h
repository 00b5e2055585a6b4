#pragma once
// One run of the simulator: the pseudo-terminal, the pacing of both line
// directions, the transcript, the reports and the signals, round a Monitor.
#include "Monitor.h"
#include "Pty.h"
#include "Transcript.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace kestrel::sim {

struct Options {
    std::string link;                             // symlink to the slave side, kept up to date
    bool relink = false;                          // open a new pair at `link` after a hangup
    std::string report;                           // memory and register report file
    std::string transcript;                       // transcript file
    std::uint32_t baud = 0;                       // 0: no pacing
    std::optional<std::uint64_t> hangupAfter;     // received bytes before the line is closed
    std::chrono::milliseconds blockTimeout{3000}; // silence that abandons a header or frame
    std::string listen;                           // "HOST:PORT": serve the line on TCP instead
    Faults faults;
};

class Session {
public:
    explicit Session(Options options);
    // Runs until SIGTERM, SIGINT or SIGHUP, writing the report last. Returns
    // the process exit status.
    int run();

private:
    struct Timed {
        std::uint8_t byte;
        Clock::time_point due; // when the byte has crossed the line at the set speed
    };

    bool openLine();
    bool openListener();
    void acceptClient();
    void hangUp(const std::string& why);
    std::size_t inputRoom() const;
    bool canProcess() const;
    void readInput();
    void processInput(Clock::time_point now);
    void fillOutput(Clock::time_point now);
    void queueOutput(const std::string& bytes, Clock::time_point from);
    void writeOutput(Clock::time_point now);
    std::optional<Clock::time_point> nextWake() const;
    void writeReportFile();

    Options options_;
    Monitor monitor_;
    Pty pty_; // or, with --listen, the connected client
    int listener_ = -1;
    Transcript transcript_;
    Clock::duration byteTime_{}; // 10 bits per byte at the set speed
    std::deque<Timed> input_;
    std::deque<Timed> output_;
    Clock::time_point inputClock_{};
    Clock::time_point outputClock_{};
    Clock::time_point lastInput_{};     // due time of the last byte taken
    Clock::time_point lastProcessed_{}; // when input was last taken
    Clock::time_point lastWritten_{};   // when output was last written
    std::uint64_t received_ = 0;
    bool countedHangupDone_ = false;
    bool writeBlocked_ = false;
    bool announcedFirst_ = false;
};

} // namespace kestrel::sim
