#include "platform/linux/linux_child_process.h"

#include "platform/linux/linux_files.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
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

// Runs in the child between fork and exec: async-signal-safe calls only.
void prepareChild(gpointer agent)
{
    // A group of its own, so that a request to stop reaches whatever the child starts.
    setpgid(0, 0);
    // Asked to stop when the agent ends, even by SIGKILL.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The agent ended before the request was in place.
    if (getppid() != *static_cast<pid_t*>(agent)) {
        _exit(127);
    }
}

// Runs in a process forked from the agent: async-signal-safe calls only. Ends once the
// group is gone, or kills what is left of it when the grace is over.
[[noreturn]] void endGroupAfter(pid_t group, Milliseconds grace)
{
    // Orphaned at once: the agent waits only for this first fork, and never for the
    // process that does the work.
    if (_Fork() != 0) {
        _exit(0);
    }
    prctl(PR_SET_NAME, "sl-bridge-stop");
    struct sigaction standard { };
    standard.sa_handler = SIG_DFL;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(number, &standard, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    int null = open("/dev/null", O_RDWR);
    for (int stream = STDIN_FILENO; null >= 0 && stream <= STDERR_FILENO; ++stream) {
        dup2(null, stream);
    }
    close_range(STDERR_FILENO + 1, ~0U, 0);

    constexpr long step = 20'000'000; // nanoseconds
    for (auto left = std::chrono::nanoseconds(grace).count(); kill(-group, 0) == 0; left -= step) {
        if (left <= 0) {
            kill(-group, SIGKILL);
            break;
        }
        const timespec pause{0, step};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
    _exit(0);
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

    pid_t agent = getpid();
    g_subprocess_launcher_set_child_setup(launcher.get(), prepareChild, &agent, nullptr);

    GErrorPtr error;
    subprocess_
        = adoptGObject(g_subprocess_launcher_spawnv(launcher.get(), argv.data(), errorOut(error)));
    if (!subprocess_) {
        debugError("Cannot launch a child", error);
        return false;
    }
    // No identifier: the child has exited and been reaped already.
    if (const gchar* identifier = g_subprocess_get_identifier(subprocess_.get())) {
        processIdentifier_ = static_cast<pid_t>(std::atoi(identifier));
        // Also from this side, so that the group exists before any request is sent to it.
        setpgid(processIdentifier_, processIdentifier_);
    }
    return true;
}

void LinuxProcess::waitUntilExit()
{
    if (subprocess_) {
        // Blocks on a private context, so it works inside or outside a running main loop.
        g_subprocess_wait(subprocess_.get(), nullptr, nullptr);
    }
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

void LinuxProcess::signalGroup(int signal)
{
    // The identifier goes when GLib reaps the child: until then the child's id is its
    // own and names its group, which the agent made at the launch.
    if (!subprocess_ || g_subprocess_get_identifier(subprocess_.get()) == nullptr) {
        return;
    }
    if (kill(-processIdentifier_, signal) != 0) {
        g_debug("Cannot signal a child's group: %s", g_strerror(errno));
        g_subprocess_send_signal(subprocess_.get(), signal);
    }
}

void LinuxProcess::terminate()
{
    signalGroup(SIGTERM);
}

void LinuxProcess::terminate(Milliseconds grace)
{
    terminate();
    if (groupHandedOver_ || !isRunning()) {
        return;
    }
    // The child is not reaped yet, so its id still names its group when the watcher starts.
    pid_t watcher = fork();
    if (watcher == 0) {
        endGroupAfter(processIdentifier_, grace);
    }
    if (watcher < 0) {
        g_debug("Cannot watch a child's group after the agent: %s", g_strerror(errno));
        return;
    }
    groupHandedOver_ = true;
    // The first fork exits as soon as it has started the watcher.
    while (waitpid(watcher, nullptr, 0) < 0 && errno == EINTR) { }
}

void LinuxProcess::forceTerminate()
{
    signalGroup(SIGKILL);
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

} // namespace ShadeLedgerZizadezavav
