#pragma once
// Looking for a lost device until it is back, for every port implementation:
// one attempt each interval (a second unless a test shortens it). A failed
// attempt is quiet, since the loss has been said once; the first one that
// succeeds ends the loop and raises restored().
//
// An attempt may end at once (a device path that opens or not) or later (a
// network connection being made): a later one is reported with
// attemptFinished(), and the ticks that come while it is under way try
// nothing. stop() ends the loop; an outcome reported after it counts for
// nothing.
#include <QObject>

#include <functional>
#include <memory>

namespace kestrel {

// The repeating tick the loop runs on; tests drive it by hand.
class RetryTimer {
public:
    virtual ~RetryTimer() = default;
    virtual void start(int msecs) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    // Called on every tick.
    std::function<void()> onTick;
};

// A QTimer.
std::unique_ptr<RetryTimer> makeRetryTimer();

class ReconnectLoop : public QObject {
    Q_OBJECT
public:
    enum class Attempt { Succeeded, Failed, Pending };

    explicit ReconnectLoop(std::function<Attempt()> attempt,
                           std::unique_ptr<RetryTimer> timer = makeRetryTimer(),
                           QObject* parent = nullptr);
    ~ReconnectLoop() override;

    void start();
    void stop();
    bool isActive() const { return timer_->isActive(); }
    void setInterval(int msecs) { intervalMs_ = msecs; }
    int interval() const { return intervalMs_; }

    // The outcome of an attempt that returned Pending.
    void attemptFinished(bool succeeded);
    bool attemptPending() const { return pending_; }

signals:
    void restored();

private:
    void tick();
    void succeed();

    std::function<Attempt()> attempt_;
    std::unique_ptr<RetryTimer> timer_;
    int intervalMs_ = 1000;
    bool pending_ = false;
};

} // namespace kestrel
