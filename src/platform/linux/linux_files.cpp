#include "platform/linux/linux_files.h"

#include "platform/linux/glib_owners.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace ShadeLedgerZizadezavav {

LinuxFileHandle::LinuxFileHandle(int fileDescriptor)
    : fileDescriptor_(fileDescriptor)
{
}

LinuxFileHandle::~LinuxFileHandle()
{
    if (fileDescriptor_ >= 0) {
        close(fileDescriptor_);
    }
}

std::string currentHomeDirectory()
{
    // GLib caches the home directory for the life of the process; HOME may change.
    const gchar* home = g_getenv("HOME");
    if (home && *home) {
        return home;
    }
    return g_get_home_dir();
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

std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes)
{
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    LinuxFileHandle file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.fileDescriptor() < 0) {
        return std::nullopt;
    }
    struct stat status { };
    if (fstat(file.fileDescriptor(), &status) != 0 || !S_ISREG(status.st_mode)
        || static_cast<std::uintmax_t>(status.st_size) > maxBytes) {
        return std::nullopt;
    }
    // One read of the size fstat gave and one byte more: a short count is the end of the
    // file, so an unchanged file takes a single call. The size may change under us: read
    // on while it grows, at most one byte more than allowed, and refuse the file when that
    // byte arrives.
    std::string contents(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t filled = 0;
    while (true) {
        ssize_t count
            = read(file.fileDescriptor(), contents.data() + filled, contents.size() - filled);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        filled += static_cast<std::size_t>(count);
        if (filled > maxBytes) {
            return std::nullopt;
        }
        if (filled < contents.size()) {
            contents.resize(filled);
            return contents;
        }
        contents.resize(std::min(maxBytes + 1, 2 * contents.size()));
    }
}

std::string LinuxFileManager::homeDirectoryForCurrentUser()
{
    return currentHomeDirectory();
}

bool LinuxFileManager::fileExistsAtPath(const std::string& path)
{
    struct stat status { };
    return lstat(path.c_str(), &status) == 0;
}

bool LinuxFileManager::createFileAtPath(const std::string& path)
{
    // O_NONBLOCK keeps a FIFO without a reader from stalling the caller.
    LinuxFileHandle file(
        open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
    if (file.fileDescriptor() < 0) {
        return false;
    }
    struct stat status { };
    return fstat(file.fileDescriptor(), &status) == 0 && S_ISREG(status.st_mode);
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
    return !error && removed > 0;
}

bool LinuxFileManager::trashItemAtPath(const std::string& path)
{
    auto file = adoptGObject(g_file_new_for_path(path.c_str()));
    GError* rawError = nullptr;
    bool trashed = g_file_trash(file.get(), nullptr, &rawError);
    GErrorPtr error(rawError);
    return trashed;
}

std::shared_ptr<FileHandle> LinuxFileManager::fileHandleForWritingAtPath(const std::string& path)
{
    // No O_APPEND, no O_TRUNC: the handle writes from offset 0 over what is there.
    auto handle = std::make_shared<LinuxFileHandle>(
        open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (handle->fileDescriptor() < 0) {
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
    struct stat firstStatus { };
    struct stat secondStatus { };
    return stat(first.c_str(), &firstStatus) == 0 && stat(second.c_str(), &secondStatus) == 0
        && firstStatus.st_dev == secondStatus.st_dev && firstStatus.st_ino == secondStatus.st_ino;
}

} // namespace ShadeLedgerZizadezavav
