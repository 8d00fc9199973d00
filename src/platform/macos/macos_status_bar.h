// Status item and menu on macOS: NSStatusBar, NSStatusItem, NSImage, NSMenu, NSMenuItem.
//
// Implements:
// - statusItemWithLength: NSStatusBar systemStatusBar statusItemWithLength: with the
//   length given (the core asks for the square length, -2); the item stays in the menu
//   bar while the handle lives;
// - button: the status item's button, or none;
// - imageNamed: NSImage imageNamed: from the main bundle (MenuBarTemplate.png with its
//   @2x representation); the Image carries the name, and its path is left empty;
// - button setImage: the named image, setTemplate: as the Image says, so AppKit tints a
//   template to suit the menu bar; setTitle: the text;
// - setMenu: a new NSMenu (init) built from the Menu value, in order: separatorItem for
//   separators, MacOSMenuItem initWithTitle:action:keyEquivalent: for items, with
//   setState: (NSControlStateValueOn or Off), then NSStatusItem setMenu:. Items get the
//   action's selector and no target, so the responder chain takes them to the
//   application's delegate. The menu's automatic enabling stays on, as the platform sets
//   it; AppKit then ignores setEnabled: and asks the target of each item's action,
//   through validateMenuItem:, whether the item is enabled. So each item carries the
//   Menu's enabled flag, and MacOSApplicationDelegate answers with it (an item without an
//   action is disabled by AppKit itself). A checkable item shows its checkmark while on,
//   as every macOS menu item can.
#pragma once

#import <AppKit/AppKit.h>

#include <optional>

#include "platform/status_bar.h"

// A menu item that remembers whether the agent wants it enabled, for validation.
@interface MacOSMenuItem : NSMenuItem
@property (nonatomic) BOOL enabledByAgent;
@end

namespace ShadeLedgerZizadezavav {

class MacOSStatusBarButton : public StatusBarButton {
public:
    explicit MacOSStatusBarButton(NSStatusBarButton* button)
        : button_(button)
    {
    }
    void setImage(const Image& image) override;
    void setTitle(std::string_view title) override;

private:
    NSStatusBarButton* button_;
};

class MacOSStatusItem : public StatusItem {
public:
    explicit MacOSStatusItem(NSStatusItem* item);
    StatusBarButton* button() override { return button_ ? &*button_ : nullptr; }
    void setMenu(Menu menu) override;

private:
    NSStatusItem* item_;
    std::optional<MacOSStatusBarButton> button_;
};

class MacOSStatusBar : public StatusBar {
public:
    std::shared_ptr<StatusItem> statusItemWithLength(double length) override;
    std::optional<Image> imageNamed(std::string_view name) override;
};

// The delegate method an action runs, by its name.
SEL selectorForAction(MenuAction action);

} // namespace ShadeLedgerZizadezavav
