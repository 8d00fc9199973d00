// The built bundle, end to end: a private bus with a test tray host, a
// temporary HOME, the real bridge, and a private PID namespace.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

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
    // Trays that ignore the theme path draw the icon's pixels: the bundle's sizes, ARGB32.
    auto pixmaps = session.tray().readItemProperty("IconPixmap");
    ASSERT_TRUE(pixmaps);
    std::vector<std::string> sizes;
    for (gsize i = 0; i < g_variant_n_children(pixmaps.get()); ++i) {
        gint32 width = 0;
        gint32 height = 0;
        GVariant* bytes = nullptr;
        g_variant_get_child(pixmaps.get(), i, "(ii@ay)", &width, &height, &bytes);
        GVariantPtr owned(bytes);
        EXPECT_EQ(g_variant_n_children(bytes), static_cast<gsize>(width * height * 4));
        sizes.push_back(std::to_string(width) + "x" + std::to_string(height));
    }
    EXPECT_EQ(sizes, (std::vector<std::string>{"22x22", "32x32"}));

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
