#pragma once
// The resident monitor's side of the line, without any I/O: bytes go in one
// at a time and the answer bytes come out. The session around it owns the
// pseudo-terminal, the pacing and the transcript.
#include "Memory.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace kestrel::sim {

// Misbehaviour on request, so that Kestrel's failure paths can be exercised.
struct Faults {
    std::set<std::uint64_t> refusedFrames;   // 1-based, counted over the whole run
    bool noEndBinary = false;                // 0x03 is answered with the prompt only
    std::optional<std::uint64_t> stallAfter; // silent after this many acknowledged frames
    bool garbagePrompt = false;              // "bwr"/"brd" answered with noise instead of "binary"
    std::optional<std::uint64_t>
        wrongReadByte;                      // 1-based over the run: this byte of a read is changed
    std::optional<std::uint64_t> shortRead; // each binary read sends at most this many bytes
};

struct Counters {
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::uint64_t binaryWrites = 0;
    std::uint64_t binaryReads = 0;
    std::uint64_t framesAcknowledged = 0;
    std::uint64_t framesRefused = 0;
    std::uint64_t strayBytes = 0;    // dropped while waiting for a header or a block
    std::uint64_t blocksDropped = 0; // headers or frames cut short by silence
    std::uint64_t hangups = 0;
};

class Monitor {
public:
    static constexpr std::size_t frameDataSize = 2048;
    static constexpr std::size_t maxLineLength = 256;

    explicit Monitor(Faults faults);

    // One byte from the line; the answer, if any, is appended to `out`.
    void receive(std::uint8_t byte, std::string& out);

    // True while a binary read is still sending memory; no input is taken
    // meanwhile, as the monitor is busy on the line.
    bool sending() const { return state_ == State::Sending; }
    // The next at most `maxBytes` bytes of a binary read (the prompt after the last).
    void continueSending(std::string& out, std::size_t maxBytes);

    // A load header or frame has begun but is not complete.
    bool inBlock() const { return state_ == State::Header || state_ == State::Frame; }
    // Gives up a header or frame whose sender fell silent.
    void dropPartialBlock();
    // Back to the command line, as after a reconnect; memory and registers stay.
    void resetLine();

    const Memory& memory() const { return memory_; }
    const std::map<std::string, std::uint32_t>& registers() const { return registers_; }
    Counters& counters() { return counters_; }
    const Counters& counters() const { return counters_; }

private:
    enum class State { Command, AwaitHeader, Header, AwaitBlock, Frame, Sending };
    enum class Purpose { Write, Read };

    void receiveCommandByte(std::uint8_t byte, std::string& out);
    void runLine(std::string& out);
    void setRegister(const std::string& name, const std::string& value, std::string& out);
    void startBinary(Purpose purpose, std::string& out);
    void receiveHeaderByte(std::uint8_t byte, std::string& out);
    void receiveFrameByte(std::uint8_t byte, std::string& out);
    void waitForBlock(std::uint8_t byte, std::string& out);
    void endBinary(std::string& out);

    Faults faults_;
    Memory memory_;
    std::map<std::string, std::uint32_t> registers_;
    Counters counters_;

    State state_ = State::Command;
    Purpose purpose_ = Purpose::Write;
    bool stalled_ = false;
    std::string line_;
    std::string block_; // header or frame bytes after their start byte
    std::uint64_t framesSeen_ = 0;
    std::uint32_t address_ = 0;   // of the running binary write or read
    std::uint64_t remaining_ = 0; // bytes still to store or to send
    std::uint64_t readSent_ = 0;  // bytes of the current binary read sent so far
    std::uint64_t readBytes_ = 0; // bytes of every binary read of the run
};

} // namespace kestrel::sim
