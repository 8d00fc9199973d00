// A small process that outlives the agent and looks after one child's process group.
//
// macOS has no parent-death signal, and work scheduled inside the agent ends with it. So
// each child gets a watcher: a process forked from the agent (and orphaned at once, so
// that launchd reaps it), in a session of its own so that a closing terminal does not end
// it, holding only the reading end of a pipe whose writing end only the agent holds (the
// lifeline). The watcher learns of the agent's end, however it ends, from the pipe's
// end-of-file, and then asks the group to exit (SIGTERM). After killAfter it kills what is
// left of the group once the grace is over (SIGKILL), whether or not the agent still runs.
// After release, the child having been reaped, it leaves without a signal (unless a grace
// is running). The watcher makes only async-signal-safe calls: the agent has threads.
//
// Plain POSIX, so that it runs on any system.
#pragma once

#include <chrono>
#include <sys/types.h>

namespace ShadeLedgerZizadezavav {

class ProcessGroupWatcher {
public:
    ProcessGroupWatcher() = default;
    ProcessGroupWatcher(const ProcessGroupWatcher&) = delete;
    ProcessGroupWatcher& operator=(const ProcessGroupWatcher&) = delete;
    // Closing the lifeline without a word is what the agent's end looks like.
    ~ProcessGroupWatcher();

    // Starts watching the group; false when no watcher could be started.
    bool start(pid_t group);
    // The group has been asked to exit: what is left of it after grace is killed.
    void killAfter(std::chrono::milliseconds grace);
    // The child has exited: nothing more to look after.
    void release();
    bool watching() const { return lifeline_ >= 0; }

private:
    void send(long long message);

    int lifeline_ = -1;
};

} // namespace ShadeLedgerZizadezavav
