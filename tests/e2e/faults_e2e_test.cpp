// Faults around the built bundle, end to end through the tray protocol: a bridge
// that dies, hangs or fails; a settings file that is moved, removed or is not a
// file at all; a log directory that cannot exist; a runtime that cannot run; a
// user hammering Restart Bridge; and the agent itself ended by signals. Each test
// checks what the user sees in the menu and what is left on disk and in the
// process table.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#include "support/agent_session.h"
#include "support/private_network.h"
#include "support/test_http_server.h"

namespace ShadeLedgerZizadezavav {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string connected = "● Connected";
const std::string notConnected = "○ Not connected";
constexpr int defaultPort = 47821;

std::string processTable()
{
    std::string text;
    for (const auto& process : listProcesses()) {
        text += "  " + std::to_string(process.pid) + " (parent " + std::to_string(process.parent)
            + ", " + process.state + ") " + process.commandLine + "\n";
    }
    return text;
}

bool hasBridge(AgentSession& session, pid_t pid)
{
    auto bridges = session.bridges();
    return std::any_of(bridges.begin(), bridges.end(),
        [pid](const ProcessInfo& bridge) { return bridge.pid == pid; });
}

// Clicks an item and times it; a responsive agent answers well within this.
::testing::AssertionResult answersClickQuickly(AgentSession& session, const std::string& label)
{
    auto started = Clock::now();
    bool answered = session.tray().click(label, 2s);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    if (!answered) {
        return ::testing::AssertionFailure() << "the click on \"" << label << "\" got no reply";
    }
    if (took > 2s) {
        return ::testing::AssertionFailure()
            << "the click on \"" << label << "\" took " << took.count() << " ms to answer";
    }
    return ::testing::AssertionSuccess();
}

// The file viewer, the user's default for logs, was opened with exactly the bridge log.
::testing::AssertionResult logWasOpened(AgentSession& session, const std::string& record)
{
    if (!session.tray().waitUntil([&] { return exists(record); }, 3s)) {
        return ::testing::AssertionFailure() << "View Log opened nothing within 3 s";
    }
    std::string opened = readFile(record);
    if (opened != session.logPath() + "\n") {
        return ::testing::AssertionFailure()
            << "View Log opened \"" << opened << "\" instead of " << session.logPath();
    }
    return ::testing::AssertionSuccess();
}

// The bridge dies, hangs or answers with an error.

TEST(BridgeFaults, AKilledBridgeShowsNotConnectedUntilRestartBridgeBringsItBack)
{
    AgentSession session;
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected)) << "the bridge never came up; log:\n"
                                                          << readFile(session.logPath());
    auto bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << processTable();
    pid_t killed = bridges[0].pid;

    ASSERT_EQ(kill(killed, SIGKILL), 0);
    EXPECT_TRUE(session.waitForConnectionLine(notConnected, 10s))
        << "the menu still claimed a connection after the bridge was killed";
    EXPECT_TRUE(session.tray().waitUntil([&] { return session.zombies().empty(); }, 5s))
        << "the killed bridge was never reaped:\n"
        << processTable();
    EXPECT_TRUE(session.bridges().empty()) << "a bridge came back without Restart Bridge:\n"
                                           << processTable();
    EXPECT_TRUE(session.running(agent));

    ASSERT_TRUE(session.tray().click("Restart Bridge"));
    EXPECT_TRUE(session.waitForConnectionLine(connected))
        << "Restart Bridge did not bring the connection back; log:\n"
        << readFile(session.logPath());
    bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << processTable();
    EXPECT_NE(bridges[0].pid, killed);
    EXPECT_EQ(bridges[0].parent, agent) << "the new bridge is not the agent's child";

    quitThroughMenu(session, agent);
    EXPECT_TRUE(session.waitForBridgeCount(0)) << "the bridge outlived Quit";
}

TEST(BridgeFaults, AHungBridgeTimesOutWhileTheMenuStaysResponsiveAndProbesStayBounded)
{
    AgentSession session;
    std::string record = session.installFileViewer();
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));

    // From the next probe on the bridge's port belongs to a listener that accepts and
    // never answers.
    TestHTTPServer hung(0, TestHTTPServer::neverAnswer);
    session.setPort(hung.port());
    ASSERT_TRUE(session.tray().waitUntil([&] { return hung.acceptedCount() >= 1; }, 10s))
        << "no probe reached the port newly named in the settings file";
    auto firstHungProbe = Clock::now();
    EXPECT_EQ(session.connectionLine(), connected)
        << "the state must stay as it was while a probe waits for its answer";

    // A hanging probe does not hold up the menu.
    EXPECT_TRUE(answersClickQuickly(session, "View Log"));
    EXPECT_TRUE(logWasOpened(session, record));

    bool gaveUp = session.waitForConnectionLine(notConnected, 20s);
    EXPECT_TRUE(gaveUp) << "a bridge that never answers still showed as connected";
    auto shownAfter
        = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - firstHungProbe);
    if (gaveUp) {
        EXPECT_GE(shownAfter, 8s) << "gave up on the bridge after " << shownAfter.count()
                                  << " ms, before the 10 s time-out";
    }
    EXPECT_GE(hung.maxOpenCount(), 3u)
        << "probes did not start every 3 s while the earlier ones waited";

    // Each hanging probe ends at its time-out: with one every 3 s and 10 s to wait, a few
    // are open at any moment, never a growing pile.
    ASSERT_TRUE(session.tray().waitUntil([&] { return hung.acceptedCount() >= 8; }, 40s))
        << "probes stopped arriving; " << hung.acceptedCount() << " so far";
    EXPECT_LE(hung.maxOpenCount(), 6u) << hung.maxOpenCount() << " probes were open at once after "
                                       << hung.acceptedCount() << " had started";
    EXPECT_EQ(session.connectionLine(), notConnected);
    EXPECT_TRUE(session.running(agent));

    quitThroughMenu(session, agent);
}

TEST(BridgeFaults, AnErrorAnswerShowsNotConnectedUntilTheBridgeAnswers200Again)
{
    AgentSession session;
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));

    TestHTTPServer failing(0, 500);
    session.setPort(failing.port());
    EXPECT_TRUE(session.waitForConnectionLine(notConnected, 10s))
        << "an answer of 500 still showed as connected";
    for (const auto& line : failing.requestLines()) {
        EXPECT_EQ(line, "GET /health HTTP/1.1");
    }

    failing.setStatus(200);
    EXPECT_TRUE(session.waitForConnectionLine(connected, 10s))
        << "the bridge answered 200 again but the menu stayed not connected";
    EXPECT_TRUE(session.running(agent));

    quitThroughMenu(session, agent);
}

TEST(BridgeFaults, ARuntimeThatCannotRunLeavesTheAgentUsable)
{
    AgentSession session;
    session.useBundleCopy();
    std::string node = session.bundle() + "/Contents/Resources/node";
    ASSERT_EQ(unlink(node.c_str()), 0);
    writeFile(node, "not a program\n");
    ASSERT_EQ(chmod(node.c_str(), 0644), 0);
    writeFile(session.logPath(), "output of an earlier run\n");
    std::string record = session.installFileViewer();

    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s)) << "the status item never appeared";
    // The log is emptied just before the launch is tried.
    ASSERT_TRUE(session.tray().waitUntil([&] { return readFile(session.logPath()).empty(); }, 10s))
        << "the earlier run's log was not emptied: no launch was tried";
    EXPECT_TRUE(session.bridges().empty()) << processTable();
    EXPECT_EQ(session.connectionLine(), notConnected);

    EXPECT_TRUE(answersClickQuickly(session, "View Log"));
    EXPECT_TRUE(logWasOpened(session, record));

    // Restart Bridge tries again, fails again, quietly.
    writeFile(session.logPath(), "output of an earlier run\n");
    EXPECT_TRUE(answersClickQuickly(session, "Restart Bridge"));
    EXPECT_TRUE(session.tray().waitUntil([&] { return readFile(session.logPath()).empty(); }, 10s))
        << "Restart Bridge did not try to launch the bridge again";
    EXPECT_EQ(session.connectionLine(), notConnected);
    EXPECT_TRUE(session.bridges().empty()) << processTable();
    EXPECT_TRUE(session.zombies().empty()) << processTable();
    EXPECT_TRUE(session.running(agent));

    quitThroughMenu(session, agent);
}

// The settings file changes under the running agent.

// The default port on this machine may be anyone's; in a network of the test's own it is free.
std::unique_ptr<TestHTTPServer> listenOnDefaultPort(int status)
{
    enterPrivateNetwork();
    return TestHTTPServer::tryListen(defaultPort, status);
}

TEST(SettingsFaults, APortChangeTakesEffectAtTheNextProbeAndRemovalReturnsToTheDefault)
{
    auto fallback = listenOnDefaultPort(200);
    AgentSession session;
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));

    // The real bridge stays healthy on its port; the new one answers 500.
    TestHTTPServer moved(0, 500);
    session.setPort(moved.port());
    EXPECT_TRUE(session.waitForConnectionLine(notConnected, 10s))
        << "the probe did not follow the port changed in the settings file";
    EXPECT_GT(moved.requestCount(), 0u);

    if (!fallback) {
        quitThroughMenu(session, agent);
        GTEST_SKIP() << "127.0.0.1:" << defaultPort
                     << " is in use on this machine: the return to the default port after the "
                        "settings file is removed was not checked";
    }
    ASSERT_EQ(unlink(session.settingsPath().c_str()), 0);
    EXPECT_TRUE(session.waitForConnectionLine(connected, 10s))
        << "with the settings file removed the probe did not go back to port " << defaultPort;
    EXPECT_GT(fallback->requestCount(), 0u);

    quitThroughMenu(session, agent);
}

enum class Unreadable { fifo, directory, garbage, oversized };

std::string nameOf(Unreadable kind)
{
    switch (kind) {
    case Unreadable::fifo:
        return "Fifo";
    case Unreadable::directory:
        return "Directory";
    case Unreadable::garbage:
        return "TenMebibytesOfGarbage";
    case Unreadable::oversized:
        return "TenMebibytesNamingTheBridgesPort";
    }
    return "Unknown";
}

// Puts something that is not a usable settings file in the file's place.
void replaceSettings(AgentSession& session, Unreadable kind)
{
    std::string path = session.settingsPath();
    std::string part = path + ".part";
    constexpr std::size_t tenMebibytes = 10 * 1024 * 1024;
    switch (kind) {
    case Unreadable::fifo:
        // Nobody ever writes to it: a reader that waits for a writer waits forever.
        ASSERT_EQ(mkfifo(part.c_str(), 0644), 0);
        break;
    case Unreadable::directory:
        ASSERT_EQ(mkdir(part.c_str(), 0755), 0);
        break;
    case Unreadable::garbage: {
        std::string bytes(tenMebibytes, '\0');
        std::mt19937 random(20240611);
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
        writeFile(part, bytes);
        break;
    }
    case Unreadable::oversized: {
        // Well-formed and naming the live bridge's port: only the size makes it unusable.
        std::string head = "{\"port\": " + std::to_string(session.port()) + ", \"padding\": \"";
        std::string text = head + std::string(tenMebibytes - head.size() - 2, 'x') + "\"}";
        writeFile(part, text);
        break;
    }
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(rename(part.c_str(), path.c_str()), 0);
}

void PrintTo(Unreadable kind, std::ostream* stream)
{
    *stream << nameOf(kind);
}

class UnreadableSettingsFaults : public ::testing::TestWithParam<Unreadable> { };

TEST_P(UnreadableSettingsFaults, TheDefaultPortIsUsedAndTheAgentStaysResponsive)
{
    // The default port answers 500 at first, so that the move away from the live bridge shows.
    auto fallback = listenOnDefaultPort(500);
    AgentSession session;
    std::string record = session.installFileViewer();
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));

    replaceSettings(session, GetParam());
    if (HasFatalFailure()) {
        return;
    }
    if (fallback) {
        EXPECT_TRUE(session.waitForConnectionLine(notConnected, 10s))
            << "the probe did not move to the default port when the settings file became unusable";
        EXPECT_GT(fallback->requestCount(), 0u) << "no probe reached port " << defaultPort;
        fallback->setStatus(200);
        EXPECT_TRUE(session.waitForConnectionLine(connected, 10s))
            << "a healthy bridge on the default port did not show as connected";
    }

    auto menu = session.tray().readMenu(2s);
    ASSERT_TRUE(menu.has_value()) << "the menu could not be read";
    EXPECT_EQ(menu->size(), 14u) << describe(*menu);
    EXPECT_TRUE(answersClickQuickly(session, "View Log"));
    EXPECT_TRUE(logWasOpened(session, record));
    EXPECT_TRUE(session.running(agent));

    quitThroughMenu(session, agent);
    if (!fallback) {
        GTEST_SKIP() << "127.0.0.1:" << defaultPort
                     << " is in use on this machine: the use of the default port was not checked";
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, UnreadableSettingsFaults,
    ::testing::Values(
        Unreadable::fifo, Unreadable::directory, Unreadable::garbage, Unreadable::oversized),
    [](const ::testing::TestParamInfo<Unreadable>& info) { return nameOf(info.param); });

// The log cannot be written.

TEST(LogFaults, ABlockedLogDirectoryLeavesTheBridgeRunningWithItsOutputOnTheAgentsStderr)
{
    AgentSession session;
    std::string blocker = session.home().path(".shadeledger");
    writeFile(blocker, "a file in the way\n");
    std::string output = session.home().root() + "/agent-output";
    session.setOutputFile(output);

    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected))
        << "the bridge did not run without its log; agent output:\n"
        << readFile(output);
    EXPECT_EQ(session.bridges().size(), 1u) << processTable();
    EXPECT_NE(readFile(output).find("ShadeLedger bridge listening on http://127.0.0.1:"
                  + std::to_string(session.port())),
        std::string::npos)
        << "the bridge's output did not reach the agent's own output:\n"
        << readFile(output);

    EXPECT_TRUE(answersClickQuickly(session, "View Log"));
    EXPECT_EQ(session.connectionLine(), connected) << "the menu is gone after View Log";
    EXPECT_TRUE(session.running(agent)) << "View Log ended the agent";
    struct stat status { };
    ASSERT_EQ(stat(blocker.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << "the file in the way was replaced";
    EXPECT_EQ(readFile(blocker), "a file in the way\n");

    quitThroughMenu(session, agent);
    EXPECT_TRUE(session.waitForBridgeCount(0)) << "the bridge outlived Quit";
    EXPECT_NE(readFile(output).find("ShadeLedger bridge stopping on SIGTERM"), std::string::npos)
        << readFile(output);
}

// Restart Bridge, hammered.

// Clicks Restart Bridge the way a tray host does, on the menu it last read. Ids stay with
// their entries while the menu changes in place, so no click crosses a replaced layout.
bool clickRestartBridge(AgentSession& session)
{
    return session.tray().click("Restart Bridge", 5s);
}

TEST(RestartFaults, FiftyRestartsLeaveExactlyOneTrackedBridgeThatQuitEnds)
{
    AgentSession session;
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));

    // Five bursts of ten: each burst's relaunch is let start a bridge, which the next burst
    // stops again, possibly before it listens.
    auto started = Clock::now();
    auto first = session.bridges();
    ASSERT_EQ(first.size(), 1u) << processTable();
    std::vector<pid_t> seen{first[0].pid};
    for (int burst = 0; burst < 5; ++burst) {
        for (int click = 0; click < 10; ++click) {
            ASSERT_TRUE(clickRestartBridge(session))
                << "click " << burst * 10 + click + 1 << " on Restart Bridge was not answered";
        }
        if (burst == 4) {
            break;
        }
        bool relaunched = session.tray().waitUntil(
            [&] {
                for (const auto& bridge : session.bridges()) {
                    if (std::find(seen.begin(), seen.end(), bridge.pid) == seen.end()) {
                        seen.push_back(bridge.pid);
                        return true;
                    }
                }
                return false;
            },
            5s);
        ASSERT_TRUE(relaunched) << "no bridge was relaunched after burst " << burst + 1;
    }
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    RecordProperty("fiftyClicksMilliseconds", static_cast<int>(took.count()));

    EXPECT_TRUE(session.waitForConnectionLine(connected))
        << "the bridge did not come back after the restarts; log:\n"
        << readFile(session.logPath());
    EXPECT_TRUE(session.waitForBridgeCount(1)) << processTable();
    auto bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << processTable();
    EXPECT_EQ(bridges[0].parent, agent) << "the bridge left running is not the agent's";
    EXPECT_TRUE(session.tray().waitUntil([&] { return session.zombies().empty(); }, 5s))
        << processTable();

    quitThroughMenu(session, agent);
    EXPECT_TRUE(session.waitForBridgeCount(0))
        << "a bridge outlived Quit, so the agent had lost track of it:\n"
        << processTable();
    EXPECT_TRUE(session.zombies().empty()) << processTable();
}

// The agent ended from outside.

class TerminationSignalFaults : public ::testing::TestWithParam<int> { };

TEST_P(TerminationSignalFaults, TheAgentAsksItsBridgeToTerminateAndExitsZero)
{
    AgentSession session;
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));
    ASSERT_EQ(session.bridges().size(), 1u) << processTable();

    ASSERT_EQ(kill(agent, GetParam()), 0);
    ASSERT_TRUE(session.waitForExit(agent)) << "the agent ignored " << strsignal(GetParam());
    EXPECT_TRUE(exitedWithZero(session.exitStatus(agent))) << strsignal(
        GetParam()) << " ended the agent with " << describeExit(session.exitStatus(agent));
    EXPECT_TRUE(session.waitForBridgeCount(0)) << "the bridge outlived the agent:\n"
                                               << processTable();
    EXPECT_NE(readFile(session.logPath()).find("ShadeLedger bridge stopping on SIGTERM"),
        std::string::npos)
        << "the bridge was not asked to terminate; log:\n"
        << readFile(session.logPath());
    EXPECT_TRUE(session.zombies().empty()) << processTable();
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignalFaults,
    ::testing::Values(SIGTERM, SIGINT, SIGHUP), [](const ::testing::TestParamInfo<int>& info) {
        return "SIG" + std::string(sigabbrev_np(info.param));
    });

TEST(TerminationFaults, AKilledAgentsOrphanedBridgeIsEndedByTheNextStart)
{
    AgentSession session;
    pid_t first = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));
    auto bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << processTable();
    pid_t orphan = bridges[0].pid;

    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(session.waitForExit(first));
    // Nothing could ask it to stop: it carries on, now a child of the namespace's first process.
    ASSERT_TRUE(hasBridge(session, orphan)) << processTable();
    EXPECT_EQ(httpGetStatus(session.port(), "/health"), 200)
        << "the orphaned bridge stopped serving";

    pid_t second = session.start();
    ASSERT_TRUE(session.tray().waitForRegistrationCount(2, 15s));
    EXPECT_TRUE(session.tray().waitUntil([&] { return !hasBridge(session, orphan); }, 10s))
        << "the next start's clean-up left the orphaned bridge running:\n"
        << processTable();
    EXPECT_TRUE(session.waitForConnectionLine(connected))
        << "the new agent's bridge never came up; log:\n"
        << readFile(session.logPath());
    EXPECT_TRUE(session.waitForBridgeCount(1)) << processTable();
    bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << processTable();
    EXPECT_NE(bridges[0].pid, orphan);
    EXPECT_EQ(bridges[0].parent, second) << "the bridge running is not the new agent's";

    quitThroughMenu(session, second);
    EXPECT_TRUE(session.waitForBridgeCount(0)) << "the bridge outlived Quit";
}

} // namespace
} // namespace ShadeLedgerZizadezavav
