// Child processes on macOS: NSTask and NSProcessInfo.
//
// Implements: executable (setExecutableURL:, a relative path taken from the agent's
// working directory), arguments (setArguments:), working directory
// (setCurrentDirectoryURL:), a complete environment (setEnvironment:) or the inherited
// one, standard output and error to MacOSFileHandle's NSFileHandle, standard input
// inherited; launchAndReturnError:. Foundation reaps the child whether or not anyone
// waits or keeps the handle.
// NSTask raises NSInvalidArgumentException on terminate for a task never launched, and
// waitUntilExit has nothing to wait for then: both are called only after a successful
// launch, which gives the contract (nothing happens to a process that never started).
// terminate on a task that has exited has no effect, as documented.
// processIdentifier and environment: NSProcessInfo processInfo.
#pragma once

#import <Foundation/Foundation.h>

#include "platform/child_process.h"

namespace ShadeLedgerZizadezavav {

class MacOSProcess : public Process {
public:
    explicit MacOSProcess(ProcessConfiguration configuration);

    const ProcessConfiguration& configuration() const override { return configuration_; }
    bool launch() override;
    void waitUntilExit() override;
    void terminate() override;

private:
    ProcessConfiguration configuration_;
    bool launchAttempted_ = false;
    // Set only once the task has launched.
    NSTask* task_ = nil;
};

class MacOSChildProcesses : public ChildProcesses {
public:
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
};

} // namespace ShadeLedgerZizadezavav
