#pragma once
// The state a command holds while it owns the line: receive events off so the
// receive path cannot take the monitor's answers away, transferBusy so no
// second transfer or auto file starts, and the display suppressed. Released
// (busy and display first, then receive events on) when the hold ends.
namespace kestrel {

class MonitorLink;

class TransferHold {
public:
    explicit TransferHold(MonitorLink& link);
    ~TransferHold();
    TransferHold(TransferHold&& other) noexcept;
    TransferHold& operator=(TransferHold&&) = delete;
    TransferHold(const TransferHold&) = delete;
    TransferHold& operator=(const TransferHold&) = delete;

private:
    MonitorLink* link_;
};

} // namespace kestrel
