// Bundle and defaults on macOS: see macos_bundle.h for how each call maps the contract.
#include "platform/macos/macos_bundle.h"

#import <Foundation/Foundation.h>

#include <dlfcn.h>

#include <cstring>
#include <memory>

#include "platform/macos/macos_strings.h"

namespace ShadeLedgerZizadezavav {

// A property-list value as JSON; null for a type a property list cannot hold.
static nlohmann::json jsonValue(id value)
{
    if ([value isKindOfClass:[NSString class]]) {
        return stdString(static_cast<NSString*>(value));
    }
    if ([value isKindOfClass:[NSNumber class]]) {
        NSNumber* number = value;
        // Property-list booleans are NSNumbers of type char.
        const char* type = number.objCType;
        if (std::strcmp(type, "c") == 0 || std::strcmp(type, "B") == 0) {
            return static_cast<bool>(number.boolValue);
        }
        if (std::strcmp(type, "d") == 0 || std::strcmp(type, "f") == 0) {
            return number.doubleValue;
        }
        return number.longLongValue;
    }
    if ([value isKindOfClass:[NSArray class]]) {
        nlohmann::json array = nlohmann::json::array();
        for (id element in static_cast<NSArray*>(value)) {
            array.push_back(jsonValue(element));
        }
        return array;
    }
    if ([value isKindOfClass:[NSDictionary class]]) {
        NSDictionary* dictionary = value;
        nlohmann::json object = nlohmann::json::object();
        for (id key in dictionary) {
            if ([key isKindOfClass:[NSString class]]) {
                object[stdString(static_cast<NSString*>(key))] = jsonValue(dictionary[key]);
            }
        }
        return object;
    }
    if ([value isKindOfClass:[NSDate class]]) {
        return stdString([[[NSISO8601DateFormatter alloc] init] stringFromDate:value]);
    }
    if ([value isKindOfClass:[NSData class]]) {
        return stdString([static_cast<NSData*>(value) base64EncodedStringWithOptions:0]);
    }
    return nullptr;
}

namespace {
struct LibraryCloser {
    void operator()(void* library) const { dlclose(library); }
};
} // namespace

// Where the running bundle is installed. App Translocation runs a quarantined download from
// a randomized read-only copy; the clean-up's comparison and Uninstall's move to the Trash
// are about the bundle the user has. Security's calls for it are in no SDK header: they are
// looked up at run time, and where they are missing the bundle is where it runs.
static NSURL* installedLocation(NSURL* running)
{
    using IsTranslocatedURL = Boolean (*)(CFURLRef, bool*, CFErrorRef*);
    using CreateOriginalPathForURL = CFURLRef (*)(CFURLRef, CFErrorRef*);
    // Loaded with AppKit already: this only holds it while it is used.
    std::unique_ptr<void, LibraryCloser> security(
        dlopen("/System/Library/Frameworks/Security.framework/Security", RTLD_LAZY | RTLD_LOCAL));
    if (!security) {
        return running;
    }
    auto isTranslocated = reinterpret_cast<IsTranslocatedURL>(
        dlsym(security.get(), "SecTranslocateIsTranslocatedURL"));
    auto originalPath = reinterpret_cast<CreateOriginalPathForURL>(
        dlsym(security.get(), "SecTranslocateCreateOriginalPathForURL"));
    bool translocated = false;
    if (!isTranslocated || !originalPath
        || !isTranslocated((__bridge CFURLRef)running, &translocated, nullptr) || !translocated) {
        return running;
    }
    NSURL* original = CFBridgingRelease(originalPath((__bridge CFURLRef)running, nullptr));
    return original ? original : running;
}

std::string MacOSBundle::bundlePath()
{
    NSURL* running = NSBundle.mainBundle.bundleURL;
    return running ? stdString(installedLocation(running).path) : std::string();
}

std::optional<std::string> MacOSBundle::resourcePath()
{
    NSURL* resources = NSBundle.mainBundle.resourceURL;
    if (!resources || !resources.path) {
        return std::nullopt;
    }
    return stdString(resources.path);
}

std::optional<InfoDictionary> MacOSBundle::infoDictionary()
{
    NSDictionary<NSString*, id>* info = NSBundle.mainBundle.infoDictionary;
    if (!info) {
        return std::nullopt;
    }
    return jsonValue(info);
}

bool MacOSUserDefaults::boolForKey(const std::string& key)
{
    return [NSUserDefaults.standardUserDefaults boolForKey:nsString(key)];
}

void MacOSUserDefaults::setBoolForKey(bool value, const std::string& key)
{
    [NSUserDefaults.standardUserDefaults setBool:value ? YES : NO forKey:nsString(key)];
}

void MacOSUserDefaults::removeObjectForKey(const std::string& key)
{
    [NSUserDefaults.standardUserDefaults removeObjectForKey:nsString(key)];
}

} // namespace ShadeLedgerZizadezavav
