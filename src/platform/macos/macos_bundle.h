// The agent's bundle and user defaults on macOS: NSBundle mainBundle and
// NSUserDefaults standardUserDefaults.
//
// Bundle: bundlePath, the bundle where it is installed: for a copy App Translocation runs
// from a randomized read-only path, the original's location (SecTranslocateIsTranslocatedURL,
// SecTranslocateCreateOriginalPathForURL, looked up at run time), else bundleURL's; the
// running copy's when the original cannot be told. resourcePath from resourceURL, the
// running copy's (none when the bundle has none);
// infoDictionary converted to JSON: strings, numbers (booleans, integers, reals),
// arrays and dictionaries as themselves, dates as ISO 8601 text, data as base64 text,
// as the Linux layer reads the same Info.plist. None when there is no dictionary.
// Defaults: boolForKey: (an absent key reads false), setBool:forKey:, removeObjectForKey:;
// the platform persists them across launches.
#pragma once

#include "platform/bundle.h"

namespace ShadeLedgerZizadezavav {

class MacOSBundle : public Bundle {
public:
    std::string bundlePath() override;
    std::optional<std::string> resourcePath() override;
    std::optional<InfoDictionary> infoDictionary() override;
    // An installation is the bundle alone: nothing else to remove.
    void removeInstalledLauncher() override { }
};

class MacOSUserDefaults : public UserDefaults {
public:
    bool boolForKey(const std::string& key) override;
    void setBoolForKey(bool value, const std::string& key) override;
    void removeObjectForKey(const std::string& key) override;
};

} // namespace ShadeLedgerZizadezavav
