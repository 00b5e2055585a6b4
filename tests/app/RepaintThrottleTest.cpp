// The repaint throttle on a clock the test turns: how long a repaint is held
// outside and during a transfer, and what brings a held one back.
#include "RepaintThrottle.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace kestrel::test {
namespace {

// A window in miniature: its update requests go through the throttle, and a
// request the throttle lets through counts as a paint.
class RepaintThrottleTest : public ::testing::Test {
protected:
    // An update request, as Qt or the throttle itself sends one.
    void request() {
        if (throttle->mayRepaint()) ++paints;
    }

    // A window that has just opened: nothing painted, no transfer.
    void reopen() {
        busy = false;
        paints = 0;
        throttle = std::make_unique<RepaintThrottle>([this] { return busy; }, [this] { request(); },
                                                     [this] { return now; });
    }

    qint64 now = 5'000;
    bool busy = false;
    int paints = 0;
    std::unique_ptr<RepaintThrottle> throttle;
    void SetUp() override { reopen(); }
};

TEST_F(RepaintThrottleTest, OutsideATransferRepaintsComeAtMostOnceAnInterval) {
    struct Case {
        const char* name;
        qint64 sinceLastPaint;
        std::optional<qint64> held; // nothing: painted at once
    };
    const Case cases[] = {
        {"at once", 0, RepaintIntervalMs},
        {"half way", RepaintIntervalMs / 2, RepaintIntervalMs - RepaintIntervalMs / 2},
        {"one before", RepaintIntervalMs - 1, 1},
        {"interval over", RepaintIntervalMs, std::nullopt},
        {"long after", 10 * RepaintIntervalMs, std::nullopt},
    };
    for (const Case& c : cases) {
        reopen();
        request();
        EXPECT_EQ(paints, 1) << c.name << ": the first repaint waits for nothing";
        now += c.sinceLastPaint;
        request();
        EXPECT_EQ(paints, c.held ? 1 : 2) << c.name;
        EXPECT_EQ(throttle->heldForMs(), c.held) << c.name;
    }
}

TEST_F(RepaintThrottleTest, DuringATransferARepaintWaitsForTheMonitorWaitOrTheHoldTime) {
    request();
    ASSERT_EQ(paints, 1);
    busy = true;
    now += 10 * RepaintIntervalMs;

    // Between the monitor's answer and the next frame nothing is painted,
    // though the interval is long over.
    request();
    EXPECT_EQ(paints, 1);
    EXPECT_EQ(throttle->heldForMs(), RepaintHoldMs);
    now += RepaintHoldMs - 1;
    request();
    EXPECT_EQ(paints, 1);

    // The conversation's wait for the monitor brings it back at once.
    throttle->pumpBeforeWait([] {});
    EXPECT_EQ(paints, 2);
    EXPECT_EQ(throttle->heldForMs(), std::nullopt);

    // A request made by the pump itself is painted there too.
    now += RepaintIntervalMs;
    throttle->pumpBeforeWait([this] { request(); });
    EXPECT_EQ(paints, 3);

    // Without a wait the hold time runs out and the repaint comes.
    now += RepaintIntervalMs;
    request();
    EXPECT_EQ(paints, 3);
    now += RepaintHoldMs;
    request();
    EXPECT_EQ(paints, 4);
}

TEST_F(RepaintThrottleTest, TheShortestIntervalHoldsInsideTheMonitorWaitToo) {
    busy = true;
    throttle->pumpBeforeWait([this] { request(); });
    ASSERT_EQ(paints, 1);
    now += 5;
    throttle->pumpBeforeWait([this] { request(); });
    EXPECT_EQ(paints, 1);
    EXPECT_EQ(throttle->heldForMs(), RepaintIntervalMs - 5);
}

// The held repaint's timer running out: a transfer that waited for the
// monitor since the hold began gets another hold (its next wait is near);
// anything else is painted now.
TEST_F(RepaintThrottleTest, WhenTheHoldRunsOut) {
    struct Case {
        const char* name;
        bool waitedSinceHold;
        bool busyAtExpiry;
        bool paintedNow;
    };
    const Case cases[] = {
        {"transfer that waited for the monitor", true, true, false},
        {"transfer busy elsewhere", false, true, true},
        {"transfer ended after a wait", true, false, true},
        {"transfer ended", false, false, true},
    };
    for (const Case& c : cases) {
        reopen();
        request();
        busy = true;
        now += 1;
        request();
        ASSERT_EQ(throttle->heldForMs(), RepaintHoldMs) << c.name;
        // A wait so soon after the last paint keeps the repaint held.
        if (c.waitedSinceHold) throttle->pumpBeforeWait([] {});
        ASSERT_EQ(paints, 1) << c.name;

        now += RepaintHoldMs;
        busy = c.busyAtExpiry;
        throttle->holdExpired();
        EXPECT_EQ(paints, c.paintedNow ? 2 : 1) << c.name;
        EXPECT_EQ(throttle->heldForMs(),
                  c.paintedNow ? std::nullopt : std::optional<qint64>(RepaintHoldMs))
            << c.name;
    }
}

} // namespace
} // namespace kestrel::test
