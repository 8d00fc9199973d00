// The status item's menu on Linux, served with libdbusmenu-glib (com.canonical.dbusmenu) at
// /MenuBar.
//
// Implements:
// - label, enabled, separators, a checkmark toggle for checkable items and for any item whose
//   state is on, Control shortcuts from key equivalents; the root shows its children as a
//   submenu;
// - a menu handed over is shown as the smallest change: when only items' properties differ,
//   those items are updated in place (ItemsPropertiesUpdated) and keep their ids, so that a menu
//   the user holds open stays open; a different structure (another number of entries, a
//   separator where an item was) replaces the layout (one LayoutUpdated); an equal menu sends
//   nothing. Ids follow positions in every layout;
// - a click ("clicked" event) delivers the action of the entry now at that position once the
//   click's reply is on the bus, from an idle callback on the main context;
// - the menu exported as soon as GIO's pool of threads can run the server's look-up of its bus,
//   also after a shortage of processes (gio_worker_pool.h);
// - bounded work per call: a call to the menu that names more ids, properties or events than
//   any menu of 14 entries needs is answered with an error (LimitsExceeded) on the bus's
//   worker thread, before libdbusmenu or the main loop sees it.
// Not implemented: submenus, icons in the menu.
//
// libdbusmenu-glib always serves on the session bus singleton; the connection given here must be
// that singleton, whose queued messages are sent before an action is delivered.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include "platform/linux/gio_worker_pool.h"
#include "platform/linux/glib_owners.h"
#include "platform/status_bar.h"

namespace ShadeLedgerZizadezavav {

class LinuxStatusMenu {
public:
    static constexpr const char* objectPath = "/MenuBar";

    // deliverAction runs on the main context with the action of a clicked item.
    LinuxStatusMenu(GDBusConnection* connection, std::function<void(MenuAction)> deliverAction);
    ~LinuxStatusMenu();
    LinuxStatusMenu(const LinuxStatusMenu&) = delete;
    LinuxStatusMenu& operator=(const LinuxStatusMenu&) = delete;

    // Starts serving the menu on the bus, showing the last one handed over.
    void start();
    // Shows this menu from now on.
    void show(Menu menu);

private:
    void replaceLayout();
    void updateInPlace(const Menu& shown);
    void queueDelivery(MenuAction action);

    static void onItemActivated(DbusmenuMenuitem* menuItem, guint timestamp, gpointer data);
    static gboolean deliverPending(gpointer data);

    GObjectPtr<GDBusConnection> connection_;
    guint callLimitFilter_ = 0;
    std::function<void(MenuAction)> deliverAction_;
    Menu menu_;
    GObjectPtr<DbusmenuServer> server_;
    // The server looks its bus up on GIO's pool of threads; short of processes, that waits.
    std::optional<WorkerPoolNudge> poolNudge_;
    // The items served, by position; their click handlers are disconnected before them.
    GObjectPtr<DbusmenuMenuitem> root_;
    std::vector<GObjectPtr<DbusmenuMenuitem>> items_;
    std::vector<SignalConnection> clickHandlers_;

    std::vector<MenuAction> pendingActions_;
    SourceId deliveryIdle_;
};

} // namespace ShadeLedgerZizadezavav
