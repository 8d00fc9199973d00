// Other applications on macOS: see macos_workspace.h for how each call maps the contract.
#include "platform/macos/macos_workspace.h"

#import <AppKit/AppKit.h>

#include "platform/macos/macos_strings.h"

#include <algorithm>
#include <compare>
#include <cstdint>
#include <optional>
#include <sys/sysctl.h>
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

// When the kernel started the process, or none once it has gone. launchDate cannot
// order copies: it is unset for one not started through LaunchServices (from a shell).
static std::optional<std::pair<std::int64_t, std::int64_t>> startTime(pid_t processIdentifier)
{
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, processIdentifier};
    struct kinfo_proc information { };
    size_t size = sizeof information;
    if (sysctl(name, 4, &information, &size, nullptr, 0) != 0 || size == 0) {
        return std::nullopt;
    }
    const timeval& started = information.kp_proc.p_starttime;
    return std::pair{
        static_cast<std::int64_t>(started.tv_sec), static_cast<std::int64_t>(started.tv_usec)};
}

std::vector<RunningApplication> MacOSWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier)
{
    // Oldest first, by the kernel's start time; the list's own order is not documented.
    // A copy that has exited meanwhile needs no request and is left out.
    struct Found {
        std::pair<std::int64_t, std::int64_t> started;
        pid_t processIdentifier;
        auto operator<=>(const Found&) const = default;
    };
    std::vector<Found> found;
    for (NSRunningApplication* application in
        [NSRunningApplication runningApplicationsWithBundleIdentifier:nsString(bundleIdentifier)]) {
        pid_t processIdentifier = application.processIdentifier;
        if (processIdentifier <= 0) {
            continue;
        }
        if (auto started = startTime(processIdentifier)) {
            found.push_back({*started, processIdentifier});
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<RunningApplication> applications;
    for (const auto& application : found) {
        applications.push_back({.processIdentifier = application.processIdentifier});
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
