#include "platform/linux/linux_status_bar.h"

#include "platform/linux/linux_files.h"

#include "platform/bundle.h"
#include "platform/files.h"

#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <utility>
#include <vector>

#include <unistd.h>

namespace ShadeLedgerZizadezavav {

namespace {

constexpr const char* itemPath = "/StatusNotifierItem";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr const char* menuPath = "/MenuBar";
constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* watcherPath = "/StatusNotifierWatcher";
constexpr const char* itemTitle = "ShadeLedger Zizadezavav";

// The item's side of the StatusNotifierItem protocol as KDE and Ayatana hosts read it.
constexpr const char* itemIntrospection = R"XML(
<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <property name="XAyatanaLabelGuide" type="s" access="read"/>
    <property name="XAyatanaOrderingIndex" type="u" access="read"/>
    <method name="ContextMenu">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="Activate">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="SecondaryActivate">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="Scroll">
      <arg name="delta" type="i" direction="in"/>
      <arg name="orientation" type="s" direction="in"/>
    </method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus">
      <arg name="status" type="s"/>
    </signal>
    <signal name="NewIconThemePath">
      <arg name="icon_theme_path" type="s"/>
    </signal>
    <signal name="XAyatanaNewLabel">
      <arg name="label" type="s"/>
      <arg name="guide" type="s"/>
    </signal>
  </interface>
</node>
)XML";

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

std::string readPrefix(const std::string& path, std::size_t length)
{
    // Only a small regular file: a FIFO or a device would block or never end.
    auto bytes = readRegularFile(path, std::size_t{1024} * 1024);
    return bytes ? bytes->substr(0, length) : std::string();
}

// A PNG signature followed by an IHDR chunk with a non-empty size.
bool isPNGImage(const std::string& path)
{
    std::string header = readPrefix(path, 24);
    static constexpr std::string_view signature("\x89PNG\r\n\x1a\n", 8);
    if (header.size() < 24 || std::string_view(header).substr(0, 8) != signature
        || std::string_view(header).substr(12, 4) != "IHDR") {
        return false;
    }
    auto dimension = [&](std::size_t offset) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            value = (value << 8) | static_cast<unsigned char>(header[offset + i]);
        }
        return value;
    };
    return dimension(16) > 0 && dimension(20) > 0;
}

bool isSVGDocument(const std::string& path)
{
    return readPrefix(path, 4096).find("<svg") != std::string::npos;
}

} // namespace

class LinuxStatusItem final : public StatusItem,
                              public std::enable_shared_from_this<LinuxStatusItem> {
public:
    LinuxStatusItem(GDBusConnection* connection, unsigned number, std::string iconThemePath,
        std::function<void(MenuAction)> deliverAction);
    ~LinuxStatusItem() override;
    LinuxStatusItem(const LinuxStatusItem&) = delete;
    LinuxStatusItem& operator=(const LinuxStatusItem&) = delete;

    StatusBarButton* button() override { return &button_; }
    void setMenu(Menu menu) override;

    // Exports the item and the menu and starts looking for a watcher.
    void start();

private:
    class Button final : public StatusBarButton {
    public:
        explicit Button(LinuxStatusItem& item)
            : item_(item)
        {
        }
        void setImage(const Image& image) override;
        void setTitle(std::string_view title) override;

    private:
        LinuxStatusItem& item_;
    };

    // What a menu item needs to deliver its action; lives as long as the menu item.
    struct Activation {
        std::weak_ptr<LinuxStatusItem> item;
        MenuAction action;
    };

    void setIcon(std::string iconName, std::string iconThemePath);
    void setLabel(std::string label);
    void emitItemSignal(const char* name, GVariant* parameters);
    void emitPropertiesChanged(std::initializer_list<const char*> names);
    GVariant* property(const char* name) const;
    void registerWithWatcher();
    void queueDelivery(MenuAction action);
    GObjectPtr<DbusmenuMenuitem> makeMenuItem(const MenuItem& entry, int id);

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GVariant*, GDBusMethodInvocation*, gpointer);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GError**, gpointer);
    static void onItemActivated(DbusmenuMenuitem* menuItem, guint timestamp, gpointer data);
    static gboolean deliverPending(gpointer data);

    GObjectPtr<GDBusConnection> connection_;
    std::function<void(MenuAction)> deliverAction_;
    Button button_{*this};
    std::string busName_;

    std::string iconName_;
    std::string iconThemePath_;
    std::string label_;

    Menu menu_;
    GObjectPtr<DbusmenuServer> menuServer_;

    GDBusNodeInfoPtr introspection_;
    guint registrationId_ = 0;
    guint ownerId_ = 0;
    guint watcherWatchId_ = 0;
    bool nameOwned_ = false;
    bool watcherPresent_ = false;

    std::vector<MenuAction> pendingActions_;
    SourceId deliveryIdle_;
};

LinuxStatusItem::LinuxStatusItem(GDBusConnection* connection, unsigned number,
    std::string iconThemePath, std::function<void(MenuAction)> deliverAction)
    : connection_(retainGObject(connection))
    , deliverAction_(std::move(deliverAction))
    , busName_(
          "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(number))
    , iconThemePath_(std::move(iconThemePath))
{
}

void LinuxStatusItem::start()
{
    if (!connection_) {
        return;
    }
    // The menu server looks its bus up first, so that its object is usually exported before a
    // host hears of the item; a host that is quicker learns of it from LayoutUpdated.
    menuServer_ = adoptGObject(dbusmenu_server_new(menuPath));

    introspection_ = GDBusNodeInfoPtr(g_dbus_node_info_new_for_xml(itemIntrospection, nullptr));
    static const GDBusInterfaceVTable vtable = {onMethodCall, onGetProperty, nullptr, {}};
    GError* rawError = nullptr;
    registrationId_ = g_dbus_connection_register_object(connection_.get(), itemPath,
        introspection_->interfaces[0], &vtable, this, nullptr, &rawError);
    GErrorPtr error(rawError);
    if (registrationId_ == 0) {
        // Another item already lives at this path on this connection: stay invisible.
        return;
    }

    ownerId_ = g_bus_own_name_on_connection(
        connection_.get(), busName_.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->nameOwned_ = true;
            self->registerWithWatcher();
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            static_cast<LinuxStatusItem*>(data)->nameOwned_ = false;
        },
        this, nullptr);

    // A watcher that starts (or restarts) later has never heard of the item: tell each one.
    watcherWatchId_ = g_bus_watch_name_on_connection(
        connection_.get(), watcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->watcherPresent_ = true;
            self->registerWithWatcher();
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            static_cast<LinuxStatusItem*>(data)->watcherPresent_ = false;
        },
        this, nullptr);

    if (!menu_.items.empty()) {
        setMenu(menu_);
    }
}

LinuxStatusItem::~LinuxStatusItem()
{
    deliveryIdle_.reset();
    if (watcherWatchId_ != 0) {
        g_bus_unwatch_name(watcherWatchId_);
    }
    if (ownerId_ != 0) {
        g_bus_unown_name(ownerId_);
    }
    if (registrationId_ != 0) {
        g_dbus_connection_unregister_object(connection_.get(), registrationId_);
    }
}

void LinuxStatusItem::registerWithWatcher()
{
    if (!nameOwned_ || !watcherPresent_) {
        return;
    }
    // Nothing to do with the answer: a watcher that refuses simply shows nothing.
    g_dbus_connection_call(
        connection_.get(), watcherName, watcherPath, watcherName, "RegisterStatusNotifierItem",
        g_variant_new("(s)", busName_.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer) {
            GError* rawError = nullptr;
            GVariantPtr reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
            GErrorPtr error(rawError);
        },
        nullptr);
}

GVariant* LinuxStatusItem::property(const char* name) const
{
    std::string_view property(name);
    auto noPixmaps = [] { return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0); };
    if (property == "Category") {
        return g_variant_new_string("ApplicationStatus");
    }
    if (property == "Id") {
        return g_variant_new_string(agentBundleIdentifier);
    }
    if (property == "Title") {
        return g_variant_new_string(itemTitle);
    }
    if (property == "Status") {
        return g_variant_new_string("Active");
    }
    if (property == "WindowId") {
        return g_variant_new_int32(0);
    }
    if (property == "IconThemePath") {
        return g_variant_new_string(iconThemePath_.c_str());
    }
    if (property == "Menu") {
        return g_variant_new_object_path(menuPath);
    }
    if (property == "ItemIsMenu") {
        return g_variant_new_boolean(TRUE);
    }
    if (property == "IconName") {
        return g_variant_new_string(iconName_.c_str());
    }
    if (property == "OverlayIconName" || property == "AttentionIconName"
        || property == "AttentionMovieName") {
        return g_variant_new_string("");
    }
    if (property == "IconPixmap" || property == "OverlayIconPixmap"
        || property == "AttentionIconPixmap") {
        return noPixmaps();
    }
    if (property == "ToolTip") {
        return g_variant_new("(s@a(iiay)ss)", "", noPixmaps(), "", "");
    }
    if (property == "XAyatanaLabel" || property == "XAyatanaLabelGuide") {
        return g_variant_new_string(label_.c_str());
    }
    if (property == "XAyatanaOrderingIndex") {
        return g_variant_new_uint32(0);
    }
    return nullptr;
}

GVariant* LinuxStatusItem::onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
    const gchar* name, GError** error, gpointer data)
{
    GVariant* value = static_cast<LinuxStatusItem*>(data)->property(name);
    if (!value) {
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", name);
    }
    return value;
}

void LinuxStatusItem::onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
    const gchar*, GVariant*, GDBusMethodInvocation* invocation, gpointer)
{
    // The item is a menu and nothing else: activation, scrolling and context menu requests are
    // answered and otherwise ignored (ItemIsMenu tells hosts to open the menu instead).
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void LinuxStatusItem::emitItemSignal(const char* name, GVariant* parameters)
{
    if (registrationId_ == 0) {
        if (parameters) {
            g_variant_unref(g_variant_ref_sink(parameters));
        }
        return;
    }
    g_dbus_connection_emit_signal(
        connection_.get(), nullptr, itemPath, itemInterface, name, parameters, nullptr);
}

void LinuxStatusItem::emitPropertiesChanged(std::initializer_list<const char*> names)
{
    if (registrationId_ == 0) {
        return;
    }
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    for (const char* name : names) {
        g_variant_builder_add(&changed, "{sv}", name, property(name));
    }
    g_dbus_connection_emit_signal(connection_.get(), nullptr, itemPath,
        "org.freedesktop.DBus.Properties", "PropertiesChanged",
        g_variant_new("(sa{sv}as)", itemInterface, &changed, nullptr), nullptr);
}

void LinuxStatusItem::setIcon(std::string iconName, std::string iconThemePath)
{
    if (iconThemePath != iconThemePath_) {
        iconThemePath_ = std::move(iconThemePath);
        emitItemSignal("NewIconThemePath", g_variant_new("(s)", iconThemePath_.c_str()));
        emitPropertiesChanged({"IconThemePath"});
    }
    if (iconName != iconName_) {
        iconName_ = std::move(iconName);
        emitItemSignal("NewIcon", nullptr);
        emitPropertiesChanged({"IconName"});
    }
}

void LinuxStatusItem::setLabel(std::string label)
{
    if (label == label_) {
        return;
    }
    label_ = std::move(label);
    emitItemSignal("XAyatanaNewLabel", g_variant_new("(ss)", label_.c_str(), label_.c_str()));
    emitPropertiesChanged({"XAyatanaLabel", "XAyatanaLabelGuide"});
}

void LinuxStatusItem::Button::setImage(const Image& image)
{
    if (image.path.empty()) {
        item_.setIcon(image.name, item_.iconThemePath_);
        return;
    }
    // Hosts look the name up in IconThemePath, so the name is the file's own stem.
    std::filesystem::path file(image.path);
    item_.setIcon(file.stem().string(), file.parent_path().string());
}

void LinuxStatusItem::Button::setTitle(std::string_view title)
{
    item_.setLabel(std::string(title));
}

GObjectPtr<DbusmenuMenuitem> LinuxStatusItem::makeMenuItem(const MenuItem& entry, int id)
{
    auto menuItem = adoptGObject(dbusmenu_menuitem_new_with_id(id));
    if (entry.separator) {
        dbusmenu_menuitem_property_set(menuItem.get(), DBUSMENU_MENUITEM_PROP_TYPE, "separator");
        return menuItem;
    }
    dbusmenu_menuitem_property_set(
        menuItem.get(), DBUSMENU_MENUITEM_PROP_LABEL, labelForTitle(entry.title).c_str());
    dbusmenu_menuitem_property_set_bool(
        menuItem.get(), DBUSMENU_MENUITEM_PROP_ENABLED, entry.enabled);
    if (isCheckable(entry)) {
        dbusmenu_menuitem_property_set(
            menuItem.get(), DBUSMENU_MENUITEM_PROP_TOGGLE_TYPE, DBUSMENU_MENUITEM_TOGGLE_CHECK);
        dbusmenu_menuitem_property_set_int(menuItem.get(), DBUSMENU_MENUITEM_PROP_TOGGLE_STATE,
            entry.state == ControlState::on ? DBUSMENU_MENUITEM_TOGGLE_STATE_CHECKED
                                            : DBUSMENU_MENUITEM_TOGGLE_STATE_UNCHECKED);
    }
    if (!entry.keyEquivalent.empty()) {
        dbusmenu_menuitem_property_set_variant(menuItem.get(), DBUSMENU_MENUITEM_PROP_SHORTCUT,
            shortcutForKeyEquivalent(entry.keyEquivalent));
    }
    if (entry.action) {
        auto activation = std::make_unique<Activation>(Activation{weak_from_this(), *entry.action});
        g_signal_connect_data(
            menuItem.get(), DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED, G_CALLBACK(onItemActivated),
            activation.release(),
            [](gpointer data, GClosure*) {
                std::unique_ptr<Activation> owned(static_cast<Activation*>(data));
            },
            GConnectFlags(0));
    }
    return menuItem;
}

void LinuxStatusItem::setMenu(Menu menu)
{
    menu_ = std::move(menu);
    if (!menuServer_) {
        return;
    }
    // A whole new tree every time: the server announces it with one LayoutUpdated. Menus handed
    // over within one main-loop iteration share that announcement, which carries the last one.
    // Ids follow positions, so a click the host sends from the menu it read just before a
    // rebuild still names the same entry.
    auto root = adoptGObject(dbusmenu_menuitem_new_with_id(0));
    dbusmenu_menuitem_property_set(
        root.get(), DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY, DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
    int id = 0;
    for (const MenuItem& entry : menu_.items) {
        auto menuItem = makeMenuItem(entry, ++id);
        dbusmenu_menuitem_child_append(root.get(), menuItem.get());
    }
    dbusmenu_server_set_root(menuServer_.get(), root.get());
}

void LinuxStatusItem::onItemActivated(DbusmenuMenuitem* menuItem, guint, gpointer data)
{
    // The host may send clicks for items it shows disabled; a disabled item never acts.
    if (!dbusmenu_menuitem_property_get_bool(menuItem, DBUSMENU_MENUITEM_PROP_ENABLED)) {
        return;
    }
    auto* activation = static_cast<Activation*>(data);
    if (auto item = activation->item.lock()) {
        item->queueDelivery(activation->action);
    }
}

void LinuxStatusItem::queueDelivery(MenuAction action)
{
    pendingActions_.push_back(action);
    if (!deliveryIdle_) {
        deliveryIdle_ = SourceId(g_idle_add(deliverPending, this));
    }
}

gboolean LinuxStatusItem::deliverPending(gpointer data)
{
    auto* self = static_cast<LinuxStatusItem*>(data);
    self->deliveryIdle_.release();
    // The click's reply is queued already; get it onto the bus before the action runs, since
    // the action may end the process (Quit).
    if (self->connection_) {
        g_dbus_connection_flush_sync(self->connection_.get(), nullptr, nullptr);
    }
    // Delivering may release this item: work from copies.
    auto actions = std::exchange(self->pendingActions_, {});
    auto deliver = self->deliverAction_;
    for (MenuAction action : actions) {
        if (deliver) {
            deliver(action);
        }
    }
    return G_SOURCE_REMOVE;
}

LinuxStatusBar::LinuxStatusBar(GDBusConnection* connection,
    std::optional<std::string> resourcesDirectory,
    std::function<void(MenuAction action)> deliverAction)
    : connection_(retainGObject(connection))
    , resourcesDirectory_(std::move(resourcesDirectory))
    , deliverAction_(std::move(deliverAction))
{
}

LinuxStatusBar::~LinuxStatusBar() = default;

std::shared_ptr<StatusItem> LinuxStatusBar::statusItemWithLength(double)
{
    if (auto item = item_.lock()) {
        return item;
    }
    auto item = std::make_shared<LinuxStatusItem>(
        connection_.get(), ++itemsCreated_, resourcesDirectory_.value_or(""), deliverAction_);
    item->start();
    item_ = item;
    return item;
}

std::optional<Image> LinuxStatusBar::imageNamed(std::string_view name)
{
    if (!resourcesDirectory_ || name.empty() || name.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string png = appendingPathComponent(*resourcesDirectory_, std::string(name) + ".png");
    if (isPNGImage(png)) {
        return Image{.name = std::string(name), .path = png};
    }
    std::string svg = appendingPathComponent(*resourcesDirectory_, std::string(name) + ".svg");
    if (isSVGDocument(svg)) {
        return Image{.name = std::string(name), .path = svg};
    }
    return std::nullopt;
}

} // namespace ShadeLedgerZizadezavav
