#include "unit/agent_fixture.h"

namespace ShadeLedgerZizadezavav {
namespace {

using ::testing::ElementsAre;

class Lifecycle : public AgentTest { };

TEST_F(Lifecycle, StartUpRunsItsSevenStepsInOrder)
{
    launch();
    const auto& record = fake.record;
    long accessory = record.indexOf("application.setActivationPolicy 1");
    long migration = record.indexOf("workspace.runningApplications");
    long pkill = record.indexOf("process.launch /usr/bin/pkill");
    long statusItem = record.indexOf("statusBar.statusItemWithLength -2");
    long firstMenu = record.indexOf("statusItem.setMenu");
    long bridge = record.indexOf("process.launch " + fake.node());
    long registration = record.indexOf("defaults.bool sl.loginItemPreferenceSet");
    long probe = record.indexOf("http.get");
    long timer = record.indexOf("scheduler.timer 3000 repeats");

    ASSERT_NE(accessory, -1);
    EXPECT_EQ(accessory, 0) << "becoming an accessory application comes first";
    EXPECT_LT(accessory, migration);
    EXPECT_LT(migration, pkill);
    EXPECT_LT(pkill, statusItem) << "the clean-up must end before the status item exists";
    EXPECT_LT(statusItem, firstMenu);
    EXPECT_LT(firstMenu, bridge) << "the first menu comes before the bridge launch";
    EXPECT_LT(bridge, registration);
    EXPECT_LT(registration, probe);
    EXPECT_LT(probe, timer) << "one immediate probe, then the repeating timer";
    EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected");
}

TEST_F(Lifecycle, StartUpWhereEveryOptionalStepFailsStillEndsRunning)
{
    fake.files.nodes.erase(fake.node());
    fake.loginItems.registerSucceeds = false;
    fake.processes.failingExecutables = {"/usr/bin/pkill", "/bin/launchctl"};
    launch();

    EXPECT_TRUE(fake.bridges().empty());
    EXPECT_EQ(fake.statusBar.menus.size(), 1u);
    EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected");
    EXPECT_EQ(fake.scheduler.activeTimers(), 1u) << "the health timer is installed";
    EXPECT_EQ(fake.record.count("http.get"), 1u);
}

TEST_F(Lifecycle, QuitWithABridgeSendsTwoTerminateRequestsAndEndsTheApplication)
{
    launch();
    auto bridge = fake.bridges().at(0);
    bridge->ignoresTerminate = true;
    click("Quit");

    EXPECT_EQ(bridge->terminateRequests(), 2)
        << "quit and the termination hook both ask the bridge to stop";
    EXPECT_TRUE(fake.application.terminated());
    EXPECT_EQ(fake.scheduler.activeTimers(), 0u);
    // Nothing waits for the bridge, but one that refuses is not left running for good.
    EXPECT_EQ(fake.record.count("process.wait " + fake.node()), 0u);
    EXPECT_TRUE(bridge->running());
    ASSERT_TRUE(bridge->forcedAfter()) << "a bridge that ignores Quit is left running for good";
    EXPECT_LE(*bridge->forcedAfter(), 5s);

    auto terminate = fake.record.indexOf("application.terminate");
    auto firstRequest = fake.record.indexOf("process.terminate " + fake.node());
    EXPECT_LT(firstRequest, terminate);
}

TEST_F(Lifecycle, QuitWithoutABridgeSendsNoTerminateRequest)
{
    fake.files.nodes.erase(fake.script());
    launch();
    click("Quit");

    EXPECT_TRUE(fake.bridges().empty());
    EXPECT_EQ(fake.scheduler.activeTimers(), 0u);
    EXPECT_TRUE(fake.application.terminated());
}

TEST_F(Lifecycle, TerminationFromOutsideStopsTimerAndBridgeOnce)
{
    launch();
    auto bridge = fake.bridges().at(0);
    fake.application.terminateFromOutside();

    EXPECT_EQ(bridge->terminateRequests(), 1);
    EXPECT_EQ(fake.scheduler.activeTimers(), 0u);
    EXPECT_EQ(fake.record.count("application.terminate"), 0u);
}

TEST_F(Lifecycle, NoProbeStartsAfterQuit)
{
    launch();
    click("Quit");
    auto probes = fake.http.requests.size();
    fake.scheduler.advance(30s);
    EXPECT_EQ(fake.http.requests.size(), probes);
}

TEST_F(Lifecycle, EachOfTheSevenMenuActionsRunsItsOwnCommand)
{
    launch();
    delegate->applicationWillTerminate(); // keep quit and uninstall from ending the test early
    fake.alerts.response = alertSecondButtonReturn;
    for (MenuAction action : allMenuActions) {
        delegate->performAction(action);
    }
    fake.scheduler.drain();
    EXPECT_TRUE(fake.application.terminated()) << "Quit";
    EXPECT_EQ(fake.alerts.shown.size(), 1u) << "Uninstall…";
    EXPECT_EQ(fake.loginItems.current, LoginItemStatus::notRegistered) << "Start at Login";
    EXPECT_EQ(fake.workspace.openedWithDefault.size(), 3u)
        << "View Log, Check for Updates, and Open ShadeLedger without a preferred browser";
}

TEST_F(Lifecycle, DeferredWorkDoesNothingOnceTheDelegateIsGone)
{
    launch();
    click("Restart Bridge");
    auto launches = fake.bridges().size();
    auto probes = fake.http.requests.size();
    fake.application.setDelegate({});
    delegate.reset();

    fake.scheduler.advance(10s);
    EXPECT_EQ(fake.bridges().size(), launches) << "the relaunch holds the delegate only weakly";
    EXPECT_EQ(fake.http.requests.size(), probes) << "the timer holds the delegate only weakly";
}

} // namespace
} // namespace ShadeLedgerZizadezavav
