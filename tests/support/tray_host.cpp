#include "support/tray_host.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

namespace ShadeLedgerZizadezavav {

namespace {

constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* watcherPath = "/StatusNotifierWatcher";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr const char* menuInterface = "com.canonical.dbusmenu";

constexpr const char* watcherIntrospection = R"XML(
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem">
      <arg name="service" type="s" direction="in"/>
    </method>
    <method name="RegisterStatusNotifierHost">
      <arg name="service" type="s" direction="in"/>
    </method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered">
      <arg name="service" type="s"/>
    </signal>
    <signal name="StatusNotifierItemUnregistered">
      <arg name="service" type="s"/>
    </signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
)XML";

// A timer that wakes the context regularly, so that a blocking iteration returns in time to
// look at the deadline.
class WakeUp {
public:
    explicit WakeUp(GMainContext* context)
        : source_(g_timeout_source_new(20))
    {
        g_source_set_callback(
            source_, [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr, nullptr);
        g_source_attach(source_, context);
    }
    ~WakeUp()
    {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

private:
    GSource* source_;
};

std::string stringProperty(GVariant* properties, const char* name, std::string fallback)
{
    const char* value = nullptr;
    if (g_variant_lookup(properties, name, "&s", &value)) {
        return value;
    }
    return fallback;
}

TrayMenuEntry entryFromLayout(GVariant* layout)
{
    TrayMenuEntry entry;
    GVariantPtr properties(g_variant_get_child_value(layout, 1));
    g_variant_get_child(layout, 0, "i", &entry.id);
    entry.label = stringProperty(properties.get(), "label", "");
    entry.type = stringProperty(properties.get(), "type", "standard");
    entry.toggleType = stringProperty(properties.get(), "toggle-type", "");
    gboolean flag = FALSE;
    if (g_variant_lookup(properties.get(), "enabled", "b", &flag)) {
        entry.enabled = flag;
    }
    if (g_variant_lookup(properties.get(), "visible", "b", &flag)) {
        entry.visible = flag;
    }
    gint32 state = -1;
    if (g_variant_lookup(properties.get(), "toggle-state", "i", &state)) {
        entry.toggleState = state;
    }
    GVariantPtr shortcut(
        g_variant_lookup_value(properties.get(), "shortcut", G_VARIANT_TYPE("aas")));
    if (shortcut) {
        GVariantIter keys;
        g_variant_iter_init(&keys, shortcut.get());
        while (GVariant* combination = g_variant_iter_next_value(&keys)) {
            GVariantPtr owned(combination);
            gsize length = 0;
            const gchar** parts = g_variant_get_strv(combination, &length);
            entry.shortcut.emplace_back(parts, parts + length);
            g_free(parts);
        }
    }
    return entry;
}

} // namespace

std::string describe(const TrayMenu& menu)
{
    std::string text = "[";
    for (const auto& entry : menu) {
        if (text.size() > 1) {
            text += ", ";
        }
        text += entry.isSeparator() ? "---" : "\"" + entry.label + "\"";
    }
    return text + "]";
}

bool iterateUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    GMainContextPtr context(g_main_context_ref_thread_default());
    auto deadline = std::chrono::steady_clock::now() + timeout;
    WakeUp wakeUp(context.get());
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        g_main_context_iteration(context.get(), TRUE);
    }
    return true;
}

TrayHost::TrayHost(const std::string& busAddress, Export watcher)
{
    GError* rawError = nullptr;
    connection_ = adoptGObject(g_dbus_connection_new_for_address_sync(busAddress.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
            | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &rawError));
    GErrorPtr error(rawError);
    if (!connection_) {
        throw std::runtime_error("tray host: cannot connect to " + busAddress + ": "
            + (error ? error->message : "unknown error"));
    }
    g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);

    introspection_ = GDBusNodeInfoPtr(g_dbus_node_info_new_for_xml(watcherIntrospection, nullptr));
    if (watcher == Export::withName) {
        exportWatcher();
    }
    using Counter = std::shared_ptr<std::atomic<int>>;
    filterId_ = g_dbus_connection_add_filter(connection_.get(), countRegistrationCalls,
        std::make_unique<Counter>(registrationCalls_).release(),
        [](gpointer data) { std::unique_ptr<Counter> owned(static_cast<Counter*>(data)); });
    layoutSubscription_
        = g_dbus_connection_signal_subscribe(connection_.get(), nullptr, menuInterface, nullptr,
            nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onMenuSignal, this, nullptr);

    // Owning the name only involves the bus daemon, so a blocking call cannot stall an item
    // living in this process.
    constexpr guint32 doNotQueue = 4;
    constexpr guint32 primaryOwner = 1;
    rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_sync(connection_.get(), "org.freedesktop.DBus",
        "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", watcherName, doNotQueue), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &rawError));
    GErrorPtr requestError(rawError);
    guint32 result = 0;
    if (reply) {
        g_variant_get(reply.get(), "(u)", &result);
    }
    if (result != primaryOwner) {
        // The destructor will not run: nothing may call back into this half-made host.
        g_dbus_connection_signal_unsubscribe(connection_.get(), layoutSubscription_);
        g_dbus_connection_remove_filter(connection_.get(), filterId_);
        if (registrationId_ != 0) {
            g_dbus_connection_unregister_object(connection_.get(), registrationId_);
        }
        g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
        throw std::runtime_error(std::string("tray host: cannot own ") + watcherName
            + (requestError ? std::string(": ") + requestError->message : std::string()));
    }
}

TrayHost::~TrayHost()
{
    g_dbus_connection_signal_unsubscribe(connection_.get(), layoutSubscription_);
    g_dbus_connection_remove_filter(connection_.get(), filterId_);
    if (registrationId_ != 0) {
        g_dbus_connection_unregister_object(connection_.get(), registrationId_);
    }
    // Closing gives the watcher name up at once, as a host that quits would.
    g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

void TrayHost::onMethodCall(GDBusConnection* connection, const gchar* sender, const gchar*,
    const gchar*, const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
    gpointer data)
{
    auto* self = static_cast<TrayHost*>(data);
    if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
        const gchar* service = nullptr;
        g_variant_get(parameters, "(&s)", &service);
        TrayRegistration registration{
            service, sender ? sender : "", service, "/StatusNotifierItem", ""};
        // An item may register by object path, leaving the bus name to its sender.
        if (service[0] == '/') {
            registration.busName = registration.sender;
            registration.objectPath = service;
        }
        registration.id = self->listsBarePaths_ && service[0] == '/'
            ? registration.objectPath
            : registration.busName + registration.objectPath;
        self->registrations_.push_back(registration);
        auto& listed = self->listed_;
        if (self->listsItems_
            && std::find(listed.begin(), listed.end(), registration.id) == listed.end()) {
            listed.push_back(registration.id);
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
        g_dbus_connection_emit_signal(connection, nullptr, watcherPath, watcherName,
            "StatusNotifierItemRegistered", g_variant_new("(s)", registration.id.c_str()), nullptr);
        return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* TrayHost::onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
    const gchar* name, GError**, gpointer data)
{
    auto* self = static_cast<TrayHost*>(data);
    if (g_strcmp0(name, "RegisteredStatusNotifierItems") == 0) {
        GVariantBuilder services;
        g_variant_builder_init(&services, G_VARIANT_TYPE("as"));
        for (const auto& id : self->listed_) {
            g_variant_builder_add(&services, "s", id.c_str());
        }
        return g_variant_builder_end(&services);
    }
    if (g_strcmp0(name, "IsStatusNotifierHostRegistered") == 0) {
        return g_variant_new_boolean(self->hostRegistered_);
    }
    return g_variant_new_int32(0);
}

void TrayHost::dropItems()
{
    auto dropped = std::exchange(listed_, {});
    for (const auto& id : dropped) {
        if (registrationId_ != 0) {
            g_dbus_connection_emit_signal(connection_.get(), nullptr, watcherPath, watcherName,
                "StatusNotifierItemUnregistered", g_variant_new("(s)", id.c_str()), nullptr);
        }
    }
}

void TrayHost::exportWatcher()
{
    if (registrationId_ != 0) {
        return;
    }
    static const GDBusInterfaceVTable vtable = {onMethodCall, onGetProperty, nullptr, {}};
    registrationId_ = g_dbus_connection_register_object(connection_.get(), watcherPath,
        introspection_->interfaces[0], &vtable, this, nullptr, nullptr);
}

GDBusMessage* TrayHost::countRegistrationCalls(
    GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer data)
{
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL
        && g_strcmp0(g_dbus_message_get_member(message), "RegisterStatusNotifierItem") == 0) {
        ++**static_cast<std::shared_ptr<std::atomic<int>>*>(data);
    }
    return message;
}

void TrayHost::onMenuSignal(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
    const gchar* signal, GVariant*, gpointer data)
{
    auto* self = static_cast<TrayHost*>(data);
    if (g_strcmp0(signal, "LayoutUpdated") == 0) {
        self->layoutUpdatesBySender_[sender ? sender : ""]++;
    } else if (g_strcmp0(signal, "ItemsPropertiesUpdated") == 0) {
        self->propertiesUpdatesBySender_[sender ? sender : ""]++;
    }
}

int TrayHost::countBySender(const std::map<std::string, int>& counts) const
{
    if (registrations_.empty()) {
        return 0;
    }
    auto found = counts.find(registrations_.back().sender);
    return found == counts.end() ? 0 : found->second;
}

int TrayHost::propertiesUpdatedCount() const
{
    return countBySender(propertiesUpdatesBySender_);
}

bool TrayHost::waitForRegistration(std::chrono::milliseconds timeout)
{
    return waitForRegistrationCount(1, timeout);
}

bool TrayHost::waitForRegistrationCount(std::size_t count, std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return registrations_.size() >= count; }, timeout);
}

int TrayHost::layoutUpdatedCount() const
{
    return countBySender(layoutUpdatesBySender_);
}

bool TrayHost::waitForLayoutUpdatedCount(int count, std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return layoutUpdatedCount() >= count; }, timeout);
}

TrayHost::CallResult TrayHost::call(const std::string& busName, const std::string& objectPath,
    const char* interface, const char* method, GVariant* parameters,
    std::chrono::milliseconds timeout)
{
    // The completion may come after a time-out: it then only drops its share of the result.
    auto result = std::make_shared<CallResult>();
    auto completion = std::make_unique<std::shared_ptr<CallResult>>(result);
    g_dbus_connection_call(
        connection_.get(), busName.c_str(), objectPath.c_str(), interface, method, parameters,
        nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<int>(timeout.count()), nullptr,
        [](GObject* source, GAsyncResult* asyncResult, gpointer data) {
            std::unique_ptr<std::shared_ptr<CallResult>> owned(
                static_cast<std::shared_ptr<CallResult>*>(data));
            GError* rawError = nullptr;
            (*owned)->reply = GVariantPtr(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), asyncResult, &rawError));
            (*owned)->error = GErrorPtr(rawError);
            (*owned)->done = true;
        },
        completion.release());
    waitUntil([&] { return result->done; }, timeout + 1s);
    CallResult answer;
    answer.done = result->done;
    answer.reply = std::move(result->reply);
    answer.error = std::move(result->error);
    return answer;
}

GVariantPtr TrayHost::readItemProperty(const std::string& name, std::chrono::milliseconds timeout)
{
    if (registrations_.empty()) {
        return nullptr;
    }
    const auto& item = registrations_.back();
    auto answer = call(item.busName, item.objectPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", itemInterface, name.c_str()), timeout);
    if (!answer.reply) {
        return nullptr;
    }
    GVariant* boxed = nullptr;
    g_variant_get(answer.reply.get(), "(v)", &boxed);
    return GVariantPtr(boxed);
}

GVariantPtr TrayHost::readAllItemProperties(std::chrono::milliseconds timeout)
{
    if (registrations_.empty()) {
        return nullptr;
    }
    const auto& item = registrations_.back();
    auto answer = call(item.busName, item.objectPath, "org.freedesktop.DBus.Properties", "GetAll",
        g_variant_new("(s)", itemInterface), timeout);
    return answer.reply ? GVariantPtr(g_variant_get_child_value(answer.reply.get(), 0)) : nullptr;
}

std::optional<std::string> TrayHost::callItem(
    const std::string& method, std::chrono::milliseconds timeout)
{
    if (registrations_.empty()) {
        return std::nullopt;
    }
    const auto& item = registrations_.back();
    auto answer = call(item.busName, item.objectPath, itemInterface, method.c_str(),
        g_variant_new("(ii)", 0, 0), timeout);
    if (answer.reply) {
        return "";
    }
    if (!answer.error || !g_dbus_error_is_remote_error(answer.error.get())) {
        return std::nullopt;
    }
    GCharPtr name(g_dbus_error_get_remote_error(answer.error.get()));
    return std::string(name.get());
}

std::optional<std::string> TrayHost::readItemString(
    const std::string& name, std::chrono::milliseconds timeout)
{
    GVariantPtr value = readItemProperty(name, timeout);
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) {
        return std::nullopt;
    }
    return std::string(g_variant_get_string(value.get(), nullptr));
}

std::optional<std::string> TrayHost::menuPath(std::chrono::milliseconds timeout)
{
    GVariantPtr path = readItemProperty("Menu", timeout);
    if (!path || !g_variant_is_of_type(path.get(), G_VARIANT_TYPE_OBJECT_PATH)) {
        return std::nullopt;
    }
    return std::string(g_variant_get_string(path.get(), nullptr));
}

std::optional<TrayMenu> TrayHost::readMenu(std::chrono::milliseconds timeout)
{
    auto path = menuPath(timeout);
    if (!path) {
        return std::nullopt;
    }
    const gchar* noProperties[] = {nullptr};
    auto answer = call(registrations_.back().busName, *path, menuInterface, "GetLayout",
        g_variant_new("(ii^as)", 0, -1, noProperties), timeout);
    if (!answer.reply
        || !g_variant_is_of_type(answer.reply.get(), G_VARIANT_TYPE("(u(ia{sv}av))"))) {
        return std::nullopt;
    }
    GVariantPtr root(g_variant_get_child_value(answer.reply.get(), 1));
    GVariantPtr rootProperties(g_variant_get_child_value(root.get(), 1));
    rootChildrenDisplay_ = stringProperty(rootProperties.get(), "children-display", "");
    GVariantPtr children(g_variant_get_child_value(root.get(), 2));
    TrayMenu menu;
    GVariantIter iter;
    g_variant_iter_init(&iter, children.get());
    while (GVariant* boxed = g_variant_iter_next_value(&iter)) {
        GVariantPtr owned(boxed);
        GVariantPtr layout(g_variant_get_variant(boxed));
        menu.push_back(entryFromLayout(layout.get()));
    }
    return menu;
}

std::optional<TrayMenu> TrayHost::waitForMenu(
    const std::function<bool(const TrayMenu&)>& predicate, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining <= 0ms) {
            return std::nullopt;
        }
        int updates = layoutUpdatedCount() + propertiesUpdatedCount();
        std::size_t registered = registrations_.size();
        if (!registrations_.empty()) {
            auto menu = readMenu(remaining);
            if (menu && predicate(*menu)) {
                return menu;
            }
        }
        // Look again when the menu or the registration changes, or after a short while.
        waitUntil(
            [&] {
                return layoutUpdatedCount() + propertiesUpdatedCount() != updates
                    || registrations_.size() != registered;
            },
            std::min<std::chrono::milliseconds>(200ms, remaining));
    }
}

bool TrayHost::clickId(std::int32_t id, std::chrono::milliseconds timeout)
{
    auto path = menuPath(timeout);
    if (!path) {
        return false;
    }
    auto answer = call(registrations_.back().busName, *path, menuInterface, "Event",
        g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), timeout);
    return answer.reply != nullptr;
}

bool TrayHost::click(const std::string& label, std::chrono::milliseconds timeout)
{
    auto menu = readMenu(timeout);
    if (!menu) {
        return false;
    }
    auto found = std::find_if(menu->begin(), menu->end(),
        [&](const TrayMenuEntry& entry) { return entry.label == label; });
    if (found == menu->end()) {
        return false;
    }
    return clickId(found->id, timeout);
}

} // namespace ShadeLedgerZizadezavav
