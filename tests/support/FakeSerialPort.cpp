#include "FakeSerialPort.h"

#include <algorithm>

namespace kestrel::test {

FakeSerialPort::FakeSerialPort(TestClock& clock, QObject* parent)
    : SerialPort(parent), clock_(clock) {}

bool FakeSerialPort::setCommPort(int number) {
    if (number < 1) return false;
    commPort_ = number;
    return true;
}

bool FakeSerialPort::setSettings(const LineSettings& line) {
    if (refusedSettings.contains(line.text())) return false;
    settings_ = line;
    return true;
}

bool FakeSerialPort::setFlowControl(FlowControl flow) {
    if (refusedFlow.contains(flow)) return false;
    flow_ = flow;
    return true;
}

bool FakeSerialPort::setPortOpen(bool open) {
    if (open && refuseOpen) return false;
    open_ = open;
    return true;
}

void FakeSerialPort::moveArrived() {
    const qint64 now = clock_.nowMs();
    auto it = pending_.begin();
    while (it != pending_.end()) {
        if (it->atMs <= now) {
            buffer_ += it->bytes;
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

int FakeSerialPort::inBufferCount() {
    if (!open_) return 0;
    moveArrived();
    return static_cast<int>(buffer_.size());
}

QByteArray FakeSerialPort::input() {
    if (!open_) return {};
    moveArrived();
    const qsizetype n =
        inputLen_ == 0 ? buffer_.size() : std::min<qsizetype>(inputLen_, buffer_.size());
    QByteArray out = buffer_.left(n);
    buffer_.remove(0, n);
    return out;
}

bool FakeSerialPort::output(const QByteArray& bytes) {
    if (!open_) return true;
    if (failOutput) return false;
    writes.append(bytes);
    if (responder) responder(bytes);
    return true;
}

bool FakeSerialPort::waitForInput(int msecs) {
    if (inBufferCount() > 0) return true;
    const qint64 now = clock_.nowMs();
    qint64 next = -1;
    for (const auto& p : pending_)
        if (next < 0 || p.atMs < next) next = p.atMs;
    if (next >= 0 && next <= now + msecs) {
        clock_.advanceMs(next - now);
        return inBufferCount() > 0;
    }
    clock_.advanceMs(msecs);
    return inBufferCount() > 0;
}

bool FakeSerialPort::waitForOutput(int msecs) {
    if (outBufferCount() == 0) return true;
    clock_.advanceMs(msecs);
    return false;
}

void FakeSerialPort::deliver(const QByteArray& bytes, qint64 afterMs) {
    pending_.append({clock_.nowMs() + afterMs, bytes});
}

QByteArray FakeSerialPort::wire() const {
    QByteArray all;
    for (const auto& w : writes)
        all += w;
    return all;
}

} // namespace kestrel::test
