// Files on Linux: POSIX calls where the semantics matter (lstat, O_NONBLOCK reads),
// GLib/GIO for directories and the freedesktop Trash.
//
// Implements: the home directory (HOME, read at each call; the account's when HOME is empty
// or relative), existence tests that follow links (a dangling link is nothing), a fresh empty file
// created beside the path and renamed over it, directories with parents, removal of trees,
// g_file_trash, an appending handle on a regular file that never follows a link (LinuxFileHandle,
// also what child processes write their output to), and, with the macOS layer's code
// (platform/posix/regular_file.h), bounded reads of regular files that never block on a FIFO
// and same-file tests by device and inode.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/linux/glib_owners.h"
#include "platform/posix/regular_file.h"

namespace ShadeLedgerZizadezavav {

// Owns one open file descriptor, closed when the handle goes.
class LinuxFileHandle : public FileHandle {
public:
    explicit LinuxFileHandle(int fileDescriptor);

    int fileDescriptor() const { return fileDescriptor_.get(); }

private:
    FileDescriptor fileDescriptor_;
};

class LinuxFileManager : public FileManager {
public:
    std::string homeDirectoryForCurrentUser() override;
    bool fileExistsAtPath(const std::string& path) override;
    bool createFileAtPath(const std::string& path) override;
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories) override;
    bool removeItemAtPath(const std::string& path) override;
    bool trashItemAtPath(const std::string& path) override;
    std::shared_ptr<FileHandle> fileHandleForWritingAtPath(const std::string& path) override;
    std::optional<std::string> contentsOfRegularFile(
        const std::string& path, std::size_t maxBytes) override;
    bool isSameFile(const std::string& first, const std::string& second) override;
};

// The user's home: HOME as it is now when it is an absolute path, else the account's home
// from the password database (the root directory when there is none).
std::string currentHomeDirectory();
// Puts that home into HOME when HOME is empty or relative, so that GLib (the Trash, the
// desktop entries) and the agent's children find the same home. Call before any thread
// starts.
void settleHomeVariable();
// XDG_CONFIG_HOME as it is now when absolute, else ~/.config.
std::string currentUserConfigDirectory();

} // namespace ShadeLedgerZizadezavav
