#pragma once
// When the window may repaint. A transfer changes the progress bar and the
// status fields several times a frame, with a pump after each change;
// painting every one of them would put several repaints between the
// monitor's answer and the next frame. Nobody sees changes faster than the
// screen shows them, so the window repaints at most once a repaint interval,
// and during a transfer preferably while the conversation waits for the
// monitor. A repaint that is held is brought back by a timer or by that wait.
#include <QTimer>

#include <functional>
#include <optional>

namespace kestrel {

// The shortest time between two repaints of the window: about a screen
// refresh, so no change stays unseen longer than one refresh.
inline constexpr qint64 RepaintIntervalMs = 16;
// While a transfer or auto file runs, a repaint waits at most this long for
// the conversation's next wait for the monitor, where it costs no line time.
inline constexpr qint64 RepaintHoldMs = 50;

class RepaintThrottle {
public:
    // Milliseconds on a clock that never goes back.
    using Clock = std::function<qint64()>;
    static Clock steadyClock();

    // transferBusy: whether a transfer or auto file runs now. repaint: asks
    // the window for the held repaint again (an update request sent at once).
    RepaintThrottle(std::function<bool()> transferBusy, std::function<void()> repaint,
                    Clock clock = steadyClock());
    RepaintThrottle(const RepaintThrottle&) = delete;
    RepaintThrottle& operator=(const RepaintThrottle&) = delete;

    // An update request has come. True: the window paints now. False: the
    // repaint is held and comes back later; Qt keeps the dirty region and asks
    // again only after a repaint, so nothing is lost by holding it.
    bool mayRepaint();

    // Runs pump as the conversation's last pump before it waits for the
    // monitor: a repaint asked for during it, or held before it, happens now.
    void pumpBeforeWait(const std::function<void()>& pump);

    // The held repaint's time is up (the timer calls this).
    void holdExpired();

    // How long the held repaint's timer was set for; nothing while none is held.
    std::optional<qint64> heldForMs() const;

private:
    // How long a repaint asked for now is held; 0 when it may happen now.
    qint64 delayMs();

    std::function<bool()> transferBusy_;
    std::function<void()> repaint_;
    Clock clock_;
    std::optional<qint64> lastRepaint_;
    std::optional<qint64> heldSince_;
    QTimer held_;
    bool waitingPump_ = false;
    bool waitedSinceHold_ = false;
};

} // namespace kestrel
