// Main-queue work, delays and timers on the GLib main context.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/linux/linux_scheduler.h"
#include "support/main_context.h"

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Something that surely comes after the timer under test has had its chances to fire.
static void waitPast(LinuxScheduler& scheduler, Milliseconds delay)
{
    bool passed = false;
    scheduler.asyncAfter(delay, [&] { passed = true; });
    ASSERT_TRUE(runMainContextUntil([&] { return passed; })) << "a delayed task never ran";
}

TEST(MainQueue, WorkPostedFromAnotherThreadRunsOnTheMainThreadInOrder)
{
    LinuxScheduler scheduler;
    const auto mainThread = std::this_thread::get_id();
    constexpr int count = 200;
    std::vector<int> order;
    std::atomic<int> offMainThread{0};

    std::thread poster([&] {
        for (int i = 0; i < count; ++i) {
            scheduler.async([&, i] {
                if (std::this_thread::get_id() != mainThread) {
                    ++offMainThread;
                }
                order.push_back(i);
            });
        }
    });
    poster.join();

    ASSERT_TRUE(runMainContextUntil([&] { return order.size() == count; }))
        << "only " << order.size() << " of " << count << " probe results reached the main thread";
    EXPECT_EQ(offMainThread, 0) << "main-queue work ran off the main thread";
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(order[i], i) << "main-queue work ran out of the order it was posted";
    }
}

TEST(MainQueue, WorkPostedOnTheMainThreadRunsLaterNotInline)
{
    LinuxScheduler scheduler;
    bool ran = false;
    scheduler.async([&] { ran = true; });
    EXPECT_FALSE(ran) << "async work ran inside the call that posted it";
    ASSERT_TRUE(runMainContextUntil([&] { return ran; })) << "async work never ran";
}

TEST(Delays, DelayedWorkNeverRunsBeforeItsDelay)
{
    LinuxScheduler scheduler;
    const auto delay = 150ms;
    const auto posted = Clock::now();
    std::optional<Clock::time_point> ranAt;
    scheduler.asyncAfter(delay, [&] { ranAt = Clock::now(); });

    ASSERT_TRUE(runMainContextUntil([&] { return ranAt.has_value(); }))
        << "the delayed relaunch never happened";
    EXPECT_GE(*ranAt - posted, delay) << "delayed work ran before its delay";
}

TEST(Delays, ShorterDelaysRunFirst)
{
    LinuxScheduler scheduler;
    std::vector<int> order;
    scheduler.asyncAfter(200ms, [&] { order.push_back(200); });
    scheduler.asyncAfter(20ms, [&] { order.push_back(20); });

    ASSERT_TRUE(runMainContextUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<int>{20, 200}));
}

TEST(Timers, RepeatingTimerFiresUntilInvalidatedFromItsAction)
{
    LinuxScheduler scheduler;
    int fired = 0;
    auto timer = scheduler.scheduledTimer(20ms, true, [&](Timer& self) {
        if (++fired == 3) {
            self.invalidate();
            self.invalidate();
        }
    });

    ASSERT_TRUE(runMainContextUntil([&] { return fired >= 3; }))
        << "the health timer fired " << fired << " times instead of repeating";
    waitPast(scheduler, 200ms);
    EXPECT_EQ(fired, 3) << "the health timer kept firing after it was invalidated";
    timer->invalidate(); // once more, from outside: no effect
}

TEST(Timers, InvalidatedTimerNeverFires)
{
    LinuxScheduler scheduler;
    int fired = 0;
    auto timer = scheduler.scheduledTimer(30ms, true, [&](Timer&) { ++fired; });
    timer->invalidate();
    timer->invalidate();

    waitPast(scheduler, 150ms);
    EXPECT_EQ(fired, 0) << "a timer invalidated before its first tick still fired";
}

TEST(Timers, TimerKeepsFiringAfterItsHandleIsReleased)
{
    LinuxScheduler scheduler;
    int fired = 0;
    scheduler.scheduledTimer(20ms, true, [&](Timer& self) {
        if (++fired == 4) {
            self.invalidate();
        }
    });

    ASSERT_TRUE(runMainContextUntil([&] { return fired >= 4; }))
        << "releasing the timer's handle stopped it after " << fired << " ticks";
    waitPast(scheduler, 150ms);
    EXPECT_EQ(fired, 4) << "invalidating through the action's timer did not stop it";
}

TEST(Timers, OneShotTimerFiresOnceNoEarlierThanItsInterval)
{
    LinuxScheduler scheduler;
    const auto started = Clock::now();
    std::vector<Clock::time_point> firings;
    auto timer
        = scheduler.scheduledTimer(60ms, false, [&](Timer&) { firings.push_back(Clock::now()); });

    ASSERT_TRUE(runMainContextUntil([&] { return !firings.empty(); }));
    EXPECT_GE(firings.front() - started, 60ms) << "the timer fired before its interval";
    waitPast(scheduler, 200ms);
    EXPECT_EQ(firings.size(), 1u) << "a non-repeating timer fired again";
    timer->invalidate(); // after it has fired: no effect
}

TEST(Timers, RepeatingTimerKeepsItsInterval)
{
    LinuxScheduler scheduler;
    std::vector<Clock::time_point> firings;
    const auto started = Clock::now();
    auto timer = scheduler.scheduledTimer(40ms, true, [&](Timer& self) {
        firings.push_back(Clock::now());
        if (firings.size() == 3) {
            self.invalidate();
        }
    });

    ASSERT_TRUE(runMainContextUntil([&] { return firings.size() == 3; }));
    EXPECT_GE(firings[2] - started, 120ms) << "three ticks came faster than the interval allows";
}

TEST(Sleeping, SleepBlocksTheMainThreadAndNothingRunsMeanwhile)
{
    LinuxScheduler scheduler;
    bool ran = false;
    scheduler.async([&] { ran = true; });
    const auto started = Clock::now();
    scheduler.sleepFor(120ms);
    EXPECT_GE(Clock::now() - started, 120ms) << "the pause after quit requests was cut short";
    EXPECT_FALSE(ran) << "main-queue work ran during the pause";
    ASSERT_TRUE(runMainContextUntil([&] { return ran; }));
}
