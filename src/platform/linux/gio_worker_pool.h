// GIO does some of its work on a pool of worker threads: an asynchronous look-up of the session
// bus (what libdbusmenu-glib's server does to export the menu), the flush of a bus connection.
// Short of processes (RLIMIT_NPROC), the pool cannot start a thread; the work then waits until
// the pool is given something more, however long processes have been available again, and
// whoever waits for it synchronously waits for ever.
//
// Implements: sending what is queued on a connection without a worker thread, within a limit;
// a nudge that gets the pool going once a thread can be started.
#pragma once

#include <chrono>

#include "platform/linux/glib_owners.h"

namespace ShadeLedgerZizadezavav {

// Gets every message queued on the connection onto the bus: waits, at most limit, for the bus to
// answer a call made after them (messages go out in order). False when it did not answer in time.
bool sendQueuedMessages(GDBusConnection* connection, std::chrono::milliseconds limit);

// From its creation until a task of its own has run on GIO's pool: looks, backing off from
// 0.1 s to 5 s, whether a thread can be started, and when one can, gives the pool a task, which
// lets it start a thread for everything that waits. Runs on the main context.
class WorkerPoolNudge {
public:
    WorkerPoolNudge();
    ~WorkerPoolNudge();
    WorkerPoolNudge(const WorkerPoolNudge&) = delete;
    WorkerPoolNudge& operator=(const WorkerPoolNudge&) = delete;

    // A task of ours has run: the pool had a thread.
    bool poolRan() const { return ran_; }

private:
    void giveTask();
    void lookAgainLater();

    GObjectPtr<GCancellable> cancellable_;
    SourceId lookAgain_;
    std::chrono::milliseconds delay_{100};
    bool ran_ = false;
};

} // namespace ShadeLedgerZizadezavav
