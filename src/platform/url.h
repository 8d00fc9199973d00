// A location to open: a web address or a local file.
#pragma once

#include <string>
#include <utility>

namespace ShadeLedgerZizadezavav {

struct URL {
    enum class Kind { web, file };
    Kind kind = Kind::web;
    // The absolute address for web URLs, the absolute path for file URLs.
    std::string value;

    static URL web(std::string address) { return {Kind::web, std::move(address)}; }
    static URL fileURLWithPath(std::string path) { return {Kind::file, std::move(path)}; }
    bool isFileURL() const { return kind == Kind::file; }
    bool operator==(const URL&) const = default;
};

} // namespace ShadeLedgerZizadezavav
