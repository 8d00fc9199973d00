// Child processes on macOS: see macos_child_process.h for how each call maps the contract.
#include "platform/macos/macos_child_process.h"

#import <Foundation/Foundation.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <crt_externs.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/macos/macos_files.h"
#include "platform/macos/macos_strings.h"
#include "platform/posix/keeper_protocol.h"

namespace ShadeLedgerZizadezavav {

// One started child, shared by its handle and the thread that waits for its end.
struct ChildRecord {
    pid_t guard = 0;
    std::mutex mutex;
    std::condition_variable exitedCondition;
    // Guarded by mutex: the thread closes the link's socket once the keeper has gone, while
    // the main thread sends on it.
    KeeperLink link;
    bool exited = false;
    // Main thread only.
    std::vector<std::function<void()>> exitHandlers;
};

namespace {

// The keeper says how the start went within milliseconds; this much only under a machine
// that hardly moves. After it the child counts as started, and is asked like any other.
constexpr std::chrono::milliseconds startPatience{10000};

// The descriptor behind a FileHandle of this layer, or -1.
int descriptorOf(const std::shared_ptr<FileHandle>& handle)
{
    auto* file = dynamic_cast<MacOSFileHandle*>(handle.get());
    return file ? file->handle().fileDescriptor : -1;
}

// The attributes and file actions of one spawn.
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

// A program built for another processor, or a shortage of processes or memory, is the
// user's to hear about; a program that cannot run otherwise stays a quiet failure (the
// bridge's log says why).
void reportStartFailure(const std::string& executable, int error)
{
    if (isForeignArchitecture(error)) {
        std::fprintf(
            stderr, "ShadeLedger Zizadezavav: %s\n", startFailureText(executable, error).c_str());
    } else if (error == EAGAIN || error == ENOMEM) {
        std::fprintf(stderr, "ShadeLedger Zizadezavav: cannot start %s: %s\n", executable.c_str(),
            std::strerror(error));
    }
}

void reap(pid_t process)
{
    while (waitpid(process, nullptr, 0) < 0 && errno == EINTR) { }
}

// On a thread of its own until the guard and then the keeper have gone: reaps the guard,
// records the end and tells the waiters and the exit notifications.
void awaitExit(const std::shared_ptr<ChildRecord>& child)
{
    reap(child->guard);
    int socket = -1;
    {
        std::lock_guard lock(child->mutex);
        socket = child->link.descriptor();
    }
    // The guard was killed while the keeper still stops the tree: its socket closes last.
    while (socket >= 0) {
        pollfd watch{socket, POLLIN, 0};
        poll(&watch, 1, -1);
        std::lock_guard lock(child->mutex);
        if (child->link.closed()) {
            break;
        }
    }
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

// Runs work on a thread of its own, or on a queue's worker when no thread is to spare.
void onAThreadOfItsOwn(void (^work)())
{
    try {
        std::thread([work] { work(); }).detach();
    } catch (const std::system_error&) {
        dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), work);
    }
}

} // namespace

MacOSProcess::MacOSProcess(ProcessConfiguration configuration, std::string keeper)
    : configuration_(std::move(configuration))
    , keeper_(std::move(keeper))
{
}

bool MacOSProcess::launch()
{
    if (launchAttempted_ || configuration_.executable.empty()) {
        return false;
    }
    launchAttempted_ = true;

    // Absolute before the change of directory, which happens first in the keeper.
    std::error_code error;
    std::string executable = std::filesystem::absolute(configuration_.executable, error).string();
    if (error) {
        return false;
    }
    auto bound = configuration_.standardOutput ? configuration_.outputBound : std::nullopt;
    std::vector<std::string> arguments
        = keeperCommandLine(keeper_, bound, executable, configuration_.arguments);
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

    std::array<int, 2> ends{};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()) != 0) {
        reportStartFailure(executable, errno);
        return false;
    }
    FileDescriptor agentEnd(ends[0]);
    FileDescriptor keeperEnd(ends[1]);
    for (int end : ends) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        // A keeper that is gone must not take the agent with it when it writes.
        int on = 1;
        setsockopt(end, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
    }

    SpawnSetup setup;
    // The keeper starts with every signal at its default and none blocked, and no descriptor
    // of the agent's but those given here.
    posix_spawnattr_setflags(&setup.attributes,
        static_cast<short>(
            POSIX_SPAWN_CLOEXEC_DEFAULT | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&setup.attributes, &none);

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
    posix_spawn_file_actions_adddup2(&setup.actions, keeperEnd.get(), keeperSocketDescriptor);
    if (configuration_.currentDirectory) {
        posix_spawn_file_actions_addchdir_np(
            &setup.actions, configuration_.currentDirectory->c_str());
    }

    pid_t guard = 0;
    int spawned = posix_spawn(&guard, keeper_.c_str(), &setup.actions, &setup.attributes,
        argumentVector.data(), environment);
    // Only the keeper holds its end now: its end-of-file is the keeper's.
    keeperEnd.reset();
    if (spawned != 0) {
        // No keeper, or no process to spare: either way the user's to hear.
        std::fprintf(stderr, "ShadeLedger Zizadezavav: cannot start %s: %s\n", keeper_.c_str(),
            std::strerror(spawned));
        return false;
    }

    auto child = std::make_shared<ChildRecord>();
    child->guard = guard;
    child->link = KeeperLink(std::move(agentEnd));
    auto start = child->link.awaitStart(startPatience);
    if (start && start->child == 0) {
        reportStartFailure(executable, start->error);
        // The guard leaves at once, and is still reaped.
        onAThreadOfItsOwn(^{ reap(guard); });
        return false;
    }
    onAThreadOfItsOwn(^{ awaitExit(child); });
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

// Requests go to the keeper, which alone signals the tree: it knows when an id is still the
// tree's.
void MacOSProcess::terminate()
{
    if (child_) {
        std::lock_guard lock(child_->mutex);
        if (!child_->exited) {
            child_->link.askToExit();
        }
    }
}

void MacOSProcess::terminate(Milliseconds grace)
{
    if (child_) {
        std::lock_guard lock(child_->mutex);
        if (!child_->exited) {
            child_->link.askToExitThenKill(grace);
        }
    }
}

void MacOSProcess::forceTerminate()
{
    if (child_) {
        std::lock_guard lock(child_->mutex);
        if (!child_->exited) {
            child_->link.killNow();
        }
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

MacOSChildProcesses::MacOSChildProcesses()
{
    // Beside the agent's own executable, in the bundle's Contents/MacOS.
    NSString* directory = NSBundle.mainBundle.executablePath.stringByDeletingLastPathComponent;
    keeper_ = appendingPathComponent(stdString(directory), keeperExecutableName);
}

std::shared_ptr<Process> MacOSChildProcesses::makeProcess(ProcessConfiguration configuration)
{
    return std::make_shared<MacOSProcess>(std::move(configuration), keeper_);
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
