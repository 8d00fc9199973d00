// Other applications on the fake platform: the running copies and installed browsers a test
// lays out, and every URL opened, with the default handler or a given application.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/workspace.h"

namespace ShadeLedgerZizadezavav {

class CallRecord;

class FakeWorkspace final : public Workspace {
public:
    explicit FakeWorkspace(CallRecord& record)
        : record_(record)
    {
    }
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    void terminate(const RunningApplication& application) override;
    bool openURL(const URL& url) override;
    std::optional<std::string> URLForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    void openURLsWithApplication(
        const std::vector<URL>& urls, const std::string& applicationLocation) override;

    std::vector<RunningApplication> running;
    std::map<std::string, std::string> installedApplications;
    std::vector<URL> openedWithDefault;
    std::vector<std::pair<URL, std::string>> openedWithApplication;

private:
    CallRecord& record_;
};

} // namespace ShadeLedgerZizadezavav
