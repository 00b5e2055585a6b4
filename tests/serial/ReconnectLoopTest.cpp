// The loop that looks for a lost device, on a timer the test ticks by hand:
// attempts at the interval, quiet failures, one restored() for the first
// success, no overlapping attempts, and nothing after stop().
#include "ReconnectLoop.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <deque>

namespace kestrel {
namespace {

class ManualTimer : public RetryTimer {
public:
    void start(int msecs) override {
        active = true;
        interval = msecs;
    }
    void stop() override { active = false; }
    bool isActive() const override { return active; }
    // One tick, as the running timer would deliver it.
    void fire() {
        if (active) onTick();
    }

    bool active = false;
    int interval = -1;
};

using Attempt = ReconnectLoop::Attempt;

// A loop whose attempts answer from a script; each tick that tries counts.
struct ScriptedLoop {
    explicit ScriptedLoop(std::deque<Attempt> answers) : answers(std::move(answers)) {
        auto owned = std::make_unique<ManualTimer>();
        timer = owned.get();
        loop = std::make_unique<ReconnectLoop>(
            [this] {
                ++attempts;
                const Attempt next =
                    this->answers.empty() ? Attempt::Failed : this->answers.front();
                if (!this->answers.empty()) this->answers.pop_front();
                return next;
            },
            std::move(owned));
    }

    std::deque<Attempt> answers;
    int attempts = 0;
    ManualTimer* timer = nullptr;
    std::unique_ptr<ReconnectLoop> loop;
};

TEST(ReconnectLoop, TriesEachTickQuietlyUntilOneSucceedsThenStops) {
    ScriptedLoop s({Attempt::Failed, Attempt::Failed, Attempt::Succeeded});
    QSignalSpy restored(s.loop.get(), &ReconnectLoop::restored);
    s.loop->start();
    EXPECT_EQ(s.timer->interval, 1000);
    EXPECT_EQ(s.attempts, 0) << "the first attempt waits for the first tick";

    s.timer->fire();
    s.timer->fire();
    EXPECT_EQ(s.attempts, 2);
    EXPECT_EQ(restored.count(), 0);
    EXPECT_TRUE(s.loop->isActive());

    s.timer->fire();
    EXPECT_EQ(restored.count(), 1);
    EXPECT_FALSE(s.loop->isActive());
    s.timer->fire();
    EXPECT_EQ(s.attempts, 3);
}

TEST(ReconnectLoop, AttemptUnderWaySkipsTicksAndItsOutcomeDecides) {
    struct Case {
        const char* name;
        bool succeeded;
        int restoredCount;
        bool activeAfter;
    } cases[] = {
        {"success restores", true, 1, false},
        {"failure keeps looking", false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLoop s({Attempt::Pending, Attempt::Pending});
        QSignalSpy restored(s.loop.get(), &ReconnectLoop::restored);
        s.loop->setInterval(50);
        s.loop->start();
        EXPECT_EQ(s.timer->interval, 50);
        s.timer->fire();
        EXPECT_TRUE(s.loop->attemptPending());
        s.timer->fire();
        s.timer->fire();
        EXPECT_EQ(s.attempts, 1);

        s.loop->attemptFinished(c.succeeded);
        EXPECT_FALSE(s.loop->attemptPending());
        EXPECT_EQ(restored.count(), c.restoredCount);
        EXPECT_EQ(s.loop->isActive(), c.activeAfter);
        s.timer->fire();
        EXPECT_EQ(s.attempts, c.activeAfter ? 2 : 1);
    }
}

TEST(ReconnectLoop, OutcomeAfterStopCountsForNothing) {
    ScriptedLoop s({Attempt::Pending, Attempt::Failed});
    QSignalSpy restored(s.loop.get(), &ReconnectLoop::restored);
    s.loop->start();
    s.timer->fire();
    s.loop->stop();
    s.loop->attemptFinished(true);
    EXPECT_EQ(restored.count(), 0);
    EXPECT_FALSE(s.loop->isActive());

    // Started again, it tries afresh instead of waiting for the old attempt.
    s.loop->start();
    s.timer->fire();
    EXPECT_EQ(s.attempts, 2);
    EXPECT_FALSE(s.loop->attemptPending());
}

} // namespace
} // namespace kestrel
