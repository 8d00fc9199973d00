// Child processes on Linux: GSubprocess starts each child's keeper (bridge-keeper, see
// platform/posix/keeper_protocol.h), which starts the child.
//
// Implements: executable (argv[0] is its path; no PATH search), arguments, working
// directory, a complete environment or the inherited one, standard output and error to
// LinuxFileHandle descriptors (one shared handle puts both streams in one file, in the
// order written), standard input inherited, and with an output bound a log the keeper
// writes. The keeper is the subreaper of everything the child starts; requests go to it
// over a socket, and the agent never signals a process by its id, so no request reaches a
// reused one. A handle runs until the keeper's guard has been reaped and the keeper's end of
// the socket has closed: the child and all it started have ended, even when the keeper was
// killed before them. Reaping is GLib's: GSubprocess watches the guard from GLib's worker
// thread, so it is reaped whether or not anyone waits, the handle is kept, or the main
// loop runs. Waits with a time-out run on a private context; exit notifications arrive on
// the main context. Releasing a running handle closes the agent's end of the socket, which
// the keeper takes as the agent's end.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/child_process.h"
#include "platform/linux/glib_owners.h"
#include "platform/posix/keeper_protocol.h"

namespace ShadeLedgerZizadezavav {

class LinuxProcess : public Process {
public:
    LinuxProcess(ProcessConfiguration configuration, std::string keeper);

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
    // The keeper's guard.
    GObjectPtr<GSubprocess> subprocess_;
    // The agent's end of the keeper's socket; shared with pending exit notifications.
    std::shared_ptr<KeeperLink> link_;
};

class LinuxChildProcesses : public ChildProcesses {
public:
    // keeper: the keeper's executable; by default the one beside the running executable.
    explicit LinuxChildProcesses(std::optional<std::string> keeper = std::nullopt);

    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
    std::vector<std::string> pkillOptionsSparingAncestors() override;

private:
    std::string keeper_;
};

} // namespace ShadeLedgerZizadezavav
