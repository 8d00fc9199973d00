// The bundle and defaults on the fake platform: a bundle at a path the test sets, with or
// without resources and an information dictionary, and defaults held in memory.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeBundle final : public Bundle {
public:
    std::string bundlePath() override { return path; }
    std::optional<std::string> resourcePath() override { return resources; }
    std::optional<InfoDictionary> infoDictionary() override { return info; }

    std::string path = "/opt/ShadeLedgerZizadezavav.app";
    std::optional<std::string> resources = "/opt/ShadeLedgerZizadezavav.app/Contents/Resources";
    std::optional<InfoDictionary> info = InfoDictionary{{"CFBundleShortVersionString", "2.0.1"}};
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
