#include "platform/linux/linux_bundle.h"

#include "platform/linux/glib_owners.h"
#include "platform/linux/linux_files.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace ShadeLedgerZizadezavav {

namespace {

constexpr std::size_t maxInfoPlistBytes = 16 * 1024 * 1024;
constexpr std::size_t maxDefaultsBytes = 1024 * 1024;
// Real information dictionaries nest a few levels; anything deeper is not one.
constexpr int maxPlistDepth = 64;
// Seconds from the Unix epoch to the property-list epoch (2001-01-01 UTC).
constexpr gint64 plistEpochOffset = 978307200;
constexpr const char* defaultsGroup = "Defaults";

struct PlistFree {
    void operator()(plist_t plist) const { plist_free(plist); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// libplist hands out memory from malloc.
struct MallocFree {
    void operator()(void* memory) const { std::free(memory); }
};
using MallocCharPtr = std::unique_ptr<char, MallocFree>;

struct GDateTimeUnref {
    void operator()(GDateTime* time) const { g_date_time_unref(time); }
};
using GDateTimePtr = std::unique_ptr<GDateTime, GDateTimeUnref>;

// JSON text must be UTF-8; a property list may smuggle in anything.
std::string validUTF8(const char* text, std::size_t length)
{
    if (g_utf8_validate_len(text, length, nullptr)) {
        return std::string(text, length);
    }
    GCharPtr repaired(g_utf8_make_valid(text, static_cast<gssize>(length)));
    return repaired.get();
}

std::optional<nlohmann::json> jsonFromPlist(plist_t node, int depth)
{
    if (depth > maxPlistDepth) {
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return nlohmann::json(value != 0);
    }
    case PLIST_UINT: {
        // This libplist keeps every integer in 64 bits; negative ones come back as
        // their two's complement.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return nlohmann::json(static_cast<int64_t>(value));
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return nlohmann::json(value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return nlohmann::json(value);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return nlohmann::json(text ? validUTF8(text, length) : std::string());
    }
    case PLIST_KEY: {
        char* raw = nullptr;
        plist_get_key_val(node, &raw);
        MallocCharPtr key(raw);
        return nlohmann::json(key ? validUTF8(key.get(), std::strlen(key.get())) : std::string());
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        GDateTimePtr base(g_date_time_new_from_unix_utc(plistEpochOffset + seconds));
        if (!base) {
            return nlohmann::json();
        }
        GDateTimePtr time(g_date_time_add(base.get(), microseconds));
        if (!time) {
            return nlohmann::json();
        }
        GCharPtr text(g_date_time_format_iso8601(time.get()));
        return nlohmann::json(text ? std::string(text.get()) : std::string());
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        MallocCharPtr data(raw);
        GCharPtr encoded(g_base64_encode(reinterpret_cast<const guchar*>(data.get()), length));
        return nlohmann::json(std::string(encoded.get()));
    }
    case PLIST_ARRAY: {
        auto array = nlohmann::json::array();
        uint32_t size = plist_array_get_size(node);
        for (uint32_t index = 0; index < size; ++index) {
            auto element = jsonFromPlist(plist_array_get_item(node, index), depth + 1);
            if (!element) {
                return std::nullopt;
            }
            array.push_back(std::move(*element));
        }
        return array;
    }
    case PLIST_DICT: {
        auto object = nlohmann::json::object();
        plist_dict_iter rawIterator = nullptr;
        plist_dict_new_iter(node, &rawIterator);
        std::unique_ptr<void, MallocFree> iterator(rawIterator);
        while (iterator) {
            char* rawKey = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iterator.get(), &rawKey, &value);
            MallocCharPtr key(rawKey);
            if (!key || !value) {
                break;
            }
            auto member = jsonFromPlist(value, depth + 1);
            if (!member) {
                return std::nullopt;
            }
            object[validUTF8(key.get(), std::strlen(key.get()))] = std::move(*member);
        }
        return object;
    }
    default:
        return nlohmann::json();
    }
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
        GError* rawError = nullptr;
        bool loaded = g_key_file_load_from_data(file.get(), contents->data(), contents->size(),
            static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS),
            &rawError);
        GErrorPtr error(rawError);
        if (!loaded) {
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
        return;
    }
    gsize length = 0;
    GCharPtr data(g_key_file_to_data(file, &length, nullptr));
    GError* rawError = nullptr;
    g_file_set_contents(path.c_str(), data.get(), static_cast<gssize>(length), &rawError);
    GErrorPtr error(rawError);
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
    if (bytes.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    return jsonFromPlist(root.get(), 0);
}

LinuxBundle::LinuxBundle(std::optional<std::string> executablePath)
{
    std::string executable;
    if (executablePath) {
        GCharPtr absolute(g_canonicalize_filename(executablePath->c_str(), nullptr));
        executable = absolute.get();
    } else {
        GCharPtr link(g_file_read_link("/proc/self/exe", nullptr));
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
    if (!contentsPath_) {
        return std::nullopt;
    }
    auto bytes
        = readRegularFile(appendingPathComponent(*contentsPath_, "Info.plist"), maxInfoPlistBytes);
    if (!bytes) {
        return std::nullopt;
    }
    return infoDictionaryFromPlist(*bytes);
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
    GError* rawError = nullptr;
    bool value = g_key_file_get_boolean(file.get(), defaultsGroup, key.c_str(), &rawError);
    GErrorPtr error(rawError);
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
