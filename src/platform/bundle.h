// Bundle and defaults: the agent's own bundle, its information dictionary, and
// the user defaults that persist across launches.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// agentBundleIdentifier: the agent's bundle identifier (Info.plist's CFBundleIdentifier), the
// name its login item, defaults and running copies go by; generated from the build's setting.
#include "platform/bundle_identifier.h"

namespace ShadeLedgerZizadezavav {

// The information dictionary, as a JSON object (strings, numbers, booleans,
// arrays and nested dictionaries).
using InfoDictionary = nlohmann::json;

class Bundle {
public:
    virtual ~Bundle() = default;
    virtual std::string bundlePath() = 0;
    // The resources directory, or none.
    virtual std::optional<std::string> resourcePath() = 0;
    // The information dictionary, or none.
    virtual std::optional<InfoDictionary> infoDictionary() = 0;
    // Removes what an installation put beside the bundle for the desktop to start it by (on
    // Linux a launcher and its icons; on macOS nothing: the bundle is all there is). Only what
    // starts this bundle goes. The uninstall calls it once the bundle is in the Trash, where a
    // launcher left behind would start nothing. A call of its own rather than part of the
    // move to the Trash, so that trashing an item (the legacy clean-up does too) moves that
    // item and touches nothing else.
    virtual void removeInstalledLauncher() = 0;
};

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // An absent key reads false.
    virtual bool boolForKey(const std::string& key) = 0;
    virtual void setBoolForKey(bool value, const std::string& key) = 0;
    virtual void removeObjectForKey(const std::string& key) = 0;
};

} // namespace ShadeLedgerZizadezavav
