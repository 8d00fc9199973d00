#include "platform/linux/linux_status_bar.h"

#include "platform/linux/linux_status_menu.h"
#include "platform/linux/status_image.h"
#include "platform/linux/status_item_interface.h"

#include "platform/bundle.h"

#include <array>
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
// XApp's watcher owns this name beside the watcher's, on the same connection.
constexpr const char* xappWatcherName = "org.x.StatusNotifierWatcher";

// An indicator's path, which XApp's watcher reads as "a left click opens the menu".
std::string indicatorPath()
{
    std::string path = "/org/ayatana/NotificationItem/";
    for (const char* c = agentBundleIdentifier; *c != '\0'; ++c) {
        path.push_back(g_ascii_isalnum(*c) ? *c : '_');
    }
    return path;
}

GVariant* pixmapArray(const std::vector<Pixmap>& pixmaps)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    for (const auto& pixmap : pixmaps) {
        g_variant_builder_add(&builder, "(ii@ay)", pixmap.width, pixmap.height,
            g_variant_new_fixed_array(
                G_VARIANT_TYPE_BYTE, pixmap.argb.data(), pixmap.argb.size(), 1));
    }
    return g_variant_ref_sink(g_variant_builder_end(&builder));
}

} // namespace

class LinuxStatusItem final : public StatusItem, private TrayWatcher {
public:
    LinuxStatusItem(GDBusConnection* connection, Scheduler& scheduler, unsigned number,
        std::string iconThemePath, std::function<void(MenuAction)> deliverAction,
        StatusItemDelays delays);
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

    void nameSettled(NameState state);
    void watchWatcher();
    void setIcon(
        std::string iconName, std::string iconThemePath, const std::vector<Pixmap>& pixmaps);
    void setLabel(std::string label);
    // On each path the item is exported at.
    void emitItemSignal(const char* interface, const char* name, GVariant* parameters);
    void emitPropertiesChanged(std::initializer_list<const char*> names);
    GVariant* property(std::string_view name) const;
    bool namesThisItem(std::string_view entry) const;
    void exportAt(RegisteredObject& registration, const char* path);

    // The watcher's side of the registration.
    void identify(std::function<void(ItemPath)> done) override;
    void registerItem(ItemPath path, std::function<void(bool accepted)> done) override;
    void readListed(std::function<void(std::optional<bool>)> done) override;
    void readHostRegistered(std::function<void(std::optional<bool>)> done) override;
    // Calls a method asynchronously; done gets the reply, or null after an error. Never called
    // once the item is gone.
    void call(const char* destination, const char* path, const char* interface, const char* method,
        GVariant* parameters, const GVariantType* replyType, std::function<void(GVariantPtr)> done);
    void readWatcherProperty(const char* name, std::function<void(GVariantPtr)> done);

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GVariant*, GDBusMethodInvocation*, gpointer);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GError**, gpointer);
    static void onItemUnregistered(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GVariant* parameters, gpointer data);

    GObjectPtr<GDBusConnection> connection_;
    Button button_{*this};
    std::string busName_;
    std::string currentDesktop_;

    std::string iconName_;
    std::string iconThemePath_;
    GVariantPtr pixmaps_;
    std::string label_;

    LinuxStatusMenu menu_;

    GDBusNodeInfoPtr introspection_;
    RegisteredObject exported_;
    // At the indicator's path too while XApp's watcher shows the item.
    RegisteredObject exportedAsIndicator_;
    BusNameOwnership nameOwnership_;
    NameState nameState_ = NameState::requested;
    BusNameWatch watcherWatch_;
    std::string watcherOwner_;
    SignalSubscription unregisteredSignal_;
    // Cancelled with the item: no answer reaches it once it is gone.
    GObjectPtr<GCancellable> calls_;
    StatusRegistration registration_;
};

LinuxStatusItem::LinuxStatusItem(GDBusConnection* connection, Scheduler& scheduler, unsigned number,
    std::string iconThemePath, std::function<void(MenuAction)> deliverAction,
    StatusItemDelays delays)
    : connection_(retainGObject(connection))
    , busName_(
          "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(number))
    , iconThemePath_(std::move(iconThemePath))
    , pixmaps_(pixmapArray({}))
    , menu_(connection, std::move(deliverAction))
    , calls_(g_cancellable_new())
    , registration_(
          scheduler, *this,
          [this](
              TrayNotice notice) { g_message("%s", noticeText(notice, currentDesktop_).c_str()); },
          delays)
{
}

LinuxStatusItem::~LinuxStatusItem()
{
    g_cancellable_cancel(calls_.get());
}

void LinuxStatusItem::start()
{
    if (!connection_) {
        g_message("No session bus: the ShadeLedger Zizadezavav icon and its menu cannot appear "
                  "(DBUS_SESSION_BUS_ADDRESS is unset or the bus does not answer).");
        return;
    }
    const char* desktop = g_getenv("XDG_CURRENT_DESKTOP");
    currentDesktop_ = desktop ? desktop : "";
    // The menu server looks its bus up first, so that its object is usually exported before a
    // host hears of the item; a host that is quicker learns of it from LayoutUpdated.
    menu_.start();

    introspection_
        = GDBusNodeInfoPtr(g_dbus_node_info_new_for_xml(statusItemInterfaceXML, nullptr));
    exportAt(exported_, itemPath);
    if (!exported_) {
        // Another item already lives at this path on this connection: stay invisible.
        return;
    }
    registration_.start();

    // Not queued: when another client holds the name, the item goes on without it at once.
    nameOwnership_ = BusNameOwnership(g_bus_own_name_on_connection(
        connection_.get(), busName_.c_str(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
        [](GDBusConnection*, const gchar*, gpointer data) {
            static_cast<LinuxStatusItem*>(data)->nameSettled(NameState::owned);
        },
        [](GDBusConnection*, const gchar* name, gpointer data) {
            g_debug("status item: the bus name %s is not ours; registering by path", name);
            static_cast<LinuxStatusItem*>(data)->nameSettled(NameState::taken);
        },
        this, nullptr));

    watchWatcher();

    // A watcher that stays on the bus may still drop the item (GNOME's AppIndicator extension
    // loses items in a race of its own).
    unregisteredSignal_ = SignalSubscription(connection_.get(),
        g_dbus_connection_signal_subscribe(connection_.get(), watcherName, watcherName,
            "StatusNotifierItemUnregistered", watcherPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            onItemUnregistered, this, nullptr));
}

void LinuxStatusItem::exportAt(RegisteredObject& registration, const char* path)
{
    static const GDBusInterfaceVTable vtable = {onMethodCall, onGetProperty, nullptr, {}};
    GErrorPtr error;
    registration = RegisteredObject(connection_.get(),
        g_dbus_connection_register_object(connection_.get(), path, introspection_->interfaces[0],
            &vtable, this, nullptr, errorOut(error)));
    debugError("status item: exporting the item", error);
}

void LinuxStatusItem::nameSettled(NameState state)
{
    bool first = nameState_ == NameState::requested;
    nameState_ = state;
    if (first && !watcherOwner_.empty()) {
        registration_.watcherAppeared();
    }
}

void LinuxStatusItem::watchWatcher()
{
    // A watcher that starts (or restarts, or changes hands) has never heard of the item: tell
    // each one, once the item's name is settled.
    watcherWatch_ = BusNameWatch(g_bus_watch_name_on_connection(
        connection_.get(), watcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar* owner, gpointer data) {
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->watcherOwner_ = owner;
            if (self->nameState_ != NameState::requested) {
                self->registration_.watcherAppeared();
            }
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            // Also called once at the start when there is no watcher yet: nothing went away.
            auto* self = static_cast<LinuxStatusItem*>(data);
            self->watcherOwner_.clear();
            self->registration_.watcherVanished();
        },
        this, nullptr));
}

void LinuxStatusItem::call(const char* destination, const char* path, const char* interface,
    const char* method, GVariant* parameters, const GVariantType* replyType,
    std::function<void(GVariantPtr)> done)
{
    using Done = std::function<void(GVariantPtr)>;
    g_dbus_connection_call(
        connection_.get(), destination, path, interface, method, parameters, replyType,
        G_DBUS_CALL_FLAGS_NONE, -1, calls_.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Done> done(static_cast<Done*>(data));
            GErrorPtr error;
            GVariantPtr reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, errorOut(error)));
            // Cancelled: the item is gone.
            if (!g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                debugError("status item: asking the tray", error);
                (*done)(std::move(reply));
            }
        },
        std::make_unique<Done>(std::move(done)).release());
}

void LinuxStatusItem::readWatcherProperty(const char* name, std::function<void(GVariantPtr)> done)
{
    call(watcherName, watcherPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", watcherName, name), G_VARIANT_TYPE("(v)"),
        [done = std::move(done)](GVariantPtr reply) {
            GVariant* value = nullptr;
            if (reply) {
                g_variant_get(reply.get(), "(v)", &value);
            }
            done(GVariantPtr(value));
        });
}

void LinuxStatusItem::identify(std::function<void(ItemPath)> done)
{
    call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        g_variant_new("(s)", xappWatcherName), G_VARIANT_TYPE("(s)"),
        [this, done = std::move(done)](GVariantPtr reply) {
            const gchar* owner = nullptr;
            if (reply) {
                g_variant_get(reply.get(), "(&s)", &owner);
            }
            done(owner && watcherOwner_ == owner ? ItemPath::indicator
                                                 : ItemPath::statusNotifierItem);
        });
}

void LinuxStatusItem::registerItem(ItemPath path, std::function<void(bool accepted)> done)
{
    std::string registered = itemPath;
    if (path == ItemPath::indicator) {
        registered = indicatorPath();
        if (!exportedAsIndicator_) {
            exportAt(exportedAsIndicator_, registered.c_str());
        }
    } else {
        // Another watcher than XApp's: one object, as hosts that look for items expect.
        exportedAsIndicator_.reset();
    }
    // A watcher takes an object path as the item at that path on the caller's connection. Hosts
    // then talk to the unique name, which exists before the call does; a well-known name makes
    // some of them (GNOME's AppIndicator extension) race with their own lookup of it.
    call(watcherName, watcherPath, watcherName, "RegisterStatusNotifierItem",
        g_variant_new("(s)", registered.c_str()), nullptr,
        [done = std::move(done)](GVariantPtr reply) { done(reply != nullptr); });
}

void LinuxStatusItem::readListed(std::function<void(std::optional<bool>)> done)
{
    readWatcherProperty(
        "RegisteredStatusNotifierItems", [this, done = std::move(done)](GVariantPtr items) {
            if (!items) {
                done(std::nullopt);
                return;
            }
            bool listed = false;
            if (g_variant_is_of_type(items.get(), G_VARIANT_TYPE_STRING_ARRAY)) {
                GVariantIter iter;
                g_variant_iter_init(&iter, items.get());
                const gchar* entry = nullptr;
                while (!listed && g_variant_iter_next(&iter, "&s", &entry)) {
                    listed = namesThisItem(entry);
                }
            }
            done(listed);
        });
}

void LinuxStatusItem::readHostRegistered(std::function<void(std::optional<bool>)> done)
{
    readWatcherProperty(
        "IsStatusNotifierHostRegistered", [done = std::move(done)](GVariantPtr value) {
            if (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) {
                done(g_variant_get_boolean(value.get()) != FALSE);
            } else {
                done(std::nullopt);
            }
        });
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
    if (self->namesThisItem(service)) {
        self->registration_.itemUnregistered();
    }
}

bool LinuxStatusItem::namesThisItem(std::string_view entry) const
{
    // Watchers list an item as its bus name, alone or followed by its path ("/...") or by
    // "@" and its path. A watcher that lists the path alone cannot say whose item it is: the
    // one at this item's path is taken for this one, which that watcher has just accepted,
    // rather than registered again and again and reported lost while the tray shows it.
    if (entry.substr(0, 1) == "/") {
        return entry == itemPath || entry == indicatorPath();
    }
    std::string_view name = entry.substr(0, entry.find_first_of("/@"));
    const char* unique = g_dbus_connection_get_unique_name(connection_.get());
    return (unique && name == unique) || (nameState_ == NameState::owned && name == busName_);
}

GVariant* LinuxStatusItem::property(std::string_view name) const
{
    // What never changes, as GVariant text.
    static constexpr std::array<std::pair<std::string_view, const char*>, 12> fixed{{
        {"Category", "'ApplicationStatus'"},
        {"Title", "'ShadeLedger Zizadezavav'"},
        {"Status", "'Active'"},
        {"WindowId", "0"},
        {"ItemIsMenu", "true"},
        {"OverlayIconName", "''"},
        {"AttentionIconName", "''"},
        {"AttentionMovieName", "''"},
        {"OverlayIconPixmap", "@a(iiay) []"},
        {"AttentionIconPixmap", "@a(iiay) []"},
        {"ToolTip", "('', @a(iiay) [], '', '')"},
        {"XAyatanaOrderingIndex", "uint32 0"},
    }};
    for (const auto& [key, text] : fixed) {
        if (key == name) {
            return g_variant_new_parsed(text);
        }
    }
    if (name == "Id") {
        return g_variant_new_string(agentBundleIdentifier);
    }
    if (name == "IconThemePath") {
        return g_variant_new_string(iconThemePath_.c_str());
    }
    if (name == "IconName") {
        return g_variant_new_string(iconName_.c_str());
    }
    if (name == "Menu") {
        return g_variant_new_object_path(LinuxStatusMenu::objectPath);
    }
    if (name == "IconPixmap") {
        return g_variant_ref(pixmaps_.get());
    }
    if ((name == "XAyatanaLabel" || name == "XAyatanaLabelGuide") && !label_.empty()) {
        return g_variant_new_string(label_.c_str());
    }
    return nullptr;
}

GVariant* LinuxStatusItem::onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
    const gchar* name, GError** error, gpointer data)
{
    // No value leaves the property out of GetAll as well.
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

void LinuxStatusItem::emitItemSignal(const char* interface, const char* name, GVariant* parameters)
{
    GVariantPtr owned(parameters ? g_variant_ref_sink(parameters) : nullptr);
    std::string indicator = indicatorPath();
    for (const char* path : {itemPath, indicator.c_str()}) {
        GErrorPtr error;
        if ((path == itemPath ? exported_ : exportedAsIndicator_)
            && !g_dbus_connection_emit_signal(
                connection_.get(), nullptr, path, interface, name, owned.get(), errorOut(error))) {
            debugError("status item: announcing a change", error);
        }
    }
}

void LinuxStatusItem::emitPropertiesChanged(std::initializer_list<const char*> names)
{
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    GVariantBuilder invalidated;
    g_variant_builder_init(&invalidated, G_VARIANT_TYPE("as"));
    for (const char* name : names) {
        // A reference of ours, floating or not (the pixmaps are shared); the builder takes its own.
        if (GVariant* value = property(name)) {
            GVariantPtr owned(g_variant_take_ref(value));
            g_variant_builder_add(&changed, "{sv}", name, owned.get());
        } else {
            g_variant_builder_add(&invalidated, "s", name);
        }
    }
    emitItemSignal("org.freedesktop.DBus.Properties", "PropertiesChanged",
        g_variant_new("(sa{sv}as)", itemInterface, &changed, &invalidated));
}

void LinuxStatusItem::setIcon(
    std::string iconName, std::string iconThemePath, const std::vector<Pixmap>& pixmaps)
{
    if (iconThemePath != iconThemePath_) {
        iconThemePath_ = std::move(iconThemePath);
        emitItemSignal(
            itemInterface, "NewIconThemePath", g_variant_new("(s)", iconThemePath_.c_str()));
        emitPropertiesChanged({"IconThemePath"});
    }
    GVariantPtr newPixmaps(pixmapArray(pixmaps));
    if (iconName != iconName_ || !g_variant_equal(newPixmaps.get(), pixmaps_.get())) {
        iconName_ = std::move(iconName);
        pixmaps_ = std::move(newPixmaps);
        emitItemSignal(itemInterface, "NewIcon", nullptr);
        emitPropertiesChanged({"IconName", "IconPixmap"});
    }
}

void LinuxStatusItem::setLabel(std::string label)
{
    if (label == label_) {
        return;
    }
    label_ = std::move(label);
    emitItemSignal(
        itemInterface, "XAyatanaNewLabel", g_variant_new("(ss)", label_.c_str(), label_.c_str()));
    emitPropertiesChanged({"XAyatanaLabel", "XAyatanaLabelGuide"});
}

void LinuxStatusItem::Button::setImage(const Image& image)
{
    if (image.path.empty()) {
        item_.setIcon(image.name, item_.iconThemePath_, {});
        return;
    }
    // Hosts look the name up in IconThemePath, so the name is the file's own stem.
    std::filesystem::path file(image.path);
    item_.setIcon(file.stem().string(), file.parent_path().string(), imagePixmaps(image.path));
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
    auto item = std::make_shared<LinuxStatusItem>(connection_.get(), scheduler_, ++itemsCreated_,
        resourcesDirectory_.value_or(""), deliverAction_, delays_);
    item->start();
    item_ = item;
    return item;
}

std::optional<Image> LinuxStatusBar::imageNamed(std::string_view name)
{
    auto path = resourcesDirectory_ ? imageFile(*resourcesDirectory_, name) : std::nullopt;
    if (!path) {
        return std::nullopt;
    }
    return Image{.name = std::string(name), .path = *path};
}

} // namespace ShadeLedgerZizadezavav
