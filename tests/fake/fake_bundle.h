// The bundle and defaults on the fake platform: a bundle at a path the test sets, with or
// without resources and an information dictionary (and no launcher of its own to remove:
// the call is recorded), and defaults held in memory.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeBundle final : public Bundle {
public:
    explicit FakeBundle(CallRecord& record)
        : record_(record)
    {
    }
    std::string bundlePath() override { return path; }
    std::optional<std::string> resourcePath() override { return resources; }
    std::optional<InfoDictionary> infoDictionary() override { return info; }
    void removeInstalledLauncher() override;

    std::string path = "/opt/ShadeLedgerZizadezavav.app";
    std::optional<std::string> resources = "/opt/ShadeLedgerZizadezavav.app/Contents/Resources";
    std::optional<InfoDictionary> info = InfoDictionary{{"CFBundleShortVersionString", "2.0.1"}};

private:
    CallRecord& record_;
};

class FakeDefaults final : public UserDefaults {
public:
    explicit FakeDefaults(CallRecord& record)
        : record_(record)
    {
    }
    bool boolForKey(const std::string& key) override;
    void setBoolForKey(bool value, const std::string& key) override;
    void removeObjectForKey(const std::string& key) override;
    std::map<std::string, bool> values;

private:
    CallRecord& record_;
};

} // namespace ShadeLedgerZizadezavav
