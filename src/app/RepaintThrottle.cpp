#include "RepaintThrottle.h"

#include <QScopedValueRollback>

#include <algorithm>
#include <chrono>

namespace kestrel {

RepaintThrottle::Clock RepaintThrottle::steadyClock() {
    return [] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    };
}

RepaintThrottle::RepaintThrottle(std::function<bool()> transferBusy, std::function<void()> repaint,
                                 Clock clock)
    : transferBusy_(std::move(transferBusy)), repaint_(std::move(repaint)),
      clock_(std::move(clock)) {
    held_.setSingleShot(true);
    held_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&held_, &QTimer::timeout, [this] { holdExpired(); });
}

qint64 RepaintThrottle::delayMs() {
    const qint64 now = clock_();
    qint64 delay = lastRepaint_ ? RepaintIntervalMs - (now - *lastRepaint_) : 0;
    if (transferBusy_() && !waitingPump_) {
        if (!heldSince_) {
            heldSince_ = now;
            waitedSinceHold_ = false;
        }
        delay = std::max(delay, RepaintHoldMs - (now - *heldSince_));
    }
    return std::max<qint64>(delay, 0);
}

bool RepaintThrottle::mayRepaint() {
    if (const qint64 delay = delayMs(); delay > 0) {
        if (!held_.isActive()) held_.start(int(delay));
        return false;
    }
    held_.stop();
    heldSince_.reset();
    lastRepaint_ = clock_();
    return true;
}

void RepaintThrottle::pumpBeforeWait(const std::function<void()>& pump) {
    const QScopedValueRollback waiting(waitingPump_, true);
    waitedSinceHold_ = true;
    pump();
    // A held repaint has no request waiting in the queue; it is asked for
    // again here, after the messages, so it shows the latest state.
    if (held_.isActive()) repaint_();
}

void RepaintThrottle::holdExpired() {
    // A transfer that has waited for the monitor since the repaint was held
    // is back from the line with a frame to send; its next wait comes right
    // after that frame and paints there. Anything else (a long drain, a
    // sleep, a message box) gets its repaint now.
    if (transferBusy_() && waitedSinceHold_) {
        waitedSinceHold_ = false;
        heldSince_ = clock_();
        held_.start(int(RepaintHoldMs));
        return;
    }
    repaint_();
}

std::optional<qint64> RepaintThrottle::heldForMs() const {
    if (!held_.isActive()) return std::nullopt;
    return held_.interval();
}

} // namespace kestrel
