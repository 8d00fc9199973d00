// State, start-up and stopping of the agent.
#include "agent/app_delegate.h"

#include <functional>
#include <map>
#include <utility>

namespace ShadeLedgerZizadezavav {

AppDelegate::AppDelegate(Platform platform)
    : platform(platform)
{
}

void AppDelegate::applicationDidFinishLaunching()
{
    platform.application.setActivationPolicy(ActivationPolicy::accessory);
    migrateFromLegacy();
    setupStatusItem();
    startServer();
    registerLoginItemIfFirstLaunch();
    checkHealth();
    scheduleHealthCheck();
}

// Quit, termination and uninstall all stop the agent this way; nothing waits
// for the bridge to exit.
void AppDelegate::stopWork()
{
    if (healthTimer) {
        healthTimer->invalidate();
    }
    if (serverProcess) {
        serverProcess->terminate();
    }
    // A relaunch still pending from Restart Bridge must not start a bridge
    // nobody would stop.
    ++relaunchGeneration;
}

void AppDelegate::applicationWillTerminate()
{
    stopWork();
}

void AppDelegate::quit()
{
    stopWork();
    platform.application.terminate();
}

bool AppDelegate::performAction(std::string_view action)
{
    static const std::map<std::string_view, void (AppDelegate::*)()> actions = {
        {"quit", &AppDelegate::quit},
        {"restartBridge", &AppDelegate::restartBridge},
        {"viewLog", &AppDelegate::viewLog},
        {"toggleLogin", &AppDelegate::toggleLogin},
        {"openApp", &AppDelegate::openApp},
        {"checkForUpdates", &AppDelegate::checkForUpdates},
        {"confirmUninstall", &AppDelegate::confirmUninstall},
    };
    auto found = actions.find(action);
    if (found == actions.end()) {
        return false;
    }
    std::invoke(found->second, this);
    return true;
}

} // namespace ShadeLedgerZizadezavav
