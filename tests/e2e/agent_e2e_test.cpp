// The built bundle, end to end: a private bus with a test tray host, a
// temporary HOME, the real bridge, and a private PID namespace.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include "support/agent_session.h"

namespace ShadeLedgerZizadezavav {
namespace {

TEST(AgentEndToEnd, ShowsNotConnectedThenConnectedAndQuitEndsAgentAndBridge)
{
    AgentSession session;
    pid_t agent = session.start();
    ASSERT_TRUE(session.tray().waitForRegistration(std::chrono::seconds(15)))
        << "the status item never appeared";

    auto first = session.tray().readMenu();
    ASSERT_TRUE(first.has_value()) << "the menu could not be read";
    // Under a slowing tool (valgrind) the 3 s probe may come before the host reads.
    if (!std::getenv("SL_AGENT_WRAPPER")) {
        EXPECT_EQ(first->front().label, "○ Not connected") << describe(*first);
    }
    EXPECT_EQ(first->size(), 14u) << describe(*first);
    EXPECT_EQ(first->back().label, "Zizadezavav v1.0.0");

    ASSERT_TRUE(session.waitForConnectionLine("● Connected"))
        << "the menu never showed the bridge as connected; log:\n"
        << readFile(session.logPath());
    auto bridges = session.bridges();
    ASSERT_EQ(bridges.size(), 1u);
    EXPECT_EQ(agentOf(bridges[0]), agent) << "the agent launched the bridge";

    EXPECT_TRUE(session.tray().click("Quit")) << "the click on Quit got no reply";
    ASSERT_TRUE(session.waitForExit(agent)) << "the agent did not end after Quit";
    auto status = session.exitStatus(agent);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "exit status " << *status;
    EXPECT_TRUE(session.waitForBridgeCount(0)) << "the bridge outlived Quit";
    EXPECT_TRUE(session.waitForNoZombies());
}

} // namespace
} // namespace ShadeLedgerZizadezavav
