// The agent's bundle and user defaults on Linux.
//
// Bundle: found from the executable (/proc/self/exe unless given). An executable at
// X/Contents/MacOS/<name> makes X the bundle, X/Contents/Resources its resources (when
// that directory exists) and X/Contents/Info.plist its information dictionary, read with
// libplist (XML or binary). Any other executable makes its directory the bundle, with no
// resources and no dictionary. The dictionary is read once, at the first call, and kept
// for the run: the menu asks for it at every rebuild. Removing the installed launcher is
// linux_installation.h's, for the bundle's path.
//
// Defaults: a GLib key file, $XDG_CONFIG_HOME/<bundle id>/defaults.conf, group [Defaults],
// booleans only. Read afresh at every call (another copy may have written it), written
// whole and atomically. An unreadable or corrupt file reads as empty and is replaced by
// the next write.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle.h"

namespace ShadeLedgerZizadezavav {

// A property list (XML or binary) as the information dictionary the agent reads: a JSON
// object holding "CFBundleShortVersionString" when the list has it as a string (made
// valid UTF-8), and nothing else. None when the bytes are not a property list whose top
// level is a dictionary, or when its arrays and dictionaries nest deeper than a real
// information dictionary does (libplist would overflow the stack on them).
std::optional<InfoDictionary> infoDictionaryFromPlist(std::string_view bytes);

class LinuxBundle : public Bundle {
public:
    // The bundle of that executable; without one, of the running executable.
    explicit LinuxBundle(std::optional<std::string> executablePath = std::nullopt);

    std::string bundlePath() override { return bundlePath_; }
    std::optional<std::string> resourcePath() override;
    std::optional<InfoDictionary> infoDictionary() override;
    void removeInstalledLauncher() override;

private:
    std::string bundlePath_;
    // X/Contents when the executable lies in a bundle.
    std::optional<std::string> contentsPath_;
    bool infoDictionaryRead_ = false;
    std::optional<InfoDictionary> infoDictionary_;
};

class LinuxUserDefaults : public UserDefaults {
public:
    explicit LinuxUserDefaults(std::string bundleIdentifier);

    bool boolForKey(const std::string& key) override;
    void setBoolForKey(bool value, const std::string& key) override;
    void removeObjectForKey(const std::string& key) override;

    // Where the defaults live now (XDG_CONFIG_HOME is read at each call).
    std::string defaultsPath() const;

private:
    std::string bundleIdentifier_;
};

} // namespace ShadeLedgerZizadezavav
