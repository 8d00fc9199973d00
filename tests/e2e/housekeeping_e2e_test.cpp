// Start at login, the clean-up after older installations and uninstall, end to
// end through the tray protocol.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/bundle.h"
#include "support/agent_session.h"
#include "support/private_mounts.h"

namespace ShadeLedgerZizadezavav {
namespace {

using namespace std::chrono_literals;

std::string autostartEntry(AgentSession& session)
{
    return session.home().configHome() + "/autostart/" + agentBundleIdentifier + ".desktop";
}

std::string defaultsFile(AgentSession& session)
{
    return session.home().configHome() + "/" + agentBundleIdentifier + "/defaults.conf";
}

int startAtLoginState(AgentSession& session)
{
    auto menu = session.tray().readMenu();
    if (!menu) {
        return -2;
    }
    for (const auto& entry : *menu) {
        if (entry.label == "Start at Login") {
            return entry.toggleState;
        }
    }
    return -3;
}

void quitAgent(AgentSession& session, pid_t agent)
{
    ASSERT_TRUE(session.tray().click("Quit"));
    ASSERT_TRUE(session.waitForExit(agent)) << "the agent did not end after Quit";
}

TEST(StartAtLogin, FirstLaunchRegistersAndARemovedEntryStaysRemoved)
{
    AgentSession session;
    pid_t first = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(15s));
    ASSERT_TRUE(session.tray().waitUntil([&] { return exists(autostartEntry(session)); }, 10s))
        << "the first launch did not register the agent to start at login";
    std::string entry = readFile(autostartEntry(session));
    EXPECT_NE(entry.find("Exec=" + session.executable()), std::string::npos) << entry;
    EXPECT_NE(
        readFile(defaultsFile(session)).find("sl.loginItemPreferenceSet=true"), std::string::npos);
    quitAgent(session, first);

    // The user removes the entry; the next launch must not bring it back.
    ASSERT_EQ(unlink(autostartEntry(session).c_str()), 0);
    pid_t second = session.start();
    ASSERT_TRUE(session.tray().waitForRegistrationCount(2, 15s));
    ASSERT_TRUE(
        session.tray().waitForMenu([](const TrayMenu& menu) { return menu.size() == 14; }, 10s));
    EXPECT_FALSE(exists(autostartEntry(session)));
    EXPECT_EQ(startAtLoginState(session), 0);

    // Start at Login switches it back on, and the checkmark follows.
    ASSERT_TRUE(session.tray().click("Start at Login"));
    EXPECT_TRUE(session.tray().waitUntil([&] { return startAtLoginState(session) == 1; }, 10s));
    EXPECT_TRUE(exists(autostartEntry(session)));
    quitAgent(session, second);
}

// The dialog tool stands in for zenity: it records its arguments and answers.
void installDialog(AgentSession& session, const std::string& answer)
{
    std::string bin = session.home().root() + "/bin";
    makeDirectories(bin);
    writeScript(bin + "/zenity",
        "printf '%s\\n' \"$@\" > '" + session.home().root() + "/dialog-arguments'\n" + answer
            + "\n");
    session.home().setenv("PATH", bin + ":" + std::getenv("PATH"));
}

TEST(UninstallEndToEnd, CancelLeavesEverythingRunning)
{
    AgentSession session;
    session.useBundleCopy();
    installDialog(session, "exit 1");
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine("● Connected"));

    ASSERT_TRUE(session.tray().click("Uninstall…"));
    ASSERT_TRUE(session.tray().waitUntil(
        [&] { return exists(session.home().root() + "/dialog-arguments"); }, 10s));
    std::string arguments = readFile(session.home().root() + "/dialog-arguments");
    EXPECT_NE(arguments.find("Uninstall ShadeLedger Zizadezavav?"), std::string::npos) << arguments;
    EXPECT_NE(arguments.find("Your ShadeLedger account and documents are not affected."),
        std::string::npos);

    // Still there, still connected, bundle in place.
    EXPECT_TRUE(session.tray().waitForMenu([](const TrayMenu& m) { return m.size() == 14; }, 5s));
    EXPECT_TRUE(session.running(agent));
    EXPECT_EQ(session.bridges().size(), 1u);
    EXPECT_TRUE(exists(session.bundle()));
    EXPECT_EQ(session.connectionLine(), "● Connected");
    quitAgent(session, agent);
}

TEST(UninstallEndToEnd, ConfirmedTrashesTheBundleEndsTheAgentAndKeepsTheUsersFiles)
{
    AgentSession session;
    session.useBundleCopy();
    installDialog(session, "exit 0");
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine("● Connected"));
    ASSERT_TRUE(session.tray().waitUntil([&] { return exists(autostartEntry(session)); }, 10s));
    std::string launchAgent = session.home().path(
        "Library/LaunchAgents/" + std::string(agentBundleIdentifier) + ".plist");
    writeFile(launchAgent, "<plist/>");

    ASSERT_TRUE(session.tray().click("Uninstall…"));
    ASSERT_TRUE(session.waitForExit(agent, 20s))
        << "the agent did not end after a confirmed uninstall";
    auto status = session.exitStatus(agent);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_TRUE(session.waitForBridgeCount(0)) << "the bridge outlived the uninstall";

    EXPECT_FALSE(exists(session.bundle())) << "the bundle is still in place";
    EXPECT_TRUE(exists(session.home().dataHome() + "/Trash/files/ShadeLedgerZizadezavav.app"))
        << "the bundle is not in the Trash";
    EXPECT_FALSE(exists(autostartEntry(session)));
    EXPECT_FALSE(exists(launchAgent));
    EXPECT_EQ(readFile(defaultsFile(session)).find("sl.loginItemPreferenceSet"), std::string::npos);
    EXPECT_TRUE(exists(session.logPath())) << "the bridge log must stay";
    EXPECT_TRUE(exists(session.settingsPath())) << "the settings file must stay";
}

TEST(CleanUp, StrayBridgesInTheAgentsNamespaceEndAndOthersDoNot)
{
    AgentSession session;
    pid_t outside = startDecoyBridge();
    ASSERT_GT(outside, 0);

    // The agent, with a decoy of its own, in a PID namespace nested in the test's.
    std::string wrapper = session.home().root() + "/nested.sh";
    writeScript(wrapper,
        "d=decoy-server\n"
        "sh -c 'while :; do sleep 1; done' \"$d.mjs\" &\n"
        "echo $! > '"
            + session.home().root()
            + "/inside-pid'\n"
              "exec \"$@\"\n");
    pid_t agent = session.start(
        {}, {"unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "--", wrapper});
    ASSERT_TRUE(session.tray().waitForRegistration(15s));
    ASSERT_TRUE(session.waitForConnectionLine("● Connected"));

    EXPECT_TRUE(session.running(outside) && kill(outside, 0) == 0)
        << "the clean-up reached a process outside the agent's namespace";
    std::vector<ProcessInfo> decoysInside;
    for (const auto& process : session.bridges()) {
        if (process.commandLine.find("decoy-server") != std::string::npos
            && process.pid != outside) {
            decoysInside.push_back(process);
        }
    }
    EXPECT_TRUE(decoysInside.empty())
        << "a stray bridge inside the agent's namespace survived the clean-up";
    EXPECT_EQ(session.bridges().size(), 2u) << "the agent's own bridge and the outside decoy";

    kill(-outside, SIGKILL);
    ASSERT_TRUE(session.tray().click("Quit"));
    EXPECT_TRUE(session.waitForExit(agent));
}

TEST(CleanUp, ABundleInAFolderNamedLikeTheBridgeKeepsRunningAndStillEndsStrayBridges)
{
    AgentSession session;
    session.useBundleCopy("my-server.mjs-tools");
    pid_t decoy = startDecoyBridge();
    ASSERT_GT(decoy, 0);
    pid_t agent = session.start();
    ASSERT_TRUE(session.waitForConnectionLine("● Connected"))
        << "the agent did not get as far as its bridge";
    EXPECT_TRUE(session.waitForExit(decoy)) << "the clean-up no longer ends stray bridges";
    EXPECT_TRUE(session.running(agent)) << "the clean-up ended its own agent";
    ASSERT_TRUE(session.tray().click("Quit"));
    EXPECT_TRUE(session.waitForExit(agent));
    EXPECT_TRUE(exitedWithZero(session.exitStatus(agent)));
}

TEST(CleanUp, ALegacyBundleGoesToTheTrash)
{
    // /Applications in a root of the test's own is a bind mount of a directory that
    // also holds HOME, so the Trash is one rename away.
    AgentSession session;
    std::string shared = session.home().root() + "/applications-root";
    makeDirectories(shared + "/ShadeLedgerZizadezavav.app/Contents");
    writeFile(shared + "/ShadeLedgerZizadezavav.app/Contents/Info.plist", "<plist/>");
    PrivateRoot root;
    if (root.refused()) {
        GTEST_SKIP() << root.failure();
    }
    ASSERT_TRUE(root.entered()) << root.failure();
    ASSERT_TRUE(root.addDirectory("/Applications", shared)) << root.failure();
    std::string home = "/Applications/home";
    makeDirectories(home + "/.local/share");

    pid_t agent = session.start({{"HOME", home}, {"XDG_DATA_HOME", home + "/.local/share"}});
    ASSERT_TRUE(session.tray().waitForRegistration(15s));
    bool trashed = session.tray().waitUntil(
        [&] {
            return exists(
                home + "/.local/share/Trash/files/ShadeLedgerZizadezavav.app/Contents/Info.plist");
        },
        10s);
    EXPECT_TRUE(trashed) << "the legacy bundle is not in the Trash";
    EXPECT_FALSE(exists("/Applications/ShadeLedgerZizadezavav.app"));

    ASSERT_TRUE(session.tray().click("Quit"));
    EXPECT_TRUE(session.waitForExit(agent));
}

TEST(RunningCopies, ASecondCopyAsksTheFirstToQuitAndOneBridgeRemains)
{
    AgentSession session;
    pid_t first = session.start();
    ASSERT_TRUE(session.waitForConnectionLine("● Connected"));
    auto firstBridges = session.bridges();
    ASSERT_EQ(firstBridges.size(), 1u);

    pid_t second = session.start();
    ASSERT_TRUE(session.waitForExit(first)) << "the first copy did not quit";
    auto status = session.exitStatus(first);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    ASSERT_TRUE(session.tray().waitForRegistrationCount(2, 15s));
    ASSERT_TRUE(session.waitForConnectionLine("● Connected"));
    auto bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u) << "exactly one bridge runs";
    EXPECT_EQ(agentOf(bridges[0]), second);
    EXPECT_NE(bridges[0].pid, firstBridges[0].pid) << "the first copy's bridge was ended";

    ASSERT_TRUE(session.tray().click("Quit"));
    EXPECT_TRUE(session.waitForExit(second));
}

} // namespace
} // namespace ShadeLedgerZizadezavav
