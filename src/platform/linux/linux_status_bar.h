// The status item on Linux: a StatusNotifierItem whose menu LinuxStatusMenu serves.
//
// Implements:
// - the item at /StatusNotifierItem (org.kde.StatusNotifierItem), owned under the bus name
//   org.kde.StatusNotifierItem-<pid>-<n> and registered under it with
//   org.kde.StatusNotifierWatcher, again whenever the watcher's owner changes; a refused
//   registration is tried again, backing off (0.1 s to 1.6 s). When another client holds that
//   name, the item registers by its object path, which the watcher reads as this connection's
//   unique name and that path;
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

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/glib_owners.h"
#include "platform/status_bar.h"

namespace ShadeLedgerZizadezavav {

class LinuxStatusItem;

class LinuxStatusBar : public StatusBar {
public:
    // deliverAction runs on the main context with the action of a clicked item.
    LinuxStatusBar(GDBusConnection* connection /* may be null: no session bus */,
        std::optional<std::string> resourcesDirectory,
        std::function<void(MenuAction action)> deliverAction);
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
    std::weak_ptr<LinuxStatusItem> item_;
    // Numbers the items' bus names: org.kde.StatusNotifierItem-<pid>-<n>.
    unsigned itemsCreated_ = 0;
};

} // namespace ShadeLedgerZizadezavav
