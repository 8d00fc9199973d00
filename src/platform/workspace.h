// Other applications: running copies of the agent, and opening web pages and files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/url.h"

namespace ShadeLedgerZizadezavav {

struct RunningApplication {
    std::int32_t processIdentifier = 0;
    bool operator==(const RunningApplication&) const = default;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    // Every running application with that identifier, the caller possibly among them,
    // in the order they started (the oldest first).
    virtual std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier)
        = 0;
    // The polite quit request; the application may take time or refuse.
    virtual void terminate(const RunningApplication& application) = 0;
    // Opens with the user's default handler and returns at once.
    virtual bool openURL(const URL& url) = 0;
    // The location of the installed application with that identifier, or none.
    virtual std::optional<std::string> URLForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier)
        = 0;
    // Opens the URLs with that application; returns at once, no outcome reported.
    virtual void openURLsWithApplication(
        const std::vector<URL>& urls, const std::string& applicationLocation)
        = 0;
};

} // namespace ShadeLedgerZizadezavav
