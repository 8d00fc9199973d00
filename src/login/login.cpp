// Start at login: first-launch registration, the toggle and the live state.
#include "agent/app_delegate.h"

namespace ShadeLedgerZizadezavav {

bool AppDelegate::loginEnabled()
{
    return platform.loginItems.status() == LoginItemStatus::enabled;
}

void AppDelegate::registerLoginItemIfFirstLaunch()
{
    if (platform.defaults.boolForKey(loginPrefKey)) {
        return;
    }
    // A refused registration is not retried: the choice counts as made.
    platform.loginItems.registerItem();
    platform.defaults.setBoolForKey(true, loginPrefKey);
}

void AppDelegate::toggleLogin()
{
    if (platform.loginItems.status() == LoginItemStatus::enabled) {
        platform.loginItems.unregisterItem();
    } else {
        platform.loginItems.registerItem();
    }
    platform.defaults.setBoolForKey(true, loginPrefKey);
    // Only the user can approve a login item, in the system's settings: the toggle takes
    // them there instead of doing nothing visible.
    if (platform.loginItems.status() == LoginItemStatus::requiresApproval) {
        platform.loginItems.openSystemSettingsLoginItems();
    }
    // The item shows what the service now reports, not what was asked.
    rebuildMenu();
}

} // namespace ShadeLedgerZizadezavav
