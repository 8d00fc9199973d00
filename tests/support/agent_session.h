// One end-to-end session: a temporary HOME, a private session bus with a test
// tray host, and the built bundle's agent started as a child of the test. The
// test runs as the first process of a private PID namespace, so it also reaps
// every orphan there and /proc lists only what the test started.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/private_bus.h"
#include "support/temp_home.h"
#include "support/tray_host.h"

namespace ShadeLedgerZizadezavav {

struct ProcessInfo {
    pid_t pid = 0;
    pid_t parent = 0;
    char state = '?';
    std::string name; // as ps shows it
    std::string commandLine; // arguments joined by spaces
};

// Processes visible in /proc (in the test's namespace: only the test's own); one that ends
// while it is read is left out.
std::vector<ProcessInfo> listProcesses();
// The agent that started a bridge: the parent of the keeper (and its guard) the bridge runs
// under (-1 when the bridge runs under no keeper).
pid_t agentOf(const ProcessInfo& bridge);
// A free TCP port on 127.0.0.1 at the moment of asking.
int freeLoopbackPort();
// Copies the built bundle into directory (links kept); the copy's path.
std::string copyBuiltBundle(const std::string& directory);
// Starts a process whose command line matches the clean-up's pattern for
// stray bridges, as a child of the caller; its pid.
pid_t startDecoyBridge();
// How a process ended, for failure messages ("exit status 1", "killed by Killed").
std::string describeExit(std::optional<int> status);
bool exitedWithZero(std::optional<int> status);

class AgentSession;
// Clicks Quit in the tray and expects the agent to end with status 0.
void quitThroughMenu(AgentSession& session, pid_t agent);

// Writes an executable shell script.
void writeScript(const std::string& path, const std::string& body);

class AgentSession {
public:
    // bundle: a bundle directory laid out like the built one (default: the built one); access:
    // who may use the session bus.
    explicit AgentSession(std::optional<std::string> bundle = std::nullopt,
        PrivateBus::Access access = PrivateBus::Access::owner);
    ~AgentSession();
    AgentSession(const AgentSession&) = delete;
    AgentSession& operator=(const AgentSession&) = delete;

    TempHome& home() { return *home_; }
    TrayHost& tray() { return *tray_; }
    const std::string& bundle() const { return bundle_; }
    std::string executable() const { return bundle_ + "/Contents/MacOS/ShadeLedgerZizadezavav"; }
    std::string logPath() const { return home_->path(".shadeledger/bridge.log"); }
    std::string settingsPath() const
    {
        return home_->path("Library/Application Support/ShadeLedger/zizadezavav.json");
    }
    int port() const { return port_; }
    // Points the settings file at a port (replaced in one step: a probe never reads half).
    void setPort(int port);

    // Agents started from now on write their standard output and error to that file.
    void setOutputFile(const std::string& path) { outputFile_ = path; }
    // Makes a recorder the user's default application for the log's types; the path of the
    // file where it writes the arguments it is opened with, one a line. It then runs more,
    // a shell text, when given.
    std::string installFileViewer(const std::string& more = "");

    // Runs a copy of the built bundle from a folder below the temporary root from now on.
    void useBundleCopy(const std::string& folder = "apps")
    {
        bundle_ = copyBuiltBundle(home_->root() + "/" + folder);
    }

    // Starts one more agent, with more variables and a command to run it under; its pid.
    pid_t start(const std::map<std::string, std::string>& extraEnvironment = {},
        const std::vector<std::string>& prefix = {});
    pid_t agent() const { return agents_.empty() ? -1 : agents_.back(); }
    // Reaps whatever exited; the exit status of pid once it has ended.
    std::optional<int> exitStatus(pid_t pid);
    bool waitForExit(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    bool running(pid_t pid);

    // Bridges (processes whose command line holds the bridge script, but keepers) that are
    // not zombies.
    // A bridge's fork that has not yet started its own program still shows the bridge's
    // command line: it belongs to that bridge and is not counted as another.
    std::vector<ProcessInfo> bridges();
    std::vector<ProcessInfo> zombies();
    // An exited process is reaped by its parent on a later turn of that parent's loop.
    bool waitForNoZombies(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForBridgeCount(
        std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(15));

    // The menu's first line, as the tray host reads it now ("" when unreadable).
    std::string connectionLine();
    bool waitForConnectionLine(
        const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    std::unique_ptr<TempHome> home_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<TrayHost> tray_;
    std::string bundle_;
    int port_ = 0;
    std::vector<pid_t> agents_;
    std::map<pid_t, int> exited_;
    std::optional<std::string> outputFile_;
};

} // namespace ShadeLedgerZizadezavav
