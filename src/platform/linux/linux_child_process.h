// Child processes on Linux, with GSubprocess and a keeper (linux_process_keeper.h).
//
// Implements: executable (argv[0] is its path; no PATH search), arguments, working
// directory, a complete environment or the inherited one, standard output and error to
// LinuxFileHandle descriptors (one shared handle puts both streams in one file, in the
// order written), standard input inherited, a file-size limit. The process GSubprocess
// starts is the child's keeper: it forks the child (which leads a process group of its
// own and goes on to the exec) and stays behind as the subreaper of everything the child
// starts. Requests go to the keeper over a socket; the agent never signals a process by its
// id, so no request reaches a reused one. The keeper exits once the whole tree is gone,
// which is what GSubprocess sees: a handle runs until the child and all it started have
// ended. Reaping is GLib's: GSubprocess watches the keeper from GLib's worker thread, so it
// is reaped whether or not anyone waits, the handle is kept, or the main loop runs. Waits
// with a time-out run on a private context; exit notifications arrive on the main context.
#pragma once

#include "platform/child_process.h"
#include "platform/linux/glib_owners.h"

namespace ShadeLedgerZizadezavav {

class LinuxProcess : public Process {
public:
    explicit LinuxProcess(ProcessConfiguration configuration);

    const ProcessConfiguration& configuration() const override { return configuration_; }
    bool launch() override;
    bool waitUntilExit(Milliseconds timeout) override;
    void terminate() override;
    void terminate(Milliseconds grace) override;
    void forceTerminate() override;
    bool isRunning() override;
    void notifyOnExit(std::function<void()> handler) override;

private:
    void request(std::uint32_t kind, std::uint32_t graceMilliseconds = 0);

    ProcessConfiguration configuration_;
    bool launchAttempted_ = false;
    GObjectPtr<GSubprocess> subprocess_;
    // The agent's end of the keeper's request socket.
    FileDescriptor keeper_;
};

class LinuxChildProcesses : public ChildProcesses {
public:
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
    std::vector<std::string> pkillOptionsSparingAncestors() override;
};

} // namespace ShadeLedgerZizadezavav
