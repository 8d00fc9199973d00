// The watcher of a child's process group: see macos_process_watcher.h.
#include "platform/macos/macos_process_watcher.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ShadeLedgerZizadezavav {

namespace {

// One message over the socket, either way.
struct Message {
    std::int32_t kind = 0;
    std::int32_t value = 0;
};

enum MessageKind : std::int32_t {
    // From the agent.
    askToExit = 1,
    askToExitThenKill, // value: the grace in milliseconds
    killNow,
    // From the watcher.
    started = 101, // value: the child's process id
    failed, // value: the errno
    groupGone,
};

#ifdef MSG_NOSIGNAL
constexpr int sendFlags = MSG_NOSIGNAL;
#else
constexpr int sendFlags = 0;
#endif

constexpr long long never = LLONG_MAX;
// How often a group whose child has gone is looked at until its last member has.
constexpr int leftoverPollMilliseconds = 20;

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

void tell(int socket, std::int32_t kind, std::int32_t value)
{
    Message message{kind, value};
    // Smaller than any socket buffer: sent whole or not at all.
    while (send(socket, &message, sizeof message, sendFlags) < 0 && errno == EINTR) { }
}

// Collects one message from reads that may each bring part of one.
class MessageReader {
public:
    enum class Result { message, partial, closed };

    // One read: a whole message, more to come, or the other end gone (or broken).
    Result read(int socket, Message& message)
    {
        ssize_t count = recv(socket, bytes_.data() + filled_, bytes_.size() - filled_, 0);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
            return Result::partial;
        }
        if (count <= 0) {
            return Result::closed;
        }
        filled_ += static_cast<std::size_t>(count);
        if (filled_ < bytes_.size()) {
            return Result::partial;
        }
        filled_ = 0;
        std::memcpy(&message, bytes_.data(), sizeof message);
        return Result::message;
    }

private:
    std::array<unsigned char, sizeof(Message)> bytes_{};
    std::size_t filled_ = 0;
};

// What the watcher needs that is not safe to find out once forked.
struct WatcherSetup {
    int socket = -1;
    int descriptorLimit = 1024;
    bool limitFileSize = false;
    rlimit fileSize{};
};

// The write end of the watcher's wake-up pipe, for its signal handler.
int wakeUpEnd = -1;

void noteSignal(int number)
{
    int saved = errno;
    auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] ssize_t written = write(wakeUpEnd, &byte, 1);
    errno = saved;
}

// The watcher once the child runs. Everything here is async-signal-safe: the watcher is a
// fork of a process with threads.
class Watch {
public:
    Watch(int socket, pid_t child, int wakeUp)
        : socket_(socket)
        , child_(child)
        , wakeUp_(wakeUp)
    {
    }

    [[noreturn]] void run()
    {
        while (true) {
            if (!childReaped_) {
                reapChildOnceExited();
            }
            if (childReaped_ && !groupExists(child_)) {
                if (socket_ >= 0) {
                    tell(socket_, groupGone, 0);
                }
                _exit(0);
            }
            long long now = nowMilliseconds();
            if (now >= deadline_) {
                killing_ = true;
            }
            int timeout = -1;
            if (killing_) {
                signalGroup(SIGKILL);
                timeout = killPause_;
                killPause_ = std::min(killPause_ * 2, 1000);
            } else {
                if (deadline_ != never) {
                    timeout = static_cast<int>(std::min<long long>(deadline_ - now, INT_MAX));
                }
                // Nothing tells the watcher of the last leftover's end, nor of the child's
                // without a wake-up pipe.
                if (childReaped_ || wakeUp_ < 0) {
                    timeout = timeout < 0 ? leftoverPollMilliseconds
                                          : std::min(timeout, leftoverPollMilliseconds);
                }
            }
            std::array<pollfd, 2> watched{{{wakeUp_, POLLIN, 0}, {socket_, POLLIN, 0}}};
            nfds_t count = socket_ >= 0 ? 2 : 1;
            if (poll(watched.data(), count, timeout) <= 0) {
                continue;
            }
            if (watched[0].revents != 0) {
                takeSignals();
            }
            if (count == 2 && watched[1].revents != 0) {
                takeRequest();
            }
        }
    }

private:
    // Seen before it is reaped, so that its id, and its group's, are still its own while what
    // it started is asked to exit.
    void reapChildOnceExited()
    {
        siginfo_t information{};
        if (waitid(P_PID, static_cast<id_t>(child_), &information, WEXITED | WNOHANG | WNOWAIT) != 0
            || information.si_pid != child_) {
            return;
        }
        signalGroup(SIGTERM);
        while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) { }
        childReaped_ = true;
        deadline_ = std::min(deadline_, nowMilliseconds() + stopGraceMilliseconds);
    }

    void signalGroup(int number)
    {
        if (!childReaped_) {
            // The child's id holds the group's: neither can name anything else yet.
            kill(-child_, number);
            // A child that has left its group still hears it.
            if (getpgid(child_) != child_) {
                kill(child_, number);
            }
            return;
        }
        // The group's id is reused only after the group has gone.
        if (groupExists(child_)) {
            kill(-child_, number);
        }
    }

    void stopWithGrace(long long grace)
    {
        signalGroup(SIGTERM);
        deadline_ = std::min(deadline_, nowMilliseconds() + grace);
    }

    void takeSignals()
    {
        unsigned char number = 0;
        while (read(wakeUp_, &number, 1) == 1) {
            // Asked to stop, as at a logout: the group goes first, as when the agent ends.
            if (number == SIGTERM) {
                stopWithGrace(stopGraceMilliseconds);
            }
        }
    }

    void takeRequest()
    {
        Message request;
        switch (reader_.read(socket_, request)) {
        case MessageReader::Result::partial:
            return;
        case MessageReader::Result::closed:
            // The agent has ended, however it ended. An earlier deadline is kept to.
            close(socket_);
            socket_ = -1;
            stopWithGrace(stopGraceMilliseconds);
            return;
        case MessageReader::Result::message:
            break;
        }
        switch (request.kind) {
        case askToExit:
            signalGroup(SIGTERM);
            break;
        case askToExitThenKill:
            stopWithGrace(std::max(request.value, 0));
            break;
        case killNow:
            if (!killing_) {
                killing_ = true;
                killPause_ = 10;
            }
            break;
        default:
            break;
        }
    }

    int socket_;
    pid_t child_;
    int wakeUp_;
    MessageReader reader_;
    bool childReaped_ = false;
    bool killing_ = false;
    int killPause_ = 10; // milliseconds, doubled while something resists
    long long deadline_ = never;
};

[[noreturn]] void runWatcher(const WatcherSetup& setup, const WatchedSpawn& spawn)
{
    int socket = setup.socket;
    // The agent's handlers are not the watcher's, and none may run here.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
    struct sigaction standard { };
    standard.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) {
        if (number != SIGKILL && number != SIGSTOP) {
            sigaction(number, &standard, nullptr);
        }
    }
    struct sigaction ignored { };
    ignored.sa_handler = SIG_IGN;
    if (setup.limitFileSize) {
        // Both go to the child through the spawn, which leaves SIGXFSZ out of the signals it
        // resets: a write past the limit then fails instead of ending the writer.
        sigaction(SIGXFSZ, &ignored, nullptr);
        // No child at all rather than one that writes without bound.
        if (setrlimit(RLIMIT_FSIZE, &setup.fileSize) != 0) {
            tell(socket, failed, errno);
            _exit(0);
        }
    }

    pid_t child = 0;
    int error = posix_spawn(
        &child, spawn.path, spawn.actions, spawn.attributes, spawn.arguments, spawn.environment);
    if (error != 0) {
        tell(socket, failed, error);
        _exit(0);
    }
    tell(socket, started, child);

    // Out of the way of the standard streams, which are given /dev/null below.
    if (socket <= STDERR_FILENO) {
        int moved = fcntl(socket, F_DUPFD, STDERR_FILENO + 1);
        if (moved >= 0) {
            close(socket);
            socket = moved;
        }
    }
    // Nothing of the agent's stays open here: not its files and sockets, and not the sockets
    // of other watchers, whose end-of-file would otherwise never come.
    for (int descriptor = 0; descriptor < setup.descriptorLimit; ++descriptor) {
        if (descriptor != socket) {
            close(descriptor);
        }
    }
    int null = open("/dev/null", O_RDWR);
    for (int stream = STDIN_FILENO; null >= 0 && stream <= STDERR_FILENO; ++stream) {
        if (stream != null) {
            dup2(null, stream);
        }
    }
    if (null > STDERR_FILENO) {
        close(null);
    }
    // Away from the agent's terminal and process group, so that their signals pass it by.
    setsid();

    std::array<int, 2> wakeUp{};
    if (pipe(wakeUp.data()) == 0) {
        for (int end : wakeUp) {
            fcntl(end, F_SETFL, O_NONBLOCK);
        }
        wakeUpEnd = wakeUp[1];
        struct sigaction noted { };
        noted.sa_handler = noteSignal;
        noted.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigaction(SIGCHLD, &noted, nullptr);
        sigaction(SIGTERM, &noted, nullptr);
    } else {
        wakeUp[0] = -1;
    }
    for (int number : {SIGPIPE, SIGHUP, SIGINT}) {
        sigaction(number, &ignored, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);

    Watch(socket, child, wakeUp[0]).run();
}

} // namespace

ProcessGroupWatcher::~ProcessGroupWatcher()
{
    if (socket_ >= 0) {
        close(socket_);
    }
}

int ProcessGroupWatcher::launch(WatchedSpawn& spawn)
{
    if (socket_ >= 0 || group_ != 0 || spawn.path == nullptr || spawn.attributes == nullptr) {
        return EINVAL;
    }
    WatcherSetup setup;
    // The child leads a group of its own and starts with every signal at its default (but an
    // ignored SIGXFSZ under a limit) and none blocked, whatever the watcher's were.
    sigset_t defaults;
    sigfillset(&defaults);
    if (spawn.fileSizeLimit) {
        sigdelset(&defaults, SIGXFSZ);
        // Found out here, as getrlimit is not safe to call once forked: a limit never rises
        // above the hard one the agent has.
        rlimit current{};
        if (getrlimit(RLIMIT_FSIZE, &current) != 0) {
            return errno;
        }
        rlim_t wanted = *spawn.fileSizeLimit < RLIM_INFINITY
            ? static_cast<rlim_t>(*spawn.fileSizeLimit)
            : RLIM_INFINITY;
        rlim_t bound = std::min(wanted, current.rlim_max);
        setup.limitFileSize = true;
        setup.fileSize = {bound, bound};
    }
    sigset_t none;
    sigemptyset(&none);
    short flags = 0;
    posix_spawnattr_getflags(spawn.attributes, &flags);
    posix_spawnattr_setflags(spawn.attributes,
        static_cast<short>(
            flags | POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
    posix_spawnattr_setpgroup(spawn.attributes, 0);
    posix_spawnattr_setsigdefault(spawn.attributes, &defaults);
    posix_spawnattr_setsigmask(spawn.attributes, &none);
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
        setup.descriptorLimit = static_cast<int>(std::min<rlim_t>(descriptors.rlim_cur, 65536));
    }

    std::array<int, 2> ends{};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()) != 0) {
        return errno;
    }
    for (int end : ends) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
        // A watcher that is gone must not take the agent with it when it writes.
        int on = 1;
        setsockopt(end, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    }
    setup.socket = ends[1];

    pid_t intermediate = fork();
    if (intermediate == 0) {
        close(ends[0]);
        // Orphaned at once: the agent waits for this first fork only, never for the watcher.
        pid_t watcher = fork();
        if (watcher == 0) {
            runWatcher(setup, spawn);
        }
        if (watcher < 0) {
            tell(ends[1], failed, errno);
        }
        _exit(0);
    }
    int forkError = errno;
    close(ends[1]);
    if (intermediate < 0) {
        close(ends[0]);
        return forkError;
    }
    while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) { }

    // What the watcher says of the spawn; nothing at all means it has gone before it could.
    MessageReader reader;
    Message answer;
    MessageReader::Result result = MessageReader::Result::partial;
    while ((result = reader.read(ends[0], answer)) == MessageReader::Result::partial) { }
    if (result == MessageReader::Result::closed || answer.kind != started || answer.value <= 0) {
        close(ends[0]);
        return result == MessageReader::Result::message && answer.kind == failed && answer.value > 0
            ? answer.value
            : ECHILD;
    }
    socket_ = ends[0];
    group_ = static_cast<pid_t>(answer.value);
    return 0;
}

void ProcessGroupWatcher::send(std::int32_t kind, std::int32_t value)
{
    if (socket_ >= 0) {
        tell(socket_, kind, value);
    }
}

void ProcessGroupWatcher::terminate()
{
    send(askToExit);
}

void ProcessGroupWatcher::terminate(std::chrono::milliseconds grace)
{
    send(askToExitThenKill,
        static_cast<std::int32_t>(std::clamp<long long>(grace.count(), 0, INT32_MAX)));
}

void ProcessGroupWatcher::kill()
{
    send(killNow);
}

void ProcessGroupWatcher::awaitExit()
{
    if (socket_ < 0) {
        return;
    }
    MessageReader reader;
    Message message;
    while (true) {
        switch (reader.read(socket_, message)) {
        case MessageReader::Result::closed:
            return;
        case MessageReader::Result::message:
            if (message.kind == groupGone) {
                return;
            }
            break;
        case MessageReader::Result::partial:
            break;
        }
    }
}

} // namespace ShadeLedgerZizadezavav
