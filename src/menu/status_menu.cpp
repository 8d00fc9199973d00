// The status menu, built from the state it shows.
#include "menu/status_menu.h"

namespace ShadeLedgerZizadezavav {

Menu statusMenu(const MenuState& state)
{
    Menu menu;

    auto connection = MenuItem::withTitle(
        state.isConnected ? "● Connected" : "○ Not connected", std::nullopt, "");
    connection.setEnabled(false);
    menu.addItem(connection);
    menu.addItem(MenuItem::separatorItem());

    menu.addItemWithTitle("Open ShadeLedger", MenuAction::openApp, "");
    menu.addItem(MenuItem::separatorItem());

    auto login = MenuItem::withTitle("Start at Login", MenuAction::toggleLogin, "");
    login.setCheckable(true);
    login.setState(state.loginEnabled ? ControlState::on : ControlState::off);
    menu.addItem(login);
    menu.addItem(MenuItem::separatorItem());

    menu.addItemWithTitle("Restart Bridge", MenuAction::restartBridge, "");
    menu.addItemWithTitle("View Log", MenuAction::viewLog, "");
    menu.addItemWithTitle("Check for Updates", MenuAction::checkForUpdates, "");
    menu.addItem(MenuItem::separatorItem());

    menu.addItemWithTitle("Uninstall…", MenuAction::confirmUninstall, "");
    menu.addItemWithTitle("Quit", MenuAction::quit, "q");
    menu.addItem(MenuItem::separatorItem());

    auto version = MenuItem::withTitle("Zizadezavav v" + state.version, std::nullopt, "");
    version.setEnabled(false);
    menu.addItem(version);
    return menu;
}

std::string versionString(const std::optional<InfoDictionary>& infoDictionary)
{
    if (!infoDictionary || !infoDictionary->is_object()) {
        return "";
    }
    auto entry = infoDictionary->find("CFBundleShortVersionString");
    if (entry == infoDictionary->end() || !entry->is_string()) {
        return "";
    }
    return entry->get<std::string>();
}

} // namespace ShadeLedgerZizadezavav
