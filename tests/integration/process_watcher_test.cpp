// The macOS layer's watcher of a child's process group is plain POSIX: tried here against
// real processes, shell scripts each leading a group of its own. This process is a
// subreaper, so that the orphaned watcher and what a child leaves behind come back to it: a
// thread reaps them and keeps how each ended.
#include "platform/macos/macos_process_watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ShadeLedgerZizadezavav;
using namespace std::chrono_literals;

namespace {

constexpr auto patience = 20s;
const auto stopGrace = std::chrono::milliseconds(stopGraceMilliseconds);

// Reaps every process that comes back to this one, and keeps how each ended.
class Reaper {
public:
    Reaper()
        : thread_([this] { run(); })
    {
    }
    ~Reaper()
    {
        stop_ = true;
        thread_.join();
    }
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

    // How pid ended (its wait status), or none within the limit.
    std::optional<int> endOf(pid_t pid)
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, patience, [&] { return ended_.count(pid) != 0; })) {
            return std::nullopt;
        }
        return ended_[pid];
    }

    // True once nothing below this process is left: no watcher, no leftover.
    bool nothingLeft()
    {
        std::unique_lock lock(mutex_);
        // A look that began after this call.
        auto wanted = emptyLooks_ + 2;
        return changed_.wait_for(lock, patience, [&] { return emptyLooks_ >= wanted; });
    }

private:
    void run()
    {
        while (!stop_) {
            int status = 0;
            pid_t ended = waitpid(-1, &status, WNOHANG);
            {
                std::lock_guard lock(mutex_);
                if (ended > 0) {
                    ended_[ended] = status;
                } else if (ended < 0 && errno == ECHILD) {
                    ++emptyLooks_;
                }
            }
            changed_.notify_all();
            if (ended <= 0) {
                std::this_thread::sleep_for(5ms);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<pid_t, int> ended_;
    unsigned long emptyLooks_ = 0;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

bool killedBy(std::optional<int> status, int number)
{
    return status && WIFSIGNALED(*status) && WTERMSIG(*status) == number;
}

class ProcessWatcherTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        std::string pattern = (std::filesystem::temp_directory_path() / "watcher-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        reaper_.emplace();
    }
    void TearDown() override
    {
        watcher_.reset();
        if (group_ > 0) {
            kill(-group_, SIGKILL);
        }
        EXPECT_TRUE(reaper_->nothingLeft()) << "a watcher or a leftover still runs";
        reaper_.reset();
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        std::filesystem::remove_all(directory_);
    }

    // Starts script in sh, in the test's directory, under a new watcher; the errno of a
    // failed launch.
    int launch(const std::string& script, std::optional<std::uint64_t> fileSizeLimit = {},
        const char* path = "/bin/sh")
    {
        std::string text = "cd \"$1\" || exit 1\n" + script;
        std::vector<std::string> arguments{path, "-c", text, "sh", directory_.string()};
        std::vector<char*> argumentVector;
        for (auto& argument : arguments) {
            argumentVector.push_back(argument.data());
        }
        argumentVector.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        WatchedSpawn spawn;
        spawn.path = path;
        spawn.arguments = argumentVector.data();
        spawn.environment = environ;
        spawn.attributes = &attributes;
        spawn.fileSizeLimit = fileSizeLimit;
        watcher_.emplace();
        int error = watcher_->launch(spawn);
        posix_spawnattr_destroy(&attributes);
        group_ = watcher_->group();
        return error;
    }

    // True when awaitExit returned within the limit.
    bool exits()
    {
        auto waiting = std::async(std::launch::async, [this] { watcher_->awaitExit(); });
        if (waiting.wait_for(patience) == std::future_status::ready) {
            return true;
        }
        kill(-group_, SIGKILL);
        return false;
    }

    // The process id a script wrote into name, once it is there.
    pid_t idIn(const std::string& name)
    {
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t pid = 0;
            if (std::ifstream(directory_ / name) >> pid && pid > 0) {
                return pid;
            }
            std::this_thread::sleep_for(5ms);
        }
        return 0;
    }

    std::string contentsOf(const std::string& name)
    {
        std::ifstream file(directory_ / name);
        return {std::istreambuf_iterator<char>(file), {}};
    }

    // A member of the child's group that ignores SIGTERM, and one that does not, each
    // writing its id once it is ready. Both are orphaned at once, so that this process
    // collects them as soon as they end.
    static constexpr const char* twoMembers
        = "(sh -c 'trap \"\" TERM; echo $$ > stubborn.tmp; mv stubborn.tmp stubborn;"
          " exec sleep 1000' &)\n"
          "(sleep 1000 & echo $! > obedient)\n"
          "while [ ! -s stubborn ]; do sleep 0.01; done\n";

    std::filesystem::path directory_;
    std::optional<Reaper> reaper_;
    std::optional<ProcessGroupWatcher> watcher_;
    pid_t group_ = 0;
};

TEST_F(ProcessWatcherTest, TheProcessEndsWithTheLastOfItsGroupWhatResistsKilledAfterTheGrace)
{
    auto launched = std::chrono::steady_clock::now();
    ASSERT_EQ(launch(std::string(twoMembers) + "exit 0\n"), 0);
    EXPECT_GT(group_, 0);
    ASSERT_TRUE(exits()) << "the child's group outlived the child";
    // The child has gone at once; what it left was asked to exit, and what refused was
    // killed once the grace was over, before the process counted as ended.
    EXPECT_GE(std::chrono::steady_clock::now() - launched, stopGrace);
    EXPECT_TRUE(killedBy(reaper_->endOf(idIn("obedient")), SIGTERM));
    EXPECT_TRUE(killedBy(reaper_->endOf(idIn("stubborn")), SIGKILL));
}

TEST_F(ProcessWatcherTest, AgentsEndAsksTheGroupToExitAtOnceAndKillsItAfterTheGrace)
{
    // The child itself refuses too.
    ASSERT_EQ(launch(std::string(twoMembers) + "trap '' TERM\nexec sleep 1000\n"), 0);
    pid_t obedient = idIn("obedient");
    idIn("stubborn");
    auto ended = std::chrono::steady_clock::now();
    // The agent's end closes the socket without a word.
    watcher_.reset();
    // Only the request made at the agent's end can have ended it by SIGTERM: the kill after
    // the grace is SIGKILL.
    EXPECT_TRUE(killedBy(reaper_->endOf(obedient), SIGTERM));
    EXPECT_TRUE(killedBy(reaper_->endOf(idIn("stubborn")), SIGKILL));
    EXPECT_TRUE(reaper_->nothingLeft());
    EXPECT_GE(std::chrono::steady_clock::now() - ended, stopGrace);
    group_ = 0;
}

TEST_F(ProcessWatcherTest, RequestsReachTheWholeGroup)
{
    ASSERT_EQ(launch(std::string(twoMembers) + "trap '' TERM\nexec sleep 1000\n"), 0);
    pid_t obedient = idIn("obedient");
    pid_t stubborn = idIn("stubborn");
    watcher_->terminate();
    EXPECT_TRUE(killedBy(reaper_->endOf(obedient), SIGTERM));
    EXPECT_EQ(kill(stubborn, 0), 0);
    auto asked = std::chrono::steady_clock::now();
    watcher_->terminate(300ms);
    ASSERT_TRUE(exits());
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 300ms);
    EXPECT_TRUE(killedBy(reaper_->endOf(stubborn), SIGKILL));
}

TEST_F(ProcessWatcherTest, KillRequestEndsWhatRefusesToExit)
{
    ASSERT_EQ(launch(std::string(twoMembers) + "trap '' TERM\nexec sleep 1000\n"), 0);
    pid_t stubborn = idIn("stubborn");
    watcher_->kill();
    ASSERT_TRUE(exits());
    EXPECT_TRUE(killedBy(reaper_->endOf(stubborn), SIGKILL));
}

TEST_F(ProcessWatcherTest, WritesPastTheFileSizeLimitFailAndEndNobody)
{
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    // What the child starts writes past the limit; the child carries on and says how that
    // went.
    ASSERT_EQ(launch("head -c 5000 /dev/zero > big 2>/dev/null; echo $? > status\n", 1000), 0);
    ASSERT_TRUE(exits());
    EXPECT_EQ(std::filesystem::file_size(directory_ / "big"), 1000U);
    // head's own failure, not 153: the end by SIGXFSZ.
    EXPECT_EQ(contentsOf("status"), "1\n");
    // The agent keeps its own limit and its own SIGXFSZ.
    rlimit after{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_cur);
    EXPECT_EQ(after.rlim_max, before.rlim_max);
    struct sigaction disposition { };
    sigaction(SIGXFSZ, nullptr, &disposition);
    EXPECT_EQ(disposition.sa_handler, SIG_DFL);
}

TEST_F(ProcessWatcherTest, AProgramThatCannotRunIsAFailedLaunch)
{
    EXPECT_EQ(launch("", {}, "/nonexistent/program"), ENOENT);
    EXPECT_EQ(group_, 0);
}

TEST_F(ProcessWatcherTest, HoldsNoneOfTheAgentsDescriptors)
{
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(launch("exec sleep 1000\n"), 0);
    // Had the watcher kept a copy of the writing end, no end-of-file would come.
    close(ends[1]);
    pollfd reading{ends[0], POLLIN, 0};
    ASSERT_EQ(poll(&reading, 1, static_cast<int>(std::chrono::milliseconds(patience).count())), 1);
    char byte = 0;
    EXPECT_EQ(read(ends[0], &byte, 1), 0);
    close(ends[0]);
}

} // namespace
