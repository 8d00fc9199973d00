#include "fake/fake_child_process.h"

#include <algorithm>
#include <utility>

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

namespace {
std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words) {
        text += " " + word;
    }
    return text;
}
} // namespace

bool FakeProcess::launch()
{
    record_.add("process.launch " + configuration_.executable + joined(configuration_.arguments));
    if (launched_) {
        return false;
    }
    launched_ = launchSucceeds_;
    running_ = launchSucceeds_;
    return launchSucceeds_;
}

bool FakeProcess::waitUntilExit(Milliseconds timeout)
{
    record_.add(
        "process.wait " + configuration_.executable + " " + std::to_string(timeout.count()));
    // Tools run to completion at once on the virtual clock, unless they hang.
    if (hangs_ && running_) {
        return false;
    }
    exit();
    return true;
}

void FakeProcess::terminate()
{
    record_.add("process.terminate " + configuration_.executable + " #" + std::to_string(id_));
    ++terminateRequests_;
    if (!ignoresTerminate && !hangs_) {
        exit();
    }
}

void FakeProcess::terminate(Milliseconds grace)
{
    terminate();
    forcedAfter_ = grace;
}

void FakeProcess::forceTerminate()
{
    record_.add("process.forceTerminate " + configuration_.executable + " #" + std::to_string(id_));
    exit();
}

void FakeProcess::exit()
{
    running_ = false;
    for (auto& handler : std::exchange(exitHandlers_, {})) {
        scheduler_.async(std::move(handler));
    }
}

void FakeProcess::notifyOnExit(std::function<void()> handler)
{
    exitHandlers_.push_back(std::move(handler));
    if (!running_) {
        exit();
    }
}

std::shared_ptr<Process> FakeProcesses::makeProcess(ProcessConfiguration configuration)
{
    bool fails
        = std::find(failingExecutables.begin(), failingExecutables.end(), configuration.executable)
        != failingExecutables.end();
    bool hangs
        = std::find(hangingExecutables.begin(), hangingExecutables.end(), configuration.executable)
        != hangingExecutables.end();
    auto process = std::make_shared<FakeProcess>(record_, scheduler_, std::move(configuration),
        !fails, hangs, static_cast<int>(made.size()));
    made.push_back(process);
    return process;
}

std::vector<std::shared_ptr<FakeProcess>> FakeProcesses::of(const std::string& executable) const
{
    std::vector<std::shared_ptr<FakeProcess>> found;
    for (const auto& process : made) {
        if (process->configuration().executable == executable) {
            found.push_back(process);
        }
    }
    return found;
}

std::size_t FakeProcesses::runningCount(const std::string& executable) const
{
    auto all = of(executable);
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [](const auto& p) { return p->running(); }));
}

} // namespace ShadeLedgerZizadezavav
