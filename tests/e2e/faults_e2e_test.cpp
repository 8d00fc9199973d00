// Faults around the built bundle, end to end through the tray protocol: a bridge
// that dies, hangs or fails; a settings file that is moved, removed or is not a
// file at all; a log directory that cannot exist; a runtime that cannot run; a
// user hammering Restart Bridge; and the agent itself ended by signals. Each test
// checks what the user sees in the menu and what is left on disk and in the
// process table.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
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
    EXPECT_TRUE(session.waitForNoZombies()) << "the killed bridge was never reaped:\n"
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
    EXPECT_EQ(agentOf(bridges[0]), agent) << "the new bridge is not the agent's";

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

    // The log is emptied just before the launch is tried, and then says why it failed.
    const std::string why = "Could not start " + node + ": Permission denied\n";
    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s)) << "the status item never appeared";
    ASSERT_TRUE(session.tray().waitUntil([&] { return readFile(session.logPath()) == why; }, 10s))
        << "the log does not say, in one line, why the bridge did not start; it holds:\n"
        << readFile(session.logPath());
    EXPECT_TRUE(session.bridges().empty()) << processTable();
    EXPECT_EQ(session.connectionLine(), notConnected);

    EXPECT_TRUE(answersClickQuickly(session, "View Log"));
    EXPECT_TRUE(logWasOpened(session, record));

    // Restart Bridge tries again, fails again, quietly.
    writeFile(session.logPath(), "output of an earlier run\n");
    EXPECT_TRUE(answersClickQuickly(session, "Restart Bridge"));
    EXPECT_TRUE(session.tray().waitUntil([&] { return readFile(session.logPath()) == why; }, 10s))
        << "Restart Bridge did not try to launch the bridge again";
    EXPECT_EQ(session.connectionLine(), notConnected);
    EXPECT_TRUE(session.bridges().empty()) << processTable();
    EXPECT_TRUE(session.waitForNoZombies()) << processTable();
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

TEST(LogFaults, ALinkAtTheLogsPathIsReplacedByTheLogAndItsTargetIsKept)
{
    AgentSession session;
    std::string document = session.home().path("Documents/report.txt");
    std::string text(600 * 1024, 'r');
    writeFile(document, text);
    makeDirectories(session.home().path(".shadeledger"));
    ASSERT_EQ(symlink(document.c_str(), session.logPath().c_str()), 0);

    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));
    EXPECT_TRUE(readFile(document) == text) << "the link's target was emptied or written to";
    struct stat status { };
    ASSERT_EQ(lstat(session.logPath().c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << "the link is still at the log's path";
    EXPECT_NE(readFile(session.logPath()).find("ShadeLedger bridge listening"), std::string::npos)
        << "the bridge's output did not reach the fresh log";

    quitThroughMenu(session, agent);
}

// One field of a process's /proc/PID/status ("" once it has gone).
std::string statusField(pid_t pid, const std::string& field)
{
    std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return line.substr(line.find_first_not_of(" \t", field.size() + 1));
        }
    }
    return "";
}

std::uint64_t fileSize(const std::string& path)
{
    struct stat status { };
    return stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

TEST(LogFaults, AFloodKeepsTheLogBoundedItsNextLineLandsAndOtherFilesGrowWhole)
{
    AgentSession session;
    session.useBundleCopy();
    std::string node = session.bundle() + "/Contents/Resources/node";
    std::string work = session.home().root();
    ASSERT_EQ(unlink(node.c_str()), 0);
    // 80 MiB files of its own and of a helper's, then 400 MiB of output as fast as it goes,
    // then one line, then a line now and then. Each writer's status is noted.
    writeScript(node,
        "cd '" + work
            + "'\n"
              "ulimit -f > limit\n"
              "dd if=/dev/zero of=bridge-file bs=1M count=80 status=none; echo $? >> statuses\n"
              "sh -c 'dd if=/dev/zero of=helper-file bs=1M count=80 status=none; echo $? >> "
              "statuses'\n"
              "dd if=/dev/zero bs=1M count=400 status=none; echo $? >> statuses\n"
              "echo after the flood\n"
              "touch flooded\n"
              "while :; do echo still writing; sleep 0.1; done\n");

    pid_t agent = session.start();
    std::uint64_t largest = 0;
    ASSERT_TRUE(session.tray().waitUntil(
        [&] {
            largest = std::max(largest, fileSize(session.logPath()));
            return exists(work + "/flooded");
        },
        120s))
        << "the stand-in bridge did not get through its flood; log size " << largest;
    EXPECT_TRUE(session.tray().waitUntil(
        [&] {
            largest = std::max(largest, fileSize(session.logPath()));
            return readFile(session.logPath()).find("after the flood\n") != std::string::npos;
        },
        10s))
        << "the line after the flood is not in the log";
    EXPECT_LE(largest, std::uint64_t{64} << 20) << "the log grew past 64 MiB";
    EXPECT_EQ(readFile(work + "/statuses"), "0\n0\n0\n") << "a writer was refused or ended";
    EXPECT_EQ(fileSize(work + "/bridge-file"), std::uint64_t{80} << 20);
    EXPECT_EQ(fileSize(work + "/helper-file"), std::uint64_t{80} << 20);
    EXPECT_EQ(readFile(work + "/limit"), "unlimited\n");
    auto bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << "the bridge did not survive its flood:\n" << processTable();
    EXPECT_EQ(statusField(bridges[0].pid, "SigIgn"), "0000000000000000")
        << "the bridge was started with signals ignored";
    EXPECT_TRUE(session.running(agent));

    quitThroughMenu(session, agent);
}

TEST(LogFaults, ABridgeWritingWithoutPauseNeverTakesTheLogsDiskBelowItsReserve)
{
    AgentSession session;
    std::string directory = session.home().path(".shadeledger");
    makeDirectories(directory);
    // A 30 MB file system of the test's own for the log.
    if (mount("sl-log", directory.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=30m") != 0) {
        GTEST_SKIP() << "no tmpfs for the log (needs root or a user namespace): "
                     << std::strerror(errno);
    }
    session.useBundleCopy();
    std::string node = session.bundle() + "/Contents/Resources/node";
    ASSERT_EQ(unlink(node.c_str()), 0);
    writeScript(
        node, "while :; do dd if=/dev/zero bs=64k count=16 status=none; echo written; done\n");

    pid_t agent = session.start();
    struct statvfs disk { };
    ASSERT_EQ(statvfs(directory.c_str(), &disk), 0);
    std::uint64_t reserve = std::uint64_t{disk.f_blocks} * disk.f_frsize / 20;
    std::uint64_t leastFree = UINT64_MAX;
    std::uint64_t previous = 0;
    int emptied = 0;
    // The log fills the disk up to its reserve again and again, and is emptied each time.
    bool filledAndEmptied = session.tray().waitUntil(
        [&] {
            statvfs(directory.c_str(), &disk);
            leastFree = std::min(leastFree, std::uint64_t{disk.f_bavail} * disk.f_frsize);
            std::uint64_t size = fileSize(session.logPath());
            emptied += size < previous ? 1 : 0;
            previous = size;
            return emptied >= 5;
        },
        60s);
    EXPECT_TRUE(filledAndEmptied) << "the log was emptied " << emptied << " times";
    EXPECT_GE(leastFree, reserve) << "the log left its disk with " << leastFree
                                  << " bytes free, less than the reserve of " << reserve;
    EXPECT_EQ(session.bridges().size(), 1u) << processTable();
    EXPECT_TRUE(answersClickQuickly(session, "View Log"));
    EXPECT_TRUE(session.running(agent));

    quitThroughMenu(session, agent);
    umount2(directory.c_str(), MNT_DETACH);
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
    EXPECT_EQ(agentOf(bridges[0]), agent) << "the bridge left running is not the agent's";
    EXPECT_TRUE(session.waitForNoZombies()) << processTable();

    quitThroughMenu(session, agent);
    EXPECT_TRUE(session.waitForBridgeCount(0))
        << "a bridge outlived Quit, so the agent had lost track of it:\n"
        << processTable();
    EXPECT_TRUE(session.waitForNoZombies()) << processTable();
}

// A bridge that starts helpers of its own and then either obeys the terminate request or
// ignores it. Both helpers ignore it: one in a session of its own, one whose parent has
// exited. Each run records its helpers' pids in helpers.
enum class BridgeOnTerminate { exits, ignores };

std::string installBridgeWithHelpers(AgentSession& session, BridgeOnTerminate onTerminate)
{
    session.useBundleCopy();
    std::string node = session.bundle() + "/Contents/Resources/node";
    std::string helpers = session.home().root() + "/helpers";
    std::string helper = session.home().root() + "/bin/helper";
    writeScript(
        helper, "trap '' TERM\necho $$ >> '" + helpers + "'\nwhile :; do sleep 0.1; done\n");
    EXPECT_EQ(unlink(node.c_str()), 0);
    writeScript(node,
        "setsid '" + helper
            + "' &\n"
              "sh -c \"'"
            + helper + "' &\"\n"
            + (onTerminate == BridgeOnTerminate::exits ? "trap 'exit 0' TERM\n" : "trap '' TERM\n")
            + "while :; do sleep 0.1; done\n");
    return helpers;
}

std::vector<pid_t> recordedPids(const std::string& path)
{
    std::vector<pid_t> pids;
    std::istringstream lines(readFile(path));
    for (pid_t pid = 0; lines >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

bool isRunningProcess(pid_t pid)
{
    auto processes = listProcesses();
    return std::any_of(processes.begin(), processes.end(),
        [pid](const ProcessInfo& process) { return process.pid == pid && process.state != 'Z'; });
}

std::string nameOf(BridgeOnTerminate onTerminate)
{
    return onTerminate == BridgeOnTerminate::exits ? "BridgeExits" : "BridgeIgnoresIt";
}

class TerminateFaults : public ::testing::TestWithParam<BridgeOnTerminate> { };

TEST_P(TerminateFaults, WhatTheBridgeStartedEndsWithItAtRestartAndQuitAndNothingElseDoes)
{
    AgentSession session;
    std::string helpers = installBridgeWithHelpers(session, GetParam());
    // The log's viewer leaves a process of its own running, as a real viewer would.
    std::string viewer = session.home().root() + "/viewer-helper";
    std::string record = session.installFileViewer("sleep 1000 & echo $! > '" + viewer + "'\n");
    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s)) << "the status item never appeared";
    ASSERT_TRUE(session.waitForBridgeCount(1)) << processTable();
    ASSERT_TRUE(session.tray().waitUntil([&] { return recordedPids(helpers).size() == 2; }, 10s));
    pid_t old = session.bridges()[0].pid;
    auto oldHelpers = recordedPids(helpers);

    ASSERT_TRUE(session.tray().click("Restart Bridge"));
    ASSERT_TRUE(session.tray().waitUntil([&] { return recordedPids(helpers).size() == 4; }, 10s))
        << "no bridge was relaunched:\n"
        << processTable();
    EXPECT_FALSE(hasBridge(session, old)) << "the new bridge started beside the old one:\n"
                                          << processTable();
    for (pid_t helper : oldHelpers) {
        EXPECT_FALSE(isRunningProcess(helper))
            << "the old bridge's helper " << helper << " outlived Restart Bridge:\n"
            << processTable();
    }
    auto bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << processTable();
    EXPECT_EQ(agentOf(bridges[0]), agent);

    ASSERT_TRUE(session.tray().click("View Log"));
    ASSERT_TRUE(session.tray().waitUntil([&] { return !readFile(viewer).empty(); }, 10s))
        << "the log's viewer never ran";
    pid_t viewerHelper = std::stoi(readFile(viewer));

    // Quit does not wait, but its request reaches everything the bridge started, and what
    // refuses it is killed shortly after the agent has gone.
    auto newHelpers = recordedPids(helpers);
    newHelpers.erase(newHelpers.begin(), newHelpers.begin() + 2);
    quitThroughMenu(session, agent);
    for (pid_t helper : newHelpers) {
        EXPECT_TRUE(session.tray().waitUntil([&] { return !isRunningProcess(helper); }, 10s))
            << "the bridge's helper " << helper << " outlived Quit:\n"
            << processTable();
    }
    EXPECT_TRUE(session.waitForBridgeCount(0, 10s)) << "the bridge outlived Quit:\n"
                                                    << processTable();
    EXPECT_TRUE(isRunningProcess(viewerHelper)) << "Quit ended what the log's viewer started:\n"
                                                << processTable();
    kill(viewerHelper, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Bridges, TerminateFaults,
    ::testing::Values(BridgeOnTerminate::exits, BridgeOnTerminate::ignores),
    [](const ::testing::TestParamInfo<BridgeOnTerminate>& info) { return nameOf(info.param); });

TEST(KeeperFaults, AKilledKeepersTreeEndsAndRestartNeverStartsABridgeBesideIt)
{
    AgentSession session;
    std::string helpers = installBridgeWithHelpers(session, BridgeOnTerminate::ignores);
    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s)) << "the status item never appeared";
    ASSERT_TRUE(session.waitForBridgeCount(1)) << processTable();
    ASSERT_TRUE(session.tray().waitUntil([&] { return recordedPids(helpers).size() == 2; }, 10s));
    auto killKeeper = [&] {
        auto bridges = session.bridges();
        ASSERT_EQ(bridges.size(), 1u) << processTable();
        ASSERT_EQ(kill(bridges[0].parent, SIGKILL), 0);
    };
    pid_t old = session.bridges()[0].pid;
    auto oldHelpers = recordedPids(helpers);

    killKeeper();
    ASSERT_TRUE(session.tray().click("Restart Bridge"));
    ASSERT_TRUE(session.tray().waitUntil([&] { return recordedPids(helpers).size() == 4; }, 20s))
        << "no bridge was relaunched:\n"
        << processTable();
    EXPECT_FALSE(isRunningProcess(old)) << "the new bridge started beside the old one:\n"
                                        << processTable();
    for (pid_t helper : oldHelpers) {
        EXPECT_FALSE(isRunningProcess(helper))
            << "the old bridge's helper " << helper << " outlived its killed keeper:\n"
            << processTable();
    }

    auto newHelpers = recordedPids(helpers);
    newHelpers.erase(newHelpers.begin(), newHelpers.begin() + 2);
    pid_t current = session.bridges().at(0).pid;
    killKeeper();
    quitThroughMenu(session, agent);
    for (pid_t pid : {current, newHelpers[0], newHelpers[1]}) {
        EXPECT_TRUE(session.tray().waitUntil([&] { return !isRunningProcess(pid); }, 10s))
            << pid << " of the bridge's tree outlived its killed keeper and Quit:\n"
            << processTable();
    }
}

// Copies of the agent started together.

TEST(CopyFaults, OfCopiesStartedTogetherOnlyTheNewestSurvives)
{
    AgentSession session;
    // With the bus held still, every copy gets as far as its connection; let go, they
    // all queue for the name before any of them looks for the others.
    auto processes = listProcesses();
    auto daemon = std::find_if(processes.begin(), processes.end(), [](const ProcessInfo& process) {
        return process.commandLine.find("dbus-daemon") != std::string::npos;
    });
    ASSERT_NE(daemon, processes.end()) << processTable();
    ASSERT_EQ(kill(daemon->pid, SIGSTOP), 0);
    std::vector<pid_t> copies;
    for (int copy = 0; copy < 6; ++copy) {
        copies.push_back(session.start());
    }
    bool connecting = session.tray().waitUntil(
        [&] {
            return std::all_of(copies.begin(), copies.end(), [](pid_t pid) {
                std::error_code error;
                for (const auto& entry : std::filesystem::directory_iterator(
                         "/proc/" + std::to_string(pid) + "/fd", error)) {
                    std::error_code ignored;
                    if (std::filesystem::read_symlink(entry.path(), ignored)
                            .string()
                            .rfind("socket:", 0)
                        == 0) {
                        return true;
                    }
                }
                return false;
            });
        },
        20s);
    ASSERT_EQ(kill(daemon->pid, SIGCONT), 0);
    ASSERT_TRUE(connecting) << "the copies never reached the bus";
    auto runningCopies = [&] {
        return std::count_if(
            copies.begin(), copies.end(), [&](pid_t pid) { return session.running(pid); });
    };
    EXPECT_TRUE(session.tray().waitUntil([&] { return runningCopies() <= 1; }, 60s))
        << runningCopies() << " copies still run:\n"
        << processTable();
    ASSERT_EQ(runningCopies(), 1) << "every copy quit: no agent is left";
    pid_t survivor = *std::find_if(
        copies.begin(), copies.end(), [&](pid_t pid) { return session.running(pid); });
    ASSERT_EQ(kill(survivor, SIGTERM), 0);
    ASSERT_TRUE(session.waitForExit(survivor));
    EXPECT_TRUE(exitedWithZero(session.exitStatus(survivor)));
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
    EXPECT_TRUE(session.waitForNoZombies()) << processTable();
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignalFaults,
    ::testing::Values(SIGTERM, SIGINT, SIGHUP), [](const ::testing::TestParamInfo<int>& info) {
        return "SIG" + std::string(sigabbrev_np(info.param));
    });

TEST(TerminationFaults, AKilledAgentsBridgeIsAskedToTerminateAtOnce)
{
    AgentSession session;
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine(connected));
    auto bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << processTable();
    pid_t orphan = bridges[0].pid;

    ASSERT_EQ(kill(agent, SIGKILL), 0);
    ASSERT_TRUE(session.waitForExit(agent));
    EXPECT_TRUE(session.tray().waitUntil([&] { return !hasBridge(session, orphan); }, 10s))
        << "the bridge of a killed agent went on running:\n"
        << processTable();
    EXPECT_NE(readFile(session.logPath()).find("ShadeLedger bridge stopping on SIGTERM"),
        std::string::npos)
        << "the bridge was not asked to terminate; log:\n"
        << readFile(session.logPath());
}

} // namespace
} // namespace ShadeLedgerZizadezavav
