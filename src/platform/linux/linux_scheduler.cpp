#include "platform/linux/linux_scheduler.h"

#include "platform/linux/glib_owners.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace ShadeLedgerZizadezavav {

using Work = std::function<void()>;

static gboolean runWorkOnce(gpointer data)
{
    (*static_cast<Work*>(data))();
    return G_SOURCE_REMOVE;
}

static void releaseWork(gpointer data)
{
    std::unique_ptr<Work> owned(static_cast<Work*>(data));
}

static guint clampedMilliseconds(Milliseconds duration)
{
    return static_cast<guint>(
        std::clamp<Milliseconds::rep>(duration.count(), 0, std::numeric_limits<guint>::max()));
}

// Attaching to a context is thread-safe and wakes it; sources of one priority are
// dispatched in the order they were attached.
static void attachWork(GSourceRef source, Work work)
{
    auto owned = std::make_unique<Work>(std::move(work));
    g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
    g_source_set_callback(source.get(), runWorkOnce, owned.release(), releaseWork);
    g_source_attach(source.get(), nullptr);
}

namespace {

struct QueueSource {
    GSource source;
    LinuxScheduler* scheduler;
};

} // namespace

// The probe's result comes every few seconds for the agent's whole life: queueing it costs a
// lock and a wake-up, never a source made and destroyed. The work always runs later, and
// only on the main thread, even when posted from there.
LinuxScheduler::LinuxScheduler()
{
    // Ready only by its ready time: no prepare or check of its own.
    static GSourceFuncs funcs = {nullptr, nullptr, dispatchQueued, nullptr, nullptr, nullptr};
    queueSource_.reset(g_source_new(&funcs, sizeof(QueueSource)));
    reinterpret_cast<QueueSource*>(queueSource_.get())->scheduler = this;
    g_source_set_priority(queueSource_.get(), G_PRIORITY_DEFAULT);
    g_source_attach(queueSource_.get(), nullptr);
}

LinuxScheduler::~LinuxScheduler() = default;

gboolean LinuxScheduler::dispatchQueued(GSource* source, GSourceFunc, gpointer)
{
    reinterpret_cast<QueueSource*>(source)->scheduler->runQueued();
    return G_SOURCE_CONTINUE;
}

void LinuxScheduler::runQueued()
{
    // Not ready again until more work comes: reset before the queue is taken, so that work
    // queued from here on makes it ready once more.
    g_source_set_ready_time(queueSource_.get(), -1);
    {
        std::lock_guard lock(queueMutex_);
        running_.swap(queued_);
    }
    for (auto& work : running_) {
        work();
    }
    running_.clear();
}

void LinuxScheduler::async(std::function<void()> work)
{
    {
        std::lock_guard lock(queueMutex_);
        queued_.push_back(std::move(work));
    }
    // Takes the context's lock and wakes it: callable from any thread.
    g_source_set_ready_time(queueSource_.get(), 0);
}

void LinuxScheduler::asyncAfter(Milliseconds delay, std::function<void()> work)
{
    attachWork(GSourceRef(g_timeout_source_new(clampedMilliseconds(delay))), std::move(work));
}

// The handle and its source keep each other alive until the timer is invalidated (or a
// one-shot timer has fired): the source's callback data holds the timer, the timer holds
// a reference to the source.
class LinuxTimer final : public Timer, public std::enable_shared_from_this<LinuxTimer> {
public:
    LinuxTimer(bool repeats, std::function<void(Timer&)> action)
        : repeats_(repeats)
        , action_(std::move(action))
    {
    }
    void start(Milliseconds interval)
    {
        source_.reset(g_timeout_source_new(clampedMilliseconds(interval)));
        g_source_set_priority(source_.get(), G_PRIORITY_DEFAULT);
        auto self = std::make_unique<std::shared_ptr<LinuxTimer>>(shared_from_this());
        g_source_set_callback(source_.get(), fired, self.release(), releaseSelf);
        g_source_attach(source_.get(), nullptr);
    }

    void invalidate() override
    {
        if (source_ && !g_source_is_destroyed(source_.get())) {
            // Drops the source's hold on this timer; GLib keeps the callback data alive
            // while the action that invalidates is still running.
            g_source_destroy(source_.get());
        }
    }

private:
    static gboolean fired(gpointer data)
    {
        auto timer = *static_cast<std::shared_ptr<LinuxTimer>*>(data);
        timer->action_(*timer);
        if (!timer->repeats_) {
            return G_SOURCE_REMOVE;
        }
        // The action may have invalidated the timer.
        return g_source_is_destroyed(timer->source_.get()) ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
    }
    static void releaseSelf(gpointer data)
    {
        std::unique_ptr<std::shared_ptr<LinuxTimer>> owned(
            static_cast<std::shared_ptr<LinuxTimer>*>(data));
    }

    bool repeats_;
    std::function<void(Timer&)> action_;
    // Our reference; the source is already destroyed when the last handle goes, since
    // until then its callback data holds the timer.
    GSourceRef source_;
};

std::shared_ptr<Timer> LinuxScheduler::scheduledTimer(
    Milliseconds interval, bool repeats, std::function<void(Timer&)> action)
{
    auto timer = std::make_shared<LinuxTimer>(repeats, std::move(action));
    timer->start(interval);
    return timer;
}

void LinuxScheduler::sleepFor(Milliseconds duration)
{
    if (duration.count() > 0) {
        g_usleep(static_cast<gulong>(duration.count()) * 1000);
    }
}

} // namespace ShadeLedgerZizadezavav
