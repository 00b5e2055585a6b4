#include "TransferHold.h"

#include "MonitorLink.h"
#include "SerialPort.h"

namespace kestrel {

TransferHold::TransferHold(MonitorLink& link) : link_(&link) {
    link.port().setRThreshold(0);
    link.transferBusy = true;
    link.displaySuppressed = true;
}

TransferHold::TransferHold(TransferHold&& other) noexcept : link_(other.link_) {
    other.link_ = nullptr;
}

TransferHold::~TransferHold() {
    if (!link_) return;
    link_->transferBusy = false;
    link_->displaySuppressed = false;
    // Events back on, not the threshold found at the start: the window's
    // normal state is 1 whatever an interrupted conversation left behind.
    link_->port().setRThreshold(1);
}

} // namespace kestrel
