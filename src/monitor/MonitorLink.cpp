#include "MonitorLink.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

#include "LineSettings.h"
#include "SerialPort.h"
#include "Strings.h"

namespace kestrel {

namespace {
const QString Idle = QStringLiteral("    ");
constexpr int WaitSliceMs = 250;
// A console printing faster than the view takes it would otherwise keep the
// receive loop reading for as long as it prints, with the window frozen. What
// is left over raises the next receive event as soon as events are back on.
constexpr qsizetype ReceiveChunkLimit = 16 * 1024;
} // namespace

MonitorLink::MonitorLink(SerialPort& port, Host& host) : port_(port), host_(host) {}

// --- transmit path -------------------------------------------------------

bool MonitorLink::sendText(const QByteArray& bytes) {
    host_.setField(FieldActivity, QStringLiteral("TX  "));
    host_.pumpMessages();
    if (port_.portOpen()) {
        if (port_.output(bytes)) {
            const qint64 nowUs = host_.steadyMs() * 1000;
            lineFreeAtUs_ = std::max(lineFreeAtUs_, nowUs) + lineTimeUs(bytes.size());
        } else {
            reportSendFailure();
        }
    }
    host_.setField(FieldActivity, Idle);
    host_.pumpMessages();
    return true;
}

bool MonitorLink::sendByte(int byte) {
    return sendText(QByteArray(1, static_cast<char>(byte & 0xff)));
}

bool MonitorLink::sendLoadHeader(quint32 address, quint32 length) {
    protocol_.sendLoadHeader(address, length);
    sendQueued(Writes::Bytewise);
    return true;
}

void MonitorLink::sendQueued(Writes writes) {
    while (protocol_.hasOutput()) {
        const QByteArray piece = protocol_.nextOutput();
        if (writes == Writes::Bytewise) {
            for (const char byte : piece)
                sendByte(static_cast<unsigned char>(byte));
        } else if (writes == Writes::Frame && piece.size() == FrameSize + 2) {
            sendText(piece.first(1));
            sendText(piece.sliced(1, FrameSize));
            sendText(piece.last(1));
        } else {
            sendText(piece);
        }
    }
}

qint64 MonitorLink::lineTimeUs(qint64 bytes) {
    if (const LineSettings line = port_.settings(); !lineSettings_ || line != *lineSettings_) {
        lineSettings_ = line;
        const qint64 parityBits = line.parity == LineSettings::Parity::None ? 0 : 1;
        const qint64 halfStopBits = line.stopBits == LineSettings::StopBits::One          ? 2
                                    : line.stopBits == LineSettings::StopBits::OneAndHalf ? 3
                                                                                          : 4;
        halfBitsPerByte_ = 2 * (1 + line.dataBits + parityBits) + halfStopBits;
        lineSpeed_ = std::max<qint64>(line.speed, 1);
    }
    return bytes * halfBitsPerByte_ * 1'000'000 / (2 * lineSpeed_);
}

qint64 MonitorLink::lineTimeLeftMs() {
    const qint64 leftUs = lineFreeAtUs_ - host_.steadyMs() * 1000;
    return leftUs > 0 ? (leftUs + 999) / 1000 : 0;
}

void MonitorLink::reportSendFailure() {
    if (operationDepth_ == 0 || !failureReported_) {
        failureReported_ = operationDepth_ > 0;
        host_.messageBox(strings::text(strings::SendFailed));
    }
    host_.setField(FieldState, QStringLiteral("Comms failure."));
}

MonitorLink::Operation::Operation(MonitorLink& link) : link_(link) {
    if (link_.operationDepth_++ == 0) link_.failureReported_ = false;
}

MonitorLink::Operation::~Operation() {
    if (--link_.operationDepth_ == 0) link_.failureReported_ = false;
}

// --- receive path --------------------------------------------------------

void MonitorLink::onCommEvent() {
    if (port_.commEvent() != SerialPort::DataReceived) return;
    port_.setRThreshold(0);
    host_.setField(FieldActivity, QStringLiteral("  RX"));
    host_.pumpMessages();
    if (!capturing_) capturedCount_ = 0;
    QByteArray chunk;
    while (chunk.size() < ReceiveChunkLimit && port_.inBufferCount() > 0) {
        port_.setInputLen(0);
        chunk += port_.input();
    }
    qsizetype captured = 0;
    if (capturing_ && captureWriter_) {
        // A copy: the writer may end the capture, and its owner with it.
        const CaptureWriter writer = captureWriter_;
        captured = std::clamp<qsizetype>(writer(chunk), 0, chunk.size());
        capturedCount_ += quint64(captured);
        // The capture ends with its own line; until then the count shows
        // that bytes are arriving.
        if (capturing_)
            host_.setField(FieldTask, QStringLiteral("Receiving: %1 bytes").arg(capturedCount_));
    }
    if (!displaySuppressed() && captured < chunk.size()) {
        // A zero byte must not cut off the rest of what arrived with it: the
        // display drops zero bytes and shows everything after them.
        QByteArray shown = chunk.sliced(captured);
        shown.replace('\0', QByteArray());
        host_.appendToTerminal(shown);
    }
    host_.setField(FieldActivity, Idle);
    host_.pumpMessages();
    port_.setRThreshold(1);
}

// --- holding the line -----------------------------------------------------

TransferHold::TransferHold(MonitorLink& link, Kind kind) : link_(&link) {
    busy_ = kind != Kind::Display;
    quiet_ = kind != Kind::Busy;
    if (busy_) ++link.busyHolds_;
    if (quiet_) ++link.quietHolds_;
    if (kind == Kind::Line) takeLine();
}

TransferHold::TransferHold(TransferHold&& other) noexcept
    : link_(std::exchange(other.link_, nullptr)), busy_(other.busy_), quiet_(other.quiet_),
      line_(other.line_) {}

void TransferHold::takeLine() {
    if (!link_ || line_) return;
    line_ = true;
    if (link_->lineHolds_++ == 0) link_->port().setRThreshold(0);
}

TransferHold::~TransferHold() {
    if (!link_) return;
    if (busy_) --link_->busyHolds_;
    if (quiet_) --link_->quietHolds_;
    // Events back on, not the threshold found at the start: the window's
    // normal state is 1 whatever an interrupted conversation left behind.
    if (line_ && --link_->lineHolds_ == 0) link_->port().setRThreshold(1);
}

// --- conversation --------------------------------------------------------

ReceiveEventsOff::ReceiveEventsOff(SerialPort& port) : port_(port), saved_(port.rThreshold()) {
    port_.setRThreshold(0);
}

ReceiveEventsOff::~ReceiveEventsOff() {
    port_.setRThreshold(saved_);
}

void MonitorLink::drainOutput() {
    // The answer is awaited only once everything sent has left, so the
    // time-out covers the monitor's reaction, not the line time. Stop breaks
    // the wait, so a line held back by flow control cannot wedge the program.
    while (port_.outBufferCount() > 0 && !abortRequested_) {
        port_.waitForOutput(WaitSliceMs);
        host_.pumpMessages();
    }
}

MonitorProtocol::TimePoint MonitorLink::now() {
    return MonitorProtocol::TimePoint{} + std::chrono::milliseconds(host_.steadyMs());
}

MonitorLink::WaitEnd MonitorLink::drive(const std::function<bool(const Event&)>& handle,
                                        bool stoppable) {
    ReceiveEventsOff eventsOff(port_);
    drainOutput();
    // The monitor answers only once the last byte has reached it, so the
    // time-out starts when the line has had the time to carry what was
    // sent. Until then the wait is part of sending: messages are pumped and
    // Stop ends it. An answer that comes sooner is taken at once.
    bool drained = false;
    for (;;) {
        if (stoppable && abortRequested_) return WaitEnd::Stopped;
        QByteArray got;
        while (port_.inBufferCount() > 0) {
            port_.setInputLen(0);
            got += port_.input();
        }
        const MonitorProtocol::TimePoint at = now();
        const MonitorProtocol::Events events =
            got.isEmpty() ? protocol_.poll(at) : protocol_.receive(got, at);
        for (const Event& event : events)
            if (handle(event)) return WaitEnd::Handled;
        // A closed port (the device went away, the user closed it) has
        // nothing more to give; waiting out the time-out would only hand the
        // rest of this conversation to a device that comes back.
        if (!port_.portOpen()) return WaitEnd::PortClosed;
        if (!drained) {
            const qint64 onLineMs = abortRequested_ ? 0 : lineTimeLeftMs();
            if (onLineMs > 0) {
                port_.waitForInput(static_cast<int>(std::min<qint64>(onLineMs, WaitSliceMs)));
                host_.pumpMessages();
                continue;
            }
            protocol_.outputDrained(at);
            drained = true;
        }
        const std::optional<MonitorProtocol::TimePoint> deadline = protocol_.deadline();
        if (!deadline) return WaitEnd::NothingAwaited;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now()).count();
        if (left <= 0) continue;
        port_.waitForInput(static_cast<int>(std::min<qint64>(left, WaitSliceMs)));
        if (stoppable) host_.pumpMessages();
    }
}

std::optional<MonitorLink::Event::Kind> MonitorLink::converse() {
    host_.pumpMessagesBeforeWait();
    std::optional<Event::Kind> end;
    drive(
        [&](const Event& event) {
            if (event.kind == Event::Kind::Text || event.kind == Event::Kind::MemoryBytes)
                return false;
            end = event.kind;
            return true;
        },
        false);
    host_.pumpMessages();
    // An answer shows that everything sent before it has arrived.
    if (end && *end != Event::Kind::TimedOut) lineFreeAtUs_ = 0;
    return end;
}

bool MonitorLink::awaitResponse(const QByteArray& expected) {
    protocol_.awaitAnswer(expected);
    return converse() == Event::Kind::Answered;
}

bool MonitorLink::awaitPrompt() {
    protocol_.awaitPrompt();
    return converse() == Event::Kind::Prompt;
}

MonitorLink::Delivery MonitorLink::finishSending() {
    // A Stop that ended the command before does not end this wait: the
    // ending the stopped command sent must still go out.
    clearAbort();
    const qint64 start = host_.steadyMs();
    // A line that has not taken the bytes by then is held back (flow
    // control) or slower than its settings say.
    const qint64 limitMs =
        std::max(lineTimeLeftMs(), (lineTimeUs(port_.outBufferCount()) + 999) / 1000) +
        MonitorProtocol::ResponseTimeout.count();
    for (;;) {
        const int queued = port_.outBufferCount();
        const qint64 onLineMs = lineTimeLeftMs();
        if (queued == 0 && onLineMs == 0) return Delivery::Delivered;
        if (!port_.portOpen()) return Delivery::DeviceLost;
        if (abortRequested_) return Delivery::Stopped;
        if (host_.steadyMs() - start >= limitMs) return Delivery::TimedOut;
        // The console's answers are taken into the port's buffer, so a
        // console that cannot send them does not stop reading.
        port_.inBufferCount();
        if (queued > 0)
            port_.waitForOutput(WaitSliceMs);
        else
            host_.sleepMilliseconds(static_cast<int>(std::min<qint64>(onLineMs, WaitSliceMs)));
        host_.pumpMessages();
    }
}

void MonitorLink::discardInput() {
    ReceiveEventsOff eventsOff(port_);
    while (port_.inBufferCount() > 0) {
        port_.setInputLen(0);
        port_.input();
        host_.pumpMessages();
    }
}

bool MonitorLink::beginBinaryWrite() {
    protocol_.beginBinaryWrite();
    sendQueued(Writes::Whole);
    if (converse() == Event::Kind::BinaryReady) {
        discardInput();
        return true;
    }
    host_.messageBox(QStringLiteral("ERROR: No Binary Write Prompt!"));
    return false;
}

bool MonitorLink::beginBinaryRead() {
    protocol_.beginBinaryRead();
    sendQueued(Writes::Whole);
    if (converse() == Event::Kind::BinaryReady) {
        discardInput();
        return true;
    }
    return false;
}

void MonitorLink::sendReadRequest(quint32 address, quint32 length) {
    protocol_.sendReadRequest(address, length, now());
    sendQueued(Writes::Bytewise);
    // The protocol holds the last byte back until the rest has left (or its
    // limit has passed); what came meanwhile is dropped, by it and here.
    while (protocol_.state() == MonitorProtocol::State::HoldingHeader) {
        discardInput();
        if (port_.outBufferCount() == 0 && lineTimeLeftMs() == 0) {
            protocol_.outputDrained(now());
            continue;
        }
        protocol_.poll(now());
        if (protocol_.state() != MonitorProtocol::State::HoldingHeader) break;
        if (port_.outBufferCount() > 0)
            port_.waitForOutput(WaitSliceMs);
        else
            port_.waitForInput(static_cast<int>(std::min<qint64>(lineTimeLeftMs(), WaitSliceMs)));
    }
    discardInput();
    sendQueued(Writes::Bytewise);
}

MonitorLink::MemoryEnd MonitorLink::readMemory(const std::function<void(QByteArrayView)>& take) {
    std::optional<MemoryEnd> end;
    const WaitEnd waited = drive(
        [&](const Event& event) {
            switch (event.kind) {
            case Event::Kind::MemoryBytes:
                take(event.bytes);
                host_.pumpMessages();
                return false;
            case Event::Kind::TimedOut:
                // Silence in the middle of the memory ends the block short;
                // after it, only the prompt has not come.
                end = protocol_.state() == MonitorProtocol::State::ReadingMemory
                          ? MemoryEnd::Short
                          : MemoryEnd::Complete;
                return true;
            case Event::Kind::Prompt:
                end = MemoryEnd::Complete;
                return true;
            default:
                return false;
            }
        },
        true);
    // Once the whole length has come, Stop or a closed port only cut the
    // wait for the prompt short.
    const bool memoryLeft = protocol_.state() == MonitorProtocol::State::ReadingMemory;
    if (!end)
        end = !memoryLeft                  ? MemoryEnd::Complete
              : waited == WaitEnd::Stopped ? MemoryEnd::Stopped
                                           : MemoryEnd::Short;
    protocol_.abandon();
    return *end;
}

bool MonitorLink::sendBinaryBlocks(const char* data, qint32 length) {
    if (length < 1) return true;
    protocol_.sendBinaryBlocks(QByteArrayView(data, length));
    while (protocol_.hasOutput()) {
        discardInput();
        sendQueued(Writes::Frame);
        // A refusal ends the wait as soon as it arrives, as a frame the
        // monitor did not answer does at the time-out.
        if (converse() != Event::Kind::FrameAccepted) {
            host_.messageBox(strings::text(strings::UploadFailed));
            return false;
        }
    }
    return true;
}

bool MonitorLink::endBinary() {
    discardInput();
    protocol_.endBinary();
    sendQueued(Writes::Whole);
    const bool ok = converse() == Event::Kind::EndBinary;
    discardInput();
    return ok;
}

void MonitorLink::setStartRegister(QByteArrayView name, quint32 value) {
    protocol_.setStartRegister(name, value);
    sendQueued(Writes::Bytewise);
}

bool MonitorLink::awaitEcho(const QByteArray& typed) {
    protocol_.awaitEcho(typed);
    return converse() == Event::Kind::Answered;
}

bool MonitorLink::refuseBinaryOverXonXoff() {
    if (port_.flowControl() != FlowControl::XonXoff) return false;
    host_.messageBox(QStringLiteral(
        "XON/XOFF flow control cannot carry binary data: the bytes 11 and 13 (hex) in it "
        "would be taken as flow control.\nChoose RTS/CTS or none as the flow control for "
        "transfers."));
    return true;
}

void MonitorLink::requestAbort() {
    abortRequested_ = true;
    // An auto file asleep in "local sleep" ends now, before its next line.
    host_.interruptSleep();
}

void MonitorLink::stopTransfer() {
    requestAbort();
    if (isBusy())
        host_.appendToTerminal(QByteArrayLiteral("\r*** CURRENT FILE TRANSFER ABORTED ***\r"));
}

} // namespace kestrel
