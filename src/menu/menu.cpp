// Menu bar interface: the status item, the menu rebuilt from state, web links.
#include <array>

#include "agent/app_delegate.h"
#include "menu/status_menu.h"

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
    Menu menu = statusMenu({
        .isConnected = isConnected,
        .loginEnabled = loginEnabled(),
        .version = versionString(platform.bundle.infoDictionary()),
    });
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
