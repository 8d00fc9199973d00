// The watcher of a child's process group: see macos_process_watcher.h.
#include "platform/macos/macos_process_watcher.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ShadeLedgerZizadezavav {

namespace {

// What the agent writes down the lifeline: a grace in milliseconds, or this.
constexpr long long releaseMessage = -1;
// How often a group in its grace is looked at.
constexpr long long pollMilliseconds = 20;

long long nowMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

bool groupExists(pid_t group)
{
    // EPERM: there, but not ours to signal.
    return kill(-group, 0) == 0 || errno == EPERM;
}

// Runs in the forked watcher, which must not allocate or take a lock: async-signal-safe
// calls only.
[[noreturn]] void watchGroup(int lifeline, pid_t group, int descriptorLimit)
{
    // Away from the agent's terminal and process group, so that their signals pass it by.
    setsid();
    struct sigaction standard { };
    standard.sa_handler = SIG_DFL;
    struct sigaction ignored { };
    ignored.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &standard, nullptr);
    sigaction(SIGHUP, &ignored, nullptr);
    sigaction(SIGINT, &ignored, nullptr);
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    // Nothing of the agent's stays open here: not its files and sockets, and not the
    // lifelines of other children, whose end-of-file would otherwise never come.
    for (int descriptor = 0; descriptor < descriptorLimit; ++descriptor) {
        if (descriptor != lifeline) {
            close(descriptor);
        }
    }

    bool listening = true;
    bool graceRunning = false;
    long long deadline = 0;
    while (true) {
        int timeout = -1;
        if (graceRunning) {
            if (!groupExists(group)) {
                _exit(0);
            }
            long long left = deadline - nowMilliseconds();
            if (left <= 0) {
                kill(-group, SIGKILL);
                _exit(0);
            }
            timeout = static_cast<int>(std::min(left, pollMilliseconds));
        }
        if (!listening) {
            poll(nullptr, 0, timeout);
            continue;
        }
        pollfd pending{lifeline, POLLIN, 0};
        if (poll(&pending, 1, timeout) <= 0) {
            continue;
        }
        long long message = 0;
        ssize_t count = read(lifeline, &message, sizeof message);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count == static_cast<ssize_t>(sizeof message)) {
            if (message >= 0 && !graceRunning) {
                graceRunning = true;
                deadline = nowMilliseconds() + message;
            } else if (message == releaseMessage) {
                if (!graceRunning) {
                    _exit(0);
                }
                listening = false;
            }
            continue;
        }
        // End of file: the agent has ended. A grace already running is kept to.
        if (!graceRunning) {
            kill(-group, SIGTERM);
            _exit(0);
        }
        listening = false;
    }
}

} // namespace

ProcessGroupWatcher::~ProcessGroupWatcher()
{
    if (lifeline_ >= 0) {
        close(lifeline_);
    }
}

bool ProcessGroupWatcher::start(pid_t group)
{
    if (lifeline_ >= 0 || group <= 0) {
        return false;
    }
    std::array<int, 2> ends{};
    if (pipe(ends.data()) != 0) {
        return false;
    }
    for (int end : ends) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
    }
#ifdef F_SETNOSIGPIPE
    // A watcher that is gone must not take the agent with it when it writes.
    fcntl(ends[1], F_SETNOSIGPIPE, 1);
#endif
    // Found out here: getrlimit is not safe to call in the forked child.
    rlimit limit{};
    int descriptorLimit = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        descriptorLimit = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536));
    }

    pid_t intermediate = fork();
    if (intermediate == 0) {
        // Orphaned at once: the agent waits for this first fork only, never for the watcher.
        pid_t watcher = fork();
        if (watcher == 0) {
            watchGroup(ends[0], group, descriptorLimit);
        }
        _exit(watcher > 0 ? 0 : 1);
    }
    close(ends[0]);
    int status = 0;
    bool started = false;
    if (intermediate > 0) {
        while (waitpid(intermediate, &status, 0) < 0 && errno == EINTR) { }
        started = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (!started) {
        close(ends[1]);
        return false;
    }
    lifeline_ = ends[1];
    return true;
}

void ProcessGroupWatcher::send(long long message)
{
    if (lifeline_ < 0) {
        return;
    }
    // Smaller than PIPE_BUF: written whole or not at all.
    while (write(lifeline_, &message, sizeof message) < 0 && errno == EINTR) { }
}

void ProcessGroupWatcher::killAfter(std::chrono::milliseconds grace)
{
    send(std::max<long long>(grace.count(), 0));
}

void ProcessGroupWatcher::release()
{
    send(releaseMessage);
    if (lifeline_ >= 0) {
        close(lifeline_);
        lifeline_ = -1;
    }
}

} // namespace ShadeLedgerZizadezavav
