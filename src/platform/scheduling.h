// Scheduling: the main queue, one-shot delays, repeating timers and a blocking pause.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace ShadeLedgerZizadezavav {

using Milliseconds = std::chrono::milliseconds;

class Timer {
public:
    virtual ~Timer() = default;
    // The timer never fires again. Invalidating twice has no effect.
    // Releasing the handle does not invalidate the timer.
    virtual void invalidate() = 0;
};

class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Runs work later on the main thread; callable from any thread. Work posted
    // from one thread runs in the order posted.
    virtual void async(std::function<void()> work) = 0;
    // Runs work once on the main thread, no earlier than delay from now.
    virtual void asyncAfter(Milliseconds delay, std::function<void()> work) = 0;
    // A timer on the main loop, first firing after interval, then every interval
    // while it repeats. The action runs on the main thread. On macOS it does not fire
    // while a menu is open or a modal alert runs (the run loop's default mode).
    virtual std::shared_ptr<Timer> scheduledTimer(
        Milliseconds interval, bool repeats, std::function<void(Timer&)> action)
        = 0;
    // Blocks the main thread for that long; nothing else runs meanwhile.
    virtual void sleepFor(Milliseconds duration) = 0;
};

} // namespace ShadeLedgerZizadezavav
