// Child processes against real /bin/sh children.
#include "platform/linux/linux_child_process.h"
#include "platform/linux/linux_files.h"
#include "support/main_context.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace ShadeLedgerZizadezavav;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Generous: the children here end within milliseconds.
constexpr Milliseconds exitLimit = 30s;

// A child of this process as /proc shows it.
struct ChildEntry {
    pid_t pid;
    char state;
};

std::vector<ChildEntry> childrenOfThisProcess()
{
    std::vector<ChildEntry> children;
    pid_t self = getpid();
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string stat = readFile(entry.path().string() + "/stat");
        // pid (comm) state ppid ...; comm may hold spaces and parentheses.
        auto close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        fields >> state >> parent;
        if (parent == self) {
            children.push_back({static_cast<pid_t>(std::stoi(name)), state});
        }
    }
    return children;
}

std::atomic<int> terminationSignals{0};

// Counts SIGTERMs reaching this process while it lives.
class TerminationCounter {
public:
    TerminationCounter()
    {
        terminationSignals = 0;
        struct sigaction action { };
        action.sa_handler = [](int) { ++terminationSignals; };
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, &previous_);
    }
    ~TerminationCounter() { sigaction(SIGTERM, &previous_, nullptr); }

private:
    struct sigaction previous_ { };
};

class ChildProcessTest : public ::testing::Test {
protected:
    TempHome home;
    LinuxChildProcesses processes{SL_KEEPER};
    LinuxFileManager files;

    std::shared_ptr<Process> shell(const std::string& script, std::vector<std::string> extra = {})
    {
        ProcessConfiguration configuration;
        configuration.executable = "/bin/sh";
        configuration.arguments = {"-c", script, "sh"};
        configuration.arguments.insert(configuration.arguments.end(), extra.begin(), extra.end());
        return processes.makeProcess(std::move(configuration));
    }

    // Runs a configured process to its end.
    void run(const std::shared_ptr<Process>& process)
    {
        ASSERT_TRUE(process->launch()) << "the child did not start";
        ASSERT_TRUE(process->waitUntilExit(exitLimit)) << "the child did not exit";
    }
};

} // namespace

TEST_F(ChildProcessTest, ExecutableIsArgvZeroAndArgumentsArriveUnchanged)
{
    std::string out = home.path("out");
    auto process = shell("tr '\\0' '\\n' < /proc/$$/cmdline > \"$1\"; printf '%s' \"$2\" >> \"$1\"",
        {out, "/path with spaces/server.mjs"});
    run(process);
    EXPECT_EQ(readFile(out),
        "/bin/sh\n-c\n" + process->configuration().arguments[1] + "\nsh\n" + out
            + "\n/path with spaces/server.mjs\n/path with spaces/server.mjs");
}

TEST_F(ChildProcessTest, RunsInTheWorkingDirectory)
{
    std::string resources = home.path("Agent.app/Contents/Resources");
    makeDirectories(resources);
    std::string out = home.path("cwd");
    ProcessConfiguration configuration;
    configuration.executable = "/bin/sh";
    configuration.arguments = {"-c", "pwd -P > \"$1\"", "sh", out};
    configuration.currentDirectory = resources;
    run(processes.makeProcess(configuration));
    EXPECT_EQ(readFile(out), fs::canonical(resources).string() + "\n")
        << "a relative path in the bridge would not resolve inside the resources";
}

TEST_F(ChildProcessTest, AnEnvironmentReplacesTheAgentsWhole)
{
    home.setenv("SL_ONLY_IN_AGENT", "agent");
    std::string out = home.path("env");
    ProcessConfiguration configuration;
    configuration.executable = "/usr/bin/env";
    configuration.environment = Environment{{"NODE_ENV", "production"}, {"SL_GIVEN", "a b=c"}};
    ASSERT_TRUE(files.createFileAtPath(out));
    configuration.standardOutput = files.fileHandleForWritingAtPath(out);
    run(processes.makeProcess(configuration));
    EXPECT_EQ(readFile(out), "NODE_ENV=production\nSL_GIVEN=a b=c\n")
        << "the child saw variables other than the ones given";
}

TEST_F(ChildProcessTest, WithoutAnEnvironmentTheAgentsIsInherited)
{
    home.setenv("SL_ONLY_IN_AGENT", "inherited value");
    std::string out = home.path("env");
    run(shell("printf '%s' \"$SL_ONLY_IN_AGENT\" > \"$1\"", {out}));
    EXPECT_EQ(readFile(out), "inherited value");
}

TEST_F(ChildProcessTest, TheAgentsEnvironmentIsReported)
{
    home.setenv("SL_REPORTED", "x=y");
    auto environment = processes.environment();
    EXPECT_EQ(environment["SL_REPORTED"], "x=y");
    EXPECT_EQ(environment["HOME"], home.home());
    EXPECT_EQ(processes.processIdentifier(), getpid());
}

TEST_F(ChildProcessTest, BothStreamsThroughOneHandleLandInOneFileInOrder)
{
    std::string log = home.path(".shadeledger/bridge.log");
    writeFile(log, "an old run's output that is longer than the new one\n");
    ASSERT_TRUE(files.createFileAtPath(log));
    auto handle = files.fileHandleForWritingAtPath(log);
    ASSERT_NE(handle, nullptr);
    ProcessConfiguration configuration;
    configuration.executable = "/bin/sh";
    configuration.arguments
        = {"-c", "echo out1; echo err1 >&2; echo out2; echo err2 >&2; echo out3"};
    configuration.standardOutput = handle;
    configuration.standardError = handle;
    // As the bridge's: through the keeper, which bounds the log.
    configuration.outputBound = 1 << 20;
    auto process = processes.makeProcess(configuration);
    handle.reset();
    run(process);
    EXPECT_EQ(readFile(log), "out1\nerr1\nout2\nerr2\nout3\n")
        << "the log lost lines or mixed up their order";
}

TEST_F(ChildProcessTest, StandardInputIsInherited)
{
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    std::string text = "typed into the agent's standard input\n";
    ASSERT_EQ(write(pipeEnds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(pipeEnds[1]);
    int savedInput = dup(STDIN_FILENO);
    ASSERT_GE(savedInput, 0);
    ASSERT_EQ(dup2(pipeEnds[0], STDIN_FILENO), STDIN_FILENO);
    close(pipeEnds[0]);

    std::string out = home.path("stdin");
    auto process = shell("cat > \"$1\"", {out});
    bool launched = process->launch();
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    ASSERT_TRUE(launched);
    ASSERT_TRUE(process->waitUntilExit(exitLimit)) << "the child did not exit";
    EXPECT_EQ(readFile(out), text) << "the child's standard input was not the agent's";
}

TEST_F(ChildProcessTest, TerminateAsksARunningChildToExit)
{
    std::string ready = home.path("ready");
    std::string outcome = home.path("outcome");
    auto process = shell("trap 'echo terminated > \"$2\"; exit 0' TERM; echo > \"$1\"; "
                         "i=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done",
        {ready, outcome});
    ASSERT_TRUE(process->launch());
    ASSERT_TRUE(runMainContextUntil([&] { return exists(ready); })) << "the child never got going";
    process->terminate();
    ASSERT_TRUE(runMainContextUntil([&] { return readFile(outcome) == "terminated\n"; }))
        << "the bridge kept running after a terminate request";
    ASSERT_TRUE(process->waitUntilExit(exitLimit)) << "the child did not exit";
}

// Whether a process still runs, as /proc shows it (a zombie has ended).
bool alive(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

TEST_F(ChildProcessTest, TerminateReachesWhatTheChildStartedAndForceEndsOneThatRefuses)
{
    // A helper that takes the request, then a child that refuses it. The helper starts
    // before the trap (it would inherit the ignored signal) and is announced after it.
    std::string helper = home.path("helper");
    auto process = shell("sleep 1000 & helper=$!; trap '' TERM; "
                         "echo $helper > \"$1.part\"; mv \"$1.part\" \"$1\"; "
                         "while :; do sleep 0.05; done",
        {helper});
    ASSERT_TRUE(process->launch());
    ASSERT_TRUE(runMainContextUntil([&] { return exists(helper); }));
    pid_t helperPid = std::stoi(readFile(helper));

    process->terminate();
    EXPECT_TRUE(runMainContextUntil([&] { return !alive(helperPid); }))
        << "the process the child started outlived the terminate request";
    EXPECT_TRUE(process->isRunning());
    EXPECT_FALSE(process->waitUntilExit(200ms)) << "a child that refuses to exit was said to exit";

    bool notified = false;
    process->notifyOnExit([&] { notified = true; });
    process->forceTerminate();
    EXPECT_TRUE(runMainContextUntil([&] { return notified; }))
        << "no exit notification on the main context";
    EXPECT_FALSE(process->isRunning());
    EXPECT_TRUE(process->waitUntilExit(200ms));
}

TEST_F(ChildProcessTest, TerminateAfterExitSignalsNobody)
{
    TerminationCounter counter;
    auto process = shell("exit 0");
    run(process);
    process->terminate();
    process->terminate();
    EXPECT_EQ(terminationSignals.load(), 0)
        << "a terminate request for an exited child reached the agent itself";
    ASSERT_TRUE(process->waitUntilExit(exitLimit)) << "the child did not exit";
}

TEST_F(ChildProcessTest, TerminateBeforeLaunchSignalsNobody)
{
    TerminationCounter counter;
    auto process = shell("exit 0");
    process->terminate();
    EXPECT_EQ(terminationSignals.load(), 0);
    EXPECT_TRUE(childrenOfThisProcess().empty()) << "terminate started something";
}

TEST_F(ChildProcessTest, WaitingForANeverStartedChildReturnsAtOnce)
{
    auto process = shell("exit 0");
    ASSERT_TRUE(process->waitUntilExit(exitLimit)) << "a child never launched was waited for";
    ProcessConfiguration configuration;
    configuration.executable = home.path("missing/node");
    auto failed = processes.makeProcess(configuration);
    EXPECT_FALSE(failed->launch());
    ASSERT_TRUE(failed->waitUntilExit(exitLimit)) << "a child that failed to start was waited for";
    failed->terminate();
}

TEST_F(ChildProcessTest, LaunchingAMissingFileFails)
{
    ProcessConfiguration configuration;
    configuration.executable = home.path("Agent.app/Contents/Resources/node");
    configuration.arguments = {"server.mjs"};
    EXPECT_FALSE(processes.makeProcess(configuration)->launch());
}

TEST_F(ChildProcessTest, LaunchingANonExecutableFileFails)
{
    std::string node = home.path("Resources/node");
    writeFile(node, "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(chmod(node.c_str(), 0644), 0);
    ProcessConfiguration configuration;
    configuration.executable = node;
    EXPECT_FALSE(processes.makeProcess(configuration)->launch())
        << "a node without the executable bit reported a running bridge";
}

TEST_F(ChildProcessTest, ABareNameIsNotLookedUpOnPATH)
{
    std::string directory = home.path("work");
    makeDirectories(directory);
    std::string previous = fs::current_path();
    fs::current_path(directory);
    ProcessConfiguration configuration;
    configuration.executable = "true";
    bool launched = processes.makeProcess(configuration)->launch();
    fs::current_path(previous);
    EXPECT_FALSE(launched) << "a bare name ran a program found on PATH";
}

TEST_F(ChildProcessTest, LaunchingTwiceFails)
{
    auto process = shell("exit 0");
    ASSERT_TRUE(process->launch());
    EXPECT_FALSE(process->launch());
    ASSERT_TRUE(process->waitUntilExit(exitLimit)) << "the child did not exit";
}

TEST_F(ChildProcessTest, ReleasedHandlesLeaveNoZombies)
{
    for (int index = 0; index < 100; ++index) {
        ProcessConfiguration configuration;
        configuration.executable = "/bin/true";
        ASSERT_TRUE(processes.makeProcess(configuration)->launch());
    }
    bool reaped = runMainContextUntil([] { return childrenOfThisProcess().empty(); }, 30s);
    std::string left;
    for (const auto& child : childrenOfThisProcess()) {
        left += " " + std::to_string(child.pid) + ":" + child.state;
    }
    EXPECT_TRUE(reaped) << "children were left behind (pid:state):" << left;
}

TEST_F(ChildProcessTest, ChildrenAreReapedWithoutAMainLoop)
{
    for (int index = 0; index < 20; ++index) {
        ProcessConfiguration configuration;
        configuration.executable = "/bin/true";
        ASSERT_TRUE(processes.makeProcess(configuration)->launch());
    }
    // Only look, never iterate the default context: reaping must not depend on it.
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!childrenOfThisProcess().empty() && std::chrono::steady_clock::now() < deadline) {
        g_usleep(10000);
    }
    EXPECT_TRUE(childrenOfThisProcess().empty()) << "zombies wait for a main loop that may not run";
}
