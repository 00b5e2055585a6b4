#pragma once
// Flow control on the serial line. The numbers are the ones the Port Settings
// dialog's buttons and the command line's --flow names stand for, in order.
#include <optional>

namespace kestrel {

enum class FlowControl { None = 0, XonXoff = 1, RtsCts = 2, RtsCtsXonXoff = 3 };

// The flow control a number stands for; nullopt for a number that stands for none.
constexpr std::optional<FlowControl> flowControlFromNumber(int number) {
    if (number < static_cast<int>(FlowControl::None) ||
        number > static_cast<int>(FlowControl::RtsCtsXonXoff))
        return std::nullopt;
    return static_cast<FlowControl>(number);
}

constexpr int flowControlNumber(FlowControl flow) {
    return static_cast<int>(flow);
}

} // namespace kestrel
