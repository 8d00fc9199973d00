#include "platform/linux/linux_bundle.h"

#include "platform/linux/glib_owners.h"
#include "platform/linux/linux_files.h"
#include "platform/linux/linux_installation.h"

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

namespace ShadeLedgerZizadezavav {

namespace {

constexpr std::size_t maxInfoPlistBytes = std::size_t{16} * 1024 * 1024;
constexpr std::size_t maxDefaultsBytes = std::size_t{1024} * 1024;
// Real information dictionaries nest a few levels. libplist builds, writes and frees a
// list recursively, so a much deeper one would overflow the stack: it is refused before
// libplist sees it.
constexpr std::size_t maxPlistDepth = 64;
constexpr const char* versionKey = "CFBundleShortVersionString";
constexpr const char* defaultsGroup = "Defaults";

struct PlistFree {
    void operator()(plist_t plist) const { plist_free(plist); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// libplist hands out memory from malloc.
struct MallocFree {
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory): libplist's own
    void operator()(void* memory) const { std::free(memory); }
};
using MallocCharPtr = std::unique_ptr<char, MallocFree>;

// JSON text must be UTF-8; a property list may smuggle in anything.
std::string validUTF8(const char* text, std::size_t length)
{
    if (g_utf8_validate_len(text, length, nullptr)) {
        return {text, length};
    }
    GCharPtr repaired(g_utf8_make_valid(text, static_cast<gssize>(length)));
    return repaired.get();
}

// Whether the arrays and dictionaries of an XML list nest no deeper than maxPlistDepth,
// each closed by its own kind of tag, as far as the text goes (a truncated list is left
// to libplist to refuse).
bool xmlNestsWithinLimit(std::string_view xml)
{
    std::vector<std::string_view> open;
    std::size_t at = xml.find('<');
    while (at != std::string_view::npos) {
        std::string_view rest = xml.substr(at);
        std::string_view end = rest.starts_with("<!--") ? "-->"
            : rest.starts_with("<![CDATA[")             ? "]]>"
            : rest.starts_with("<?")                    ? "?>"
                                                        : ">";
        std::size_t close = xml.find(end, at + 1);
        if (close == std::string_view::npos) {
            return true;
        }
        std::string_view tag = xml.substr(at + 1, close - at - 1);
        at = xml.find('<', close);
        if (end != ">" || tag.starts_with('!')) {
            continue;
        }
        bool closing = tag.starts_with('/');
        std::string_view name = tag.substr(closing ? 1 : 0);
        name = name.substr(0, name.find_first_of(" \t\r\n/"));
        if (name != "array" && name != "dict") {
            continue;
        }
        if (closing) {
            if (open.empty() || open.back() != name) {
                return false;
            }
            open.pop_back();
        } else if (!tag.ends_with('/')) {
            open.push_back(name);
            if (open.size() > maxPlistDepth) {
                return false;
            }
        }
    }
    return true;
}

// Whether the containers of a binary list nest no deeper than maxPlistDepth below its
// top object. A list whose tables point outside it, or whose references loop, is refused
// too: libplist would refuse it or recurse on it.
bool binaryNestsWithinLimit(std::string_view bytes)
{
    constexpr std::size_t headerSize = 8;
    constexpr std::size_t trailerSize = 32;
    if (bytes.size() < headerSize + trailerSize) {
        return false;
    }
    auto number = [&](std::size_t at, std::size_t width) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        }
        return value;
    };
    const std::size_t trailer = bytes.size() - trailerSize;
    const std::size_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
    const std::size_t referenceSize = static_cast<unsigned char>(bytes[trailer + 7]);
    const std::uint64_t objects = number(trailer + 8, 8);
    const std::uint64_t top = number(trailer + 16, 8);
    const std::uint64_t table = number(trailer + 24, 8);
    if (offsetSize == 0 || offsetSize > 8 || referenceSize == 0 || referenceSize > 8
        || top >= objects || table < headerSize || table > trailer
        || objects > (trailer - table) / offsetSize) {
        return false;
    }

    // The objects an object refers to; none when it is no container, nullopt when damaged.
    auto references = [&](std::uint64_t object) -> std::optional<std::vector<std::uint64_t>> {
        std::uint64_t offset = number(table + object * offsetSize, offsetSize);
        if (offset < headerSize || offset >= table) {
            return std::nullopt;
        }
        auto marker = static_cast<unsigned char>(bytes[offset]);
        unsigned kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD) {
            return std::vector<std::uint64_t>{};
        }
        std::uint64_t count = marker & 0xFU;
        std::size_t at = offset + 1;
        if (count == 0xF) {
            if (at >= table || static_cast<unsigned char>(bytes[at]) >> 4 != 1) {
                return std::nullopt;
            }
            std::size_t width = std::size_t{1} << (static_cast<unsigned char>(bytes[at]) & 0xFU);
            if (width > 8 || at + 1 + width > table) {
                return std::nullopt;
            }
            count = number(at + 1, width);
            at += 1 + width;
        }
        std::uint64_t available = (table - at) / referenceSize;
        if (count > available || (kind == 0xD && count > available / 2)) {
            return std::nullopt;
        }
        std::vector<std::uint64_t> found(kind == 0xD ? count * 2 : count);
        for (auto& reference : found) {
            reference = number(at, referenceSize);
            at += referenceSize;
            if (reference >= objects) {
                return std::nullopt;
            }
        }
        return found;
    };

    // Depth first from the top object. Each object's nesting height is kept once known,
    // so that shared objects are walked once; one byte per object.
    constexpr std::uint8_t unseen = 0;
    constexpr std::uint8_t onPath = 1;
    constexpr std::uint8_t doneWithHeightZero = 2;
    std::vector<std::uint8_t> state(objects, unseen);
    struct Step {
        std::uint64_t object;
        std::vector<std::uint64_t> references;
        std::size_t next = 0;
        std::size_t deepest = 0;
    };
    std::vector<Step> path;
    auto enter = [&](std::uint64_t object) {
        auto found = references(object);
        if (!found) {
            return false;
        }
        state[object] = onPath;
        path.push_back(Step{object, std::move(*found)});
        return path.size() <= maxPlistDepth + 1;
    };
    if (!enter(top)) {
        return false;
    }
    while (!path.empty()) {
        Step& step = path.back();
        if (step.next == step.references.size()) {
            std::size_t height = step.references.empty() ? 0 : step.deepest + 1;
            if (height > maxPlistDepth) {
                return false;
            }
            state[step.object] = static_cast<std::uint8_t>(doneWithHeightZero + height);
            path.pop_back();
            if (!path.empty()) {
                path.back().deepest = std::max(path.back().deepest, height);
            }
            continue;
        }
        std::uint64_t child = step.references[step.next++];
        if (state[child] == onPath) {
            return false;
        }
        if (state[child] == unseen) {
            if (!enter(child)) {
                return false;
            }
        } else {
            step.deepest = std::max<std::size_t>(step.deepest, state[child] - doneWithHeightZero);
        }
    }
    return true;
}

// Keys that a key file can hold and give back unchanged.
bool isUsableKey(const std::string& key)
{
    if (key.empty() || key.front() == ' ' || key.back() == ' ' || key.front() == '#'
        || !g_utf8_validate(key.data(), static_cast<gssize>(key.size()), nullptr)) {
        return false;
    }
    for (unsigned char character : key) {
        if (character < 0x20 || character == 0x7f || character == '=' || character == '['
            || character == ']') {
            return false;
        }
    }
    return true;
}

// The defaults as they are on disk now; empty when missing, unreadable or corrupt.
GKeyFilePtr loadDefaults(const std::string& path)
{
    GKeyFilePtr file(g_key_file_new());
    auto contents = readRegularFile(path, maxDefaultsBytes);
    if (contents) {
        const std::string& text = *contents;
        GErrorPtr error;
        bool loaded = g_key_file_load_from_data(file.get(), text.data(), text.size(),
            static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS),
            errorOut(error));
        if (!loaded) {
            debugError("defaults read as empty", error);
            // Start afresh: the next write replaces the corrupt file whole.
            file.reset(g_key_file_new());
        }
    }
    return file;
}

// Writes the whole file atomically (a temporary file renamed over the old one).
void saveDefaults(GKeyFile* file, const std::string& path)
{
    GCharPtr directory(g_path_get_dirname(path.c_str()));
    if (g_mkdir_with_parents(directory.get(), 0700) != 0) {
        g_debug("defaults not written: %s: %s", directory.get(), g_strerror(errno));
        return;
    }
    gsize length = 0;
    GCharPtr data(g_key_file_to_data(file, &length, nullptr));
    GErrorPtr error;
    g_file_set_contents(path.c_str(), data.get(), static_cast<gssize>(length), errorOut(error));
    debugError("defaults not written", error);
}

} // namespace

std::optional<InfoDictionary> infoDictionaryFromPlist(std::string_view bytes)
{
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    // libplist aborts on keys and strings holding a NUL byte, which a damaged binary
    // list can produce. So a binary list is first written out as XML, and XML holding
    // a NUL byte is refused before it is parsed.
    std::string xml;
    if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
        if (!binaryNestsWithinLimit(bytes)) {
            return std::nullopt;
        }
        plist_t raw = nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
        PlistPtr binary(raw);
        if (!binary) {
            return std::nullopt;
        }
        char* rawText = nullptr;
        uint32_t length = 0;
        plist_to_xml(binary.get(), &rawText, &length);
        MallocCharPtr text(rawText);
        if (!text) {
            return std::nullopt;
        }
        xml.assign(text.get(), length);
        bytes = xml;
    }
    if (bytes.find('\0') != std::string_view::npos || !xmlNestsWithinLimit(bytes)) {
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    auto info = InfoDictionary::object();
    plist_t version = plist_dict_get_item(root.get(), versionKey);
    if (version && plist_get_node_type(version) == PLIST_STRING) {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(version, &length);
        info[versionKey] = text ? validUTF8(text, length) : std::string();
    }
    return info;
}

LinuxBundle::LinuxBundle(std::optional<std::string> executablePath)
{
    std::string executable;
    if (executablePath) {
        GCharPtr absolute(g_canonicalize_filename(executablePath->c_str(), nullptr));
        executable = absolute.get();
    } else {
        GErrorPtr error;
        GCharPtr link(g_file_read_link("/proc/self/exe", errorOut(error)));
        debugError("the running executable, for the bundle", error);
        if (link) {
            executable = link.get();
        } else {
            GCharPtr current(g_get_current_dir());
            executable = std::string(current.get()) + "/unknown";
        }
    }

    GCharPtr directory(g_path_get_dirname(executable.c_str()));
    GCharPtr directoryName(g_path_get_basename(directory.get()));
    GCharPtr contents(g_path_get_dirname(directory.get()));
    GCharPtr contentsName(g_path_get_basename(contents.get()));
    if (g_strcmp0(directoryName.get(), "MacOS") == 0
        && g_strcmp0(contentsName.get(), "Contents") == 0) {
        GCharPtr bundle(g_path_get_dirname(contents.get()));
        bundlePath_ = bundle.get();
        contentsPath_ = contents.get();
    } else {
        bundlePath_ = directory.get();
    }
}

std::optional<std::string> LinuxBundle::resourcePath()
{
    if (!contentsPath_) {
        return std::nullopt;
    }
    std::string resources = appendingPathComponent(*contentsPath_, "Resources");
    if (!g_file_test(resources.c_str(), G_FILE_TEST_IS_DIR)) {
        return std::nullopt;
    }
    return resources;
}

std::optional<InfoDictionary> LinuxBundle::infoDictionary()
{
    if (!infoDictionaryRead_) {
        infoDictionaryRead_ = true;
        if (contentsPath_) {
            auto bytes = readRegularFile(
                appendingPathComponent(*contentsPath_, "Info.plist"), maxInfoPlistBytes);
            if (bytes) {
                infoDictionary_ = infoDictionaryFromPlist(*bytes);
            }
        }
    }
    return infoDictionary_;
}

void LinuxBundle::removeInstalledLauncher()
{
    ShadeLedgerZizadezavav::removeInstalledLauncher(bundlePath_);
}

LinuxUserDefaults::LinuxUserDefaults(std::string bundleIdentifier)
    : bundleIdentifier_(std::move(bundleIdentifier))
{
}

std::string LinuxUserDefaults::defaultsPath() const
{
    return appendingPathComponent(
        currentUserConfigDirectory(), bundleIdentifier_ + "/defaults.conf");
}

bool LinuxUserDefaults::boolForKey(const std::string& key)
{
    if (!isUsableKey(key)) {
        return false;
    }
    auto file = loadDefaults(defaultsPath());
    GErrorPtr error;
    bool value = g_key_file_get_boolean(file.get(), defaultsGroup, key.c_str(), errorOut(error));
    // An absent key is no error; a value that is not a boolean reads false too.
    if (error && !g_error_matches(error.get(), G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_KEY_NOT_FOUND)
        && !g_error_matches(error.get(), G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_GROUP_NOT_FOUND)) {
        debugError("defaults value read as false", error);
    }
    return !error && value;
}

void LinuxUserDefaults::setBoolForKey(bool value, const std::string& key)
{
    if (!isUsableKey(key)) {
        return;
    }
    std::string path = defaultsPath();
    auto file = loadDefaults(path);
    g_key_file_set_boolean(file.get(), defaultsGroup, key.c_str(), value);
    saveDefaults(file.get(), path);
}

void LinuxUserDefaults::removeObjectForKey(const std::string& key)
{
    if (!isUsableKey(key)) {
        return;
    }
    std::string path = defaultsPath();
    auto file = loadDefaults(path);
    if (!g_key_file_has_key(file.get(), defaultsGroup, key.c_str(), nullptr)) {
        return;
    }
    g_key_file_remove_key(file.get(), defaultsGroup, key.c_str(), nullptr);
    saveDefaults(file.get(), path);
}

} // namespace ShadeLedgerZizadezavav
