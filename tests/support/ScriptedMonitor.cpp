#include "ScriptedMonitor.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrel::test {

namespace {

constexpr qsizetype HeaderSize = 9; // 0x01, address and length, big-endian
constexpr qsizetype BlockSize = 2048;

quint32 bigEndian(const QByteArray& bytes, int offset) {
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<quint8>(bytes[offset + i]);
    return value;
}

} // namespace

ScriptedMonitor::ScriptedMonitor(FakeSerialPort& port) : port_(port) {
    port_.responder = [this](const QByteArray& written) {
        writeSize_ = written.size();
        for (writeIndex_ = 0; writeIndex_ < written.size(); ++writeIndex_)
            take(written[writeIndex_]);
        if (afterWrite) afterWrite(written);
    };
}

QByteArray ScriptedMonitor::memoryAt(quint32 address, quint32 length) const {
    QByteArray out(static_cast<qsizetype>(length), '\0');
    for (quint32 i = 0; i < length; ++i)
        out[i] = memory.value(address + i, '\0');
    return out;
}

void ScriptedMonitor::fill(quint32 address, const QByteArray& bytes) {
    for (qsizetype i = 0; i < bytes.size(); ++i)
        memory[address + quint32(i)] = bytes[i];
}

void ScriptedMonitor::answer(const QByteArray& bytes, qint64 gapMs) {
    if (bytes.isEmpty() && gapMs == 0) return;
    TestClock& clock = port_.clock();
    const qint64 at = std::max(clock.nowMs(), lineFreeAtMs_) + gapMs;
    port_.deliver(bytes, at - clock.nowMs());
    lineFreeAtMs_ = at;
}

void ScriptedMonitor::take(char byte) {
    switch (state_) {
    case State::Line:
        takeAtPrompt(byte);
        return;
    case State::Header:
        if (header_.isEmpty()) {
            EXPECT_EQ(byte, '\x01') << "a binary header starts with 0x01";
            if (reading_) answer(strayAfterPrompt);
        }
        header_ += byte;
        if (header_.size() == HeaderSize) headerComplete();
        return;
    case State::FrameOrEnd:
        if (byte == '\x02') {
            block_.clear();
            state_ = State::Block;
        } else if (byte == '\x03') {
            if (!conversations.isEmpty()) conversations.last().closed = true;
            if (answerEnd) answer("end binary\r\n>>");
            state_ = State::Line;
        } else {
            ADD_FAILURE() << "byte 0x" << std::hex << int(quint8(byte))
                          << " between the frames of a binary write";
        }
        return;
    case State::Block:
        if (block_.isEmpty()) blockInOneWrite_ = writeIndex_ == 0 && writeSize_ == BlockSize;
        block_ += byte;
        if (block_.size() == BlockSize) {
            EXPECT_TRUE(blockInOneWrite_) << "a frame's block goes out in one write";
            ++frames;
            if (!conversations.isEmpty()) ++conversations.last().frames;
            if (onFrame) onFrame(frames);
            state_ = State::Checksum;
        }
        return;
    case State::Checksum:
        checksumArrived(byte);
        return;
    case State::Stalled:
        return;
    }
}

// Typed bytes are echoed as they come; the line is acted on at its CR. A
// 0x03 here is the extra one that closes a run of binary writes.
void ScriptedMonitor::takeAtPrompt(char byte) {
    if (line_.isEmpty()) waitingAtLineStart.append(port_.inBufferCount());
    typed += byte;
    if (byte == '\x03') {
        ++closingEnds;
        line_.clear();
        if (answerEnd) answer("end binary\r\n>>");
        return;
    }
    if (byte != '\r') {
        line_ += byte;
        answer(QByteArray(1, byte));
        return;
    }
    if (answerPrompts && (line_ == "bwr" || line_ == "brd")) {
        answer("\r\nbinary\r\n");
        reading_ = line_ == "brd";
        if (!reading_) conversations.append(Conversation{});
        header_.clear();
        state_ = State::Header;
    } else {
        answer("\r\n>>");
    }
    line_.clear();
}

void ScriptedMonitor::headerComplete() {
    headers.append(header_);
    const quint32 address = bigEndian(header_, 1);
    const quint32 length = bigEndian(header_, 5);
    if (!reading_) {
        conversations.last().address = address;
        conversations.last().size = length;
        writeAddress_ = address;
        writeRemaining_ = length;
        state_ = State::FrameOrEnd;
        return;
    }
    QByteArray data = memoryAt(address, length);
    state_ = State::Line;
    if (readBytesSent >= 0 && readBytesSent < data.size()) {
        data.truncate(readBytesSent);
        state_ = State::Stalled;
    }
    const qsizetype piece = readChunk > 0 ? readChunk : std::max<qsizetype>(data.size(), 1);
    for (qsizetype at = 0; at < data.size(); at += piece)
        answer(data.mid(at, piece), readChunk > 0 ? chunkGapMs : 0);
}

void ScriptedMonitor::checksumArrived(char byte) {
    quint8 sum = 0;
    for (char c : block_)
        sum = static_cast<quint8>(sum + static_cast<quint8>(c));
    const bool good = sum == static_cast<quint8>(byte) && !refusedFrames.contains(frames);
    if (good) {
        // The header counts the data bytes; the pad of the last frame is not stored.
        const quint32 stored = std::min<quint32>(writeRemaining_, BlockSize);
        fill(writeAddress_, block_.left(stored));
        if (!conversations.isEmpty()) conversations.last().memory += block_.left(stored);
        writeAddress_ += stored;
        writeRemaining_ -= stored;
    }
    answer(good ? "Y" : "N");
    state_ = State::FrameOrEnd;
}

} // namespace kestrel::test
