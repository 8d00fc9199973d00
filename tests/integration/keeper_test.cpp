// The keeper (bridge-keeper) against real processes: shell scripts whose helpers take a
// terminate request or refuse it. Each case runs with both kinds of keeper, the tree that
// Linux builds and the process group that macOS builds (platform/posix/keeper_scope.h),
// through the Linux layer's handle.
#include "platform/linux/linux_child_process.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;

namespace {

constexpr auto patience = 30s;
constexpr auto grace = 2s;

// Whether a process still runs, as /proc shows it (a zombie has ended).
bool alive(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

template <typename Condition> bool eventually(Condition condition)
{
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

struct Kind {
    const char* name;
    const char* keeper;
};

void PrintTo(const Kind& kind, std::ostream* stream)
{
    *stream << kind.name;
}

class KeeperTest : public testing::TestWithParam<Kind> {
protected:
    TempHome home;
    LinuxChildProcesses processes{GetParam().keeper};
    using Clock = std::chrono::steady_clock;

    // Should a case fail, what it started must not outlive it (nor a reused id be hit).
    void TearDown() override
    {
        if (!HasFailure()) {
            return;
        }
        for (auto [member, mark] :
            {std::pair{"stubborn", "stubborn"}, {"obedient", "obedient"}, {"ready", "sleep"}}) {
            std::string text = readFile(home.path(member));
            pid_t pid = text.empty() ? 0 : std::stoi(text);
            if (pid > 0
                && readFile("/proc/" + std::to_string(pid) + "/cmdline").find(mark)
                    != std::string::npos) {
                kill(pid, SIGKILL);
            }
        }
    }

    std::shared_ptr<Process> shell(const std::string& script)
    {
        ProcessConfiguration configuration;
        configuration.executable = "/bin/sh";
        configuration.arguments = {"-c", script};
        configuration.currentDirectory = home.home();
        return processes.makeProcess(std::move(configuration));
    }

    // The process id a script wrote into name, once it is there.
    pid_t idIn(const std::string& name)
    {
        pid_t pid = 0;
        eventually([&] {
            std::string text = readFile(home.path(name));
            pid = text.empty() ? 0 : std::stoi(text);
            return pid > 0;
        });
        return pid;
    }
    bool asked(const std::string& member) { return exists(home.path(member + ".asked")); }

    // A member that takes the request to exit (and notes that it had it), and one that
    // refuses it; each writes its id once it is ready. Both are orphaned at once. Then the
    // child notes its keeper.
    static constexpr const char* twoMembers
        = "(sh -c 'trap \"\" TERM; echo $$ > stubborn.tmp; mv stubborn.tmp stubborn;"
          " while :; do sleep 0.05; done' &)\n"
          "(sh -c 'trap \"touch obedient.asked; exit 0\" TERM; echo $$ > obedient.tmp;"
          " mv obedient.tmp obedient; while :; do sleep 0.05; done' &)\n"
          "while [ ! -s stubborn ] || [ ! -s obedient ]; do sleep 0.01; done\n"
          "echo $PPID > keeper.tmp; mv keeper.tmp keeper\n";
    static constexpr const char* refusing = "trap '' TERM\nwhile :; do sleep 0.05; done\n";
};

TEST_P(KeeperTest, TheChildsEndAsksWhatItLeftToExitAndKillsWhatRefusesAfterTheGrace)
{
    auto process = shell(std::string(twoMembers) + "exit 0\n");
    ASSERT_TRUE(process->launch());
    pid_t stubborn = idIn("stubborn");
    auto ended = Clock::now();
    ASSERT_TRUE(process->waitUntilExit(patience)) << "the child's tree outlived the child";
    EXPECT_GE(Clock::now() - ended, grace) << "what refused was killed before the grace";
    EXPECT_TRUE(asked("obedient")) << "what the child left was not asked to exit";
    EXPECT_FALSE(alive(stubborn)) << "a helper that refused the request outlived the child";
}

TEST_P(KeeperTest, TheAgentsEndAsksTheTreeToExitAtOnceAndKillsItAfterTheGrace)
{
    auto process = shell(std::string(twoMembers) + refusing);
    ASSERT_TRUE(process->launch());
    pid_t stubborn = idIn("stubborn");
    pid_t obedient = idIn("obedient");
    idIn("keeper");
    auto ended = Clock::now();
    // The agent's end closes its socket without a word.
    process.reset();
    EXPECT_TRUE(eventually([&] { return !alive(obedient); }));
    EXPECT_TRUE(asked("obedient"));
    EXPECT_TRUE(eventually([&] { return !alive(stubborn); })) << "the tree outlived the agent";
    EXPECT_GE(Clock::now() - ended, grace);
}

TEST_P(KeeperTest, RequestsReachTheWholeTree)
{
    auto process = shell(std::string(twoMembers) + refusing);
    ASSERT_TRUE(process->launch());
    pid_t obedient = idIn("obedient");
    pid_t stubborn = idIn("stubborn");
    idIn("keeper");
    process->terminate();
    EXPECT_TRUE(eventually([&] { return !alive(obedient); }));
    EXPECT_TRUE(asked("obedient"));
    EXPECT_TRUE(alive(stubborn)) << "a plain request to exit killed";
    auto requested = Clock::now();
    process->terminate(300ms);
    ASSERT_TRUE(process->waitUntilExit(patience));
    EXPECT_GE(Clock::now() - requested, 300ms);
    EXPECT_FALSE(alive(stubborn));
}

TEST_P(KeeperTest, AKillRequestEndsWhatRefusesToExit)
{
    auto process = shell(std::string(twoMembers) + refusing);
    ASSERT_TRUE(process->launch());
    pid_t stubborn = idIn("stubborn");
    idIn("keeper");
    process->forceTerminate();
    ASSERT_TRUE(process->waitUntilExit(patience));
    EXPECT_FALSE(alive(stubborn));
    EXPECT_FALSE(asked("obedient")) << "a kill was a request";
}

TEST_P(KeeperTest, AKilledKeeperLeavesNothingOfTheTreeBehind)
{
    auto process = shell(std::string(twoMembers) + refusing);
    ASSERT_TRUE(process->launch());
    pid_t stubborn = idIn("stubborn");
    pid_t keeper = idIn("keeper");
    auto killed = Clock::now();
    ASSERT_EQ(kill(keeper, SIGKILL), 0);
    // Until the guard has ended what the keeper left, the process runs.
    ASSERT_TRUE(process->waitUntilExit(patience)) << "the tree outlived its killed keeper";
    EXPECT_GE(Clock::now() - killed, grace) << "what refused was killed before the grace";
    EXPECT_TRUE(asked("obedient"));
    EXPECT_FALSE(alive(stubborn)) << "a helper outlived its killed keeper";
}

TEST_P(KeeperTest, HoldsNoneOfTheAgentsStreamsOnceTheChildHasThem)
{
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    int savedOutput = dup(STDOUT_FILENO);
    ASSERT_GE(savedOutput, 0);
    ASSERT_EQ(dup2(ends[1], STDOUT_FILENO), STDOUT_FILENO);
    close(ends[1]);
    // The child lets go of it too: only a keeper would still hold it.
    auto process = shell("exec >/dev/null; echo $$ > ready; exec sleep 1000\n");
    bool launched = process->launch();
    dup2(savedOutput, STDOUT_FILENO);
    close(savedOutput);
    ASSERT_TRUE(launched);
    idIn("ready");
    pollfd reading{ends[0], POLLIN, 0};
    EXPECT_EQ(poll(&reading, 1, static_cast<int>(std::chrono::milliseconds(patience).count())), 1);
    char byte = 0;
    EXPECT_EQ(read(ends[0], &byte, 1), 0) << "the agent's standard output stays held";
    close(ends[0]);
    process->forceTerminate();
    EXPECT_TRUE(process->waitUntilExit(patience));
}

INSTANTIATE_TEST_SUITE_P(Kinds, KeeperTest,
    testing::Values(Kind{"Tree", SL_KEEPER}, Kind{"Group", SL_GROUP_KEEPER}),
    [](const testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

} // namespace
