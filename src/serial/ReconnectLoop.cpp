#include "ReconnectLoop.h"

#include <QTimer>

namespace kestrel {

namespace {
class QtRetryTimer : public RetryTimer {
public:
    QtRetryTimer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (onTick) onTick();
        });
    }
    void start(int msecs) override { timer_.start(msecs); }
    void stop() override { timer_.stop(); }
    bool isActive() const override { return timer_.isActive(); }

private:
    QTimer timer_;
};
} // namespace

std::unique_ptr<RetryTimer> makeRetryTimer() {
    return std::make_unique<QtRetryTimer>();
}

ReconnectLoop::ReconnectLoop(std::function<Attempt()> attempt, std::unique_ptr<RetryTimer> timer,
                             QObject* parent)
    : QObject(parent), attempt_(std::move(attempt)), timer_(std::move(timer)) {
    timer_->onTick = [this] { tick(); };
}

ReconnectLoop::~ReconnectLoop() = default;

void ReconnectLoop::start() {
    pending_ = false;
    timer_->start(intervalMs_);
}

void ReconnectLoop::stop() {
    timer_->stop();
    pending_ = false;
}

void ReconnectLoop::tick() {
    if (pending_) return;
    switch (attempt_()) {
    case Attempt::Succeeded:
        succeed();
        break;
    case Attempt::Pending:
        pending_ = true;
        break;
    case Attempt::Failed:
        break;
    }
}

void ReconnectLoop::attemptFinished(bool succeeded) {
    if (!pending_) return;
    pending_ = false;
    if (succeeded) succeed();
}

void ReconnectLoop::succeed() {
    timer_->stop();
    emit restored();
}

} // namespace kestrel
