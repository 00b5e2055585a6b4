#include "MonitorProtocol.h"

#include <algorithm>
#include <cstdio>

namespace kestrel {

namespace {

constexpr char HeaderStart = 0x01;
constexpr char BlockStart = 0x02;
constexpr char WriteEnd = 0x03;
constexpr char Accepted = 'Y';
constexpr char Refused = 'N';

} // namespace

QByteArray MonitorProtocol::loadHeader(quint32 address, quint32 length) {
    QByteArray header(1, HeaderStart);
    for (quint32 value : {address, length})
        for (int shift = 24; shift >= 0; shift -= 8)
            header += static_cast<char>(value >> shift);
    return header;
}

QByteArray MonitorProtocol::frame(QByteArrayView data) {
    QByteArray bytes(1, BlockStart);
    bytes += data.first(std::min(data.size(), FrameDataSize));
    bytes.append(FrameDataSize + 1 - bytes.size(), ' ');
    quint8 sum = 0;
    for (qsizetype i = 1; i < bytes.size(); ++i)
        sum = static_cast<quint8>(sum + static_cast<quint8>(bytes[i]));
    bytes += static_cast<char>(sum);
    return bytes;
}

// --- steps ------------------------------------------------------------------

void MonitorProtocol::abandon() {
    state_ = State::Idle;
    expected_.clear();
    collected_.clear();
    promptWait_ = false;
    promptHalf_ = false;
    armOnDrain_ = false;
    deadline_.reset();
    blocks_.clear();
    memoryLeft_ = 0;
}

void MonitorProtocol::startWait(State state, QByteArrayView expected, Event::Kind onMatch) {
    state_ = state;
    expected_ = expected.toByteArray();
    onMatch_ = onMatch;
    collected_.clear();
    armOnDrain_ = true;
}

void MonitorProtocol::queue(QByteArray bytes) {
    if (!bytes.isEmpty()) output_.push_back(std::move(bytes));
}

void MonitorProtocol::beginBinaryWrite() {
    abandon();
    queue(QByteArrayLiteral("bwr\r"));
    startWait(State::AwaitResponse, "bwr\r\nbinary", Event::Kind::BinaryReady);
}

void MonitorProtocol::beginBinaryRead() {
    abandon();
    queue(QByteArrayLiteral("brd\r"));
    startWait(State::AwaitResponse, "brd\r\nbinary", Event::Kind::BinaryReady);
}

void MonitorProtocol::sendLoadHeader(quint32 address, quint32 length) {
    abandon();
    state_ = State::Binary;
    queue(loadHeader(address, length));
}

void MonitorProtocol::sendBinaryBlocks(QByteArrayView data) {
    abandon();
    state_ = State::Binary;
    blocks_ = data.toByteArray();
    queueNextFrame();
}

void MonitorProtocol::queueNextFrame() {
    if (blocks_.isEmpty()) {
        state_ = State::Binary;
        return;
    }
    queue(frame(blocks_));
    blocks_.remove(0, std::min(blocks_.size(), FrameDataSize));
    startWait(State::AwaitResponse, QByteArrayView(&Accepted, 1), Event::Kind::FrameAccepted);
}

void MonitorProtocol::endBinary() {
    abandon();
    queue(QByteArray(1, WriteEnd));
    startWait(State::AwaitResponse, "end binary", Event::Kind::EndBinary);
}

void MonitorProtocol::sendReadRequest(quint32 address, quint32 length, TimePoint now) {
    abandon();
    const QByteArray header = loadHeader(address, length);
    queue(header.first(header.size() - 1));
    heldByte_ = header.back();
    memoryLeft_ = length;
    state_ = State::HoldingHeader;
    deadline_ = now + HeaderDrainLimit;
}

void MonitorProtocol::releaseHeader() {
    queue(QByteArray(1, heldByte_));
    state_ = State::ReadingMemory;
    deadline_.reset();
    armOnDrain_ = true;
    if (memoryLeft_ == 0) startClosingPrompt(std::nullopt);
}

void MonitorProtocol::startClosingPrompt(std::optional<TimePoint> from) {
    state_ = State::Idle;
    promptWait_ = true;
    promptHalf_ = false;
    armOnDrain_ = !from;
    deadline_.reset();
    if (from) deadline_ = *from + ResponseTimeout;
}

void MonitorProtocol::awaitPrompt() {
    abandon();
    startClosingPrompt(std::nullopt);
}

QByteArray MonitorProtocol::registerCommand(QByteArrayView name, quint32 value) {
    char number[16];
    const int n = std::snprintf(number, sizeof number, "%lx", static_cast<unsigned long>(value));
    return QByteArrayLiteral("sr ") + name.toByteArray() + ' ' + QByteArray(number, n) + '\r';
}

void MonitorProtocol::setStartRegister(QByteArrayView name, quint32 value) {
    queue(registerCommand(name, value));
}

void MonitorProtocol::awaitAnswer(QByteArrayView expected) {
    abandon();
    startWait(State::AwaitResponse, expected, Event::Kind::Answered);
}

void MonitorProtocol::awaitEcho(QByteArrayView typed) {
    awaitAnswer(typed.toByteArray().replace("\r", "\r\n"));
}

void MonitorProtocol::sendText(QByteArrayView bytes) {
    queue(bytes.toByteArray());
}

// --- the line -----------------------------------------------------------------

QByteArray MonitorProtocol::nextOutput() {
    if (output_.empty()) return {};
    QByteArray next = std::move(output_.front());
    output_.pop_front();
    return next;
}

void MonitorProtocol::outputDrained(TimePoint now) {
    // Bytes still here have not even been handed over.
    if (!output_.empty()) return;
    if (state_ == State::HoldingHeader) {
        releaseHeader();
        return;
    }
    if (!armOnDrain_) return;
    armOnDrain_ = false;
    deadline_ = now + ResponseTimeout;
}

std::optional<MonitorProtocol::TimePoint> MonitorProtocol::deadline() const {
    return deadline_;
}

MonitorProtocol::Events MonitorProtocol::poll(TimePoint now) {
    Events events;
    checkDeadline(now, events);
    return events;
}

MonitorProtocol::Events MonitorProtocol::receive(QByteArrayView bytes, TimePoint now) {
    Events events;
    switch (state_) {
    case State::Idle:
        receiveIdle(bytes, events);
        break;
    case State::AwaitResponse:
        receiveAnswer(bytes, events);
        break;
    case State::ReadingMemory:
        receiveMemory(bytes, now, events);
        break;
    case State::Binary:
    case State::HoldingHeader:
        break; // not part of any answer
    }
    // What came is looked at first: an answer arriving at the deadline counts.
    checkDeadline(now, events);
    return events;
}

void MonitorProtocol::checkDeadline(TimePoint now, Events& events) {
    if (!deadline_ || now < *deadline_) return;
    deadline_.reset();
    switch (state_) {
    case State::HoldingHeader:
        releaseHeader();
        return;
    case State::ReadingMemory:
        // The read has no end but its length; whether silence ends it is the
        // caller's to say.
        events.push_back({Event::Kind::TimedOut, {}});
        return;
    case State::AwaitResponse: {
        const bool frameWait = onMatch_ == Event::Kind::FrameAccepted;
        abandon();
        // A frame that was not answered still leaves the conversation open
        // for its 0x03.
        if (frameWait) state_ = State::Binary;
        events.push_back({Event::Kind::TimedOut, {}});
        return;
    }
    case State::Idle:
        promptWait_ = false;
        events.push_back({Event::Kind::TimedOut, {}});
        return;
    case State::Binary:
        return;
    }
}

void MonitorProtocol::receiveIdle(QByteArrayView bytes, Events& events) {
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\0') continue; // between the two '>' it does not break the prompt
        if (c != '>' || !promptHalf_) {
            promptHalf_ = c == '>';
            continue;
        }
        promptHalf_ = false;
        events.push_back({Event::Kind::Text, bytes.sliced(start, i + 1 - start).toByteArray()});
        events.push_back({Event::Kind::Prompt, {}});
        start = i + 1;
        if (promptWait_) {
            promptWait_ = false;
            armOnDrain_ = false;
            deadline_.reset();
        }
    }
    if (start < bytes.size())
        events.push_back({Event::Kind::Text, bytes.sliced(start).toByteArray()});
}

void MonitorProtocol::receiveAnswer(QByteArrayView bytes, Events& events) {
    QByteArray seen = collected_;
    for (const char c : bytes)
        if (c != '\0') seen += c;
    const bool frameWait = onMatch_ == Event::Kind::FrameAccepted;
    const qsizetype match = seen.indexOf(expected_);
    const qsizetype refusal = frameWait ? seen.indexOf(Refused) : -1;
    if (refusal >= 0 && (match < 0 || refusal < match)) {
        abandon();
        state_ = State::Binary;
        events.push_back({Event::Kind::FrameRefused, {}});
        return;
    }
    if (match < 0) {
        // Only a tail shorter than the expected text can still begin it.
        collected_ = seen.right(expected_.size() - 1);
        return;
    }
    // The rest of what came with the answer goes, as the rest of its line.
    const Event::Kind matched = onMatch_;
    const bool moreFrames = frameWait && !blocks_.isEmpty();
    const QByteArray frames = blocks_;
    abandon();
    const bool binary = matched == Event::Kind::BinaryReady || frameWait;
    state_ = binary ? State::Binary : State::Idle;
    events.push_back({matched, {}});
    if (moreFrames) {
        blocks_ = frames;
        queueNextFrame();
    }
}

void MonitorProtocol::receiveMemory(QByteArrayView bytes, TimePoint now, Events& events) {
    const auto take = static_cast<qsizetype>(std::min<quint64>(memoryLeft_, quint64(bytes.size())));
    if (take > 0) {
        events.push_back({Event::Kind::MemoryBytes, bytes.first(take).toByteArray()});
        memoryLeft_ -= static_cast<quint32>(take);
        armOnDrain_ = false;
        deadline_ = now + ResponseTimeout;
    }
    if (memoryLeft_ > 0) return;
    startClosingPrompt(now);
    receiveIdle(bytes.sliced(take), events);
}

} // namespace kestrel
