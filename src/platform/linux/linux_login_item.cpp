#include "platform/linux/linux_login_item.h"

#include "platform/linux/desktop_entry.h"
#include "platform/linux/glib_owners.h"
#include "platform/linux/linux_files.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace ShadeLedgerZizadezavav {

namespace {

constexpr const char* entryName = "ShadeLedger Zizadezavav";
constexpr std::size_t maxEntryBytes = std::size_t{1024} * 1024;

// An absent or unreadable value gives the fallback, as desktops read it.
bool readBoolean(GKeyFile* file, const char* key, bool fallback)
{
    GErrorPtr error;
    bool value = g_key_file_get_boolean(file, G_KEY_FILE_DESKTOP_GROUP, key, errorOut(error));
    return error ? fallback : value;
}

} // namespace

LinuxLoginItemService::LinuxLoginItemService(
    std::string bundleIdentifier, std::optional<std::string> executablePath)
    : bundleIdentifier_(std::move(bundleIdentifier))
    , executablePath_(std::move(executablePath))
{
}

std::string LinuxLoginItemService::entryPath() const
{
    return appendingPathComponent(
        currentUserConfigDirectory(), "autostart/" + bundleIdentifier_ + ".desktop");
}

LoginItemStatus LinuxLoginItemService::status()
{
    if (!executablePath_) {
        return LoginItemStatus::notFound;
    }
    auto contents = readRegularFile(entryPath(), maxEntryBytes);
    if (!contents) {
        return LoginItemStatus::notRegistered;
    }
    const std::string& text = *contents;
    GKeyFilePtr file(g_key_file_new());
    GErrorPtr error;
    if (!g_key_file_load_from_data(
            file.get(), text.data(), text.size(), G_KEY_FILE_NONE, errorOut(error))) {
        debugError("autostart entry not read", error);
        return LoginItemStatus::notRegistered;
    }
    GCharPtr type(g_key_file_get_string(
        file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_TYPE, nullptr));
    GCharPtr exec(g_key_file_get_string(
        file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_EXEC, nullptr));
    // Desktops run only applications; an entry of another type starts nothing.
    if (!type || g_strcmp0(type.get(), G_KEY_FILE_DESKTOP_TYPE_APPLICATION) != 0 || !exec) {
        return LoginItemStatus::notRegistered;
    }
    auto program = programOfDesktopExec(exec.get());
    if (!program || *program != *executablePath_) {
        return LoginItemStatus::notRegistered;
    }
    bool hidden = readBoolean(file.get(), G_KEY_FILE_DESKTOP_KEY_HIDDEN, false);
    bool autostartEnabled = readBoolean(file.get(), "X-GNOME-Autostart-enabled", true);
    if (hidden || !autostartEnabled) {
        return LoginItemStatus::requiresApproval;
    }
    return LoginItemStatus::enabled;
}

bool LinuxLoginItemService::registerItem()
{
    // Desktop entries are UTF-8: a path that is not cannot be written so as to read back.
    if (!executablePath_ || !g_utf8_validate(executablePath_->c_str(), -1, nullptr)) {
        return false;
    }
    GKeyFilePtr file(g_key_file_new());
    g_key_file_set_string(file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_TYPE,
        G_KEY_FILE_DESKTOP_TYPE_APPLICATION);
    g_key_file_set_string(
        file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_NAME, entryName);
    // set_string adds the key-file escaping (a backslash becomes two) on top of the
    // Exec quoting.
    g_key_file_set_string(file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_EXEC,
        desktopExecArgument(*executablePath_).c_str());
    g_key_file_set_boolean(file.get(), G_KEY_FILE_DESKTOP_GROUP, "X-GNOME-Autostart-enabled", TRUE);

    std::string path = entryPath();
    GCharPtr directory(g_path_get_dirname(path.c_str()));
    if (g_mkdir_with_parents(directory.get(), 0700) != 0) {
        g_debug("autostart entry not written: %s: %s", directory.get(), g_strerror(errno));
        return false;
    }
    gsize length = 0;
    GCharPtr data(g_key_file_to_data(file.get(), &length, nullptr));
    // Atomic: a temporary file renamed over the entry; a directory in the way stays.
    GErrorPtr error;
    bool written = g_file_set_contents(
        path.c_str(), data.get(), static_cast<gssize>(length), errorOut(error));
    debugError("autostart entry not written", error);
    return written;
}

bool LinuxLoginItemService::unregisterItem()
{
    std::string path = entryPath();
    struct stat status { };
    if (lstat(path.c_str(), &status) != 0) {
        int failure = errno;
        if (failure != ENOENT) {
            g_debug("autostart entry not removed: %s: %s", path.c_str(), g_strerror(failure));
        }
        return failure == ENOENT;
    }
    // Never take a directory away: it is not ours.
    if (S_ISDIR(status.st_mode)) {
        g_debug("autostart entry not removed: %s is a directory", path.c_str());
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        g_debug("autostart entry not removed: %s: %s", path.c_str(), g_strerror(errno));
        return false;
    }
    return true;
}

} // namespace ShadeLedgerZizadezavav
