// Status item and menu on macOS: see macos_status_bar.h for how each call maps the contract.
#include "platform/macos/macos_status_bar.h"

#include "platform/macos/macos_application.h"
#include "platform/macos/macos_strings.h"

@implementation MacOSMenuItem
@end

namespace ShadeLedgerZizadezavav {

SEL selectorForAction(MenuAction action)
{
    // The methods of MacOSApplicationDelegate of the same names.
    switch (action) {
    case MenuAction::quit:
        return @selector(quit);
    case MenuAction::restartBridge:
        return @selector(restartBridge);
    case MenuAction::viewLog:
        return @selector(viewLog);
    case MenuAction::toggleLogin:
        return @selector(toggleLogin);
    case MenuAction::openApp:
        return @selector(openApp);
    case MenuAction::checkForUpdates:
        return @selector(checkForUpdates);
    case MenuAction::confirmUninstall:
        return @selector(confirmUninstall);
    }
    return nullptr;
}

void MacOSStatusBarButton::setImage(const Image& image)
{
    NSImage* platformImage = [NSImage imageNamed:nsString(image.name)];
    if (!platformImage) {
        return;
    }
    [platformImage setTemplate:image.isTemplate ? YES : NO];
    button_.image = platformImage;
}

void MacOSStatusBarButton::setTitle(std::string_view title)
{
    button_.title = nsString(title);
}

MacOSStatusItem::MacOSStatusItem(NSStatusItem* item)
    : item_(item)
{
    if (NSStatusBarButton* button = item.button) {
        button_.emplace(button);
    }
}

void MacOSStatusItem::setMenu(Menu menu)
{
    NSMenu* platformMenu = [[NSMenu alloc] init];
    for (const MenuItem& entry : menu.items) {
        if (entry.separator) {
            [platformMenu addItem:[NSMenuItem separatorItem]];
            continue;
        }
        MacOSMenuItem* item = [[MacOSMenuItem alloc]
            initWithTitle:nsString(entry.title)
                   action:entry.action ? selectorForAction(*entry.action) : nullptr
            keyEquivalent:nsString(entry.keyEquivalent)];
        // Autoenabling ignores setEnabled:; validation reads this instead.
        item.enabledByAgent = entry.enabled ? YES : NO;
        item.enabled = item.enabledByAgent;
        item.state
            = entry.state == ControlState::on ? NSControlStateValueOn : NSControlStateValueOff;
        [platformMenu addItem:item];
    }
    item_.menu = platformMenu;
}

std::shared_ptr<StatusItem> MacOSStatusBar::statusItemWithLength(double length)
{
    return std::make_shared<MacOSStatusItem>(
        [NSStatusBar.systemStatusBar statusItemWithLength:static_cast<CGFloat>(length)]);
}

std::optional<Image> MacOSStatusBar::imageNamed(std::string_view name)
{
    if (![NSImage imageNamed:nsString(name)]) {
        return std::nullopt;
    }
    Image image;
    image.name = std::string(name);
    return image;
}

} // namespace ShadeLedgerZizadezavav
