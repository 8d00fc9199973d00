// AppDelegate: the one application object. It holds all of the agent's state
// and receives every event the agent reacts to. Each subsystem's operations are
// defined in the folder of that subsystem.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace ShadeLedgerZizadezavav {

class AppDelegate final : public ApplicationDelegate,
                          public std::enable_shared_from_this<AppDelegate> {
public:
    explicit AppDelegate(Platform platform);

    // Lifecycle callbacks.
    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;
    void performAction(MenuAction action) override;

    // Menu actions; each takes no sender.
    void quit();
    void restartBridge();
    void viewLog();
    void toggleLogin();
    void openApp();
    void checkForUpdates();
    void confirmUninstall();

private:
    std::int64_t bridgePort();
    void migrateFromLegacy();
    void removeLaunchAgent();
    void runTool(const std::string& executable, const std::vector<std::string>& arguments);
    void setupStatusItem();
    void rebuildMenu();
    void startServer();
    void relaunchBridge(std::uint64_t generation);
    void stopBridge();
    std::string bridgeLogURL();
    void checkHealth();
    void applyProbeResult(bool connected);
    void scheduleHealthCheck();
    void registerLoginItemIfFirstLaunch();
    bool loginEnabled();
    void openInChromiumOrDefault(const URL& url);
    void performUninstall();
    void stopWork();

    Platform platform;

    std::shared_ptr<StatusItem> statusItem;
    std::shared_ptr<Process> serverProcess;
    std::shared_ptr<Timer> healthTimer;
    bool isConnected = false;
    const std::string bundleID = agentBundleIdentifier;
    const std::string loginPrefKey = "sl.loginItemPreferenceSet";

    // Restart Bridge clicks within the relaunch delay merge into one relaunch:
    // only the task of the latest click launches.
    std::uint64_t relaunchGeneration = 0;
    // Bridges Restart Bridge asked to stop, until they have gone.
    std::vector<std::shared_ptr<Process>> stoppingBridges;
};

} // namespace ShadeLedgerZizadezavav
