// Child processes on Linux, with GSubprocess.
//
// Implements: executable (argv[0] is its path; no PATH search), arguments, working
// directory, a complete environment or the inherited one, standard output and error to
// LinuxFileHandle descriptors (one shared handle puts both streams in one file, in the
// order written), standard input inherited. Each child leads a process group of its own,
// and is sent SIGTERM by the kernel when the agent ends (PR_SET_PDEATHSIG; children are
// spawned from the main thread, whose end is the agent's). Reaping is GLib's: GSubprocess
// watches its child from GLib's worker thread, so a child is reaped whether or not anyone
// waits, the handle is kept, or the main loop runs. terminate (SIGTERM) and
// forceTerminate (SIGKILL) go to the child's group only while GLib has not reaped the
// child, so no signal reaches a reused PID or group. terminate with a grace hands the
// group to a small process forked from the agent (and orphaned at once, so the agent never
// reaps it), which outlives the agent and kills what is left of the group when the grace
// ends; it holds none of the agent's descriptors, so the bus name and the streams go with
// the agent. Waits with a time-out run on a private context; exit notifications arrive on
// the main context.
#pragma once

#include "platform/child_process.h"
#include "platform/linux/glib_owners.h"

#include <sys/types.h>

namespace ShadeLedgerZizadezavav {

class LinuxProcess : public Process {
public:
    explicit LinuxProcess(ProcessConfiguration configuration);

    const ProcessConfiguration& configuration() const override { return configuration_; }
    bool launch() override;
    void waitUntilExit() override;
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
    GObjectPtr<GSubprocess> subprocess_;
    pid_t processIdentifier_ = 0;
    bool groupHandedOver_ = false;
};

class LinuxChildProcesses : public ChildProcesses {
public:
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
};

} // namespace ShadeLedgerZizadezavav
