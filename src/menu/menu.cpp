// Menu bar interface: the status item, the menu built from state, web links.
#include <array>

#include "agent/app_delegate.h"
#include "menu/version.h"

namespace ShadeLedgerZizadezavav {

namespace {
constexpr const char* webAppAddress = "https://app.shadeledger.com";
constexpr const char* releasesPageAddress = "https://shadeledger.com/zizadezavav/releases";
constexpr std::array<const char*, 5> preferredBrowsers = {
    "com.google.Chrome",
    "com.microsoft.edgemac",
    "org.chromium.Chromium",
    "com.brave.Browser",
    "company.thebrowser.Browser",
};
} // namespace

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

void AppDelegate::setupStatusItem()
{
    statusItem = platform.statusBar.statusItemWithLength(squareStatusItemLength);
    if (StatusBarButton* button = statusItem->button()) {
        if (auto image = platform.statusBar.imageNamed("MenuBarTemplate")) {
            image->setTemplate(true);
            button->setImage(*image);
        } else {
            button->setTitle("SL");
        }
    }
    rebuildMenu();
}

void AppDelegate::rebuildMenu()
{
    Menu menu;

    auto connection
        = MenuItem::withTitle(isConnected ? "● Connected" : "○ Not connected", std::nullopt, "");
    connection.setEnabled(false);
    menu.addItem(connection);
    menu.addItem(MenuItem::separatorItem());

    menu.addItemWithTitle("Open ShadeLedger", MenuAction::openApp, "");
    menu.addItem(MenuItem::separatorItem());

    auto login = MenuItem::withTitle("Start at Login", MenuAction::toggleLogin, "");
    login.setCheckable(true);
    login.setState(loginEnabled() ? ControlState::on : ControlState::off);
    menu.addItem(login);
    menu.addItem(MenuItem::separatorItem());

    menu.addItemWithTitle("Restart Bridge", MenuAction::restartBridge, "");
    menu.addItemWithTitle("View Log", MenuAction::viewLog, "");
    menu.addItemWithTitle("Check for Updates", MenuAction::checkForUpdates, "");
    menu.addItem(MenuItem::separatorItem());

    menu.addItemWithTitle("Uninstall…", MenuAction::confirmUninstall, "");
    menu.addItemWithTitle("Quit", MenuAction::quit, "q");
    menu.addItem(MenuItem::separatorItem());

    auto version = MenuItem::withTitle(
        "Zizadezavav v" + versionString(platform.bundle.infoDictionary()), std::nullopt, "");
    version.setEnabled(false);
    menu.addItem(version);

    if (statusItem) {
        statusItem->setMenu(std::move(menu));
    }
}

void AppDelegate::openApp()
{
    openInChromiumOrDefault(URL::web(webAppAddress));
}

void AppDelegate::openInChromiumOrDefault(const URL& url)
{
    for (const char* browser : preferredBrowsers) {
        if (auto location = platform.workspace.URLForApplicationWithBundleIdentifier(browser)) {
            platform.workspace.openURLsWithApplication({url}, *location);
            return;
        }
    }
    platform.workspace.openURL(url);
}

void AppDelegate::checkForUpdates()
{
    platform.workspace.openURL(URL::web(releasesPageAddress));
}

} // namespace ShadeLedgerZizadezavav
