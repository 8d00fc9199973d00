// Installation housekeeping: clean-up after older installations, and uninstall.
#include <algorithm>
#include <vector>

#include "agent/app_delegate.h"

namespace ShadeLedgerZizadezavav {

namespace {
constexpr Milliseconds quitRequestAllowance{500};
// Generous for pkill and launchctl, which take milliseconds; a tool that hangs is killed.
constexpr Milliseconds toolTimeLimit{10000};
constexpr const char* legacyAppPath = "/Applications/ShadeLedgerZizadezavav.app";
} // namespace

// Runs a system tool to completion, or kills it once it has had generous time: start-up
// goes on either way. Failure and exit status are ignored.
void AppDelegate::runTool(const std::string& executable, const std::vector<std::string>& arguments)
{
    ProcessConfiguration configuration;
    configuration.executable = executable;
    configuration.arguments = arguments;
    auto process = platform.processes.makeProcess(std::move(configuration));
    process->launch();
    if (!process->waitUntilExit(toolTimeLimit)) {
        process->forceTerminate();
        process->waitUntilExit(toolTimeLimit);
    }
}

void AppDelegate::removeLaunchAgent()
{
    std::string plist = appendingPathComponent(platform.files.homeDirectoryForCurrentUser(),
        "Library/LaunchAgents/" + bundleID + ".plist");
    if (!platform.files.fileExistsAtPath(plist)) {
        return;
    }
    runTool("/bin/launchctl", {"unload", plist});
    platform.files.removeItemAtPath(plist);
}

void AppDelegate::migrateFromLegacy()
{
    // Only copies that started before this one are asked to quit, so that of copies
    // started together the newest survives. Without this copy in the list, none is known
    // to be older.
    std::int32_t own = platform.processes.processIdentifier();
    auto running = platform.workspace.runningApplicationsWithBundleIdentifier(bundleID);
    auto self = std::find_if(
        running.begin(), running.end(), [own](const RunningApplication& application) {
            return application.processIdentifier == own;
        });
    std::vector<RunningApplication> others;
    if (self != running.end()) {
        others.assign(running.begin(), self);
    }
    if (!others.empty()) {
        for (const auto& application : others) {
            platform.workspace.terminate(application);
        }
        platform.scheduler.sleepFor(quitRequestAllowance);
    }

    // Must run before our own bridge starts: it matches that one too. It spares this agent,
    // whose own path may hold the pattern, and the keeper it runs pkill under.
    std::vector<std::string> pkill = platform.processes.pkillOptionsSparingAncestors();
    pkill.insert(pkill.end(), {"-f", "server.mjs"});
    runTool("/usr/bin/pkill", pkill);

    removeLaunchAgent();

    // An agent installed at the legacy path itself must not trash its own bundle.
    if (platform.files.fileExistsAtPath(legacyAppPath)
        && !platform.files.isSameFile(legacyAppPath, platform.bundle.bundlePath())) {
        platform.files.trashItemAtPath(legacyAppPath);
    }
}

void AppDelegate::confirmUninstall()
{
    Alert alert;
    alert.setMessageText("Uninstall ShadeLedger Zizadezavav?");
    alert.setInformativeText("This will stop the Zizadezavav and remove it from your Mac. "
                             "Your ShadeLedger account and documents are not affected.");
    alert.addButtonWithTitle("Uninstall");
    alert.addButtonWithTitle("Cancel");
    alert.setAlertStyle(AlertStyle::warning);
    if (platform.alerts.runModal(alert) == alertFirstButtonReturn) {
        performUninstall();
    }
}

void AppDelegate::performUninstall()
{
    stopWork();
    platform.loginItems.unregisterItem();
    removeLaunchAgent();
    platform.defaults.removeObjectForKey(loginPrefKey);
    if (platform.files.trashItemAtPath(platform.bundle.bundlePath())) {
        platform.bundle.removeInstalledLauncher();
    }
    platform.application.terminate();
}

} // namespace ShadeLedgerZizadezavav
