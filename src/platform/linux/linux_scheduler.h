// Scheduling on Linux: sources on the default GLib main context, which the application
// runs on the main thread.
//
// Implements: main-queue work posted from any thread (idle sources, run in the order
// posted), one-shot delays and repeating timers (timeout sources with millisecond
// precision, never early), idempotent invalidation, and a blocking pause.
// A timer's source owns the timer and its action until it is invalidated or, for a
// one-shot timer, has fired: releasing the handle leaves it running.
#pragma once

#include "platform/scheduling.h"

namespace ShadeLedgerZizadezavav {

class LinuxScheduler : public Scheduler {
public:
    void async(std::function<void()> work) override;
    void asyncAfter(Milliseconds delay, std::function<void()> work) override;
    std::shared_ptr<Timer> scheduledTimer(
        Milliseconds interval, bool repeats, std::function<void(Timer&)> action) override;
    void sleepFor(Milliseconds duration) override;
};

} // namespace ShadeLedgerZizadezavav
