#include "platform/linux/gio_worker_pool.h"

#include <algorithm>

namespace ShadeLedgerZizadezavav {

bool sendQueuedMessages(GDBusConnection* connection, std::chrono::milliseconds limit)
{
    if (!connection) {
        return true;
    }
    // Not g_dbus_connection_flush_sync: its flush waits for a thread of the pool. A synchronous
    // call runs on a context of its own and needs none.
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_sync(connection, "org.freedesktop.DBus",
        "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
        G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(limit.count()), nullptr, errorOut(error)));
    debugError("sending what is queued on the bus", error);
    return reply != nullptr;
}

WorkerPoolNudge::WorkerPoolNudge()
    : cancellable_(g_cancellable_new())
{
    giveTask();
    lookAgainLater();
}

WorkerPoolNudge::~WorkerPoolNudge()
{
    g_cancellable_cancel(cancellable_.get());
}

void WorkerPoolNudge::giveTask()
{
    GObjectPtr<GTask> task(g_task_new(
        nullptr, cancellable_.get(),
        [](GObject*, GAsyncResult* result, gpointer data) {
            // Cancelled: the nudge is gone.
            if (!g_task_had_error(G_TASK(result))) {
                auto* self = static_cast<WorkerPoolNudge*>(data);
                self->ran_ = true;
                self->lookAgain_.reset();
            }
        },
        this));
    // Checked when the task completes, not when it starts: a nudge that has gone never hears of it.
    g_task_set_check_cancellable(task.get(), TRUE);
    g_task_run_in_thread(task.get(),
        [](GTask* ran, gpointer, gpointer, GCancellable*) { g_task_return_boolean(ran, TRUE); });
}

void WorkerPoolNudge::lookAgainLater()
{
    lookAgain_ = SourceId(g_timeout_add(
        static_cast<guint>(delay_.count()),
        [](gpointer data) {
            auto* self = static_cast<WorkerPoolNudge*>(data);
            self->lookAgain_.release();
            // A thread that can start and end now means the pool could start one too: only then
            // is it given another task, so that tasks do not pile up in its queue meanwhile.
            GThread* probe = g_thread_try_new(
                "sl-probe", [](gpointer) -> gpointer { return nullptr; }, nullptr, nullptr);
            if (probe) {
                g_thread_join(probe);
                self->giveTask();
            }
            self->delay_
                = std::min<std::chrono::milliseconds>(self->delay_ * 2, std::chrono::seconds(5));
            self->lookAgainLater();
            return gboolean(G_SOURCE_REMOVE);
        },
        this));
}

} // namespace ShadeLedgerZizadezavav
