// The status item on Linux: a StatusNotifierItem whose menu LinuxStatusMenu serves.
//
// Implements:
// - the item at /StatusNotifierItem (org.kde.StatusNotifierItem), owned under the bus name
//   org.kde.StatusNotifierItem-<pid>-<n> and registered with org.kde.StatusNotifierWatcher by
//   its object path, which the watcher reads as this connection's unique name and that path
//   (hosts that race on a well-known name keep such an item); with XApp's watcher (Cinnamon), by
//   an indicator's path under /org/ayatana/NotificationItem/, exported only then, where a left
//   click opens the menu. Registering, again whenever the watcher's owner changes, after a
//   refusal and after a drop, is status_registration.h's state machine;
// - Activate and SecondaryActivate answered with org.freedesktop.DBus.Error.UnknownMethod, as
//   items that are only a menu answer, so that hosts open the menu on a left click;
// - the notices of that state machine on standard error, the no-tray one naming what this
//   desktop (XDG_CURRENT_DESKTOP) needs;
// - the image as IconName + IconThemePath (a PNG or SVG file in the resources directory) and as
//   IconPixmap (its PNG sizes, status_image.h), or the button's text as XAyatanaLabel, offered
//   only while it holds text (MATE draws an offered label, even an empty one, instead of the
//   icon);
// - the menu at /MenuBar (linux_status_menu.h).
// Not implemented: tool tips, attention and overlay icons.
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
#include "platform/linux/linux_scheduler.h"
#include "platform/linux/status_registration.h"
#include "platform/status_bar.h"

namespace ShadeLedgerZizadezavav {

class LinuxStatusItem;

// How long the item waits before it says that there is no tray, and before it registers again.
using StatusItemDelays = RegistrationDelays;

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
    // The registration's timers run on the main context, as the item's calls do.
    LinuxScheduler scheduler_;
    GObjectPtr<GDBusConnection> connection_;
    std::optional<std::string> resourcesDirectory_;
    std::function<void(MenuAction)> deliverAction_;
    StatusItemDelays delays_;
    std::weak_ptr<LinuxStatusItem> item_;
    // Numbers the items' bus names: org.kde.StatusNotifierItem-<pid>-<n>.
    unsigned itemsCreated_ = 0;
};

} // namespace ShadeLedgerZizadezavav
