// Other applications on macOS: NSRunningApplication and NSWorkspace.
//
// Implements: running copies as runningApplicationsWithBundleIdentifier:, each with its
// processIdentifier, oldest first by the kernel's start time of the process (sysctl
// KERN_PROC_PID, p_starttime; ties by identifier), leaving out those that have exited
// meanwhile and those without a process; the polite quit request as NSRunningApplication
// terminate on the application of that process identifier (none when it has exited
// meanwhile); openURL: with the user's default handler (file URLs for local files);
// applications by bundle identifier as URLForApplicationWithBundleIdentifier: (the
// location is the application's path); opening URLs with one application as
// openURLs:withApplicationAtURL:configuration:completionHandler:, with the default
// configuration and no completion, so it returns at once and no outcome is read.
#pragma once

#include "platform/workspace.h"

namespace ShadeLedgerZizadezavav {

class MacOSWorkspace : public Workspace {
public:
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    void terminate(const RunningApplication& application) override;
    bool openURL(const URL& url) override;
    std::optional<std::string> URLForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    void openURLsWithApplication(
        const std::vector<URL>& urls, const std::string& applicationLocation) override;
};

} // namespace ShadeLedgerZizadezavav
