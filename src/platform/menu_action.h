// The menu's commands. Items carry one of these and no target; the application hands
// a chosen item's action to the delegate.
#pragma once

#include <array>
#include <string_view>

namespace ShadeLedgerZizadezavav {

enum class MenuAction {
    quit,
    restartBridge,
    viewLog,
    toggleLogin,
    openApp,
    checkForUpdates,
    confirmUninstall,
};

inline constexpr std::array allMenuActions
    = {MenuAction::quit, MenuAction::restartBridge, MenuAction::viewLog, MenuAction::toggleLogin,
        MenuAction::openApp, MenuAction::checkForUpdates, MenuAction::confirmUninstall};

// The action's name: the delegate method it runs (a selector on macOS).
constexpr std::string_view actionName(MenuAction action)
{
    switch (action) {
    case MenuAction::quit:
        return "quit";
    case MenuAction::restartBridge:
        return "restartBridge";
    case MenuAction::viewLog:
        return "viewLog";
    case MenuAction::toggleLogin:
        return "toggleLogin";
    case MenuAction::openApp:
        return "openApp";
    case MenuAction::checkForUpdates:
        return "checkForUpdates";
    case MenuAction::confirmUninstall:
        return "confirmUninstall";
    }
    return "";
}

} // namespace ShadeLedgerZizadezavav
