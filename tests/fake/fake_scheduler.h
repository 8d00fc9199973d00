// Scheduling on a virtual clock: timers and delayed tasks fire, in order, only when a test
// advances time; main-queue work runs when the test drains the queue.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/scheduling.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeScheduler final : public Scheduler {
public:
    explicit FakeScheduler(CallRecord& record)
        : record_(record)
    {
    }

    void async(std::function<void()> work) override;
    void asyncAfter(Milliseconds delay, std::function<void()> work) override;
    std::shared_ptr<Timer> scheduledTimer(
        Milliseconds interval, bool repeats, std::function<void(Timer&)> action) override;
    void sleepFor(Milliseconds duration) override;

    // Runs main-queue work until none is left.
    void drain();
    // Moves the virtual clock forward, firing due timers and tasks in order and
    // draining the main queue after each.
    void advance(Milliseconds duration);
    // The process has ended: nothing runs any more.
    void halt() { halted_ = true; }
    std::size_t activeTimers() const;

private:
    struct Scheduled;
    class FakeTimer;

    CallRecord& record_;
    std::mutex mutex_;
    std::deque<std::function<void()>> mainQueue_;
    std::vector<std::shared_ptr<Scheduled>> scheduled_;
    Milliseconds now_{0};
    std::uint64_t sequence_ = 0;
    bool halted_ = false;
};

} // namespace ShadeLedgerZizadezavav
