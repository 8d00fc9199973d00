// Scheduling on Linux: sources on the default GLib main context, which the application
// runs on the main thread.
//
// Implements: main-queue work posted from any thread (one queue and one source of the
// scheduler's own, made ready when work is queued; the work runs in the order posted and one
// item after another, and what is still queued when the scheduler goes is dropped), one-shot
// delays and repeating timers (timeout sources with millisecond precision, never early),
// idempotent invalidation, and a blocking pause.
// A timer's source owns the timer and its action until it is invalidated or, for a
// one-shot timer, has fired: releasing the handle leaves it running.
#pragma once

#include <mutex>
#include <vector>

#include "platform/linux/glib_owners.h"
#include "platform/scheduling.h"

namespace ShadeLedgerZizadezavav {

class LinuxScheduler : public Scheduler {
public:
    LinuxScheduler();
    ~LinuxScheduler() override;
    LinuxScheduler(const LinuxScheduler&) = delete;
    LinuxScheduler& operator=(const LinuxScheduler&) = delete;

    void async(std::function<void()> work) override;
    void asyncAfter(Milliseconds delay, std::function<void()> work) override;
    std::shared_ptr<Timer> scheduledTimer(
        Milliseconds interval, bool repeats, std::function<void(Timer&)> action) override;
    void sleepFor(Milliseconds duration) override;

private:
    static gboolean dispatchQueued(GSource* source, GSourceFunc, gpointer);
    void runQueued();

    std::mutex queueMutex_;
    std::vector<std::function<void()>> queued_;
    // What one dispatch runs; kept, with its capacity, for the next.
    std::vector<std::function<void()>> running_;
    GSourcePtr queueSource_;
};

} // namespace ShadeLedgerZizadezavav
