#include "ScriptedMonitor.h"

namespace kestrel::test {

namespace {
quint32 bigEndian(const QByteArray& bytes, int offset) {
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<quint8>(bytes[offset + i]);
    return value;
}
} // namespace

ScriptedMonitor::ScriptedMonitor(FakeSerialPort& port, TestClock& clock)
    : port_(port), clock_(clock) {
    port_.responder = [this](const QByteArray& written) {
        for (char c : written)
            take(c);
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
    const qint64 at = std::max(clock_.nowMs(), lineFreeAtMs_) + gapMs;
    port_.deliver(bytes, at - clock_.nowMs());
    lineFreeAtMs_ = at;
}

void ScriptedMonitor::take(char byte) {
    switch (state_) {
    case State::Line:
        if (byte != '\r') {
            line_ += byte;
            return;
        }
        if (answerPrompts && (line_ == "bwr" || line_ == "brd")) {
            answer(line_ + "\r\nbinary\r\n");
            reading_ = line_ == "brd";
            header_.clear();
            state_ = State::Header;
        } else {
            answer(line_ + "\r\n>>");
        }
        line_.clear();
        return;
    case State::Header:
        if (header_.isEmpty() && reading_) answer(strayAfterPrompt);
        header_ += byte;
        if (header_.size() == 9) headerComplete();
        return;
    case State::FrameOrEnd:
        if (byte == '\x02') {
            block_.clear();
            state_ = State::Block;
        } else if (byte == '\x03') {
            if (answerEnd) answer("end binary\r\n>>");
            state_ = State::Line;
        }
        return;
    case State::Block:
        block_ += byte;
        if (block_.size() == 2048) {
            ++framesReceived;
            if (onFrame) onFrame(framesReceived);
            state_ = State::Checksum;
        }
        return;
    case State::Checksum: {
        quint8 sum = 0;
        for (char c : block_)
            sum = static_cast<quint8>(sum + static_cast<quint8>(c));
        const bool good = sum == static_cast<quint8>(byte) && framesReceived != refuseFrame;
        if (good) {
            const quint32 take = std::min<quint32>(writeRemaining_, 2048);
            fill(writeAddress_, block_.left(take));
            writeAddress_ += take;
            writeRemaining_ -= take;
        }
        answer(good ? "Y" : "N");
        state_ = State::FrameOrEnd;
        return;
    }
    case State::Stalled:
        return;
    }
}

void ScriptedMonitor::headerComplete() {
    headers.append(header_);
    const quint32 address = bigEndian(header_, 1);
    const quint32 length = bigEndian(header_, 5);
    if (!reading_) {
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

} // namespace kestrel::test
