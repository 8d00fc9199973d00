// State, start-up and stopping of the agent.
#include "agent/app_delegate.h"

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
    stopBridge();
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

void AppDelegate::performAction(MenuAction action)
{
    switch (action) {
    case MenuAction::quit:
        return quit();
    case MenuAction::restartBridge:
        return restartBridge();
    case MenuAction::viewLog:
        return viewLog();
    case MenuAction::toggleLogin:
        return toggleLogin();
    case MenuAction::openApp:
        return openApp();
    case MenuAction::checkForUpdates:
        return checkForUpdates();
    case MenuAction::confirmUninstall:
        return confirmUninstall();
    }
}

} // namespace ShadeLedgerZizadezavav
