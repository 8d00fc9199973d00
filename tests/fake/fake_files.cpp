#include "fake/fake_files.h"

#include <algorithm>

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

namespace {
std::string parentOf(const std::string& path)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}
} // namespace

FakeFiles::FakeFiles(CallRecord& record)
    : record_(record)
{
    addDirectory("/");
    addDirectory("/home");
    addDirectory(home);
}

void FakeFiles::addFile(const std::string& path, std::string contents)
{
    // Parents come into being as needed, as when a test lays out a tree.
    for (auto parent = parentOf(path); !nodes.contains(parent); parent = parentOf(parent)) {
        nodes[parent] = Node{Kind::directory, {}};
    }
    nodes[path] = Node{Kind::file, std::move(contents)};
}

void FakeFiles::addDirectory(const std::string& path)
{
    if (path != "/") {
        for (auto parent = parentOf(path); !nodes.contains(parent); parent = parentOf(parent)) {
            nodes[parent] = Node{Kind::directory, {}};
        }
    }
    nodes[path] = Node{Kind::directory, {}};
}

void FakeFiles::addFifo(const std::string& path)
{
    addFile(path);
    nodes[path].kind = Kind::fifo;
}

bool FakeFiles::isDirectory(const std::string& path) const
{
    auto found = nodes.find(path);
    return found != nodes.end() && found->second.kind == Kind::directory;
}

std::optional<std::string> FakeFiles::contents(const std::string& path) const
{
    auto found = nodes.find(path);
    if (found == nodes.end() || found->second.kind != Kind::file) {
        return std::nullopt;
    }
    return found->second.contents;
}

void FakeFiles::append(const std::string& path, const std::string& text)
{
    auto found = nodes.find(path);
    if (found != nodes.end()) {
        found->second.contents += text;
    }
}

bool FakeFiles::parentIsDirectory(const std::string& path) const
{
    return isDirectory(parentOf(path));
}

bool FakeFiles::fileExistsAtPath(const std::string& path)
{
    record_.add("files.exists " + path);
    return nodes.contains(path);
}

bool FakeFiles::createFileAtPath(const std::string& path)
{
    record_.add("files.createFile " + path);
    if (!parentIsDirectory(path) || isDirectory(path)) {
        return false;
    }
    nodes[path] = Node{Kind::file, {}};
    return true;
}

bool FakeFiles::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories)
{
    record_.add("files.createDirectory " + path);
    if (nodes.contains(path)) {
        return isDirectory(path);
    }
    if (!parentIsDirectory(path)) {
        if (!withIntermediateDirectories || nodes.contains(parentOf(path))
            || !createDirectoryAtPath(parentOf(path), true)) {
            return false;
        }
    }
    nodes[path] = Node{Kind::directory, {}};
    return true;
}

bool FakeFiles::eraseTree(const std::string& path)
{
    if (!nodes.contains(path) || std::find(locked.begin(), locked.end(), path) != locked.end()) {
        return false;
    }
    std::erase_if(nodes, [&](const auto& node) {
        return node.first == path || node.first.rfind(path + "/", 0) == 0;
    });
    return true;
}

bool FakeFiles::removeItemAtPath(const std::string& path)
{
    record_.add("files.remove " + path);
    return eraseTree(path);
}

bool FakeFiles::trashItemAtPath(const std::string& path)
{
    record_.add("files.trash " + path);
    if (!eraseTree(path)) {
        return false;
    }
    trashed.push_back(path);
    return true;
}

std::shared_ptr<FileHandle> FakeFiles::fileHandleForWritingAtPath(const std::string& path)
{
    record_.add("files.openForWriting " + path);
    auto found = nodes.find(path);
    if (found == nodes.end() || found->second.kind != Kind::file) {
        return nullptr;
    }
    return std::make_shared<FakeFileHandle>(path);
}

std::optional<std::string> FakeFiles::contentsOfRegularFile(
    const std::string& path, std::size_t maxBytes)
{
    record_.add("files.read " + path);
    auto found = nodes.find(path);
    if (found == nodes.end() || found->second.kind != Kind::file
        || found->second.contents.size() > maxBytes) {
        return std::nullopt;
    }
    return found->second.contents;
}

bool FakeFiles::isSameFile(const std::string& first, const std::string& second)
{
    record_.add("files.isSameFile " + first + " " + second);
    if (!nodes.contains(first) && !nodes.contains(second)) {
        return false;
    }
    if (first == second) {
        return true;
    }
    return std::any_of(aliases.begin(), aliases.end(), [&](const auto& alias) {
        return (alias.first == first && alias.second == second)
            || (alias.first == second && alias.second == first);
    });
}

} // namespace ShadeLedgerZizadezavav
