// Files on the fake platform: an in-memory file system rooted at "/", with FIFOs, paths
// that cannot be removed, links between paths, a Trash, and writing handles whose file
// the test grows as a running bridge would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;
class FakeFiles;

class FakeFileHandle final : public FileHandle {
public:
    explicit FakeFileHandle(std::string path)
        : path(std::move(path))
    {
    }
    std::string path;
};

class FakeFiles final : public FileManager {
public:
    explicit FakeFiles(CallRecord& record);
    std::string homeDirectoryForCurrentUser() override { return home; }
    bool fileExistsAtPath(const std::string& path) override;
    bool createFileAtPath(const std::string& path) override;
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories) override;
    bool removeItemAtPath(const std::string& path) override;
    bool trashItemAtPath(const std::string& path) override;
    std::shared_ptr<FileHandle> fileHandleForWritingAtPath(const std::string& path) override;
    std::optional<std::string> contentsOfRegularFile(
        const std::string& path, std::size_t maxBytes) override;
    bool isSameFile(const std::string& first, const std::string& second) override;

    enum class Kind { file, directory, fifo };
    struct Node {
        Kind kind = Kind::file;
        std::string contents;
    };
    std::string home = "/home/user";
    std::map<std::string, Node> nodes;
    // Paths that cannot be removed or moved (no permission).
    std::vector<std::string> locked;
    // Two paths that name one file (a symbolic link and its target).
    std::vector<std::pair<std::string, std::string>> aliases;
    std::vector<std::string> trashed;

    void addFile(const std::string& path, std::string contents = "");
    void addDirectory(const std::string& path);
    void addFifo(const std::string& path);
    bool isDirectory(const std::string& path) const;
    std::optional<std::string> contents(const std::string& path) const;
    // Bridge output: what a running process writes to its handle.
    void append(const std::string& path, const std::string& text);
    CallRecord& record() { return record_; }

private:
    bool parentIsDirectory(const std::string& path) const;
    // Removes path and all below it, unless it is missing or locked.
    bool eraseTree(const std::string& path);
    CallRecord& record_;
};

} // namespace ShadeLedgerZizadezavav
