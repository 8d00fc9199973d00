// Bridge supervision: launch, log file, restart and stop.
#include <cstdint>

#include "agent/app_delegate.h"

namespace ShadeLedgerZizadezavav {

namespace {
constexpr Milliseconds relaunchDelay{750};
// The bridge stops within half a second when asked; one still running after this is
// killed with everything it started, even after the agent has gone.
constexpr Milliseconds bridgeStopGrace{2000};
// A bridge writing without pause must neither grow its log without end nor fill the disk:
// the log is emptied at this size (and before the disk runs short), the newest output going
// on into it, as supervisors bound their logs. Nothing else the bridge writes is bounded.
constexpr std::uint64_t logSizeBound = std::uint64_t{50} * 1024 * 1024;
} // namespace

// Also makes sure the log directory exists, since both callers write there next: the
// launch creates the log, View Log creates it when missing.
std::string AppDelegate::bridgeLogURL()
{
    std::string directory
        = appendingPathComponent(platform.files.homeDirectoryForCurrentUser(), ".shadeledger");
    // A failure (a plain file in the way) shows later, when the log cannot be created.
    platform.files.createDirectoryAtPath(directory, true);
    return appendingPathComponent(directory, "bridge.log");
}

void AppDelegate::startServer()
{
    std::optional<std::string> resources = platform.bundle.resourcePath();
    if (!resources) {
        return;
    }
    std::string executable = appendingPathComponent(*resources, "node");
    std::string script = appendingPathComponent(*resources, "server.mjs");
    if (!platform.files.fileExistsAtPath(executable) || !platform.files.fileExistsAtPath(script)) {
        return;
    }

    ProcessConfiguration configuration;
    configuration.executable = executable;
    configuration.arguments = {script};
    configuration.currentDirectory = *resources;
    Environment environment = platform.processes.environment();
    environment["NODE_ENV"] = "production";
    configuration.environment = std::move(environment);

    std::string log = bridgeLogURL(); // creates the log directory when missing
    // Every launch starts a fresh log holding only this run's output.
    platform.files.createFileAtPath(log);
    if (auto handle = platform.files.fileHandleForWritingAtPath(log)) {
        configuration.standardOutput = handle;
        configuration.standardError = handle;
        // Only then: output on the agent's own streams may go to a file the agent does not own.
        configuration.outputBound = logSizeBound;
    }

    auto process = platform.processes.makeProcess(std::move(configuration));
    process->launch();
    serverProcess = std::move(process);
}

void AppDelegate::viewLog()
{
    std::string log = bridgeLogURL(); // creates the log directory when missing
    if (!platform.files.fileExistsAtPath(log)) {
        platform.files.createFileAtPath(log);
    }
    platform.workspace.openURL(URL::fileURLWithPath(log));
}

void AppDelegate::restartBridge()
{
    if (serverProcess) {
        serverProcess->terminate();
        stoppingBridges.push_back(std::move(serverProcess));
    }
    isConnected = false;
    rebuildMenu();

    std::uint64_t generation = ++relaunchGeneration;
    platform.scheduler.asyncAfter(relaunchDelay, [weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) {
            self->relaunchBridge(generation);
        }
    });
}

// A new bridge never starts beside an old one: a bridge that Restart Bridge stopped
// and that is still running when the relaunch is due is killed, with everything it
// started, and the launch follows its exit. The main thread never waits for it.
void AppDelegate::relaunchBridge(std::uint64_t generation)
{
    if (relaunchGeneration != generation) {
        return;
    }
    std::erase_if(stoppingBridges, [](const auto& bridge) { return !bridge->isRunning(); });
    if (stoppingBridges.empty()) {
        startServer();
        return;
    }
    for (const auto& bridge : stoppingBridges) {
        bridge->forceTerminate();
    }
    stoppingBridges.front()->notifyOnExit([weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) {
            self->relaunchBridge(generation);
        }
    });
}

// The bridge's part of stopping the agent (stopWork): requests only, nothing waits.
void AppDelegate::stopBridge()
{
    if (serverProcess) {
        serverProcess->terminate(bridgeStopGrace);
    }
    // Bridges that Restart Bridge asked to stop have had their request; one still
    // running would be left behind by the agent that tracks it.
    for (const auto& bridge : stoppingBridges) {
        bridge->forceTerminate();
    }
    // A relaunch still pending from Restart Bridge must not start a bridge
    // nobody would stop.
    ++relaunchGeneration;
}

} // namespace ShadeLedgerZizadezavav
