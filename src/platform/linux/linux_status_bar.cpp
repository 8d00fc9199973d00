#include "platform/linux/linux_status_bar.h"

#include "platform/linux/linux_files.h"
#include "platform/linux/linux_status_menu.h"

#include "platform/bundle.h"
#include "platform/files.h"

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

namespace ShadeLedgerZizadezavav {

namespace {

constexpr const char* itemPath = "/StatusNotifierItem";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
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

// The agent can only be reached through its icon: where no tray shows it, say so where a person
// running it from a terminal or reading the session log will see it.
constexpr const char* gnomeHint
    = "On GNOME, install and turn on the AppIndicator and KStatusNotifierItem Support extension "
      "(Debian: gnome-shell-extension-appindicator), then log out and in.";

// Completes a call made with a cancellable: false when it was cancelled (its caller may be gone);
// otherwise the reply, or none and the error.
bool finishCall(GObject* source, GAsyncResult* result, GVariantPtr& reply, GErrorPtr& error)
{
    reply = GVariantPtr(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, errorOut(error)));
    return !g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED);
}

// The value in the reply to org.freedesktop.DBus.Properties.Get.
GVariantPtr propertyValue(const GVariantPtr& reply)
{
    GVariant* boxed = nullptr;
    g_variant_get(reply.get(), "(v)", &boxed);
    return GVariantPtr(boxed);
}

} // namespace

class LinuxStatusItem final : public StatusItem {
public:
    LinuxStatusItem(GDBusConnection* connection, unsigned number, std::string iconThemePath,
        std::function<void(MenuAction)> deliverAction, StatusItemDelays delays);
    ~LinuxStatusItem() override;
    LinuxStatusItem(const LinuxStatusItem&) = delete;
    LinuxStatusItem& operator=(const LinuxStatusItem&) = delete;

    StatusBarButton* button() override { return &button_; }
    void setMenu(Menu menu) override { menu_.show(std::move(menu)); }

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

    // The item's own bus name: asked for, held, or owned by another client. The item registers
    // by path either way, once the name is settled.
    enum class NameState { requested, owned, taken };

    void setIcon(std::string iconName, std::string iconThemePath);
    void setLabel(std::string label);
    void emitItemSignal(const char* name, GVariant* parameters);
    void emitPropertiesChanged(std::initializer_list<const char*> names);
    GVariant* property(const char* name) const;
    void registerWithWatcher();
    void registerAfter(std::chrono::milliseconds delay);
    void cancelRegistration();
    void registrationFailed(const GErrorPtr& error);
    void checkListed();
    void droppedByWatcher();
    void giveUp(const char* reason);
    void checkForTray();
    void readWatcherProperty(
        const char* name, GObjectPtr<GCancellable>& call, GAsyncReadyCallback done);
    bool namesThisItem(std::string_view entry) const;

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GVariant*, GDBusMethodInvocation*, gpointer);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GError**, gpointer);
    static void onRegistered(GObject* source, GAsyncResult* result, gpointer data);
    static void onListingRead(GObject* source, GAsyncResult* result, gpointer data);
    static void onHostRead(GObject* source, GAsyncResult* result, gpointer data);
    static void onItemUnregistered(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GVariant* parameters, gpointer data);

    GObjectPtr<GDBusConnection> connection_;
    StatusItemDelays delays_;
    Button button_{*this};
    std::string busName_;

    std::string iconName_;
    std::string iconThemePath_;
    std::string label_;

    LinuxStatusMenu menu_;

    GDBusNodeInfoPtr introspection_;
    RegisteredObject registration_;
    BusNameOwnership nameOwnership_;
    BusNameWatch watcherWatch_;
    SignalSubscription unregisteredSignal_;
    NameState nameState_ = NameState::requested;
    bool watcherPresent_ = false;
    bool watcherSeen_ = false;

    // The registration call in flight (cancelled when the item goes or calls anew), the read of
    // the watcher's list that follows it, and the next registration: after a refusal, backing
    // off from 0.1 s to 1.6 s; after the watcher dropped the item, from the first
    // re-registration delay. Both counts start again with each new watcher.
    GObjectPtr<GCancellable> registering_;
    GObjectPtr<GCancellable> listing_;
    SourceId retry_;
    unsigned failedRegistrations_ = 0;
    unsigned reregistrations_ = 0;
    bool gaveUp_ = false;

    // The one look for a tray some seconds after start.
    SourceId trayCheck_;
    GObjectPtr<GCancellable> hostCheck_;
};

LinuxStatusItem::LinuxStatusItem(GDBusConnection* connection, unsigned number,
    std::string iconThemePath, std::function<void(MenuAction)> deliverAction,
    StatusItemDelays delays)
    : connection_(retainGObject(connection))
    , delays_(delays)
    , busName_(
          "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(number))
    , iconThemePath_(std::move(iconThemePath))
    , menu_(connection, std::move(deliverAction))
{
}

LinuxStatusItem::~LinuxStatusItem()
{
    cancelRegistration();
    if (hostCheck_) {
        g_cancellable_cancel(hostCheck_.get());
    }
}

void LinuxStatusItem::start()
{
    if (!connection_) {
        g_message("No session bus: the ShadeLedger Zizadezavav icon and its menu cannot appear "
                  "(DBUS_SESSION_BUS_ADDRESS is unset or the bus does not answer).");
        return;
    }
    // The menu server looks its bus up first, so that its object is usually exported before a
    // host hears of the item; a host that is quicker learns of it from LayoutUpdated.
    menu_.start();

    introspection_ = GDBusNodeInfoPtr(g_dbus_node_info_new_for_xml(itemIntrospection, nullptr));
    static const GDBusInterfaceVTable vtable = {onMethodCall, onGetProperty, nullptr, {}};
    GErrorPtr error;
    registration_ = RegisteredObject(connection_.get(),
        g_dbus_connection_register_object(connection_.get(), itemPath,
            introspection_->interfaces[0], &vtable, this, nullptr, errorOut(error)));
    if (!registration_) {
        // Another item already lives at this path on this connection: stay invisible.
        debugError("status item: exporting the item", error);
        return;
    }

    // Not queued: when another client holds the name, the item goes on without it at once.
    nameOwnership_ = BusNameOwnership(g_bus_own_name_on_connection(
        connection_.get(), busName_.c_str(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
        [](GDBusConnection*, const gchar*, gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->nameState_ = NameState::owned;
            self->registerWithWatcher();
        },
        [](GDBusConnection*, const gchar* name, gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            g_debug("status item: the bus name %s is not ours; registering by path", name);
            self->nameState_ = NameState::taken;
            self->registerWithWatcher();
        },
        this, nullptr));

    // A watcher that starts (or restarts, or changes hands) has never heard of the item: tell
    // each one.
    watcherWatch_ = BusNameWatch(g_bus_watch_name_on_connection(
        connection_.get(), watcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->watcherPresent_ = true;
            self->watcherSeen_ = true;
            self->failedRegistrations_ = 0;
            self->reregistrations_ = 0;
            self->gaveUp_ = false;
            self->registerWithWatcher();
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            // Also called once at the start when there is no watcher yet: nothing went away.
            if (self->watcherPresent_) {
                g_message("The system tray went away (org.kde.StatusNotifierWatcher left the "
                          "session bus): the ShadeLedger Zizadezavav icon is gone until a tray "
                          "starts again.");
            }
            self->watcherPresent_ = false;
            self->cancelRegistration();
        },
        this, nullptr));

    // A watcher that stays on the bus may still drop the item (GNOME's AppIndicator extension
    // loses items in a race of its own).
    unregisteredSignal_ = SignalSubscription(connection_.get(),
        g_dbus_connection_signal_subscribe(connection_.get(), watcherName, watcherName,
            "StatusNotifierItemUnregistered", watcherPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            onItemUnregistered, this, nullptr));

    trayCheck_ = SourceId(g_timeout_add(
        static_cast<guint>(delays_.trayCheck.count()),
        [](gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->trayCheck_.release();
            self->checkForTray();
            return gboolean(G_SOURCE_REMOVE);
        },
        this));
}

void LinuxStatusItem::checkForTray()
{
    if (watcherSeen_) {
        if (watcherPresent_) {
            readWatcherProperty("IsStatusNotifierHostRegistered", hostCheck_, onHostRead);
        }
        // A watcher that came and went has been reported already.
        return;
    }
    g_message("No system tray found: nothing on the session bus shows status icons (no "
              "org.kde.StatusNotifierWatcher), so the ShadeLedger Zizadezavav icon and its menu "
              "cannot appear. %s",
        gnomeHint);
}

void LinuxStatusItem::readWatcherProperty(
    const char* name, GObjectPtr<GCancellable>& call, GAsyncReadyCallback done)
{
    if (call) {
        g_cancellable_cancel(call.get());
    }
    call = adoptGObject(g_cancellable_new());
    g_dbus_connection_call(connection_.get(), watcherName, watcherPath,
        "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", watcherName, name),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1, call.get(), done, this);
}

void LinuxStatusItem::onHostRead(GObject* source, GAsyncResult* result, gpointer data)
{
    GVariantPtr reply;
    GErrorPtr error;
    if (!finishCall(source, result, reply, error)) {
        return;
    }
    static_cast<LinuxStatusItem*>(data)->hostCheck_.reset();
    if (!reply) {
        // A watcher that cannot say is taken at its word that it shows items.
        debugError("status item: asking the watcher for a tray", error);
        return;
    }
    GVariantPtr value = propertyValue(reply);
    if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)
        && !g_variant_get_boolean(value.get())) {
        g_message("No system tray shows status icons: org.kde.StatusNotifierWatcher runs but no "
                  "tray has registered with it, so the ShadeLedger Zizadezavav icon and its menu "
                  "cannot appear. %s",
            gnomeHint);
    }
}

void LinuxStatusItem::cancelRegistration()
{
    retry_.reset();
    for (auto* call : {&registering_, &listing_}) {
        if (*call) {
            g_cancellable_cancel(call->get());
            call->reset();
        }
    }
}

void LinuxStatusItem::registerWithWatcher()
{
    if (nameState_ == NameState::requested || !watcherPresent_) {
        return;
    }
    cancelRegistration();
    registering_ = adoptGObject(g_cancellable_new());
    // A watcher takes an object path as the item at that path on the caller's connection. Hosts
    // then talk to the unique name, which exists before the call does; a well-known name makes
    // some of them (GNOME's AppIndicator extension) race with their own lookup of it.
    g_dbus_connection_call(connection_.get(), watcherName, watcherPath, watcherName,
        "RegisterStatusNotifierItem", g_variant_new("(s)", itemPath), nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, registering_.get(), onRegistered, this);
}

void LinuxStatusItem::registerAfter(std::chrono::milliseconds delay)
{
    retry_ = SourceId(g_timeout_add(
        static_cast<guint>(delay.count()),
        [](gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->retry_.release();
            self->registerWithWatcher();
            return gboolean(G_SOURCE_REMOVE);
        },
        this));
}

void LinuxStatusItem::onRegistered(GObject* source, GAsyncResult* result, gpointer data)
{
    GVariantPtr reply;
    GErrorPtr error;
    // Cancelled: the item is gone or has called again; data may be stale.
    if (!finishCall(source, result, reply, error)) {
        return;
    }
    auto* self = static_cast<LinuxStatusItem*>(data);
    self->registering_.reset();
    if (reply) {
        self->failedRegistrations_ = 0;
        // An answer is no promise that the item is shown: see that the watcher lists it.
        self->checkListed();
        return;
    }
    self->registrationFailed(error);
}

void LinuxStatusItem::registrationFailed(const GErrorPtr& error)
{
    // A watcher that owns its name before its object exists refuses the first calls.
    constexpr unsigned retries = 5;
    debugError("status item: registering with the watcher", error);
    if (failedRegistrations_ >= retries) {
        giveUp("it refused to register it");
        return;
    }
    registerAfter(std::chrono::milliseconds(100u << failedRegistrations_++));
}

void LinuxStatusItem::checkListed()
{
    readWatcherProperty("RegisteredStatusNotifierItems", listing_, onListingRead);
}

void LinuxStatusItem::onListingRead(GObject* source, GAsyncResult* result, gpointer data)
{
    GVariantPtr reply;
    GErrorPtr error;
    if (!finishCall(source, result, reply, error)) {
        return;
    }
    auto* self = static_cast<LinuxStatusItem*>(data);
    self->listing_.reset();
    if (!reply) {
        // A watcher without the list: nothing to go by.
        debugError("status item: reading the watcher's items", error);
        return;
    }
    GVariantPtr items = propertyValue(reply);
    if (g_variant_is_of_type(items.get(), G_VARIANT_TYPE_STRING_ARRAY)) {
        GVariantIter iter;
        g_variant_iter_init(&iter, items.get());
        const gchar* entry = nullptr;
        while (g_variant_iter_next(&iter, "&s", &entry)) {
            if (self->namesThisItem(entry)) {
                return;
            }
        }
    }
    self->droppedByWatcher();
}

void LinuxStatusItem::onItemUnregistered(GDBusConnection*, const gchar*, const gchar*, const gchar*,
    const gchar*, GVariant* parameters, gpointer data)
{
    auto* self = static_cast<LinuxStatusItem*>(data);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(s)"))) {
        return;
    }
    const gchar* service = nullptr;
    g_variant_get(parameters, "(&s)", &service);
    // A registration under way ends with a look at the list anyway; the list, not the signal,
    // has the last word (the signal may be about an earlier registration).
    if (self->watcherPresent_ && self->namesThisItem(service) && !self->registering_
        && !self->retry_) {
        self->checkListed();
    }
}

bool LinuxStatusItem::namesThisItem(std::string_view entry) const
{
    // Watchers list an item as its bus name, alone or followed by its path ("/...") or by
    // "@" and its path. A watcher that lists the path alone cannot say whose item it is: the
    // one at this item's path is taken for this one, which that watcher has just accepted,
    // rather than registered again and again and reported lost while the tray shows it.
    if (entry.substr(0, 1) == "/") {
        return entry == itemPath;
    }
    std::string_view name = entry.substr(0, entry.find_first_of("/@"));
    const char* unique = g_dbus_connection_get_unique_name(connection_.get());
    return (unique && name == unique) || (nameState_ == NameState::owned && name == busName_);
}

void LinuxStatusItem::droppedByWatcher()
{
    constexpr unsigned reregistrations = 5;
    g_debug("status item: the watcher does not list the item");
    if (reregistrations_ >= reregistrations) {
        giveUp("it dropped it again and again");
        return;
    }
    registerAfter(delays_.firstReregistration * (1u << reregistrations_++));
}

void LinuxStatusItem::giveUp(const char* reason)
{
    if (gaveUp_) {
        return;
    }
    gaveUp_ = true;
    g_message("The system tray did not keep the ShadeLedger Zizadezavav icon (%s); it stays "
              "hidden until the tray restarts.",
        reason);
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
        return g_variant_new_object_path(LinuxStatusMenu::objectPath);
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
    const gchar* method, GVariant*, GDBusMethodInvocation* invocation, gpointer)
{
    // The item is a menu and nothing else. Hosts that do not read ItemIsMenu (KDE Plasma) open
    // the menu on a click only when activation is refused as unknown, as items that are only a
    // menu refuse it. Scrolling and context menu requests are answered and ignored.
    if (g_strcmp0(method, "Activate") == 0 || g_strcmp0(method, "SecondaryActivate") == 0) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
            "%s: the item only has a menu", method);
        return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void LinuxStatusItem::emitItemSignal(const char* name, GVariant* parameters)
{
    if (!registration_) {
        if (parameters) {
            g_variant_unref(g_variant_ref_sink(parameters));
        }
        return;
    }
    GErrorPtr error;
    if (!g_dbus_connection_emit_signal(connection_.get(), nullptr, itemPath, itemInterface, name,
            parameters, errorOut(error))) {
        debugError("status item: announcing a change", error);
    }
}

void LinuxStatusItem::emitPropertiesChanged(std::initializer_list<const char*> names)
{
    if (!registration_) {
        return;
    }
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    for (const char* name : names) {
        g_variant_builder_add(&changed, "{sv}", name, property(name));
    }
    GErrorPtr error;
    if (!g_dbus_connection_emit_signal(connection_.get(), nullptr, itemPath,
            "org.freedesktop.DBus.Properties", "PropertiesChanged",
            g_variant_new("(sa{sv}as)", itemInterface, &changed, nullptr), errorOut(error))) {
        debugError("status item: announcing changed properties", error);
    }
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

LinuxStatusBar::LinuxStatusBar(GDBusConnection* connection,
    std::optional<std::string> resourcesDirectory,
    std::function<void(MenuAction action)> deliverAction, StatusItemDelays delays)
    : connection_(retainGObject(connection))
    , resourcesDirectory_(std::move(resourcesDirectory))
    , deliverAction_(std::move(deliverAction))
    , delays_(delays)
{
}

LinuxStatusBar::~LinuxStatusBar() = default;

std::shared_ptr<StatusItem> LinuxStatusBar::statusItemWithLength(double)
{
    if (auto item = item_.lock()) {
        return item;
    }
    auto item = std::make_shared<LinuxStatusItem>(connection_.get(), ++itemsCreated_,
        resourcesDirectory_.value_or(""), deliverAction_, delays_);
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
