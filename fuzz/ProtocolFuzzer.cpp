// The monitor protocol core must take any order of steps, any bytes and any
// times without crashing, and keep its promises: no deadline left behind
// that has already passed, no more memory than a read asked for, events that
// carry bytes only where their kind has bytes.
#include "MonitorProtocol.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

using kestrel::MonitorProtocol;
using Kind = MonitorProtocol::Event::Kind;

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    quint32 word() {
        quint32 value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | byte();
        return value;
    }
    QByteArrayView bytes(size_t count) {
        const size_t take = std::min(count, size_ - std::min(at_, size_));
        const QByteArrayView view(reinterpret_cast<const char*>(data_ + at_), qsizetype(take));
        at_ += take;
        return view;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    MonitorProtocol protocol;
    MonitorProtocol::TimePoint now{};
    quint64 memoryAsked = 0;
    quint64 memoryGot = 0;
    const auto check = [&](const MonitorProtocol::Events& events, bool timeLooked) {
        for (const auto& event : events) {
            const bool carries = event.kind == Kind::Text || event.kind == Kind::MemoryBytes;
            if (carries == event.bytes.isEmpty()) std::abort();
            if (event.kind == Kind::MemoryBytes) memoryGot += quint64(event.bytes.size());
        }
        if (memoryGot > memoryAsked) std::abort();
        if (timeLooked && protocol.deadline() && *protocol.deadline() <= now) std::abort();
    };
    while (!in.empty()) {
        now += std::chrono::milliseconds(in.byte() * 16);
        switch (in.byte() % 14) {
        case 0:
            protocol.beginBinaryWrite();
            break;
        case 1:
            protocol.beginBinaryRead();
            break;
        case 2:
            protocol.sendLoadHeader(in.word(), in.word());
            break;
        case 3:
            protocol.sendBinaryBlocks(in.bytes(size_t(in.byte()) * 40));
            break;
        case 4:
            protocol.endBinary();
            break;
        case 5: {
            const quint32 address = in.word();
            memoryAsked = in.byte() * 3u;
            memoryGot = 0;
            protocol.sendReadRequest(address, quint32(memoryAsked), now);
            break;
        }
        case 6:
            protocol.awaitPrompt();
            break;
        case 7:
            protocol.sendText(in.bytes(in.byte()));
            break;
        case 8: {
            const bool had = protocol.hasOutput();
            if (protocol.nextOutput().isEmpty() == had) std::abort();
            break;
        }
        case 9:
            protocol.outputDrained(now);
            break;
        case 10:
            check(protocol.receive(in.bytes(in.byte() % 32), now), true);
            break;
        case 11:
            check(protocol.poll(now), true);
            break;
        case 12:
            protocol.abandon();
            break;
        default:
            protocol.setStartRegister(in.bytes(in.byte() % 4), in.word());
            break;
        }
    }
    return 0;
}
