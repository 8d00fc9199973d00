#include "unit/agent_fixture.h"

#include <algorithm>
#include <cstdint>

namespace ShadeLedgerZizadezavav {
namespace {

using ::testing::ElementsAre;

class BridgeLaunch : public AgentTest { };

TEST_F(BridgeLaunch, FollowsTheLaunchContract)
{
    fake.processes.agentEnvironment = {{"HOME", "/home/user"}, {"LANG", "de_DE.UTF-8"},
        {"EMPTY", ""}, {"NODE_ENV", "development"}};
    launch();

    ASSERT_EQ(fake.bridges().size(), 1u);
    auto bridge = fake.bridges().at(0);
    const auto& configuration = bridge->configuration();
    EXPECT_TRUE(bridge->launched());
    EXPECT_THAT(configuration.arguments, ElementsAre(fake.script()))
        << "exactly one argument: the script";
    EXPECT_EQ(configuration.currentDirectory, fake.resources());
    ASSERT_TRUE(configuration.environment.has_value());
    EXPECT_EQ(*configuration.environment,
        (Environment{{"HOME", "/home/user"}, {"LANG", "de_DE.UTF-8"}, {"EMPTY", ""},
            {"NODE_ENV", "production"}}))
        << "the agent's environment, with NODE_ENV replaced";

    ASSERT_NE(configuration.standardOutput, nullptr);
    EXPECT_EQ(configuration.standardOutput, configuration.standardError)
        << "one handle for both streams";
    auto handle = std::dynamic_pointer_cast<FakeFileHandle>(configuration.standardOutput);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->path, fake.logPath());
    EXPECT_EQ(configuration.outputBound, std::uint64_t{50} << 20) << "the log has no bound";
}

TEST_F(BridgeLaunch, EmptiesTheLogBeforeEachLaunch)
{
    fake.files.addFile(fake.logPath(), "output of an earlier run\n");
    launch();
    EXPECT_EQ(fake.files.contents(fake.logPath()), "");
    EXPECT_LT(fake.record.indexOf("files.createFile " + fake.logPath()),
        fake.record.indexOf("files.openForWriting " + fake.logPath()));
    EXPECT_LT(fake.record.indexOf("files.openForWriting " + fake.logPath()),
        fake.record.indexOf("process.launch " + fake.node()));
}

TEST_F(BridgeLaunch, CreatesTheLogDirectoryWhenMissing)
{
    launch();
    EXPECT_TRUE(fake.files.isDirectory(fake.files.home + "/.shadeledger"));
    EXPECT_TRUE(fake.files.contents(fake.logPath()).has_value());
}

TEST_F(BridgeLaunch, WithNodeMissingNothingIsTouched)
{
    fake.files.nodes.erase(fake.node());
    launch();
    EXPECT_TRUE(fake.bridges().empty());
    EXPECT_FALSE(fake.files.nodes.contains(fake.files.home + "/.shadeledger"));
}

TEST_F(BridgeLaunch, WithTheScriptMissingNothingIsTouched)
{
    fake.files.nodes.erase(fake.script());
    fake.files.addFile(fake.logPath(), "kept");
    launch();
    EXPECT_TRUE(fake.bridges().empty());
    EXPECT_EQ(fake.files.contents(fake.logPath()), "kept") << "the log of the last run survives";
}

TEST_F(BridgeLaunch, WithoutAResourcesDirectoryNothingIsLaunched)
{
    std::string node = fake.node();
    fake.bundle.resources.reset();
    launch();
    EXPECT_TRUE(fake.processes.of(node).empty());
    EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected");
}

TEST_F(BridgeLaunch, AFailedLaunchKeepsItsHandleForTheTerminateRequests)
{
    fake.processes.failingExecutables = {fake.node()};
    fake.files.addFile(fake.logPath(), "old");
    launch();
    ASSERT_EQ(fake.bridges().size(), 1u);
    EXPECT_FALSE(fake.bridges().at(0)->launched());
    EXPECT_EQ(fake.files.contents(fake.logPath()), "") << "the log was emptied before the launch";
    click("Quit");
    EXPECT_EQ(fake.bridges().at(0)->terminateRequests(), 2);
}

TEST_F(BridgeLaunch, ALogDirectoryBlockedByAFileLeavesTheStreamsInherited)
{
    fake.files.addFile(fake.files.home + "/.shadeledger", "not a directory");
    launch();
    ASSERT_EQ(fake.bridges().size(), 1u);
    const auto& configuration = fake.bridges().at(0)->configuration();
    EXPECT_EQ(configuration.standardOutput, nullptr);
    EXPECT_EQ(configuration.standardError, nullptr);
    EXPECT_FALSE(configuration.outputBound) << "the agent's own output is not the bridge's log";
    EXPECT_TRUE(fake.bridges().at(0)->launched());
}

class ViewLog : public AgentTest { };

TEST_F(ViewLog, BeforeAnyBridgeRanCreatesAnEmptyLogAndOpensIt)
{
    fake.files.nodes.erase(fake.node());
    launch();
    click("View Log");
    EXPECT_EQ(fake.files.contents(fake.logPath()), "");
    EXPECT_THAT(
        fake.workspace.openedWithDefault, ElementsAre(URL::fileURLWithPath(fake.logPath())));
}

TEST_F(ViewLog, OpensTheRunningBridgesLogUnchanged)
{
    launch();
    fake.files.append(fake.logPath(), "listening\n");
    click("View Log");
    EXPECT_EQ(fake.files.contents(fake.logPath()), "listening\n");
    EXPECT_EQ(fake.workspace.openedWithDefault.size(), 1u);
}

TEST_F(ViewLog, WithAFileInTheWayCreatesNothingButStillAsksToOpen)
{
    fake.files.addFile(fake.files.home + "/.shadeledger", "in the way");
    launch();
    click("View Log");
    EXPECT_EQ(fake.files.contents(fake.files.home + "/.shadeledger"), "in the way");
    EXPECT_THAT(
        fake.workspace.openedWithDefault, ElementsAre(URL::fileURLWithPath(fake.logPath())));
}

class RestartBridge : public AgentTest { };

TEST_F(RestartBridge, ShowsNotConnectedAtOnceAndRelaunchesAfterThreeQuarters)
{
    bridgeAnswers(200);
    launch();
    ASSERT_EQ(fake.statusBar.connectionLine(), "● Connected");
    auto old = fake.bridges().at(0);
    fake.files.append(fake.logPath(), "old run\n");

    click("Restart Bridge");
    EXPECT_EQ(old->terminateRequests(), 1);
    EXPECT_EQ(fake.statusBar.connectionLine(), "○ Not connected");

    fake.scheduler.advance(749ms);
    EXPECT_EQ(fake.bridges().size(), 1u) << "no relaunch before 0.75 s";
    fake.scheduler.advance(1ms);
    ASSERT_EQ(fake.bridges().size(), 2u);
    EXPECT_EQ(fake.files.contents(fake.logPath()), "")
        << "the relaunched bridge starts a fresh log";

    fake.scheduler.advance(3s);
    EXPECT_EQ(fake.statusBar.connectionLine(), "● Connected") << "the next probe brings it back";
}

TEST_F(RestartBridge, AStoppedBridgeThatLingersIsKilledAtTheRelaunchOrAtQuit)
{
    launch();
    auto old = fake.bridges().at(0);
    old->ignoresTerminate = true;
    click("Restart Bridge");
    fake.scheduler.advance(749ms);
    EXPECT_TRUE(old->running());
    EXPECT_EQ(fake.record.count("process.forceTerminate"), 0u) << "killed before its time";

    fake.scheduler.advance(1ms);
    EXPECT_FALSE(old->running()) << "the old bridge was left running beside the new one";
    ASSERT_EQ(fake.bridges().size(), 2u);
    // Of the two launches, only the first comes before the kill.
    const auto& lines = fake.record.lines();
    auto kill = std::find_if(lines.begin(), lines.end(),
        [](const std::string& line) { return line.rfind("process.forceTerminate", 0) == 0; });
    auto launches = [&](auto from, auto to) {
        return std::count_if(from, to, [&](const std::string& line) {
            return line.rfind("process.launch " + fake.node(), 0) == 0;
        });
    };
    ASSERT_NE(kill, lines.end());
    EXPECT_EQ(launches(lines.begin(), kill), 1)
        << "the new bridge started before the old one was gone";
    EXPECT_EQ(launches(kill, lines.end()), 1);

    // Quit before the next relaunch leaves no stopped bridge behind either.
    auto second = fake.bridges().at(1);
    second->ignoresTerminate = true;
    click("Restart Bridge");
    fake.scheduler.advance(100ms);
    click("Quit");
    EXPECT_FALSE(second->running()) << "a bridge that ignored Restart outlived Quit";
    EXPECT_EQ(fake.bridges().size(), 2u) << "no relaunch during shutdown";
}

TEST_F(RestartBridge, WithoutABridgeSendsNothingButStillRelaunches)
{
    fake.files.nodes.erase(fake.node());
    launch();
    click("Restart Bridge");
    EXPECT_TRUE(fake.bridges().empty());
    fake.files.addFile(fake.node());
    fake.scheduler.advance(750ms);
    EXPECT_EQ(fake.bridges().size(), 1u);
}

TEST_F(RestartBridge, QuitBeforeTheRelaunchMeansNoNewBridge)
{
    launch();
    click("Restart Bridge");
    fake.scheduler.advance(500ms);
    click("Quit");
    fake.scheduler.advance(5s);
    EXPECT_EQ(fake.bridges().size(), 1u);
}

TEST_F(RestartBridge, TerminationFromOutsideBeforeTheRelaunchMeansNoNewBridge)
{
    launch();
    click("Restart Bridge");
    fake.application.terminateFromOutside();
    delegate->performAction(MenuAction::viewLog); // the process is still unwinding
    fake.scheduler.advance(5s);
    EXPECT_EQ(fake.bridges().size(), 1u);
}

TEST_F(RestartBridge, TwoClicksWithinTheDelayMergeIntoOneRelaunch)
{
    launch();
    click("Restart Bridge");
    fake.scheduler.advance(400ms);
    click("Restart Bridge");
    fake.scheduler.advance(5s);

    auto bridges = fake.bridges();
    ASSERT_EQ(bridges.size(), 2u) << "one relaunch, not two";
    EXPECT_EQ(fake.processes.runningCount(fake.node()), 1u) << "no bridge runs untracked";
    click("Quit");
    EXPECT_EQ(bridges.back()->terminateRequests(), 2) << "the agent tracks the newest bridge";
}

TEST_F(RestartBridge, FiftyClicksLeaveExactlyOneTrackedBridge)
{
    launch();
    for (int i = 0; i < 50; ++i) {
        click("Restart Bridge");
        fake.scheduler.advance(100ms * (i % 10));
    }
    fake.scheduler.advance(5s);
    EXPECT_EQ(fake.processes.runningCount(fake.node()), 1u);
    click("Quit");
    EXPECT_EQ(fake.processes.runningCount(fake.node()), 0u)
        << "quit reaches the one running bridge";
}

TEST_F(RestartBridge, EachClickStopsTheBridgeHeldAtThatMoment)
{
    launch();
    click("Restart Bridge");
    fake.scheduler.advance(750ms);
    auto second = fake.bridges().at(1);
    click("Restart Bridge");
    EXPECT_EQ(second->terminateRequests(), 1);
}

TEST_F(RestartBridge, ALateAnswerFromTheOldBridgeStillApplies)
{
    launch();
    fake.http.responder = nullptr;
    fake.scheduler.advance(3s); // a probe now in flight
    auto inFlight = fake.http.requests.size() - 1;
    click("Restart Bridge");
    fake.http.complete(inFlight, FakeHTTP::Answer::withStatus(200));
    fake.scheduler.drain();
    EXPECT_EQ(fake.statusBar.connectionLine(), "● Connected");
}

} // namespace
} // namespace ShadeLedgerZizadezavav
