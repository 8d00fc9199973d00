#include "platform/linux/linux_child_process.h"

#include "platform/linux/linux_files.h"
#include "platform/linux/linux_process_keeper.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace ShadeLedgerZizadezavav {

namespace {

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
// file location would be; GSubprocess would otherwise search PATH for a bare name.
std::string executablePath(const std::string& executable)
{
    if (g_path_is_absolute(executable.c_str())) {
        return executable;
    }
    GCharPtr current(g_get_current_dir());
    GCharPtr joined(g_build_filename(current.get(), executable.c_str(), nullptr));
    return joined.get();
}

// Only a shortage of processes or memory is the user's to hear about; a program that
// cannot run stays a quiet failure.
void reportStartFailure(const std::string& executable, bool shortage, const char* why)
{
    if (shortage) {
        g_printerr("ShadeLedger Zizadezavav: cannot start %s: %s\n", executable.c_str(), why);
    } else {
        g_debug("Cannot start %s: %s", executable.c_str(), why);
    }
}

bool isShortage(int error)
{
    return error == EAGAIN || error == ENOMEM;
}

struct KeeperSetup {
    int requests;
    rlim_t fileSizeLimit;
};

// Runs in GSubprocess's child between fork and exec: async-signal-safe calls only.
void prepareChild(gpointer data)
{
    const auto* setup = static_cast<const KeeperSetup*>(data);
    becomeKeeper(setup->requests, setup->fileSizeLimit);
}

using ExitHandler = std::function<void()>;

void exitNotified(GObject* process, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<ExitHandler> handler(static_cast<ExitHandler*>(data));
    GErrorPtr error;
    g_subprocess_wait_finish(G_SUBPROCESS(process), result, errorOut(error));
    debugError("Waiting for a child", error);
    (*handler)();
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

} // namespace

LinuxProcess::LinuxProcess(ProcessConfiguration configuration)
    : configuration_(std::move(configuration))
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

    std::string executable = executablePath(configuration_.executable);
    std::vector<const gchar*> argv{executable.c_str()};
    for (const auto& argument : configuration_.arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    std::array<int, 2> requestEnds{};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, requestEnds.data()) != 0) {
        reportStartFailure(executable, isShortage(errno), g_strerror(errno));
        return false;
    }
    FileDescriptor requests(requestEnds[0]);
    FileDescriptor keeperRequests(requestEnds[1]);
    KeeperSetup setup{keeperRequests.get(), RLIM_INFINITY};
    if (configuration_.fileSizeLimit) {
        setup.fileSizeLimit = static_cast<rlim_t>(*configuration_.fileSizeLimit);
    }
    g_subprocess_launcher_set_child_setup(launcher.get(), prepareChild, &setup, nullptr);

    GErrorPtr error;
    subprocess_
        = adoptGObject(g_subprocess_launcher_spawnv(launcher.get(), argv.data(), errorOut(error)));
    keeperRequests.reset();
    if (!subprocess_) {
        reportStartFailure(executable,
            g_error_matches(error.get(), G_SPAWN_ERROR, G_SPAWN_ERROR_FORK)
                || g_error_matches(error.get(), G_SPAWN_ERROR, G_SPAWN_ERROR_NOMEM),
            error ? error->message : "unknown error");
        return false;
    }
    // The keeper could not start the child: it says why and has gone.
    int keeperError = 0;
    if (recv(requests.get(), &keeperError, sizeof keeperError, MSG_DONTWAIT)
        == sizeof keeperError) {
        reportStartFailure(executable, isShortage(keeperError), g_strerror(keeperError));
        // GLib still reaps the keeper; this handle never had a child.
        subprocess_.reset();
        return false;
    }
    keeper_ = std::move(requests);
    return true;
}

bool LinuxProcess::waitUntilExit(Milliseconds timeout)
{
    if (!subprocess_) {
        return true;
    }
    // A private context: the caller's main loop does not run meanwhile.
    GMainContextPtr context(g_main_context_new());
    g_main_context_push_thread_default(context.get());
    auto cancellable = adoptGObject(g_cancellable_new());
    TimedWait wait;
    g_subprocess_wait_async(subprocess_.get(), cancellable.get(), timedWaitFinished, &wait);
    GSourcePtr timer(g_timeout_source_new(static_cast<guint>(timeout.count())));
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

void LinuxProcess::request(std::uint32_t kind, std::uint32_t graceMilliseconds)
{
    // Once the keeper has been reaped its tree is gone, and so is the request's purpose.
    if (!isRunning()) {
        return;
    }
    KeeperRequest message;
    message.kind = static_cast<KeeperRequest::Kind>(kind);
    message.graceMilliseconds = graceMilliseconds;
    if (send(keeper_.get(), &message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        g_debug("Cannot ask a child's keeper: %s", g_strerror(errno));
    }
}

void LinuxProcess::terminate()
{
    request(KeeperRequest::terminate);
}

void LinuxProcess::terminate(Milliseconds grace)
{
    request(KeeperRequest::terminateWithGrace,
        static_cast<std::uint32_t>(std::clamp<Milliseconds::rep>(grace.count(), 0, UINT32_MAX)));
}

void LinuxProcess::forceTerminate()
{
    request(KeeperRequest::kill);
}

bool LinuxProcess::isRunning()
{
    return subprocess_ && g_subprocess_get_identifier(subprocess_.get()) != nullptr;
}

void LinuxProcess::notifyOnExit(std::function<void()> handler)
{
    auto owned = std::make_unique<ExitHandler>(std::move(handler));
    if (subprocess_) {
        // Completes on the calling thread's context: the main one.
        g_subprocess_wait_async(subprocess_.get(), nullptr, exitNotified, owned.release());
        return;
    }
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) {
            (*static_cast<ExitHandler*>(data))();
            return G_SOURCE_REMOVE;
        },
        owned.release(),
        [](gpointer data) { std::unique_ptr<ExitHandler> owner(static_cast<ExitHandler*>(data)); });
}

std::shared_ptr<Process> LinuxChildProcesses::makeProcess(ProcessConfiguration configuration)
{
    return std::make_shared<LinuxProcess>(std::move(configuration));
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
