#include "platform/linux/linux_status_menu.h"

#include <cctype>
#include <string>
#include <utility>

namespace ShadeLedgerZizadezavav {

namespace {

// Checkable items show a checkmark even while off, so that the host draws an empty box.
bool isCheckable(const MenuItem& entry)
{
    return entry.checkable || entry.state == ControlState::on;
}

// dbusmenu reads an underscore as a mnemonic marker; a literal one is doubled.
std::string labelForTitle(const std::string& title)
{
    std::string label;
    label.reserve(title.size());
    for (char c : title) {
        label.push_back(c);
        if (c == '_') {
            label.push_back('_');
        }
    }
    return label;
}

// The platform's default modifier is Control here; an upper-case letter also means Shift.
// Hosts that build the menu with libdbusmenu-gtk and give it no accelerator group (XApp's
// watcher, waybar) assert on any shortcut and show none; there is no form they take, and
// Plasma, LXQt and Xfce show this one.
GVariant* shortcutForKeyEquivalent(const std::string& key)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("aas"));
    g_variant_builder_open(&builder, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&builder, "s", DBUSMENU_MENUITEM_SHORTCUT_CONTROL);
    std::string name = key;
    if (key.size() == 1 && std::isupper(static_cast<unsigned char>(key[0]))) {
        g_variant_builder_add(&builder, "s", DBUSMENU_MENUITEM_SHORTCUT_SHIFT);
        name = std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(key[0]))));
    }
    g_variant_builder_add(&builder, "s", name.c_str());
    g_variant_builder_close(&builder);
    return g_variant_builder_end(&builder);
}

// Sets the properties in which entry differs from shown (every one for a new item, shown null).
// A served item announces each change to the hosts.
void applyProperties(DbusmenuMenuitem* menuItem, const MenuItem& entry, const MenuItem* shown)
{
    if (entry.separator) {
        if (!shown) {
            dbusmenu_menuitem_property_set(menuItem, DBUSMENU_MENUITEM_PROP_TYPE, "separator");
        }
        return;
    }
    if (!shown || shown->title != entry.title) {
        dbusmenu_menuitem_property_set(
            menuItem, DBUSMENU_MENUITEM_PROP_LABEL, labelForTitle(entry.title).c_str());
    }
    if (!shown || shown->enabled != entry.enabled) {
        dbusmenu_menuitem_property_set_bool(
            menuItem, DBUSMENU_MENUITEM_PROP_ENABLED, entry.enabled);
    }
    bool checkable = isCheckable(entry);
    if (!shown || isCheckable(*shown) != checkable || shown->state != entry.state) {
        if (checkable) {
            dbusmenu_menuitem_property_set(
                menuItem, DBUSMENU_MENUITEM_PROP_TOGGLE_TYPE, DBUSMENU_MENUITEM_TOGGLE_CHECK);
            dbusmenu_menuitem_property_set_int(menuItem, DBUSMENU_MENUITEM_PROP_TOGGLE_STATE,
                entry.state == ControlState::on ? DBUSMENU_MENUITEM_TOGGLE_STATE_CHECKED
                                                : DBUSMENU_MENUITEM_TOGGLE_STATE_UNCHECKED);
        } else if (shown) {
            dbusmenu_menuitem_property_remove(menuItem, DBUSMENU_MENUITEM_PROP_TOGGLE_TYPE);
            dbusmenu_menuitem_property_remove(menuItem, DBUSMENU_MENUITEM_PROP_TOGGLE_STATE);
        }
    }
    if (!shown || shown->keyEquivalent != entry.keyEquivalent) {
        if (!entry.keyEquivalent.empty()) {
            dbusmenu_menuitem_property_set_variant(menuItem, DBUSMENU_MENUITEM_PROP_SHORTCUT,
                shortcutForKeyEquivalent(entry.keyEquivalent));
        } else if (shown) {
            dbusmenu_menuitem_property_remove(menuItem, DBUSMENU_MENUITEM_PROP_SHORTCUT);
        }
    }
}

// Far more than a menu of 14 entries ever needs in one call: 15 ids, a dozen properties.
constexpr gsize maxNamedPerCall = 64;

// On the bus's worker thread, for every message the connection receives.
GDBusMessage* refuseOversizedMenuCalls(
    GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer)
{
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL
        || g_strcmp0(g_dbus_message_get_interface(message), "com.canonical.dbusmenu") != 0) {
        return message;
    }
    // Every list a dbusmenu call carries (ids, property names, events) counts; its length is
    // read without walking it.
    GVariant* body = g_dbus_message_get_body(message);
    bool oversized = false;
    for (gsize i = 0; body && !oversized && i < g_variant_n_children(body); ++i) {
        GVariantPtr argument(g_variant_get_child_value(body, i));
        oversized = g_variant_is_of_type(argument.get(), G_VARIANT_TYPE_ARRAY)
            && g_variant_n_children(argument.get()) > maxNamedPerCall;
    }
    if (!oversized) {
        return message;
    }
    auto refusal = adoptGObject(
        g_dbus_message_new_method_error(message, "org.freedesktop.DBus.Error.LimitsExceeded",
            "%s names more than %" G_GSIZE_FORMAT " ids, properties or events",
            g_dbus_message_get_member(message), maxNamedPerCall));
    g_dbus_connection_send_message(
        connection, refusal.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    g_object_unref(message);
    return nullptr;
}

// Same number of entries, separators at the same places: the served items can show the new menu.
bool sameStructure(const Menu& a, const Menu& b)
{
    if (a.items.size() != b.items.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.items.size(); ++i) {
        if (a.items[i].separator != b.items[i].separator) {
            return false;
        }
    }
    return true;
}

} // namespace

LinuxStatusMenu::LinuxStatusMenu(
    GDBusConnection* connection, std::function<void(MenuAction)> deliverAction)
    : connection_(retainGObject(connection))
    , deliverAction_(std::move(deliverAction))
{
}

LinuxStatusMenu::~LinuxStatusMenu()
{
    if (callLimitFilter_ != 0) {
        g_dbus_connection_remove_filter(connection_.get(), callLimitFilter_);
    }
}

void LinuxStatusMenu::start()
{
    if (!connection_ || server_) {
        return;
    }
    // The filter holds nothing of this menu's: it may still run once after its removal.
    callLimitFilter_ = g_dbus_connection_add_filter(
        connection_.get(), refuseOversizedMenuCalls, nullptr, nullptr);
    server_ = adoptGObject(dbusmenu_server_new(objectPath));
    poolNudge_.emplace();
    if (!menu_.items.empty()) {
        replaceLayout();
    }
}

void LinuxStatusMenu::show(Menu menu)
{
    if (server_ && root_ && menu == menu_) {
        return;
    }
    Menu shown = std::exchange(menu_, std::move(menu));
    if (!server_) {
        return;
    }
    if (root_ && sameStructure(shown, menu_)) {
        updateInPlace(shown);
    } else {
        replaceLayout();
    }
}

void LinuxStatusMenu::updateInPlace(const Menu& shown)
{
    // The server gathers the changes of one main-loop iteration into one ItemsPropertiesUpdated.
    // An action changed at a position needs nothing on the bus: clicks look it up when they come.
    for (std::size_t i = 0; i < menu_.items.size(); ++i) {
        applyProperties(items_[i].get(), menu_.items[i], &shown.items[i]);
    }
}

void LinuxStatusMenu::replaceLayout()
{
    // A whole new tree: the server announces it with one LayoutUpdated. Ids follow positions, so
    // a click the host sends from the menu it read just before still names the same entry.
    clickHandlers_.clear();
    items_.clear();
    root_ = adoptGObject(dbusmenu_menuitem_new_with_id(0));
    dbusmenu_menuitem_property_set(
        root_.get(), DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY, DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
    int id = 0;
    for (const MenuItem& entry : menu_.items) {
        auto menuItem = adoptGObject(dbusmenu_menuitem_new_with_id(++id));
        applyProperties(menuItem.get(), entry, nullptr);
        if (!entry.separator) {
            clickHandlers_.emplace_back(menuItem.get(),
                g_signal_connect(menuItem.get(), DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                    G_CALLBACK(onItemActivated), this));
        }
        dbusmenu_menuitem_child_append(root_.get(), menuItem.get());
        items_.push_back(std::move(menuItem));
    }
    dbusmenu_server_set_root(server_.get(), root_.get());
}

void LinuxStatusMenu::onItemActivated(DbusmenuMenuitem* menuItem, guint, gpointer data)
{
    auto* self = static_cast<LinuxStatusMenu*>(data);
    // The host may send clicks for items it shows disabled; a disabled item never acts.
    if (!dbusmenu_menuitem_property_get_bool(menuItem, DBUSMENU_MENUITEM_PROP_ENABLED)) {
        return;
    }
    int id = dbusmenu_menuitem_get_id(menuItem);
    if (id < 1 || static_cast<std::size_t>(id) > self->menu_.items.size()) {
        return;
    }
    if (const auto& action = self->menu_.items[id - 1].action) {
        self->queueDelivery(*action);
    }
}

void LinuxStatusMenu::queueDelivery(MenuAction action)
{
    pendingActions_.push_back(action);
    if (!deliveryIdle_) {
        deliveryIdle_ = SourceId(g_idle_add(deliverPending, this));
    }
}

gboolean LinuxStatusMenu::deliverPending(gpointer data)
{
    auto* self = static_cast<LinuxStatusMenu*>(data);
    self->deliveryIdle_.release();
    // The click's reply is queued already; get it onto the bus before the action runs, since
    // the action may end the process (Quit).
    sendQueuedMessages(self->connection_.get(), std::chrono::seconds(2));
    // Delivering may release this menu: work from copies.
    auto actions = std::exchange(self->pendingActions_, {});
    auto deliver = self->deliverAction_;
    for (MenuAction action : actions) {
        if (deliver) {
            deliver(action);
        }
    }
    return G_SOURCE_REMOVE;
}

} // namespace ShadeLedgerZizadezavav
