#include "Transcript.h"

#include <cerrno>
#include <cstring>

namespace kestrel::sim {

Transcript::~Transcript() {
    if (file_) std::fclose(file_);
}

std::string Transcript::open(const std::string& path, Clock::time_point start) {
    start_ = start;
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) return path + ": " + std::strerror(errno);
    return {};
}

void Transcript::stamp(const char* kind, Clock::time_point when) {
    const std::chrono::duration<double> since = when - start_;
    std::fprintf(file_, "%.6f %s", since.count(), kind);
}

void Transcript::record(Direction direction, const std::uint8_t* bytes, std::size_t count,
                        Clock::time_point when) {
    if (!file_) return;
    constexpr std::size_t perLine = 32;
    for (std::size_t at = 0; at < count; at += perLine) {
        stamp(direction == Direction::In ? "in" : "out", when);
        for (std::size_t i = at; i < count && i < at + perLine; ++i)
            std::fprintf(file_, " %02x", bytes[i]);
        std::fputc('\n', file_);
    }
}

void Transcript::event(const std::string& text, Clock::time_point when) {
    if (!file_) return;
    stamp("event", when);
    std::fprintf(file_, " %s\n", text.c_str());
}

void Transcript::flush() {
    if (file_) std::fflush(file_);
}

} // namespace kestrel::sim
