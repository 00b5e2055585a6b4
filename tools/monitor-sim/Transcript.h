#pragma once
// Every byte that crosses the line, as text lines:
//   <seconds> in <hex bytes...>
//   <seconds> out <hex bytes...>
//   <seconds> event <words...>
// Seconds are counted from the start of the simulator, with six decimals; a
// line holds at most 32 bytes and its time is that of its first byte.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrel::sim {

using Clock = std::chrono::steady_clock;

class Transcript {
public:
    Transcript() = default;
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;
    ~Transcript();

    // Returns an error text on failure. Without a file nothing is recorded.
    std::string open(const std::string& path, Clock::time_point start);

    enum class Direction { In, Out };
    void record(Direction direction, const std::uint8_t* bytes, std::size_t count,
                Clock::time_point when);
    void event(const std::string& text, Clock::time_point when);
    // Called before the simulator sleeps, so readers see everything so far.
    void flush();

private:
    void stamp(const char* kind, Clock::time_point when);

    std::FILE* file_ = nullptr;
    Clock::time_point start_;
};

} // namespace kestrel::sim
