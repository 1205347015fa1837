// The thread-driven timer through the real main-thread hand-over: ticks are run by the calls
// that the worker queues, which these tests run by serving the queue as a message loop does.
// Times are checked only from below (a tick may come late on a loaded machine, never early).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "ThreadedTimer.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Serves the queued main-thread calls for ms milliseconds, or until condition holds.
bool ServeUntil(const std::function<bool()>& condition, long ms) {
    const Clock::time_point start = Clock::now();
    while (!condition()) {
        if (MsSince(start) > ms) return false;
        CheckSynchronize();
        Sleep(1);
    }
    return true;
}

void ServeFor(long ms) { ServeUntil([] { return false; }, ms); }

// Records when each tick came, counted from Start.
struct TTicks {
    Clock::time_point Start = Clock::now();
    std::vector<long> At;
    std::function<void(TThreadedTimer*)> Also;

    TNotifyEvent Handler() {
        return [this](TObject* sender) {
            At.push_back(MsSince(Start));
            if (Also) Also(static_cast<TThreadedTimer*>(sender));
        };
    }
    void Restart() {
        Start = Clock::now();
        At.clear();
    }
    std::size_t Count() const { return At.size(); }
};

std::unique_ptr<TThreadedTimer> MakeTimer(DWORD interval, TTicks& ticks) {
    auto timer = std::make_unique<TThreadedTimer>(nullptr);
    timer->SetInterval(interval);
    timer->OnTimer = ticks.Handler();
    return timer;
}

// A few milliseconds of slack for the tick counter's rounding.
constexpr long Slack = 3;

TEST(ThreadedTimer, StartsDisabledWithItsDefaultsAndIsCreatedByClassName) {
    std::unique_ptr<TComponent> owner = std::make_unique<TComponent>(nullptr);
    TComponent* created = CreateComponentByClassName("TThreadedTimer", owner.get());
    auto* timer = dynamic_cast<TThreadedTimer*>(created);
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->Enabled());
    EXPECT_FALSE(timer->AllowZero);
    EXPECT_EQ(timer->Interval(), 1000u);
    EXPECT_EQ(timer->ThreadPriority(), tpNormal);
    timer->SetThreadPriority(tpLower);
    EXPECT_EQ(timer->ThreadPriority(), tpLower);
}

TEST(ThreadedTimer, TicksOneIntervalAfterEnablingAndThenOncePerInterval) {
    TTicks ticks;
    auto timer = MakeTimer(100, ticks);
    ticks.Restart();
    timer->SetEnabled(true);
    ASSERT_TRUE(ServeUntil([&] { return ticks.Count() >= 4; }, 10000));
    EXPECT_GE(ticks.At[0], 100 - Slack);
    for (std::size_t i = 1; i < ticks.Count(); ++i) EXPECT_GE(ticks.At[i] - ticks.At[i - 1], 100 - Slack) << i;
}

TEST(ThreadedTimer, AHandlerThatDisablesGetsOneTickPerEnabling) {
    TTicks ticks;
    ticks.Also = [](TThreadedTimer* timer) { timer->SetEnabled(false); };
    auto timer = MakeTimer(40, ticks);
    for (int enabling = 1; enabling <= 3; ++enabling) {
        SCOPED_TRACE(enabling);
        ticks.Restart();
        timer->SetEnabled(true);
        ASSERT_TRUE(ServeUntil([&] { return ticks.Count() >= 1; }, 10000));
        ServeFor(150);
        EXPECT_EQ(ticks.Count(), 1u);
        EXPECT_GE(ticks.At[0], 40 - Slack);
        EXPECT_FALSE(timer->Enabled());
    }
}

TEST(ThreadedTimer, AnIntervalChangeRestartsTheWaitWithTheNewInterval) {
    TTicks ticks;
    // An old wait that no test run outlasts: a tick can only come from the new one.
    auto timer = MakeTimer(600000, ticks);
    timer->SetEnabled(true);
    // More than the new interval since the enabling: counted from there, it would tick at once.
    ServeFor(700);
    ASSERT_EQ(ticks.Count(), 0u);
    ticks.Restart();
    timer->SetInterval(500);
    EXPECT_EQ(timer->Interval(), 500u);
    EXPECT_TRUE(timer->Enabled());
    ASSERT_TRUE(ServeUntil([&] { return ticks.Count() >= 1; }, 10000)) << "the change kept the old wait";
    EXPECT_GE(ticks.At[0], 500 - Slack);
}

TEST(ThreadedTimer, ZeroIntervalTicksOnlyWithAllowZero) {
    TTicks ticks;
    auto timer = MakeTimer(0, ticks);
    timer->SetEnabled(true);
    EXPECT_TRUE(timer->Enabled());
    ServeFor(200);
    EXPECT_EQ(ticks.Count(), 0u) << "interval 0 without AllowZero never ticks";
    // AllowZero alone changes nothing until Enabled or Interval changes.
    timer->AllowZero = true;
    ServeFor(100);
    EXPECT_EQ(ticks.Count(), 0u);
    ticks.Restart();
    timer->SetInterval(50);
    ASSERT_TRUE(ServeUntil([&] { return ticks.Count() >= 2; }, 10000));
    EXPECT_GE(ticks.At[0], 50 - Slack);

    timer->SetEnabled(false);
    timer->SetInterval(0);
    ServeFor(100);
    ticks.Restart();
    timer->SetEnabled(true);
    EXPECT_TRUE(ServeUntil([&] { return ticks.Count() >= 50; }, 10000))
        << "with AllowZero the ticks follow each other as fast as they are handled";
}

TEST(ThreadedTimer, TheWaitForeverIntervalNeverTicks) {
    TTicks ticks;
    auto timer = MakeTimer(INFINITE, ticks);
    timer->SetEnabled(true);
    ServeFor(200);
    EXPECT_EQ(ticks.Count(), 0u);
}

TEST(ThreadedTimer, EveryEnablingOfADisableEnableSeriesResumesTicking) {
    TTicks ticks;
    auto timer = MakeTimer(30, ticks);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        timer->SetEnabled(true);
        timer->SetEnabled(false);
        timer->SetEnabled(false);
        timer->SetEnabled(true);
        const std::size_t before = ticks.Count();
        ASSERT_TRUE(ServeUntil([&] { return ticks.Count() >= before + 2; }, 10000));
        timer->SetEnabled(false);
        ServeFor(60);
        const std::size_t stopped = ticks.Count();
        ServeFor(100);
        EXPECT_EQ(ticks.Count(), stopped) << "a disabled timer ticks";
    }
}

// The worker's tick is queued while the main thread is busy; a disable-enable pair in between
// begins a new enabling, whose first tick is due one interval later.
TEST(ThreadedTimer, ATickQueuedBeforeADisableEnablePairIsDropped) {
    TTicks ticks;
    auto timer = MakeTimer(100, ticks);
    timer->SetEnabled(true);
    Sleep(250);
    ticks.Restart();
    timer->SetEnabled(false);
    timer->SetEnabled(true);
    // The earlier enabling's tick would be served at once, the new one's not before its interval.
    ASSERT_TRUE(ServeUntil([&] { return ticks.Count() >= 1; }, 10000));
    EXPECT_GE(ticks.At[0], 100 - Slack) << "the earlier enabling's tick reached OnTimer";
}

TEST(ThreadedTimer, DestroyingEndsTheWorkerInEveryStateAndRunsNoTickOnceBegun) {
    struct TCase {
        const char* Name;
        std::function<void(TThreadedTimer&)> Prepare;
    };
    const std::vector<TCase> cases = {
        {"never enabled", [](TThreadedTimer&) {}},
        {"enabled", [](TThreadedTimer& t) { t.SetEnabled(true); }},
        {"enabled, interval 0 without AllowZero", [](TThreadedTimer& t) { t.SetInterval(0); t.SetEnabled(true); }},
        {"disabled after ticking", [](TThreadedTimer& t) {
             t.SetEnabled(true);
             Sleep(60);
             CheckSynchronize();
             t.SetEnabled(false);
         }},
        // The worker has handed a tick over and waits for the main thread, which destroys.
        {"enabled, a tick on its way", [](TThreadedTimer& t) {
             t.SetEnabled(true);
             Sleep(80);
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTicks ticks;
        auto timer = MakeTimer(20, ticks);
        c.Prepare(*timer);
        const std::size_t before = ticks.Count();
        timer.reset();
        EXPECT_EQ(ticks.Count(), before) << "a tick reached OnTimer while the timer was being destroyed";
    }
}

TEST(ThreadedTimer, AnExceptionFromTheHandlerEndsTheTicks) {
    TTicks ticks;
    ticks.Also = [](TThreadedTimer*) { throw Exception("handler failed"); };
    auto timer = MakeTimer(20, ticks);
    timer->SetEnabled(true);
    ASSERT_TRUE(ServeUntil([&] { return ticks.Count() >= 1; }, 10000));
    ServeFor(150);
    EXPECT_EQ(ticks.Count(), 1u);
    EXPECT_TRUE(timer->Enabled());
    timer.reset();
}

}  // namespace
