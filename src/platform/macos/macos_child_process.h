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
// forceTerminate: SIGKILL to the task's process identifier while it runs; isRunning:
// NSTask running; the exit notification: terminationHandler, handed to the main queue;
// waitUntilExit with a time-out: running asked every 10 ms until it ends or time is up.
// processIdentifier and environment: NSProcessInfo processInfo.
// Not implemented: NSTask gives no hook between fork and exec, so the bridge does not get
// a process group of its own (terminate reaches the bridge, not the helpers it starts),
// and a bridge is not told when its agent is killed. terminate with a grace kills a task
// still running when the grace ends only while the agent runs: an agent that ends first
// leaves it.
#pragma once

#import <Foundation/Foundation.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/child_process.h"

namespace ShadeLedgerZizadezavav {

class MacOSProcess : public Process {
public:
    explicit MacOSProcess(ProcessConfiguration configuration);

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
    ProcessConfiguration configuration_;
    bool launchAttempted_ = false;
    // Set only once the task has launched.
    NSTask* task_ = nil;
    // Handlers still waiting for the exit; shared with the termination handler.
    std::shared_ptr<std::vector<std::function<void()>>> exitHandlers_
        = std::make_shared<std::vector<std::function<void()>>>();
};

class MacOSChildProcesses : public ChildProcesses {
public:
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override;
    Environment environment() override;
};

} // namespace ShadeLedgerZizadezavav
