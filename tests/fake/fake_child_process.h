// Child processes on the fake platform: processes that launch or fail to, exit by
// themselves or when asked (or refuse to), hang, and tell their handlers on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake/fake_scheduler.h"
#include "platform/child_process.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeProcess final : public Process {
public:
    FakeProcess(CallRecord& record, FakeScheduler& scheduler, ProcessConfiguration configuration,
        bool launchSucceeds, bool hangs, int id)
        : record_(record)
        , scheduler_(scheduler)
        , configuration_(std::move(configuration))
        , launchSucceeds_(launchSucceeds)
        , hangs_(hangs)
        , id_(id)
    {
    }
    const ProcessConfiguration& configuration() const override { return configuration_; }
    bool launch() override;
    bool waitUntilExit(Milliseconds timeout) override;
    void terminate() override;
    void terminate(Milliseconds grace) override;
    void forceTerminate() override;
    bool isRunning() override { return running_; }
    void notifyOnExit(std::function<void()> handler) override;

    bool running() const { return running_; }
    bool launched() const { return launched_; }
    int terminateRequests() const { return terminateRequests_; }
    // The grace after which the last terminate request forces the end, from outside the
    // agent, which may have ended by then.
    std::optional<Milliseconds> forcedAfter() const { return forcedAfter_; }
    // The process exits by itself (a crash, the end of a tool).
    void exit();
    // From now on a terminate request is ignored; only forceTerminate ends it.
    bool ignoresTerminate = false;

private:
    CallRecord& record_;
    FakeScheduler& scheduler_;
    ProcessConfiguration configuration_;
    bool launchSucceeds_;
    bool hangs_;
    int id_;
    bool launched_ = false;
    bool running_ = false;
    int terminateRequests_ = 0;
    std::optional<Milliseconds> forcedAfter_;
    std::vector<std::function<void()>> exitHandlers_;
};

class FakeProcesses final : public ChildProcesses {
public:
    FakeProcesses(CallRecord& record, FakeScheduler& scheduler)
        : record_(record)
        , scheduler_(scheduler)
    {
    }
    std::shared_ptr<Process> makeProcess(ProcessConfiguration configuration) override;
    std::int32_t processIdentifier() override { return pid; }
    Environment environment() override { return agentEnvironment; }
    std::vector<std::string> pkillOptionsSparingAncestors() override { return pkillSparing; }

    std::int32_t pid = 4242;
    Environment agentEnvironment{{"HOME", "/home/user"}, {"PATH", "/usr/bin:/bin"}};
    std::vector<std::string> pkillSparing{"--spare-ancestors"};
    // Executables whose launch fails (not executable, missing).
    std::vector<std::string> failingExecutables;
    // Executables that never end by themselves (a tool that hangs).
    std::vector<std::string> hangingExecutables;
    // Every process made, in order.
    std::vector<std::shared_ptr<FakeProcess>> made;
    // Processes of an executable, in order.
    std::vector<std::shared_ptr<FakeProcess>> of(const std::string& executable) const;
    // Running processes of an executable.
    std::size_t runningCount(const std::string& executable) const;

private:
    CallRecord& record_;
    FakeScheduler& scheduler_;
};

} // namespace ShadeLedgerZizadezavav
