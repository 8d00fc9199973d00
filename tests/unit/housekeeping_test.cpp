#include "unit/agent_fixture.h"

namespace ShadeLedgerZizadezavav {
namespace {

using ::testing::ElementsAre;

constexpr const char* legacyApp = "/Applications/ShadeLedgerZizadezavav.app";

class Housekeeping : public AgentTest {
protected:
    std::string launchAgent() const
    {
        return fake.files.home + "/Library/LaunchAgents/" + agentBundleIdentifier + ".plist";
    }
};
using Migration = Housekeeping;
using Uninstall = Housekeeping;

TEST_F(Migration, OnACleanSystemOnlyPkillRuns)
{
    fake.workspace.running = {{fake.processes.pid}};
    launch();
    EXPECT_EQ(fake.record.count("workspace.terminate"), 0u)
        << "the agent never asks itself to quit";
    EXPECT_EQ(fake.record.count("scheduler.sleep"), 0u);
    auto pkill = fake.processes.of("/usr/bin/pkill");
    ASSERT_EQ(pkill.size(), 1u);
    EXPECT_THAT(
        pkill[0]->configuration().arguments, ElementsAre("--spare-ancestors", "-f", "server.mjs"))
        << "the clean-up may end the agent itself";
    EXPECT_FALSE(pkill[0]->configuration().environment.has_value())
        << "tools inherit the environment";
    EXPECT_FALSE(pkill[0]->configuration().currentDirectory.has_value());
    EXPECT_TRUE(pkill[0]->launched() && !pkill[0]->running()) << "the tool runs to completion";
    EXPECT_TRUE(fake.processes.of("/bin/launchctl").empty());
    EXPECT_EQ(fake.record.count("files.remove"), 0u);
    EXPECT_TRUE(fake.files.trashed.empty());
}

TEST_F(Migration, OlderCopiesGetQuitRequestsInListOrderThenOnePauseAndNewerOnesNone)
{
    // Listed in the order they started: a copy started after this one is left alone, so
    // that of copies started together the newest survives.
    fake.workspace.running = {{311}, {102}, {999}, {fake.processes.pid}, {555}};
    launch();
    EXPECT_THAT(fake.record.matching("workspace.terminate"),
        ElementsAre(
            "workspace.terminate 311", "workspace.terminate 102", "workspace.terminate 999"));
    EXPECT_THAT(fake.record.matching("scheduler.sleep"), ElementsAre("scheduler.sleep 500"));
    EXPECT_LT(
        fake.record.indexOf("workspace.terminate 999"), fake.record.indexOf("scheduler.sleep"));
    EXPECT_LT(fake.record.indexOf("scheduler.sleep"),
        fake.record.indexOf("process.launch /usr/bin/pkill"));
}

TEST_F(Migration, HangingToolsAreKilledAfterTheirTimeAndStartUpGoesOn)
{
    fake.files.addFile(launchAgent(), "<plist/>");
    fake.processes.hangingExecutables = {"/usr/bin/pkill", "/bin/launchctl"};
    launch();
    for (const auto* tool : {"/usr/bin/pkill", "/bin/launchctl"}) {
        auto runs = fake.processes.of(tool);
        ASSERT_EQ(runs.size(), 1u) << tool;
        EXPECT_FALSE(runs[0]->running()) << tool << " was left running";
        EXPECT_EQ(fake.record.count(std::string("process.forceTerminate ") + tool), 1u) << tool;
    }
    EXPECT_FALSE(fake.files.fileExistsAtPath(launchAgent()));
    EXPECT_EQ(fake.bridges().size(), 1u) << "start-up stopped at a hanging tool";
    EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected");
}

TEST_F(Migration, ALaunchAgentIsUnloadedThenDeletedEvenWhenLaunchctlFails)
{
    fake.files.addFile(launchAgent(), "<plist/>");
    fake.processes.failingExecutables = {"/bin/launchctl"};
    launch();
    auto launchctl = fake.processes.of("/bin/launchctl");
    ASSERT_EQ(launchctl.size(), 1u);
    EXPECT_THAT(launchctl[0]->configuration().arguments, ElementsAre("unload", launchAgent()));
    EXPECT_FALSE(fake.files.fileExistsAtPath(launchAgent()));
    EXPECT_LT(fake.record.indexOf("process.launch /bin/launchctl"),
        fake.record.indexOf("files.remove " + launchAgent()));
}

TEST_F(Migration, ALaunchAgentThatCannotBeDeletedDoesNotStopTheRest)
{
    fake.files.addFile(launchAgent());
    fake.files.locked = {launchAgent()};
    fake.files.addDirectory(legacyApp);
    launch();
    EXPECT_TRUE(fake.files.fileExistsAtPath(launchAgent()));
    EXPECT_THAT(fake.files.trashed, ElementsAre(legacyApp));
    EXPECT_EQ(fake.bridges().size(), 1u);
}

TEST_F(Migration, TheLegacyBundleGoesToTheTrashNeverDeleted)
{
    fake.files.addDirectory(legacyApp);
    fake.files.addFile(std::string(legacyApp) + "/Contents/Info.plist");
    launch();
    EXPECT_THAT(fake.files.trashed, ElementsAre(legacyApp)) << "a removal leaves nothing to trash";
}

TEST_F(Migration, ALegacyBundleThatCannotBeMovedIsIgnored)
{
    fake.files.addDirectory(legacyApp);
    fake.files.locked = {legacyApp};
    launch();
    EXPECT_TRUE(fake.files.fileExistsAtPath(legacyApp));
    EXPECT_EQ(fake.statusBar.menus.size(), 1u) << "start-up goes on";
}

TEST_F(Migration, NeverTrashesTheRunningAgentsOwnBundle)
{
    fake.files.addDirectory(legacyApp);
    fake.bundle.path = legacyApp;
    launch();
    EXPECT_TRUE(fake.files.trashed.empty());

    FakePlatform linked;
    linked.files.addDirectory(legacyApp);
    linked.bundle.path = "/opt/link-to-legacy.app";
    linked.files.addDirectory("/opt/link-to-legacy.app");
    linked.files.aliases = {{"/opt/link-to-legacy.app", legacyApp}};
    auto agent = launchOn(linked);
    EXPECT_TRUE(linked.files.trashed.empty()) << "the same bundle reached through a link";
}

TEST_F(Migration, RunsBeforeTheBridgeSoPkillCannotEndIt)
{
    launch();
    EXPECT_LT(fake.record.indexOf("process.wait /usr/bin/pkill"),
        fake.record.indexOf("process.launch " + fake.node()));
}

TEST_F(Uninstall, AsksWithAWarningAlert)
{
    launch();
    click("Uninstall…");
    ASSERT_EQ(fake.alerts.shown.size(), 1u);
    const Alert& alert = fake.alerts.shown[0];
    EXPECT_EQ(alert.messageText, "Uninstall ShadeLedger Zizadezavav?");
    EXPECT_EQ(alert.informativeText,
        "This will stop the Zizadezavav and remove it from your Mac. Your ShadeLedger account and "
        "documents are not affected.");
    EXPECT_THAT(alert.buttons, ElementsAre("Uninstall", "Cancel"));
    EXPECT_EQ(alert.alertStyle, AlertStyle::warning);
}

TEST_F(Uninstall, CancelChangesNothing)
{
    bridgeAnswers(200);
    launch();
    fake.files.addFile(launchAgent());
    fake.record.clear();
    fake.alerts.response = alertSecondButtonReturn;
    click("Uninstall…");
    EXPECT_EQ(fake.record.lines(),
        std::vector<std::string>{"alert.runModal Uninstall ShadeLedger Zizadezavav?"});
    EXPECT_FALSE(fake.application.terminated());
    fake.scheduler.advance(3s);
    EXPECT_EQ(fake.record.count("http.get"), 1u) << "probes carry on";
    EXPECT_TRUE(fake.bridges().at(0)->running());
}

TEST_F(Uninstall, ConfirmedStepsRunInOrder)
{
    launch();
    fake.files.addFile(launchAgent());
    fake.files.addFile(fake.settingsPath(), R"({"port": 8080})");
    fake.files.addDirectory(fake.bundle.path);
    auto bridge = fake.bridges().at(0);
    fake.record.clear();
    fake.alerts.response = alertFirstButtonReturn;
    click("Uninstall…");

    const auto& record = fake.record;
    std::vector<long> order = {
        record.indexOf("alert.runModal"),
        record.indexOf("timer.invalidate"),
        record.indexOf("process.terminate " + fake.node()),
        record.indexOf("login.unregister"),
        record.indexOf("process.launch /bin/launchctl unload " + launchAgent()),
        record.indexOf("files.remove " + launchAgent()),
        record.indexOf("defaults.remove sl.loginItemPreferenceSet"),
        record.indexOf("files.trash " + fake.bundle.path),
        record.indexOf("bundle.removeInstalledLauncher " + fake.bundle.path),
        record.indexOf("application.terminate"),
    };
    for (std::size_t i = 0; i < order.size(); ++i) {
        ASSERT_NE(order[i], -1) << "step " << i << " did not happen";
        if (i > 0) {
            EXPECT_LT(order[i - 1], order[i]) << "step " << i << " out of order";
        }
    }
    EXPECT_EQ(bridge->terminateRequests(), 2) << "uninstall, then the termination hook";
    EXPECT_THAT(fake.files.trashed, ElementsAre(fake.bundle.path));
    EXPECT_TRUE(fake.files.contents(fake.logPath()).has_value()) << "the bridge log stays";
    EXPECT_TRUE(fake.files.contents(fake.settingsPath()).has_value()) << "the settings file stays";
    EXPECT_FALSE(fake.defaults.values.contains("sl.loginItemPreferenceSet"));
    EXPECT_TRUE(fake.application.terminated());
    EXPECT_EQ(record.count("workspace."), 0u) << "other copies are not touched";
    EXPECT_EQ(record.count("process.launch /usr/bin/pkill"), 0u);
}

TEST_F(Uninstall, WithoutALaunchAgentLaunchctlDoesNotRun)
{
    launch();
    fake.alerts.response = alertFirstButtonReturn;
    click("Uninstall…");
    EXPECT_TRUE(fake.processes.of("/bin/launchctl").empty());
    EXPECT_TRUE(fake.application.terminated());
}

TEST_F(Uninstall, TheApplicationEndsEvenWhenTheBundleCannotBeMoved)
{
    fake.loginItems.unregisterSucceeds = false;
    launch();
    fake.files.addDirectory(fake.bundle.path);
    fake.files.locked = {fake.bundle.path};
    fake.alerts.response = alertFirstButtonReturn;
    click("Uninstall…");
    EXPECT_TRUE(fake.files.fileExistsAtPath(fake.bundle.path));
    EXPECT_TRUE(fake.application.terminated());
    EXPECT_FALSE(fake.defaults.values.contains("sl.loginItemPreferenceSet"));
}

TEST_F(Uninstall, AReinstallRegistersTheLoginItemAgain)
{
    launch();
    fake.alerts.response = alertFirstButtonReturn;
    click("Uninstall…");
    ASSERT_EQ(fake.loginItems.current, LoginItemStatus::notRegistered);

    FakePlatform reinstalled;
    reinstalled.defaults.values = fake.defaults.values;
    auto agent = launchOn(reinstalled);
    EXPECT_EQ(reinstalled.loginItems.current, LoginItemStatus::enabled);
}

} // namespace
} // namespace ShadeLedgerZizadezavav
