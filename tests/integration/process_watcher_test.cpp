// The macOS layer's watcher of a child's process group is plain POSIX: tried here against
// real process groups. This process is a subreaper, so that the orphaned watcher comes back
// to it and its end can be waited for.
#include "platform/macos/macos_process_watcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;

namespace {

constexpr auto patience = 10s;

// A group led by a child of this process; with ignoreTerm, the leader and a second member
// of its group ignore SIGTERM.
pid_t startGroup(bool ignoreTerm)
{
    pid_t leader = fork();
    if (leader == 0) {
        setpgid(0, 0);
        if (ignoreTerm) {
            signal(SIGTERM, SIG_IGN);
            if (fork() == 0) {
                while (true) {
                    pause();
                }
            }
        }
        while (true) {
            pause();
        }
    }
    // Also from this side, so that the group exists before anything is sent to it.
    setpgid(leader, leader);
    return leader;
}

// How the child ended (its wait status), or none within the limit.
std::optional<int> waitForExit(pid_t child, std::chrono::milliseconds limit = patience)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            return status;
        }
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

// The exit of a process that came back to this subreaper other than the one given: the
// watcher's.
std::optional<int> waitForWatcher(pid_t except)
{
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended > 0 && ended != except) {
            return status;
        }
        std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
}

bool groupGone(pid_t group)
{
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        // The subreaper collects the members that come back to it.
        while (waitpid(-1, nullptr, WNOHANG) > 0) { }
        if (kill(-group, 0) != 0) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

class ProcessWatcherTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
    void TearDown() override
    {
        if (group_ > 0) {
            kill(-group_, SIGKILL);
            groupGone(group_);
        }
        prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    pid_t group_ = 0;
};

TEST_F(ProcessWatcherTest, AgentsEndAsksTheGroupToExit)
{
    group_ = startGroup(false);
    std::optional<ProcessGroupWatcher> watcher(std::in_place);
    ASSERT_TRUE(watcher->start(group_));
    // The agent's end closes the lifeline without a word.
    watcher.reset();
    auto status = waitForExit(group_);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    auto watcherStatus = waitForWatcher(group_);
    ASSERT_TRUE(watcherStatus);
    EXPECT_TRUE(WIFEXITED(*watcherStatus) && WEXITSTATUS(*watcherStatus) == 0);
}

TEST_F(ProcessWatcherTest, KillsWhatIgnoresTheRequestOnceTheGraceIsOverEvenAfterTheAgent)
{
    group_ = startGroup(true);
    std::optional<ProcessGroupWatcher> watcher(std::in_place);
    ASSERT_TRUE(watcher->start(group_));
    auto asked = std::chrono::steady_clock::now();
    kill(-group_, SIGTERM);
    watcher->killAfter(300ms);
    watcher.reset();
    auto status = waitForExit(group_);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 300ms);
    // The member the leader started goes too.
    EXPECT_TRUE(groupGone(group_));
    group_ = 0;
}

TEST_F(ProcessWatcherTest, ReleasedWatcherLeavesWithoutASignal)
{
    group_ = startGroup(false);
    ProcessGroupWatcher watcher;
    ASSERT_TRUE(watcher.start(group_));
    watcher.release();
    EXPECT_FALSE(watcher.watching());
    auto watcherStatus = waitForWatcher(group_);
    ASSERT_TRUE(watcherStatus);
    EXPECT_TRUE(WIFEXITED(*watcherStatus) && WEXITSTATUS(*watcherStatus) == 0);
    EXPECT_FALSE(waitForExit(group_, 0ms));
    EXPECT_EQ(kill(group_, 0), 0);
}

TEST_F(ProcessWatcherTest, HoldsNoneOfTheAgentsDescriptors)
{
    group_ = startGroup(false);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ProcessGroupWatcher watcher;
    ASSERT_TRUE(watcher.start(group_));
    // Had the watcher kept a copy of the writing end, no end-of-file would come.
    close(ends[1]);
    pollfd reading{ends[0], POLLIN, 0};
    ASSERT_EQ(poll(&reading, 1, static_cast<int>(std::chrono::milliseconds(patience).count())), 1);
    char byte = 0;
    EXPECT_EQ(read(ends[0], &byte, 1), 0);
    close(ends[0]);
}

} // namespace
