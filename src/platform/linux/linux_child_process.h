// Child processes on Linux, with GSubprocess.
//
// Implements: executable (argv[0] is its path; no PATH search), arguments, working
// directory, a complete environment or the inherited one, standard output and error to
// LinuxFileHandle descriptors (one shared handle puts both streams in one file, in the
// order written), standard input inherited. Reaping is GLib's: GSubprocess watches its
// child from GLib's worker thread, so a child is reaped whether or not anyone waits, the
// handle is kept, or the main loop runs. terminate goes through g_subprocess_send_signal,
// which does nothing once the child has been reaped, so no signal reaches a reused PID.
#pragma once

#include "platform/child_process.h"
#include "platform/linux/glib_owners.h"

namespace ShadeLedgerZizadezavav {

class LinuxProcess : public Process {
public:
    explicit LinuxProcess(ProcessConfiguration configuration);

    const ProcessConfiguration& configuration() const override { return configuration_; }
    bool launch() override;
    void waitUntilExit() override;
    void terminate() override;

private:
    ProcessConfiguration configuration_;
    bool launchAttempted_ = false;
    GObjectPtr<GSubprocess> subprocess_;
};

class LinuxChildProcesses : public ChildProcesses {
public:
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
};

} // namespace ShadeLedgerZizadezavav
