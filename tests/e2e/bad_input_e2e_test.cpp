// The built bundle against a damaged installation or environment: it keeps
// running, shows what it can, and loses nothing.
#include <gtest/gtest.h>

#include <pwd.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/bundle.h"
#include "support/agent_session.h"
#include "support/private_mounts.h"
#include "support/test_http_server.h"

namespace ShadeLedgerZizadezavav {
namespace {

using namespace std::chrono_literals;

std::string resources(AgentSession& session)
{
    return session.bundle() + "/Contents/Resources";
}

void expectQuitEndsCleanly(AgentSession& session, pid_t agent)
{
    quitThroughMenu(session, agent);
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    EXPECT_TRUE(session.waitForBridgeCount(0));
}

TEST(DamagedBundle, ADanglingNodeLinkMeansNoBridgeButAWorkingMenu)
{
    AgentSession session;
    session.useBundleCopy();
    std::string node = resources(session) + "/node";
    ASSERT_EQ(unlink(node.c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/node", node.c_str()), 0);
    writeFile(session.logPath(), "output of the last run\n");

    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s));
    ASSERT_TRUE(session.tray().waitForMenu([](const TrayMenu& m) { return m.size() == 14; }, 10s));
    EXPECT_EQ(session.connectionLine(), "○ Not connected");
    EXPECT_TRUE(session.bridges().empty());
    expectQuitEndsCleanly(session, agent);
    // A link to nothing is no runtime: no launch was tried, so the log was left alone.
    EXPECT_EQ(readFile(session.logPath()), "output of the last run\n");
}

TEST(DamagedBundle, WithoutTheIconTheTrayShowsSL)
{
    AgentSession session;
    session.useBundleCopy();
    ASSERT_EQ(unlink((resources(session) + "/MenuBarTemplate.png").c_str()), 0);
    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s));
    EXPECT_EQ(session.tray().readItemString("IconName"), "");
    EXPECT_EQ(session.tray().readItemString("XAyatanaLabel"), "SL");
    EXPECT_TRUE(session.waitForConnectionLine("● Connected")) << "the bridge is unaffected";
    expectQuitEndsCleanly(session, agent);
}

TEST(DamagedBundle, WithoutInfoPlistTheVersionLineIsBare)
{
    AgentSession session;
    session.useBundleCopy();
    ASSERT_EQ(unlink((session.bundle() + "/Contents/Info.plist").c_str()), 0);
    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s));
    auto menu = session.tray().waitForMenu([](const TrayMenu& m) { return m.size() == 14; }, 10s);
    ASSERT_TRUE(menu.has_value());
    EXPECT_EQ(menu->back().label, "Zizadezavav v");
    EXPECT_EQ(session.tray().readItemString("IconName"), "MenuBarTemplate");
    expectQuitEndsCleanly(session, agent);
}

TEST(Environment, WithoutASessionBusTheAgentStillSupervisesAndProbes)
{
    AgentSession session;
    // The bridge's port is held by a stand-in that counts the probes; the real
    // bridge then reports the port in use in its log.
    TestHTTPServer standIn(session.port(), 200);
    pid_t agent = session.start(
        {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + session.home().root() + "/no-bus"}});

    EXPECT_TRUE(session.tray().waitUntil([&] { return standIn.requestCount() >= 2; }, 15s))
        << "no immediate probe and timer probe without a bus";
    for (const auto& line : standIn.requestLines()) {
        EXPECT_EQ(line, "GET /health HTTP/1.1");
    }
    EXPECT_TRUE(session.tray().waitUntil(
        [&] { return readFile(session.logPath()).find("already in use") != std::string::npos; },
        10s))
        << "the bridge was not launched with its log; log:\n"
        << readFile(session.logPath());
    EXPECT_TRUE(session.tray().registrations().empty());
    EXPECT_TRUE(session.running(agent));

    kill(agent, SIGTERM);
    ASSERT_TRUE(session.waitForExit(agent));
    auto status = session.exitStatus(agent);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

// Whether this test may start processes as another account (root outside a user namespace).
bool canRunAsAnotherAccount(uid_t account)
{
    pid_t child = fork();
    if (child == 0) {
        _exit(setresuid(account, account, account) == 0 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)
        && WEXITSTATUS(status) == 0;
}

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(Environment, WithoutRoomForMoreThreadsTheAgentSaysSoOnceAndGoesOn)
{
    // An account with no process of its own, allowed two: the agent's main thread and
    // GLib's. The probe's thread and every child process cannot be made.
    const std::string account = "3999999";
    if (!canRunAsAnotherAccount(static_cast<uid_t>(std::stoul(account)))) {
        GTEST_SKIP() << "only root outside a user namespace can run the agent as another account";
    }
    AgentSession session;
    std::string output = session.home().root() + "/agent-output";
    session.setOutputFile(output);
    pid_t agent = session.start(
        {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + session.home().root() + "/no-bus"}},
        {"prlimit", "--nproc=2", "setpriv", "--reuid=" + account, "--regid=" + account,
            "--clear-groups"});

    ASSERT_TRUE(session.tray().waitUntil(
        [&] { return readFile(output).find("cannot start the health probe") != std::string::npos; },
        15s))
        << "the agent did not say that it cannot probe; it said:\n"
        << readFile(output) << describeExit(session.exitStatus(agent));
    EXPECT_FALSE(session.waitForExit(agent, 4s))
        << "the agent ended (" << describeExit(session.exitStatus(agent)) << "); it said:\n"
        << readFile(output);
    EXPECT_EQ(occurrences(readFile(output), "cannot start the health probe"), 1u)
        << readFile(output);
    EXPECT_EQ(occurrences(readFile(output), "terminate called"), 0u) << readFile(output);

    kill(agent, SIGTERM);
    ASSERT_TRUE(session.waitForExit(agent));
    EXPECT_TRUE(exitedWithZero(session.exitStatus(agent))) << describeExit(
        session.exitStatus(agent)) << "; it said:\n" << readFile(output);
}

// Threads of a process in this namespace, as /proc lists them.
std::size_t threadCount(pid_t pid)
{
    std::size_t count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator task("/proc/" + std::to_string(pid) + "/task", error);
         !error && task != std::filesystem::directory_iterator(); task.increment(error)) {
        ++count;
    }
    return count;
}

TEST(Environment, ShortOfProcessesTheAgentEndsOnSIGTERMAndShowsItsMenuOnceItCan)
{
    // An account with no process of its own, allowed three: the agent's main thread, GLib's and
    // the bus's. Nothing on GIO's pool of threads can run, the menu's export among it.
    const uid_t account = 3999998;
    if (!canRunAsAnotherAccount(account)) {
        GTEST_SKIP() << "only root outside a user namespace can run the agent as another account";
    }
    AgentSession session(std::nullopt, PrivateBus::Access::anyAccount);
    ASSERT_EQ(chmod(session.home().root().c_str(), 0711), 0);
    std::string output = session.home().root() + "/agent-output";
    session.setOutputFile(output);
    const std::vector<std::string> shortOfProcesses
        = {"prlimit", "--nproc=3:1000", "setpriv", "--reuid=" + std::to_string(account),
            "--regid=" + std::to_string(account), "--clear-groups"};

    // GIO waits for a thread that never comes; SIGTERM does not wait with it.
    pid_t first = session.start({}, shortOfProcesses);
    ASSERT_TRUE(session.tray().waitForRegistration(15s))
        << "the item never registered; the agent said:\n"
        << readFile(output);
    EXPECT_LE(threadCount(first), 3u) << "the agent was not short of processes";
    kill(first, SIGTERM);
    ASSERT_TRUE(session.waitForExit(first, 10s))
        << "SIGTERM did not end an agent short of processes";
    EXPECT_TRUE(exitedWithZero(session.exitStatus(first)))
        << describeExit(session.exitStatus(first));

    pid_t second = session.start({}, shortOfProcesses);
    ASSERT_TRUE(session.tray().waitForRegistrationCount(2, 15s));
    // The account may have more processes now; the agent's own account raises the limit.
    pid_t raise = fork();
    if (raise == 0) {
        rlimit more{100, 1000};
        _exit(setresgid(account, account, account) == 0 && setresuid(account, account, account) == 0
                    && prlimit(second, RLIMIT_NPROC, &more, nullptr) == 0
                ? 0
                : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(raise, &status, 0), raise);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the limit could not be raised";
    EXPECT_TRUE(session.tray().waitForMenu([](const TrayMenu& m) { return m.size() == 14; }, 30s))
        << "the menu never appeared once processes were available; the agent said:\n"
        << readFile(output);
    quitThroughMenu(session, second);
}

TEST(Environment, AReadOnlyHomeCrashesNothing)
{
    AgentSession session;
    std::string home = session.home().home();
    ASSERT_EQ(bindReadOnly(home), "");

    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s));
    EXPECT_TRUE(session.waitForConnectionLine("● Connected"))
        << "the bridge runs with its output on the agent's own streams";
    EXPECT_FALSE(exists(session.logPath()));
    ASSERT_TRUE(session.tray().click("Start at Login"));
    ASSERT_TRUE(session.tray().click("View Log"));
    ASSERT_TRUE(session.tray().click("Restart Bridge"));
    EXPECT_TRUE(session.waitForConnectionLine("● Connected"));
    expectQuitEndsCleanly(session, agent);
    umount2(home.c_str(), MNT_DETACH);
}

// HOME set but unusable: the account's home from the password database is the home, for
// the agent and its bridge alike, and nothing lands where the agent was started.
class UnusableHome : public ::testing::TestWithParam<std::string> { };

TEST_P(UnusableHome, MeansTheAccountsHomeAndNothingLandsInTheWorkingDirectory)
{
    AgentSession session;
    // In this test's own mount namespace the account's home is the session's.
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    std::string accountHome = account->pw_dir;
    if (mount(session.home().home().c_str(), accountHome.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "cannot put a temporary home at " << accountHome << ": " << strerror(errno);
    }
    std::string startedIn = session.home().root() + "/started-here";
    makeDirectories(startedIn);
    std::string previous = std::filesystem::current_path();
    std::filesystem::current_path(startedIn);
    pid_t agent = session.start({{"HOME", GetParam()}, {"XDG_CONFIG_HOME", ""},
        {"XDG_DATA_HOME", ""}, {"XDG_CACHE_HOME", ""}});
    std::filesystem::current_path(previous);

    EXPECT_TRUE(session.waitForConnectionLine("● Connected"))
        << "the agent and the bridge did not look for the settings in the same home";
    EXPECT_TRUE(exists(accountHome + "/.shadeledger/bridge.log"))
        << "the log is not in the account's home";
    EXPECT_TRUE(exists(accountHome + "/.config/autostart/" + agentBundleIdentifier + ".desktop"))
        << "the autostart entry is not in the account's home";
    std::string strewn;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(startedIn)) {
        strewn += " " + entry.path().string();
    }
    EXPECT_EQ(strewn, "") << "files landed where the agent was started";
    expectQuitEndsCleanly(session, agent);
    umount2(accountHome.c_str(), MNT_DETACH);
}

INSTANTIATE_TEST_SUITE_P(Environment, UnusableHome, ::testing::Values("", "relative/home"),
    [](const ::testing::TestParamInfo<std::string>& info) {
        return info.param.empty() ? "Empty" : "Relative";
    });

TEST(RunningCopies, ACopyThatIgnoresTheQuitRequestDoesNotStopTheStart)
{
    AgentSession session;
    // This test process queues for the agent's name. As the first process of
    // its PID namespace it ignores the SIGTERM the agent sends it.
    GError* raw = nullptr;
    auto connection = adoptGObject(
        g_dbus_connection_new_for_address_sync(std::getenv("DBUS_SESSION_BUS_ADDRESS"),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &raw));
    GErrorPtr error(raw);
    ASSERT_TRUE(connection) << (error ? error->message : "");
    auto reply = GVariantPtr(g_dbus_connection_call_sync(connection.get(), "org.freedesktop.DBus",
        "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", agentBundleIdentifier, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, nullptr));
    ASSERT_TRUE(reply);

    auto started = std::chrono::steady_clock::now();
    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s))
        << "the start-up stopped at the stubborn copy";
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 500ms) << "the agent did not allow the copy its 0.5 s";
    EXPECT_TRUE(session.waitForConnectionLine("● Connected"));
    expectQuitEndsCleanly(session, agent);
}

} // namespace
} // namespace ShadeLedgerZizadezavav
