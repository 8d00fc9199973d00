#include "fake/fake_workspace.h"

#include "fake/fake_platform.h"

namespace ShadeLedgerZizadezavav {

std::vector<RunningApplication> FakeWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    record_.add("workspace.runningApplications " + bundleIdentifier);
    return running;
}

void FakeWorkspace::terminate(const RunningApplication& application)
{
    record_.add("workspace.terminate " + std::to_string(application.processIdentifier));
}

bool FakeWorkspace::openURL(const URL& url)
{
    record_.add("workspace.openURL " + url.value);
    openedWithDefault.push_back(url);
    return true;
}

std::optional<std::string> FakeWorkspace::URLForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    record_.add("workspace.URLForApplication " + bundleIdentifier);
    auto found = installedApplications.find(bundleIdentifier);
    if (found == installedApplications.end()) {
        return std::nullopt;
    }
    return found->second;
}

void FakeWorkspace::openURLsWithApplication(
    const std::vector<URL>& urls, const std::string& applicationLocation)
{
    record_.add("workspace.openWithApplication " + applicationLocation);
    for (const auto& url : urls) {
        openedWithApplication.emplace_back(url, applicationLocation);
    }
}

} // namespace ShadeLedgerZizadezavav
