// A test tray host: owns org.kde.StatusNotifierWatcher on a bus, records the items that
// register, reads an item's properties and its menu (com.canonical.dbusmenu) and clicks items.
//
// Everything runs on the calling thread's thread-default main context and every call is
// asynchronous while that context is iterated, so the item may live in this same process
// (pumped by the host's waits) or in another one (an agent started by the test). Every wait
// ends at a deadline; none sleeps for a fixed time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/glib_owners.h"

namespace ShadeLedgerZizadezavav {

using namespace std::chrono_literals;

// One entry of a menu as a host sees it; absent properties read as the dbusmenu defaults.
struct TrayMenuEntry {
    std::int32_t id = 0;
    std::string label;
    bool enabled = true;
    bool visible = true;
    std::string type = "standard";
    std::string toggleType;
    std::int32_t toggleState = -1;
    std::vector<std::vector<std::string>> shortcut;

    bool isSeparator() const { return type == "separator"; }
};
using TrayMenu = std::vector<TrayMenuEntry>;

// The labels of a menu, separators as "---", for readable failure messages.
std::string describe(const TrayMenu& menu);

struct TrayRegistration {
    std::string service; // as passed to RegisterStatusNotifierItem
    std::string sender; // the unique name that called
    std::string busName; // where the item lives
    std::string objectPath;
    std::string id; // as RegisteredStatusNotifierItems lists it: the bus name, then the path
};

// Iterates the thread-default main context until condition holds; false at the deadline.
bool iterateUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

class TrayHost {
public:
    // When the watcher's object is exported: with its name, or only when exportWatcher() is
    // called (some hosts own the name first and refuse registrations until then).
    enum class Export { withName, later };

    // Connects to the bus at that address and owns org.kde.StatusNotifierWatcher there.
    // Throws std::runtime_error when either fails.
    explicit TrayHost(const std::string& busAddress, Export watcher = Export::withName);
    ~TrayHost();
    TrayHost(const TrayHost&) = delete;
    TrayHost& operator=(const TrayHost&) = delete;

    GDBusConnection* connection() const { return connection_.get(); }

    void exportWatcher();
    // RegisterStatusNotifierItem calls that reached this connection, answered or refused.
    int registrationCalls() const { return registrationCalls_->load(); }

    // Every registration received, in order; an item may register more than once.
    const std::vector<TrayRegistration>& registrations() const { return registrations_; }
    // Forgets every item it lists, announcing each with StatusNotifierItemUnregistered, as a
    // host that loses an item does.
    void dropItems();
    // When false, registrations are answered but the items are never listed.
    void setListsItems(bool lists) { listsItems_ = lists; }
    // When true, an item registered by its object path is listed as that path alone, without
    // the bus name that the real watchers put before it.
    void setListsBarePaths(bool bare) { listsBarePaths_ = bare; }
    // What IsStatusNotifierHostRegistered answers (true unless set).
    void setHostRegistered(bool registered) { hostRegistered_ = registered; }
    // Calls a method of org.kde.StatusNotifierItem on the last registered item with (0, 0);
    // the D-Bus error name it answered with, "" for success, or none when it did not answer.
    std::optional<std::string> callItem(
        const std::string& method, std::chrono::milliseconds timeout = 10s);
    bool waitForRegistration(std::chrono::milliseconds timeout = 10s);
    bool waitForRegistrationCount(std::size_t count, std::chrono::milliseconds timeout = 10s);

    // A property of org.kde.StatusNotifierItem on the last registered item; null when it cannot
    // be read (no item, no such property, no answer).
    GVariantPtr readItemProperty(const std::string& name, std::chrono::milliseconds timeout = 10s);
    std::optional<std::string> readItemString(
        const std::string& name, std::chrono::milliseconds timeout = 10s);
    // Every property of the last registered item at once (GetAll, as many hosts read them);
    // null when it cannot be read.
    GVariantPtr readAllItemProperties(std::chrono::milliseconds timeout = 10s);

    // The top level of the item's menu (GetLayout(0, -1, [])) at the object path its Menu
    // property names; none when it cannot be read.
    std::optional<TrayMenu> readMenu(std::chrono::milliseconds timeout = 10s);
    // Reads the menu again after each LayoutUpdated or ItemsPropertiesUpdated (and at least
    // every 200 ms) until the predicate holds; that menu, or none at the deadline.
    std::optional<TrayMenu> waitForMenu(const std::function<bool(const TrayMenu&)>& predicate,
        std::chrono::milliseconds timeout = 10s);

    // Sends Event(id, "clicked", <int32 0>, 0) to the first item with that label (or id);
    // true when the call was answered without an error.
    bool click(const std::string& label, std::chrono::milliseconds timeout = 10s);
    bool clickId(std::int32_t id, std::chrono::milliseconds timeout = 10s);

    // LayoutUpdated signals seen from the last registered item's connection, since this host
    // started.
    int layoutUpdatedCount() const;
    bool waitForLayoutUpdatedCount(int count, std::chrono::milliseconds timeout = 10s);
    // ItemsPropertiesUpdated signals seen likewise: items changed in place.
    int propertiesUpdatedCount() const;
    // The root's children-display as the last readMenu saw it ("" when absent).
    const std::string& rootChildrenDisplay() const { return rootChildrenDisplay_; }

    bool waitUntil(
        const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) const
    {
        return iterateUntil(condition, timeout);
    }

private:
    struct CallResult {
        bool done = false;
        GVariantPtr reply;
        GErrorPtr error;
    };
    // An asynchronous call completed by iterating the main context.
    CallResult call(const std::string& busName, const std::string& objectPath,
        const char* interface, const char* method, GVariant* parameters,
        std::chrono::milliseconds timeout);
    std::optional<std::string> menuPath(std::chrono::milliseconds timeout);

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GVariant*, GDBusMethodInvocation*, gpointer);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GError**, gpointer);
    static void onMenuSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar*, GVariant*, gpointer);
    static GDBusMessage* countRegistrationCalls(
        GDBusConnection*, GDBusMessage*, gboolean, gpointer);
    int countBySender(const std::map<std::string, int>& counts) const;

    GObjectPtr<GDBusConnection> connection_;
    GDBusNodeInfoPtr introspection_;
    guint registrationId_ = 0;
    guint layoutSubscription_ = 0;
    guint filterId_ = 0;
    // Counted on the connection's worker thread; shared so that a late filter call is harmless.
    std::shared_ptr<std::atomic<int>> registrationCalls_ = std::make_shared<std::atomic<int>>(0);
    std::vector<TrayRegistration> registrations_;
    std::vector<std::string> listed_;
    bool listsItems_ = true;
    bool listsBarePaths_ = false;
    bool hostRegistered_ = true;
    std::map<std::string, int> layoutUpdatesBySender_;
    std::map<std::string, int> propertiesUpdatesBySender_;
    std::string rootChildrenDisplay_;
};

} // namespace ShadeLedgerZizadezavav
