// Other applications on macOS: see macos_workspace.h for how each call maps the contract.
#include "platform/macos/macos_workspace.h"

#import <AppKit/AppKit.h>

#include "platform/macos/macos_strings.h"

#include <algorithm>
#include <utility>

namespace ShadeLedgerZizadezavav {

// The platform's URL for a location, or nil for a web address NSURL refuses.
static NSURL* platformURL(const URL& url)
{
    if (url.isFileURL()) {
        return [NSURL fileURLWithPath:nsString(url.value)];
    }
    return [NSURL URLWithString:nsString(url.value)];
}

std::vector<RunningApplication> MacOSWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    // Oldest first, by launch date; the list's own order is not documented.
    std::vector<std::pair<double, RunningApplication>> found;
    for (NSRunningApplication* application in
        [NSRunningApplication runningApplicationsWithBundleIdentifier:nsString(bundleIdentifier)]) {
        found.emplace_back(application.launchDate.timeIntervalSinceReferenceDate,
            RunningApplication{.processIdentifier = application.processIdentifier});
    }
    std::stable_sort(found.begin(), found.end(),
        [](const auto& first, const auto& second) { return first.first < second.first; });
    std::vector<RunningApplication> applications;
    for (const auto& [launched, application] : found) {
        applications.push_back(application);
    }
    return applications;
}

void MacOSWorkspace::terminate(const RunningApplication& application)
{
    if (application.processIdentifier <= 0) {
        return;
    }
    [[NSRunningApplication runningApplicationWithProcessIdentifier:application.processIdentifier]
        terminate];
}

bool MacOSWorkspace::openURL(const URL& url)
{
    NSURL* location = platformURL(url);
    return location && [NSWorkspace.sharedWorkspace openURL:location];
}

std::optional<std::string> MacOSWorkspace::URLForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    NSURL* application = [NSWorkspace.sharedWorkspace
        URLForApplicationWithBundleIdentifier:nsString(bundleIdentifier)];
    if (!application || !application.path) {
        return std::nullopt;
    }
    return stdString(application.path);
}

void MacOSWorkspace::openURLsWithApplication(
    const std::vector<URL>& urls, const std::string& applicationLocation)
{
    NSMutableArray<NSURL*>* locations = [NSMutableArray arrayWithCapacity:urls.size()];
    for (const auto& url : urls) {
        if (NSURL* location = platformURL(url)) {
            [locations addObject:location];
        }
    }
    [NSWorkspace.sharedWorkspace openURLs:locations
                     withApplicationAtURL:[NSURL fileURLWithPath:nsString(applicationLocation)
                                                     isDirectory:YES]
                            configuration:[NSWorkspaceOpenConfiguration configuration]
                        completionHandler:nil];
}

} // namespace ShadeLedgerZizadezavav
