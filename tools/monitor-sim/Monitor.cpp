#include "Monitor.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kestrel::sim {

namespace {

constexpr std::uint8_t headerStart = 0x01;
constexpr std::uint8_t blockStart = 0x02;
constexpr std::uint8_t binaryEnd = 0x03;
constexpr std::uint8_t carriageReturn = '\r';
constexpr std::size_t headerSize = 8; // address and length after the 0x01
constexpr const char* prompt = ">>";
// Stands where "binary" should be; shares no word with it.
constexpr const char* garbage = "?#~%&!";

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> result;
    std::string word;
    for (const char c : line) {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) result.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) result.push_back(std::move(word));
    return result;
}

// Hexadecimal as the monitor reads it: optional 0x, at least one digit,
// reading stops at the first other character, large values saturate.
std::optional<std::uint32_t> parseHex(const std::string& text) {
    std::size_t at =
        text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; at < text.size(); ++at, ++digits) {
        const char c = text[at];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        value = std::min<std::uint64_t>(value * 16 + digit, 0xffffffffu);
    }
    if (digits == 0) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

} // namespace

Monitor::Monitor(Faults faults) : faults_(std::move(faults)) {
    for (const char* name : {"epc", "gp", "sp"})
        registers_[name] = 0;
    stalled_ = faults_.stallAfter == 0u;
}

void Monitor::receive(std::uint8_t byte, std::string& out) {
    ++counters_.bytesIn;
    if (stalled_) return;
    switch (state_) {
    case State::Command:
        receiveCommandByte(byte, out);
        break;
    case State::AwaitHeader:
    case State::AwaitBlock:
        waitForBlock(byte, out);
        break;
    case State::Header:
        receiveHeaderByte(byte, out);
        break;
    case State::Frame:
        receiveFrameByte(byte, out);
        break;
    case State::Sending:
        break; // the session holds input back while sending
    }
}

void Monitor::receiveCommandByte(std::uint8_t byte, std::string& out) {
    // The end-of-binary byte is answered at the prompt too: a loader that
    // closes a run of binary writes with one more 0x03 waits for "end binary".
    if (byte == binaryEnd) {
        line_.clear();
        return endBinary(out);
    }
    if (byte == carriageReturn) {
        out += "\r\n";
        runLine(out);
        line_.clear();
        return;
    }
    out += static_cast<char>(byte);
    if (byte == '\b' || byte == 0x7f) {
        if (!line_.empty()) line_.pop_back();
    } else if (byte != '\n' && line_.size() < maxLineLength) {
        line_ += static_cast<char>(byte);
    }
}

void Monitor::runLine(std::string& out) {
    const auto command = words(line_);
    if (!command.empty()) {
        const std::string& verb = command.front();
        if (verb == "bwr") return startBinary(Purpose::Write, out);
        if (verb == "brd") return startBinary(Purpose::Read, out);
        if (verb == "sr") {
            if (command.size() == 3)
                setRegister(command[1], command[2], out);
            else
                out += "usage: sr register hex\r\n";
        } else if (verb == "dr") {
            for (const auto& [name, value] : registers_) {
                char text[64];
                std::snprintf(text, sizeof text, "%s %08x\r\n", name.c_str(), value);
                out += text;
            }
        }
    }
    out += prompt;
}

void Monitor::setRegister(const std::string& name, const std::string& value, std::string& out) {
    if (const auto number = parseHex(value))
        registers_[name] = *number;
    else
        out += "usage: sr register hex\r\n";
}

void Monitor::startBinary(Purpose purpose, std::string& out) {
    ++(purpose == Purpose::Write ? counters_.binaryWrites : counters_.binaryReads);
    purpose_ = purpose;
    state_ = State::AwaitHeader;
    out += faults_.garbagePrompt ? garbage : "binary";
}

// Between blocks only the start byte the state waits for (0x01 for a header,
// 0x02 for a frame) and 0x03 mean anything. A CR there gives up binary mode,
// so a stray line typed after a broken transfer brings the prompt back
// instead of leaving the monitor deaf.
void Monitor::waitForBlock(std::uint8_t byte, std::string& out) {
    const bool header = state_ == State::AwaitHeader;
    if (byte == (header ? headerStart : blockStart)) {
        block_.clear();
        state_ = header ? State::Header : State::Frame;
    } else if (byte == binaryEnd) {
        endBinary(out);
    } else if (byte == carriageReturn) {
        state_ = State::Command;
        out += "\r\n";
        out += prompt;
    } else {
        ++counters_.strayBytes;
    }
}

void Monitor::receiveHeaderByte(std::uint8_t byte, std::string& out) {
    block_ += static_cast<char>(byte);
    if (block_.size() < headerSize) return;
    address_ = bigEndian32(block_, 0);
    remaining_ = bigEndian32(block_, 4);
    if (purpose_ == Purpose::Write) {
        state_ = State::AwaitBlock;
    } else {
        state_ = State::Sending;
        readSent_ = 0;
        continueSending(out, 0);
    }
}

void Monitor::receiveFrameByte(std::uint8_t byte, std::string& out) {
    block_ += static_cast<char>(byte);
    if (block_.size() < frameDataSize + 1) return;
    state_ = State::AwaitBlock;
    ++framesSeen_;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < frameDataSize; ++i)
        sum += static_cast<std::uint8_t>(block_[i]);
    if (sum != static_cast<std::uint8_t>(block_[frameDataSize]) ||
        faults_.refusedFrames.contains(framesSeen_)) {
        ++counters_.framesRefused;
        out += 'N';
        return;
    }
    // The header counts the data bytes; the pad of the last frame is not stored.
    const auto stored = std::min<std::uint64_t>(remaining_, frameDataSize);
    memory_.write(address_, reinterpret_cast<const std::uint8_t*>(block_.data()), stored);
    address_ += static_cast<std::uint32_t>(stored);
    remaining_ -= stored;
    ++counters_.framesAcknowledged;
    out += 'Y';
    if (faults_.stallAfter && counters_.framesAcknowledged >= *faults_.stallAfter) stalled_ = true;
}

void Monitor::endBinary(std::string& out) {
    state_ = State::Command;
    if (!faults_.noEndBinary) out += "end binary";
    out += "\r\n";
    out += prompt;
}

void Monitor::continueSending(std::string& out, std::size_t maxBytes) {
    if (state_ != State::Sending) return;
    const auto count = std::min<std::uint64_t>(remaining_, maxBytes);
    for (std::uint64_t i = 0; i < count; ++i, --remaining_, ++readSent_) {
        // A short block ends where the fault says, with the usual prompt.
        if (faults_.shortRead && readSent_ == *faults_.shortRead) {
            remaining_ = 0;
            break;
        }
        auto byte = memory_.read(address_++);
        if (faults_.wrongReadByte && ++readBytes_ == *faults_.wrongReadByte) byte ^= 0xff;
        out += static_cast<char>(byte);
    }
    if (remaining_ == 0) {
        state_ = State::Command;
        out += "\r\n";
        out += prompt;
    }
}

void Monitor::dropPartialBlock() {
    if (!inBlock()) return;
    ++counters_.blocksDropped;
    state_ = state_ == State::Header ? State::AwaitHeader : State::AwaitBlock;
    block_.clear();
}

void Monitor::resetLine() {
    state_ = State::Command;
    line_.clear();
    block_.clear();
    remaining_ = 0;
}

} // namespace kestrel::sim
