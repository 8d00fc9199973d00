// Child processes on macOS: see macos_child_process.h for how each call maps the contract.
#include "platform/macos/macos_child_process.h"

#import <Foundation/Foundation.h>

#include <condition_variable>
#include <crt_externs.h>
#include <filesystem>
#include <mutex>
#include <spawn.h>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/macos/macos_files.h"
#include "platform/macos/macos_process_watcher.h"
#include "platform/macos/macos_strings.h"

namespace ShadeLedgerZizadezavav {

// One started child, shared by its handle and the thread that waits for its end.
struct ChildRecord {
    ProcessGroupWatcher watcher;
    std::mutex mutex;
    std::condition_variable exitedCondition;
    // Guarded by mutex.
    bool exited = false;
    // Main thread only.
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

// On a thread of its own until the group is gone: records the exit and tells the waiters
// and the exit notifications.
void awaitExit(const std::shared_ptr<ChildRecord>& child)
{
    child->watcher.awaitExit();
    {
        std::lock_guard lock(child->mutex);
        child->exited = true;
    }
    child->exitedCondition.notify_all();
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

    // The watcher adds the group and the signals' defaults.
    SpawnSetup setup;
    posix_spawnattr_setflags(&setup.attributes, static_cast<short>(POSIX_SPAWN_CLOEXEC_DEFAULT));

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

    auto child = std::make_shared<ChildRecord>();
    WatchedSpawn spawn;
    spawn.path = executable.c_str();
    spawn.arguments = argumentVector.data();
    spawn.environment = environment;
    spawn.actions = &setup.actions;
    spawn.attributes = &setup.attributes;
    spawn.fileSizeLimit = configuration_.fileSizeLimit;
    if (child->watcher.launch(spawn) != 0) {
        return false;
    }
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
    return child_->exitedCondition.wait_for(lock, timeout, [this] { return child_->exited; });
}

// Requests go to the watcher, which alone signals the group: it knows when the group's id is
// still the group's.
void MacOSProcess::terminate()
{
    if (isRunning()) {
        child_->watcher.terminate();
    }
}

void MacOSProcess::terminate(Milliseconds grace)
{
    if (isRunning()) {
        child_->watcher.terminate(grace);
    }
}

void MacOSProcess::forceTerminate()
{
    if (isRunning()) {
        child_->watcher.kill();
    }
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
    // The waiting thread hands the list to the main queue after it records the exit, so a
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

std::vector<std::string> MacOSChildProcesses::pkillOptionsSparingAncestors()
{
    // BSD's pkill leaves out itself and all its ancestors unless told otherwise (-a).
    return {};
}

} // namespace ShadeLedgerZizadezavav
