// Child processes on macOS: posix_spawn, a reaping thread per child, a watcher process per
// child's group, and NSProcessInfo.
//
// NSTask cannot give the contract: it has no hook to put the child in a group of its own,
// and nothing of it outlives the agent. So:
// - launch: posix_spawn of the executable (a relative path taken from the agent's working
//   directory; argv[0] is the path), with the arguments, the working directory
//   (posix_spawn_file_actions_addchdir_np), the complete environment or the agent's,
//   standard output and error onto MacOSFileHandle's descriptor, standard input inherited
//   and no other descriptor (POSIX_SPAWN_CLOEXEC_DEFAULT), signals at their defaults and
//   unblocked, and a process group of its own whose id is the child's
//   (POSIX_SPAWN_SETPGROUP). posix_spawn reports a program that cannot be run, so launch
//   returns false then. Then a ProcessGroupWatcher is started for the group: the child is
//   asked to exit when the agent ends, however it ends;
// - a thread per child waits for its exit (waitid with WNOWAIT, so the identifier stays
//   the child's until the exit is recorded, then waitpid reaps it): every child is reaped,
//   whether or not anyone waits or keeps the handle; the exit is then told to the
//   watcher, to waitUntilExit, and to the exit notifications on the main queue;
// - terminate: SIGTERM to the group, forceTerminate: SIGKILL to the group, only while the
//   child's exit has not been recorded, so no signal reaches a reused identifier;
//   terminate with a grace also hands the kill after the grace to the watcher, which
//   does it even when the agent has ended by then;
// - waitUntilExit, with or without a time-out: a condition variable the thread signals;
// - processIdentifier and environment: NSProcessInfo processInfo.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/child_process.h"

namespace ShadeLedgerZizadezavav {

struct ChildRecord;

class MacOSProcess : public Process {
public:
    explicit MacOSProcess(ProcessConfiguration configuration);

    const ProcessConfiguration& configuration() const override { return configuration_; }
    bool launch() override;
    bool waitUntilExit(Milliseconds timeout) override;
    void terminate() override;
    void terminate(Milliseconds grace) override;
    void forceTerminate() override;
    bool isRunning() override;
    void notifyOnExit(std::function<void()> handler) override;

private:
    void signalGroup(int signal);

    ProcessConfiguration configuration_;
    bool launchAttempted_ = false;
    // Set once the child has started; shared with the thread that reaps it.
    std::shared_ptr<ChildRecord> child_;
};

class MacOSChildProcesses : public ChildProcesses {
public:
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
};

} // namespace ShadeLedgerZizadezavav
