// Child processes on macOS: posix_spawn of each child's keeper (bridge-keeper, see
// platform/posix/keeper_protocol.h), which starts the child; a thread per child that waits
// for the keeper's end; NSProcessInfo.
//
// NSTask cannot give the contract: it has no hook to put the child in a group of its own,
// and nothing of it outlives the agent. So:
// - launch: the keeper, beside the agent's executable in Contents/MacOS, is spawned with the
//   child's working directory (posix_spawn_file_actions_addchdir_np), complete environment
//   or the agent's, standard output and error onto MacOSFileHandle's descriptor, standard
//   input inherited, its end of the agent's socket at descriptor 3 and no other descriptor
//   (POSIX_SPAWN_CLOEXEC_DEFAULT), signals at their defaults and unblocked. It starts the
//   executable (a relative path taken from the agent's working directory; argv[0] is the
//   path) with the arguments, leading a process group of its own, and says whether that
//   worked; launch returns false when the keeper cannot be spawned or the program cannot
//   be run. A program built for a processor this Mac cannot run (EBADARCH: an Intel-only
//   node on Apple silicon without Rosetta 2) is said once on standard error, with the fix;
//   the bridge's log says the same;
// - "the process" is the child's group, and the descendants that left it while their
//   parents still run: it has exited once the child has and nothing is left in its group.
//   The keeper asks, waits and kills (platform/posix/stop_policy.h), and outlives the
//   agent; should it be killed, its guard stops the group;
// - terminate (SIGTERM), forceTerminate (SIGKILL until nothing is left) and terminate with a
//   grace are requests to the keeper;
// - isRunning, waitUntilExit and the exit notifications on the main queue follow the end of
//   the keeper's guard, then of the keeper: a thread per child waits for both, and reaps the
//   guard, whether or not anyone waits or keeps the handle;
// - processIdentifier and environment: NSProcessInfo processInfo; pkill (BSD's) spares its
//   ancestors unasked.
//
// Not done, as macOS has no subreaper: a process that has left the group and whose parent
// has ended (a daemon's double fork with setsid) escapes. It is neither waited for nor
// signalled, and outlives the agent.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace ShadeLedgerZizadezavav {

struct ChildRecord;

class MacOSProcess : public Process {
public:
    MacOSProcess(ProcessConfiguration configuration, std::string keeper);

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
    std::string keeper_;
    bool launchAttempted_ = false;
    // Set once the child has started; shared with the thread that waits for its end.
    std::shared_ptr<ChildRecord> child_;
};

class MacOSChildProcesses : public ChildProcesses {
public:
    MacOSChildProcesses();

    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
    std::vector<std::string> pkillOptionsSparingAncestors() override;

private:
    std::string keeper_;
};

} // namespace ShadeLedgerZizadezavav
