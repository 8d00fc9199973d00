// Other applications on Linux: running copies through the session bus, opening through
// GIO and desktop entries.
//
// Implements: running copies as the unique names queued for the agent's well-known name
// (ListQueuedOwners), in queue order, each with its process id; the polite quit request
// as SIGTERM; opening with the user's default handler (a file's handler follows its
// content type); applications by bundle identifier as desktop entries, their own name
// first, then the names Linux distributions use for the same browsers; opening URLs with
// one desktop entry. Launches never wait for the launched program.
// Without a bus connection no copies are found.
#pragma once

#include "platform/linux/glib_owners.h"
#include "platform/workspace.h"

namespace ShadeLedgerZizadezavav {

class LinuxWorkspace : public Workspace {
public:
    // connection: the session bus, or nullptr when there is none.
    explicit LinuxWorkspace(GDBusConnection* connection);

    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    void terminate(const RunningApplication& application) override;
    bool openURL(const URL& url) override;
    // The desktop entry's file name.
    std::optional<std::string> URLForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    // applicationLocation: a desktop entry's file name.
    void openURLsWithApplication(
        const std::vector<URL>& urls, const std::string& applicationLocation) override;

private:
    GObjectPtr<GDBusConnection> connection_;
};

} // namespace ShadeLedgerZizadezavav
