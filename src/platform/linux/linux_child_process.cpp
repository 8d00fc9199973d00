#include "platform/linux/linux_child_process.h"

#include "platform/linux/linux_files.h"

#include <glib-unix.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace ShadeLedgerZizadezavav {

namespace {

// The keeper says how the start went within milliseconds; this much only under a machine
// that hardly moves. After it the child counts as started, and is asked like any other.
constexpr std::chrono::milliseconds startPatience{10000};

// A descriptor of our own for the launcher to take over (and close), or -1.
int duplicateForChild(const std::shared_ptr<FileHandle>& handle)
{
    auto* file = dynamic_cast<LinuxFileHandle*>(handle.get());
    if (!file || file->fileDescriptor() < 0) {
        return -1;
    }
    return fcntl(file->fileDescriptor(), F_DUPFD_CLOEXEC, 3);
}

// A relative executable is taken relative to the agent's working directory, as a
// file location would be; it must not be searched for on PATH.
std::string executablePath(const std::string& executable)
{
    if (g_path_is_absolute(executable.c_str())) {
        return executable;
    }
    GCharPtr current(g_get_current_dir());
    GCharPtr joined(g_build_filename(current.get(), executable.c_str(), nullptr));
    return joined.get();
}

bool isShortage(int error)
{
    return error == EAGAIN || error == ENOMEM;
}

// A shortage of processes or memory, or a program built for another machine, is the
// user's to hear about; a program that cannot run otherwise stays a quiet failure (the
// bridge's log says why).
void reportStartFailure(const std::string& executable, int error)
{
    if (isForeignArchitecture(error)) {
        g_printerr("ShadeLedger Zizadezavav: %s\n", startFailureText(executable, error).c_str());
    } else if (isShortage(error)) {
        g_printerr("ShadeLedger Zizadezavav: cannot start %s: %s\n", executable.c_str(),
            g_strerror(error));
    } else {
        g_debug("Cannot start %s: %s", executable.c_str(), g_strerror(error));
    }
}

using ExitHandler = std::function<void()>;

// An exit notification on its way: the guard's end first, then the keeper's.
struct PendingExit {
    ExitHandler handler;
    std::shared_ptr<KeeperLink> link;
};

gboolean keeperClosed(gint, GIOCondition, gpointer data)
{
    auto* pending = static_cast<PendingExit*>(data);
    if (!pending->link->closed()) {
        return G_SOURCE_CONTINUE;
    }
    pending->handler();
    return G_SOURCE_REMOVE;
}

void guardReaped(GObject* process, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<PendingExit> pending(static_cast<PendingExit*>(data));
    GErrorPtr error;
    g_subprocess_wait_finish(G_SUBPROCESS(process), result, errorOut(error));
    debugError("Waiting for a child", error);
    if (!pending->link || pending->link->closed()) {
        pending->handler();
        return;
    }
    // The guard was killed while the keeper still stops the tree.
    int socket = pending->link->descriptor();
    g_unix_fd_add_full(G_PRIORITY_DEFAULT, socket,
        static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), keeperClosed, pending.release(),
        [](gpointer data) { std::unique_ptr<PendingExit> owner(static_cast<PendingExit*>(data)); });
}

struct TimedWait {
    bool finished = false;
    bool exited = false;
};

void timedWaitFinished(GObject* process, GAsyncResult* result, gpointer data)
{
    auto* wait = static_cast<TimedWait*>(data);
    GErrorPtr error;
    wait->exited = g_subprocess_wait_finish(G_SUBPROCESS(process), result, errorOut(error));
    wait->finished = true;
}

// Waits for the subprocess on a private context, so that the caller's main loop does not
// run meanwhile; false when it still runs after timeout.
bool waitForSubprocess(GSubprocess* subprocess, Milliseconds timeout)
{
    GMainContextPtr context(g_main_context_new());
    g_main_context_push_thread_default(context.get());
    auto cancellable = adoptGObject(g_cancellable_new());
    TimedWait wait;
    g_subprocess_wait_async(subprocess, cancellable.get(), timedWaitFinished, &wait);
    GSourcePtr timer(
        g_timeout_source_new(static_cast<guint>(std::max<Milliseconds::rep>(timeout.count(), 0))));
    g_source_set_callback(
        timer.get(),
        [](gpointer pending) {
            g_cancellable_cancel(G_CANCELLABLE(pending));
            return G_SOURCE_REMOVE;
        },
        cancellable.get(), nullptr);
    g_source_attach(timer.get(), context.get());
    // A cancelled wait still finishes, so nothing is left pointing at this frame.
    while (!wait.finished) {
        g_main_context_iteration(context.get(), TRUE);
    }
    timer.reset();
    g_main_context_pop_thread_default(context.get());
    return wait.exited;
}

} // namespace

LinuxProcess::LinuxProcess(ProcessConfiguration configuration, std::string keeper)
    : configuration_(std::move(configuration))
    , keeper_(std::move(keeper))
{
}

bool LinuxProcess::launch()
{
    if (launchAttempted_ || configuration_.executable.empty()) {
        return false;
    }
    launchAttempted_ = true;

    auto launcher = adoptGObject(g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDIN_INHERIT));

    if (configuration_.currentDirectory) {
        g_subprocess_launcher_set_cwd(launcher.get(), configuration_.currentDirectory->c_str());
    }

    if (configuration_.environment) {
        std::vector<std::string> entries;
        for (const auto& [name, value] : *configuration_.environment) {
            // A name with '=' cannot be expressed in an environment block.
            if (name.empty() || name.find('=') != std::string::npos) {
                continue;
            }
            entries.push_back(std::string(name).append("=").append(value));
        }
        std::vector<gchar*> environmentBlock;
        environmentBlock.reserve(entries.size() + 1);
        for (auto& entry : entries) {
            environmentBlock.push_back(entry.data());
        }
        environmentBlock.push_back(nullptr);
        g_subprocess_launcher_set_environ(launcher.get(), environmentBlock.data());
    }

    // Each stream gets its own duplicate of the handle's descriptor: duplicates share
    // one file offset, so output and error interleave in the order written.
    auto redirect
        = [&](const std::shared_ptr<FileHandle>& handle, void (*take)(GSubprocessLauncher*, gint)) {
              if (!handle) {
                  return true;
              }
              int descriptor = duplicateForChild(handle);
              if (descriptor < 0) {
                  return false;
              }
              take(launcher.get(), descriptor);
              return true;
          };
    if (!redirect(configuration_.standardOutput, g_subprocess_launcher_take_stdout_fd)
        || !redirect(configuration_.standardError, g_subprocess_launcher_take_stderr_fd)) {
        return false;
    }

    std::array<int, 2> ends{};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        reportStartFailure(keeper_, errno);
        return false;
    }
    FileDescriptor agentEnd(ends[0]);
    g_subprocess_launcher_take_fd(launcher.get(), ends[1], keeperSocketDescriptor);

    std::string executable = executablePath(configuration_.executable);
    auto bound = configuration_.standardOutput ? configuration_.outputBound : std::nullopt;
    auto line = keeperCommandLine(keeper_, bound, executable, configuration_.arguments);
    std::vector<const gchar*> argv;
    argv.reserve(line.size() + 1);
    for (const auto& word : line) {
        argv.push_back(word.c_str());
    }
    argv.push_back(nullptr);

    GErrorPtr error;
    subprocess_
        = adoptGObject(g_subprocess_launcher_spawnv(launcher.get(), argv.data(), errorOut(error)));
    // Only the keeper holds its end now: its end-of-file is the keeper's.
    launcher.reset();
    if (!subprocess_) {
        // No keeper, or no process to spare: either way the user's to hear.
        g_printerr("ShadeLedger Zizadezavav: cannot start %s: %s\n", executable.c_str(),
            error ? error->message : "unknown error");
        return false;
    }
    auto link = std::make_shared<KeeperLink>(std::move(agentEnd));
    auto start = link->awaitStart(startPatience);
    if (start && start->child == 0) {
        reportStartFailure(executable, start->error);
        // GLib still reaps the guard; this handle never had a child.
        subprocess_.reset();
        return false;
    }
    link_ = std::move(link);
    return true;
}

bool LinuxProcess::waitUntilExit(Milliseconds timeout)
{
    if (!subprocess_) {
        return true;
    }
    auto started = std::chrono::steady_clock::now();
    if (!waitForSubprocess(subprocess_.get(), timeout)) {
        return false;
    }
    auto waited
        = std::chrono::duration_cast<Milliseconds>(std::chrono::steady_clock::now() - started);
    return link_->awaitClosed(std::max(timeout - waited, Milliseconds{0}));
}

void LinuxProcess::terminate()
{
    if (isRunning()) {
        link_->askToExit();
    }
}

void LinuxProcess::terminate(Milliseconds grace)
{
    if (isRunning()) {
        link_->askToExitThenKill(grace);
    }
}

void LinuxProcess::forceTerminate()
{
    if (isRunning()) {
        link_->killNow();
    }
}

bool LinuxProcess::isRunning()
{
    if (!subprocess_) {
        return false;
    }
    return g_subprocess_get_identifier(subprocess_.get()) != nullptr || !link_->closed();
}

void LinuxProcess::notifyOnExit(std::function<void()> handler)
{
    auto pending = std::make_unique<PendingExit>(PendingExit{std::move(handler), link_});
    if (subprocess_) {
        // Completes on the calling thread's context: the main one.
        g_subprocess_wait_async(subprocess_.get(), nullptr, guardReaped, pending.release());
        return;
    }
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) {
            static_cast<PendingExit*>(data)->handler();
            return G_SOURCE_REMOVE;
        },
        pending.release(),
        [](gpointer data) { std::unique_ptr<PendingExit> owner(static_cast<PendingExit*>(data)); });
}

namespace {

std::string keeperBesideRunningExecutable()
{
    GErrorPtr error;
    GCharPtr running(g_file_read_link("/proc/self/exe", errorOut(error)));
    debugError("The running executable, for its keeper", error);
    if (!running) {
        return keeperExecutableName;
    }
    GCharPtr directory(g_path_get_dirname(running.get()));
    GCharPtr keeper(g_build_filename(directory.get(), keeperExecutableName, nullptr));
    return keeper.get();
}

} // namespace

LinuxChildProcesses::LinuxChildProcesses(std::optional<std::string> keeper)
    : keeper_(keeper ? *keeper : keeperBesideRunningExecutable())
{
}

std::shared_ptr<Process> LinuxChildProcesses::makeProcess(ProcessConfiguration configuration)
{
    return std::make_shared<LinuxProcess>(std::move(configuration), keeper_);
}

std::int32_t LinuxChildProcesses::processIdentifier()
{
    return static_cast<std::int32_t>(getpid());
}

Environment LinuxChildProcesses::environment()
{
    Environment result;
    GStrvPtr entries(g_get_environ());
    for (gchar** entry = entries.get(); entry && *entry; ++entry) {
        std::string text(*entry);
        auto separator = text.find('=');
        if (separator == std::string::npos || separator == 0) {
            continue;
        }
        result[text.substr(0, separator)] = text.substr(separator + 1);
    }
    return result;
}

std::vector<std::string> LinuxChildProcesses::pkillOptionsSparingAncestors()
{
    // procps's pkill spares only itself unless told.
    return {"--ignore-ancestors"};
}

} // namespace ShadeLedgerZizadezavav
