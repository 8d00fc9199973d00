#include "platform/linux/linux_status_bar.h"

#include "platform/linux/linux_files.h"
#include "platform/linux/linux_status_menu.h"

#include "platform/bundle.h"
#include "platform/files.h"

#include <cstdint>
#include <filesystem>
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

} // namespace

class LinuxStatusItem final : public StatusItem {
public:
    LinuxStatusItem(GDBusConnection* connection, unsigned number, std::string iconThemePath,
        std::function<void(MenuAction)> deliverAction);
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

    // The item's own bus name: asked for, held, or owned by another client (the watcher then
    // learns of the item by this connection's unique name and the item's path).
    enum class NameState { requested, owned, taken };

    void setIcon(std::string iconName, std::string iconThemePath);
    void setLabel(std::string label);
    void emitItemSignal(const char* name, GVariant* parameters);
    void emitPropertiesChanged(std::initializer_list<const char*> names);
    GVariant* property(const char* name) const;
    void registerWithWatcher();
    void cancelRegistration();
    void registrationFailed(const GErrorPtr& error);

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GVariant*, GDBusMethodInvocation*, gpointer);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GError**, gpointer);
    static void onRegistered(GObject* source, GAsyncResult* result, gpointer data);

    GObjectPtr<GDBusConnection> connection_;
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
    NameState nameState_ = NameState::requested;
    bool watcherPresent_ = false;

    // The registration call in flight (cancelled when the item goes or calls anew) and the
    // retry after a refusal, backing off from 0.1 s to 1.6 s.
    GObjectPtr<GCancellable> registering_;
    SourceId retry_;
    unsigned failedRegistrations_ = 0;
};

LinuxStatusItem::LinuxStatusItem(GDBusConnection* connection, unsigned number,
    std::string iconThemePath, std::function<void(MenuAction)> deliverAction)
    : connection_(retainGObject(connection))
    , busName_(
          "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(number))
    , iconThemePath_(std::move(iconThemePath))
    , menu_(connection, std::move(deliverAction))
{
}

LinuxStatusItem::~LinuxStatusItem()
{
    cancelRegistration();
}

void LinuxStatusItem::start()
{
    if (!connection_) {
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
            self->failedRegistrations_ = 0;
            self->registerWithWatcher();
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->watcherPresent_ = false;
            self->cancelRegistration();
        },
        this, nullptr));
}

void LinuxStatusItem::cancelRegistration()
{
    retry_.reset();
    if (registering_) {
        g_cancellable_cancel(registering_.get());
        registering_.reset();
    }
}

void LinuxStatusItem::registerWithWatcher()
{
    if (nameState_ == NameState::requested || !watcherPresent_) {
        return;
    }
    cancelRegistration();
    registering_ = adoptGObject(g_cancellable_new());
    // A watcher takes an object path as the item at that path on the caller's connection.
    const char* service = nameState_ == NameState::owned ? busName_.c_str() : itemPath;
    g_dbus_connection_call(connection_.get(), watcherName, watcherPath, watcherName,
        "RegisterStatusNotifierItem", g_variant_new("(s)", service), nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, registering_.get(), onRegistered, this);
}

void LinuxStatusItem::onRegistered(GObject* source, GAsyncResult* result, gpointer data)
{
    GErrorPtr error;
    GVariantPtr reply(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, errorOut(error)));
    // Cancelled: the item is gone or has called again; data may be stale.
    if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return;
    }
    auto* self = static_cast<LinuxStatusItem*>(data);
    self->registering_.reset();
    if (reply) {
        self->failedRegistrations_ = 0;
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
        return;
    }
    guint delay = 100u << failedRegistrations_++;
    retry_ = SourceId(g_timeout_add(
        delay,
        [](gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->retry_.release();
            self->registerWithWatcher();
            return gboolean(G_SOURCE_REMOVE);
        },
        this));
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
    const gchar*, GVariant*, GDBusMethodInvocation* invocation, gpointer)
{
    // The item is a menu and nothing else: activation, scrolling and context menu requests are
    // answered and otherwise ignored (ItemIsMenu tells hosts to open the menu instead).
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
