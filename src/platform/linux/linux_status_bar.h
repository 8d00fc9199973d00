// The status item on Linux: a StatusNotifierItem whose menu LinuxStatusMenu serves.
//
// Implements:
// - the item at /StatusNotifierItem (org.kde.StatusNotifierItem), owned under the bus name
//   org.kde.StatusNotifierItem-<pid>-<n> and registered with org.kde.StatusNotifierWatcher by
//   its object path, which the watcher reads as this connection's unique name and that path
//   (hosts that race on a well-known name keep such an item). It registers again whenever the
//   watcher's owner changes; a refused registration is tried again, backing off (0.1 s to
//   1.6 s); an item the watcher drops or does not list while it stays on the bus
//   (StatusNotifierItemUnregistered, RegisteredStatusNotifierItems) registers again up to five
//   times, backing off from the first re-registration delay;
// - Activate and SecondaryActivate answered with org.freedesktop.DBus.Error.UnknownMethod, as
//   items that are only a menu answer, so that hosts open the menu on a left click;
// - one message on standard error when no watcher, or no host, has appeared some seconds
//   after start (naming what GNOME needs), one when the watcher goes away, and one when the
//   tray would not keep the item;
// - the image as IconName + IconThemePath (a PNG or SVG file in the resources directory), or
//   the button's text as XAyatanaLabel;
// - the menu at /MenuBar (linux_status_menu.h).
// Not implemented: icon pixmaps, tool tips, attention and overlay icons.
//
// The connection must be the session bus singleton (g_bus_get_sync(G_BUS_TYPE_SESSION)):
// libdbusmenu-glib has no way to choose a connection and always serves the menu on that
// singleton, while the item is served on the connection given here. Without a connection
// (no session bus) everything is a quiet no-op and the menu is only kept.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/glib_owners.h"
#include "platform/status_bar.h"

namespace ShadeLedgerZizadezavav {

class LinuxStatusItem;

// How long the item waits before it says that there is no tray, and before it first registers
// again with a watcher that dropped it (later ones wait twice as long each).
struct StatusItemDelays {
    std::chrono::milliseconds trayCheck{5000};
    std::chrono::milliseconds firstReregistration{500};
};

class LinuxStatusBar : public StatusBar {
public:
    // deliverAction runs on the main context with the action of a clicked item.
    LinuxStatusBar(GDBusConnection* connection /* may be null: no session bus */,
        std::optional<std::string> resourcesDirectory,
        std::function<void(MenuAction action)> deliverAction, StatusItemDelays delays = {});
    ~LinuxStatusBar() override;
    LinuxStatusBar(const LinuxStatusBar&) = delete;
    LinuxStatusBar& operator=(const LinuxStatusBar&) = delete;

    // The length is ignored: the tray host sizes the item. A bus shows one item per agent, so
    // while the item handed out lives, asking again returns that same item.
    std::shared_ptr<StatusItem> statusItemWithLength(double length) override;
    // <resources>/<name>.png when it is a PNG image, else <resources>/<name>.svg when it is an
    // SVG document; none otherwise.
    std::optional<Image> imageNamed(std::string_view name) override;

private:
    GObjectPtr<GDBusConnection> connection_;
    std::optional<std::string> resourcesDirectory_;
    std::function<void(MenuAction)> deliverAction_;
    StatusItemDelays delays_;
    std::weak_ptr<LinuxStatusItem> item_;
    // Numbers the items' bus names: org.kde.StatusNotifierItem-<pid>-<n>.
    unsigned itemsCreated_ = 0;
};

} // namespace ShadeLedgerZizadezavav
