// Child processes on macOS: posix_spawn from a watcher process per child
// (macos_process_watcher.h), a thread per child that waits for the watcher's word, and
// NSProcessInfo.
//
// NSTask cannot give the contract: it has no hook to put the child in a group of its own or
// to limit what it writes, and nothing of it outlives the agent. So:
// - launch: the executable (a relative path taken from the agent's working directory;
//   argv[0] is the path) with the arguments, the working directory
//   (posix_spawn_file_actions_addchdir_np), the complete environment or the agent's, standard
//   output and error onto MacOSFileHandle's descriptor, standard input inherited and no other
//   descriptor (POSIX_SPAWN_CLOEXEC_DEFAULT), signals at their defaults and unblocked, and a
//   process group of its own whose id is the child's (POSIX_SPAWN_SETPGROUP). The watcher
//   spawns it, so launch returns false when the watcher cannot be forked or the program
//   cannot be run;
// - "the process" is the child's group: the process has exited once the child has and
//   nothing is left in its group. When the child exits, what is left of the group is asked to
//   exit and killed 2 s later; when the agent ends, however it ends, the group is asked to
//   exit at once and killed 2 s later. The watcher does both, as it outlives the agent;
// - fileSizeLimit: RLIMIT_FSIZE with SIGXFSZ ignored, set in the watcher just before the
//   spawn, so the child and all it starts inherit them and the agent keeps its own;
// - terminate (SIGTERM), forceTerminate (SIGKILL until nothing is left) and terminate with a
//   grace (both, the kill after the grace even when the agent has ended by then) are
//   requests to the watcher, which signals the group only while the child is not yet reaped
//   or right after the group was seen to exist, so no signal reaches a reused id;
// - isRunning, waitUntilExit (with or without a time-out) and the exit notifications on the
//   main queue follow the watcher's word that the group is gone (or the watcher's own end):
//   a thread per child waits for it, whether or not anyone waits or keeps the handle;
// - processIdentifier and environment: NSProcessInfo processInfo.
//
// Not done, as macOS has no subreaper: a descendant that leaves the group (setsid, setpgid)
// escapes. It is neither waited for nor signalled, and outlives the agent. And should the
// watcher itself be killed, the handle takes that as the exit: the group runs on unwatched.
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
    ProcessConfiguration configuration_;
    bool launchAttempted_ = false;
    // Set once the child has started; shared with the thread that waits for its end.
    std::shared_ptr<ChildRecord> child_;
};

class MacOSChildProcesses : public ChildProcesses {
public:
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
    std::vector<std::string> pkillOptionsSparingAncestors() override;
};

} // namespace ShadeLedgerZizadezavav
