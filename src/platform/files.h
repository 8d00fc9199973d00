// Files: the home directory, existence tests, creation, removal, the Trash and
// reading small files.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ShadeLedgerZizadezavav {

// An open writing handle, appending; closed when the last owner releases it.
class FileHandle {
public:
    virtual ~FileHandle() = default;
};

class FileManager {
public:
    virtual ~FileManager() = default;
    virtual std::string homeDirectoryForCurrentUser() = 0;
    // True when something exists at the path, links followed: a dangling link is nothing.
    virtual bool fileExistsAtPath(const std::string& path) = 0;
    // Puts a fresh, empty regular file at the path in one step, replacing what is there
    // (a link is replaced, never written through).
    virtual bool createFileAtPath(const std::string& path) = 0;
    // Succeeds when the directory exists already.
    virtual bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories)
        = 0;
    virtual bool removeItemAtPath(const std::string& path) = 0;
    // Moves the item into the user's Trash; never deletes it.
    virtual bool trashItemAtPath(const std::string& path) = 0;
    // A handle appending to the regular file at the path, or nullptr (also for a link).
    virtual std::shared_ptr<FileHandle> fileHandleForWritingAtPath(const std::string& path) = 0;
    // The whole contents of a regular file (after following links) of at most
    // maxBytes; none for anything else. Never blocks on a FIFO or a device.
    virtual std::optional<std::string> contentsOfRegularFile(
        const std::string& path, std::size_t maxBytes)
        = 0;
    // True when both paths name the same existing file, links resolved.
    virtual bool isSameFile(const std::string& first, const std::string& second) = 0;
};

// Joins a directory and a relative path with exactly one separator, in one allocation (the
// probe joins the settings file's path every time).
inline std::string appendingPathComponent(std::string_view directory, std::string_view relative)
{
    std::string joined;
    joined.reserve(directory.size() + 1 + relative.size());
    joined.append(directory);
    if (!directory.empty() && directory.back() != '/') {
        joined.push_back('/');
    }
    joined.append(relative);
    return joined;
}

} // namespace ShadeLedgerZizadezavav
