#include "platform/linux/linux_workspace.h"

#include <gio/gdesktopappinfo.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <memory>
#include <sys/types.h>

namespace ShadeLedgerZizadezavav {

// A bus that does not answer within this long is treated as having no copies queued.
static constexpr int busCallTimeoutMilliseconds = 5000;

// Where Linux distributions install the same browsers under other desktop entry names.
static const std::map<std::string, std::vector<std::string>> desktopEntryAliases = {
    {"com.google.Chrome", {"google-chrome.desktop"}},
    {"com.microsoft.edgemac", {"microsoft-edge.desktop"}},
    {"org.chromium.Chromium", {"chromium.desktop", "chromium-browser.desktop"}},
    {"com.brave.Browser", {"brave-browser.desktop"}},
};

static std::string uriFor(const URL& url)
{
    if (!url.isFileURL()) {
        return url.value;
    }
    auto file = adoptGObject(g_file_new_for_path(url.value.c_str()));
    GCharPtr uri(g_file_get_uri(file.get()));
    return uri ? std::string(uri.get()) : std::string();
}

static GVariantPtr callBus(GDBusConnection* connection, const char* method, GVariant* parameters,
    const GVariantType* replyType)
{
    GErrorPtr error;
    GVariantPtr reply(g_dbus_connection_call_sync(connection, "org.freedesktop.DBus",
        "/org/freedesktop/DBus", "org.freedesktop.DBus", method, parameters, replyType,
        G_DBUS_CALL_FLAGS_NONE, busCallTimeoutMilliseconds, nullptr, errorOut(error)));
    debugError(method, error);
    return reply;
}

LinuxWorkspace::LinuxWorkspace(GDBusConnection* connection)
    : connection_(retainGObject(connection))
{
}

std::vector<RunningApplication> LinuxWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    std::vector<RunningApplication> applications;
    const char* name = bundleIdentifier.c_str();
    if (!connection_ || !g_dbus_is_name(name) || g_dbus_is_unique_name(name)) {
        return applications;
    }
    // A name nobody queues for answers with an error: no copies.
    GVariantPtr owners = callBus(
        connection_.get(), "ListQueuedOwners", g_variant_new("(s)", name), G_VARIANT_TYPE("(as)"));
    if (!owners) {
        return applications;
    }
    GVariantPtr uniqueNames(g_variant_get_child_value(owners.get(), 0));
    GStrvPtr names(g_variant_dup_strv(uniqueNames.get(), nullptr));
    for (gchar** uniqueName = names.get(); *uniqueName; ++uniqueName) {
        GVariantPtr reply = callBus(connection_.get(), "GetConnectionUnixProcessID",
            g_variant_new("(s)", *uniqueName), G_VARIANT_TYPE("(u)"));
        // A copy that left the queue in the meantime is not running any more.
        if (!reply) {
            continue;
        }
        guint32 processIdentifier = 0;
        g_variant_get(reply.get(), "(u)", &processIdentifier);
        applications.push_back(
            RunningApplication{.processIdentifier = static_cast<std::int32_t>(processIdentifier)});
    }
    return applications;
}

void LinuxWorkspace::terminate(const RunningApplication& application)
{
    // Zero or a negative id would signal whole process groups.
    if (application.processIdentifier > 0
        && kill(static_cast<pid_t>(application.processIdentifier), SIGTERM) != 0) {
        g_debug("Cannot ask copy %d to quit: %s", application.processIdentifier, g_strerror(errno));
    }
}

bool LinuxWorkspace::openURL(const URL& url)
{
    std::string uri = uriFor(url);
    if (uri.empty()) {
        return false;
    }
    // For a file, GIO picks the handler of its content type.
    GErrorPtr error;
    bool opened = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, errorOut(error));
    if (error) {
        g_debug("Cannot open %s: %s", uri.c_str(), error->message);
    }
    return opened;
}

std::optional<std::string> LinuxWorkspace::URLForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    std::vector<std::string> desktopIds{bundleIdentifier + ".desktop"};
    if (auto aliases = desktopEntryAliases.find(bundleIdentifier);
        aliases != desktopEntryAliases.end()) {
        desktopIds.insert(desktopIds.end(), aliases->second.begin(), aliases->second.end());
    }
    for (const auto& desktopId : desktopIds) {
        // GIO searches the XDG data directories, user entries first, and passes over
        // entries whose program is missing or that the user deleted (Hidden=true).
        auto info = adoptGObject(g_desktop_app_info_new(desktopId.c_str()));
        if (!info) {
            continue;
        }
        if (const char* filename = g_desktop_app_info_get_filename(info.get())) {
            return std::string(filename);
        }
    }
    return std::nullopt;
}

void LinuxWorkspace::openURLsWithApplication(
    const std::vector<URL>& urls, const std::string& applicationLocation)
{
    auto info = adoptGObject(g_desktop_app_info_new_from_filename(applicationLocation.c_str()));
    if (!info) {
        g_debug("No application at %s", applicationLocation.c_str());
        return;
    }
    std::vector<std::string> uris;
    for (const auto& url : urls) {
        if (auto uri = uriFor(url); !uri.empty()) {
            uris.push_back(std::move(uri));
        }
    }
    GList* rawList = nullptr;
    for (const auto& uri : uris) {
        rawList = g_list_prepend(rawList, const_cast<char*>(uri.c_str()));
    }
    rawList = g_list_reverse(rawList);
    // The list borrows the strings; only its links are freed.
    std::unique_ptr<GList, decltype(&g_list_free)> list(rawList, &g_list_free);
    // Spawns and returns; the launched program is reaped by GLib, never waited for.
    GErrorPtr error;
    g_app_info_launch_uris(G_APP_INFO(info.get()), list.get(), nullptr, errorOut(error));
    if (error) {
        g_debug("Cannot open with %s: %s", applicationLocation.c_str(), error->message);
    }
}

} // namespace ShadeLedgerZizadezavav
