// Child processes on macOS: see macos_child_process.h for how each call maps the contract.
#include "platform/macos/macos_child_process.h"

#import <Foundation/Foundation.h>

#include <cerrno>
#include <condition_variable>
#include <crt_externs.h>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/macos/macos_files.h"
#include "platform/macos/macos_process_watcher.h"
#include "platform/macos/macos_strings.h"

namespace ShadeLedgerZizadezavav {

// One started child, shared by its handle and the thread that reaps it.
struct ChildRecord {
    pid_t processIdentifier = 0;
    std::mutex mutex;
    std::condition_variable reapedCondition;
    // Guarded by mutex: the exit is recorded before the child is reaped.
    bool exited = false;
    bool reaped = false;
    ProcessGroupWatcher watcher;
    // Main thread only.
    bool graceHandedOver = false;
    std::vector<std::function<void()>> exitHandlers;
};

namespace {

// The descriptor behind a FileHandle of this layer, or -1.
int descriptorOf(const std::shared_ptr<FileHandle>& handle)
{
    auto* file = dynamic_cast<MacOSFileHandle*>(handle.get());
    return file ? file->handle().fileDescriptor : -1;
}

// The attributes and file actions of one launch.
struct SpawnSetup {
    posix_spawnattr_t attributes{};
    posix_spawn_file_actions_t actions{};

    SpawnSetup()
    {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Signals the child's group while its exit has not been recorded: until then its
// identifier, and the group's, are its own.
void signalChild(ChildRecord& child, int signal)
{
    std::lock_guard lock(child.mutex);
    if (child.exited) {
        return;
    }
    if (kill(-child.processIdentifier, signal) != 0) {
        kill(child.processIdentifier, signal);
    }
}

// On a thread of its own until the child exits: records the exit, reaps the child and
// tells the watcher, the waiters and the exit notifications.
void awaitExit(const std::shared_ptr<ChildRecord>& child)
{
    pid_t identifier = child->processIdentifier;
    siginfo_t information{};
    while (waitid(P_PID, static_cast<id_t>(identifier), &information, WEXITED | WNOWAIT) != 0
        && errno == EINTR) { }
    {
        std::lock_guard lock(child->mutex);
        child->exited = true;
        child->watcher.release();
    }
    while (waitpid(identifier, nullptr, 0) < 0 && errno == EINTR) { }
    {
        std::lock_guard lock(child->mutex);
        child->reaped = true;
    }
    child->reapedCondition.notify_all();
    std::shared_ptr<ChildRecord> record = child;
    dispatch_async(dispatch_get_main_queue(), ^{
        auto handlers = std::exchange(record->exitHandlers, {});
        for (auto& handler : handlers) {
            handler();
        }
    });
}

} // namespace

MacOSProcess::MacOSProcess(ProcessConfiguration configuration)
    : configuration_(std::move(configuration))
{
}

bool MacOSProcess::launch()
{
    if (launchAttempted_ || configuration_.executable.empty()) {
        return false;
    }
    launchAttempted_ = true;

    // Absolute before the change of directory, which happens first in the child.
    std::error_code error;
    std::string executable = std::filesystem::absolute(configuration_.executable, error).string();
    if (error) {
        return false;
    }
    std::vector<std::string> arguments{executable};
    arguments.insert(
        arguments.end(), configuration_.arguments.begin(), configuration_.arguments.end());
    std::vector<char*> argumentVector;
    for (auto& argument : arguments) {
        argumentVector.push_back(argument.data());
    }
    argumentVector.push_back(nullptr);

    std::vector<std::string> entries;
    std::vector<char*> environmentBlock;
    char** environment = *_NSGetEnviron();
    if (configuration_.environment) {
        for (const auto& [name, value] : *configuration_.environment) {
            // A name with '=' cannot be expressed in an environment block.
            if (name.empty() || name.find('=') != std::string::npos) {
                continue;
            }
            entries.push_back(std::string(name).append("=").append(value));
        }
        for (auto& entry : entries) {
            environmentBlock.push_back(entry.data());
        }
        environmentBlock.push_back(nullptr);
        environment = environmentBlock.data();
    }

    SpawnSetup setup;
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setflags(&setup.attributes,
        static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK
            | POSIX_SPAWN_CLOEXEC_DEFAULT));

    posix_spawn_file_actions_addinherit_np(&setup.actions, STDIN_FILENO);
    // A handle that is not this layer's cannot be given to the child: no launch rather
    // than output sent somewhere else.
    for (auto [handle, stream] : {std::pair{&configuration_.standardOutput, STDOUT_FILENO},
             std::pair{&configuration_.standardError, STDERR_FILENO}}) {
        if (!*handle) {
            posix_spawn_file_actions_addinherit_np(&setup.actions, stream);
            continue;
        }
        int descriptor = descriptorOf(*handle);
        if (descriptor < 0) {
            return false;
        }
        posix_spawn_file_actions_adddup2(&setup.actions, descriptor, stream);
    }
    if (configuration_.currentDirectory) {
        posix_spawn_file_actions_addchdir_np(
            &setup.actions, configuration_.currentDirectory->c_str());
    }

    pid_t identifier = 0;
    if (posix_spawn(&identifier, executable.c_str(), &setup.actions, &setup.attributes,
            argumentVector.data(), environment)
        != 0) {
        return false;
    }

    auto child = std::make_shared<ChildRecord>();
    child->processIdentifier = identifier;
    // Without a watcher the child is still reaped and stopped by the agent; only what
    // should outlive the agent is missing.
    child->watcher.start(identifier);
    try {
        std::thread(awaitExit, child).detach();
    } catch (const std::system_error&) {
        // No thread to spare: a queue's worker waits instead.
        dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), ^{ awaitExit(child); });
    }
    child_ = std::move(child);
    return true;
}

bool MacOSProcess::waitUntilExit(Milliseconds timeout)
{
    if (!child_) {
        return true;
    }
    std::unique_lock lock(child_->mutex);
    return child_->reapedCondition.wait_for(lock, timeout, [this] { return child_->reaped; });
}

void MacOSProcess::signalGroup(int signal)
{
    if (child_) {
        signalChild(*child_, signal);
    }
}

void MacOSProcess::terminate()
{
    signalGroup(SIGTERM);
}

void MacOSProcess::terminate(Milliseconds grace)
{
    terminate();
    if (!child_ || child_->graceHandedOver) {
        return;
    }
    {
        std::lock_guard lock(child_->mutex);
        if (child_->exited) {
            return;
        }
        child_->graceHandedOver = true;
        if (child_->watcher.watching()) {
            child_->watcher.killAfter(grace);
            return;
        }
    }
    // No watcher: the kill after the grace happens at least while the agent runs.
    auto child = child_;
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(grace).count();
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds), dispatch_get_main_queue(),
        ^{ signalChild(*child, SIGKILL); });
}

void MacOSProcess::forceTerminate()
{
    signalGroup(SIGKILL);
}

bool MacOSProcess::isRunning()
{
    if (!child_) {
        return false;
    }
    std::lock_guard lock(child_->mutex);
    return !child_->exited;
}

void MacOSProcess::notifyOnExit(std::function<void()> handler)
{
    // The reaping thread hands the list to the main queue after it records the exit, so a
    // handler added while the child runs is always found there.
    if (isRunning()) {
        child_->exitHandlers.push_back(std::move(handler));
        return;
    }
    // Never started or gone already: still on a later turn, as the contract says.
    auto later = std::make_shared<std::function<void()>>(std::move(handler));
    dispatch_async(dispatch_get_main_queue(), ^{ (*later)(); });
}

std::shared_ptr<Process> MacOSChildProcesses::makeProcess(ProcessConfiguration configuration)
{
    return std::make_shared<MacOSProcess>(std::move(configuration));
}

std::int32_t MacOSChildProcesses::processIdentifier()
{
    return NSProcessInfo.processInfo.processIdentifier;
}

Environment MacOSChildProcesses::environment()
{
    Environment result;
    NSDictionary<NSString*, NSString*>* environment = NSProcessInfo.processInfo.environment;
    for (NSString* name in environment) {
        result[stdString(name)] = stdString(environment[name]);
    }
    return result;
}

} // namespace ShadeLedgerZizadezavav
