#include "platform/linux/linux_files.h"

#include "platform/linux/glib_owners.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ShadeLedgerZizadezavav {

LinuxFileHandle::LinuxFileHandle(int fileDescriptor)
    : fileDescriptor_(fileDescriptor)
{
}

namespace {

std::string accountHomeDirectory()
{
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    while ((error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE
        && buffer.size() < (std::size_t{1} << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error == 0 && found && found->pw_dir && g_path_is_absolute(found->pw_dir)) {
        return found->pw_dir;
    }
    // Nowhere to write, rather than wherever the agent was started.
    return "/";
}

} // namespace

std::string currentHomeDirectory()
{
    // GLib caches the home directory for the life of the process; HOME may change. An empty
    // or relative HOME would put the log, the settings and the autostart entry relative to
    // wherever the agent was started; the bridge falls back the same way.
    const gchar* home = g_getenv("HOME");
    if (home && g_path_is_absolute(home)) {
        return home;
    }
    return accountHomeDirectory();
}

void settleHomeVariable()
{
    // An unset HOME already means the account's home to GLib and to the bridge.
    const gchar* home = g_getenv("HOME");
    if (home && !g_path_is_absolute(home)) {
        g_setenv("HOME", currentHomeDirectory().c_str(), TRUE);
    }
}

std::string currentUserConfigDirectory()
{
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base-directory rules say.
    const gchar* config = g_getenv("XDG_CONFIG_HOME");
    if (config && g_path_is_absolute(config)) {
        return config;
    }
    return appendingPathComponent(currentHomeDirectory(), ".config");
}

std::string LinuxFileManager::homeDirectoryForCurrentUser()
{
    return currentHomeDirectory();
}

bool LinuxFileManager::fileExistsAtPath(const std::string& path)
{
    // stat, not lstat: a link whose target is gone is nothing, as for the platform's own.
    struct stat status { };
    return stat(path.c_str(), &status) == 0;
}

bool LinuxFileManager::createFileAtPath(const std::string& path)
{
    // A fresh file beside the path, renamed over it: what was there (an old log, a link
    // to someone's document, a FIFO) is replaced, never opened or written through.
    GCharPtr directory(g_path_get_dirname(path.c_str()));
    GCharPtr name(g_path_get_basename(path.c_str()));
    std::string fresh
        = appendingPathComponent(directory.get(), "." + std::string(name.get()) + ".XXXXXX");
    FileDescriptor file(g_mkstemp_full(fresh.data(), O_WRONLY | O_CLOEXEC | O_NOCTTY, 0666));
    if (!file) {
        g_debug("Cannot create a file beside %s: %s", path.c_str(), g_strerror(errno));
        return false;
    }
    if (rename(fresh.c_str(), path.c_str()) != 0) {
        int error = errno;
        unlink(fresh.c_str());
        g_debug("Cannot put a fresh file at %s: %s", path.c_str(), g_strerror(error));
        return false;
    }
    return true;
}

bool LinuxFileManager::createDirectoryAtPath(
    const std::string& path, bool withIntermediateDirectories)
{
    if (path.empty()) {
        return false;
    }
    if (withIntermediateDirectories) {
        // Succeeds when the directory exists; fails when a non-directory is in the way.
        return g_mkdir_with_parents(path.c_str(), 0777) == 0;
    }
    if (mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    return errno == EEXIST && g_file_test(path.c_str(), G_FILE_TEST_IS_DIR);
}

bool LinuxFileManager::removeItemAtPath(const std::string& path)
{
    // Links are removed, never followed.
    std::error_code error;
    auto removed = std::filesystem::remove_all(path, error);
    if (error) {
        g_debug("Cannot remove %s: %s", path.c_str(), error.message().c_str());
    }
    return !error && removed > 0;
}

bool LinuxFileManager::trashItemAtPath(const std::string& path)
{
    auto file = adoptGObject(g_file_new_for_path(path.c_str()));
    GErrorPtr error;
    bool trashed = g_file_trash(file.get(), nullptr, errorOut(error));
    debugError("Cannot move to the Trash", error);
    return trashed;
}

std::shared_ptr<FileHandle> LinuxFileManager::fileHandleForWritingAtPath(const std::string& path)
{
    // O_APPEND: once the file is cut short, every writer goes on at its new end (no hole
    // of zeros). O_NOFOLLOW: nothing is written through a link put at the path.
    auto handle = std::make_shared<LinuxFileHandle>(
        open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (handle->fileDescriptor() < 0) {
        g_debug("Cannot open %s for writing: %s", path.c_str(), g_strerror(errno));
        return nullptr;
    }
    struct stat status { };
    if (fstat(handle->fileDescriptor(), &status) != 0 || !S_ISREG(status.st_mode)) {
        g_debug("Not a regular file, not written: %s", path.c_str());
        return nullptr;
    }
    // Non-blocking only for the open; writers get ordinary blocking writes.
    int flags = fcntl(handle->fileDescriptor(), F_GETFL);
    if (flags < 0 || fcntl(handle->fileDescriptor(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return nullptr;
    }
    return handle;
}

std::optional<std::string> LinuxFileManager::contentsOfRegularFile(
    const std::string& path, std::size_t maxBytes)
{
    return readRegularFile(path, maxBytes);
}

bool LinuxFileManager::isSameFile(const std::string& first, const std::string& second)
{
    return ShadeLedgerZizadezavav::isSameFile(first, second);
}

} // namespace ShadeLedgerZizadezavav
