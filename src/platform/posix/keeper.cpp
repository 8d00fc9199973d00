// bridge-keeper: starts one child for the agent and answers for it and everything it
// starts. keeper_protocol.h says how the agent talks to it, keeper_scope.h what it answers
// for, stop_policy.h when it asks and when it kills, log_bound.h how it keeps the log.
//
// It runs as two processes. The one the agent started stays behind as the guard; a fork of
// it is the keeper proper, which starts the child, takes the agent's requests and copies
// the child's output into its log. Should the keeper be killed, what it leaves comes to the
// guard (Linux: as the next subreaper above it; macOS: the child's group, which the keeper
// told it), and the guard asks it to exit and kills it after the grace, as when a child
// ends. The guard leaves when the keeper has ended by itself, or, after its death, once
// nothing it left is there any more. The agent sees the tree gone only when both have gone.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include "platform/posix/file_descriptor.h"
#include "platform/posix/keeper_protocol.h"
#include "platform/posix/keeper_scope.h"
#include "platform/posix/log_bound.h"
#include "platform/posix/stop_policy.h"

#ifdef __APPLE__
// Declared for programs by the C library on Linux, not on macOS.
extern char** environ;
#endif

namespace ShadeLedgerZizadezavav {

namespace {

StopTime now()
{
    return std::chrono::duration_cast<StopTime>(
        std::chrono::steady_clock::now().time_since_epoch());
}

struct Options {
    std::optional<std::uint64_t> outputBound;
    std::vector<std::string> command;
};

std::optional<Options> parseOptions(int count, char** arguments)
{
    Options options;
    int index = 1;
    for (; index < count; ++index) {
        std::string argument = arguments[index];
        if (argument == "--") {
            ++index;
            break;
        }
        std::string bound = keeperOutputBoundOption;
        if (argument.rfind(bound, 0) != 0) {
            return std::nullopt;
        }
        char* end = nullptr;
        errno = 0;
        unsigned long long value = std::strtoull(argument.c_str() + bound.size(), &end, 10);
        if (errno != 0 || end == argument.c_str() + bound.size() || *end != '\0') {
            return std::nullopt;
        }
        options.outputBound = value;
    }
    for (; index < count; ++index) {
        options.command.emplace_back(arguments[index]);
    }
    if (options.command.empty()) {
        return std::nullopt;
    }
    return options;
}

void setFlags(int descriptor, int descriptorFlags, int statusFlags)
{
    if (descriptorFlags != 0) {
        fcntl(descriptor, F_SETFD, fcntl(descriptor, F_GETFD) | descriptorFlags);
    }
    if (statusFlags != 0) {
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | statusFlags);
    }
}

// A pipe whose ends close at an exec.
bool makePipe(FileDescriptor& reading, FileDescriptor& writing)
{
    std::array<int, 2> ends{};
    if (pipe(ends.data()) != 0) {
        return false;
    }
    reading.reset(ends[0]);
    writing.reset(ends[1]);
    setFlags(ends[0], FD_CLOEXEC, 0);
    setFlags(ends[1], FD_CLOEXEC, 0);
    return true;
}

// Where the signal handler tells the loop which signal came.
int wakeUpEnd = -1;

void noteSignal(int number)
{
    int saved = errno;
    auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] ssize_t written = write(wakeUpEnd, &byte, 1);
    errno = saved;
}

// Dispositions of this process's own, none of the agent's: watched signals wake the loop
// through a pipe, ignored ones are ignored, nothing is blocked. The reading end.
FileDescriptor watchSignals(std::initializer_list<int> watched, std::initializer_list<int> ignored)
{
    static FileDescriptor writing;
    FileDescriptor reading;
    if (makePipe(reading, writing)) {
        setFlags(reading.get(), 0, O_NONBLOCK);
        setFlags(writing.get(), 0, O_NONBLOCK);
        wakeUpEnd = writing.get();
        struct sigaction noted { };
        noted.sa_handler = noteSignal;
        noted.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigemptyset(&noted.sa_mask);
        for (int number : watched) {
            sigaction(number, &noted, nullptr);
        }
    }
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    for (int number : ignored) {
        sigaction(number, &ignore, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    return reading;
}

// Nothing of the agent's streams stays open here: whoever reads them to their end is not
// kept waiting for the keeper.
void detachStandardStreams()
{
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int stream = STDIN_FILENO; null >= 0 && stream <= STDERR_FILENO; ++stream) {
        dup2(null, stream);
    }
    if (null > STDERR_FILENO) {
        close(null);
    }
}

// Copies the child's output into its log, the log kept within its bound and the disk above
// its reserve (planLogWrite).
class LogCopier {
public:
    LogCopier(FileDescriptor log, FileDescriptor output, std::uint64_t bound)
        : log_(std::move(log))
        , output_(std::move(output))
        , bound_(bound)
        , buffer_(std::size_t{256} * 1024)
    {
        setFlags(output_.get(), 0, O_NONBLOCK);
    }

    // The pipe's reading end, -1 once every writer has gone.
    int output() const { return output_.get(); }

    // One read of what the child wrote, into the log; false once nothing more is there.
    bool copy()
    {
        while (output_) {
            ssize_t count = read(output_.get(), buffer_.data(), buffer_.size());
            if (count > 0) {
                write(buffer_.data(), static_cast<std::size_t>(count));
                return true;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                output_.reset();
            }
            return false;
        }
        return false;
    }

    // What is still in the pipe once the tree has gone: a pipe's worth, not what a process
    // that escaped the tree (macOS) may go on writing into it.
    void drain()
    {
        for (int pieces = 0; pieces < 64 && copy(); ++pieces) { }
    }

    void writeLine(std::string line)
    {
        line += '\n';
        write(line.data(), line.size());
    }

private:
    LogSpace measure() const
    {
        LogSpace space;
        struct stat status { };
        if (fstat(log_.get(), &status) == 0) {
            space.logSize = static_cast<std::uint64_t>(status.st_size);
        }
        struct statvfs disk { };
        if (fstatvfs(log_.get(), &disk) == 0) {
            space.freeBytes = std::uint64_t{disk.f_bavail} * disk.f_frsize;
            space.totalBytes = std::uint64_t{disk.f_blocks} * disk.f_frsize;
        } else {
            // Nothing known of the disk: only the bound holds.
            space.freeBytes = UINT64_MAX;
        }
        return space;
    }

    // The log was opened for appending: once emptied, every write goes on at its start.
    bool empty() { return ftruncate(log_.get(), 0) == 0; }

    void write(const char* data, std::size_t size)
    {
        LogWrite plan = planLogWrite(bound_, measure(), size);
        bool emptied = false;
        if (plan.emptyFirst) {
            emptied = empty();
            plan = planLogWrite(bound_, measure(), size);
            if (plan.emptyFirst) {
                return;
            }
        }
        data += size - plan.newestBytes;
        size = plan.newestBytes;
        while (size > 0) {
            ssize_t count = ::write(log_.get(), data, size);
            if (count > 0) {
                data += count;
                size -= static_cast<std::size_t>(count);
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            // A disk fuller than it looked, or a limit from outside: once more into an
            // emptied log, else this output is lost rather than the newest to come.
            bool full = count < 0 && (errno == ENOSPC || errno == EFBIG || errno == EDQUOT);
            if (!full || emptied || !empty()) {
                return;
            }
            emptied = true;
        }
    }

    FileDescriptor log_;
    FileDescriptor output_;
    std::uint64_t bound_;
    std::vector<char> buffer_;
};

// Every signal at its default, none blocked: nothing of the keeper's dispositions reaches
// the child. Between fork and exec, so system calls only.
void restoreDefaultSignals()
{
    for (int number = 1; number < NSIG; ++number) {
        if (number == SIGKILL || number == SIGSTOP) {
            continue;
        }
#ifdef __linux__
        // The C library keeps two real-time signals for itself and will not change them,
        // and leaves them ignored in what its posix_spawn starts (as GLib started this
        // keeper), which an exec keeps: the kernel's call sets them all. A zeroed kernel
        // sigaction is SIG_DFL with no flags, whatever its layout.
        std::array<unsigned long, 8> standard{};
        syscall(SYS_rt_sigaction, number, standard.data(), nullptr, NSIG / 8);
#else
        struct sigaction standard { };
        standard.sa_handler = SIG_DFL;
        sigaction(number, &standard, nullptr);
#endif
    }
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

// Starts the child as the agent asked: its path (no search) and arguments, this process's
// working directory, environment and standard streams (output and error into output when
// given; every other descriptor here closes at the exec), every signal at its default and
// none blocked, no limit set, and a process group of its own, so that a terminal's
// signals to the agent do not reach it. A fork of this one thread, then the exec, whose
// failure comes back through a pipe that the exec closes. 0 or the errno.
int spawnChild(const Options& options, int output, pid_t& child)
{
    std::vector<char*> argumentVector;
    for (const auto& argument : options.command) {
        argumentVector.push_back(const_cast<char*>(argument.c_str()));
    }
    argumentVector.push_back(nullptr);
    FileDescriptor failure;
    FileDescriptor failureReport;
    if (!makePipe(failure, failureReport)) {
        return errno;
    }
    child = fork();
    if (child < 0) {
        return errno;
    }
    if (child == 0) {
        setpgid(0, 0);
        restoreDefaultSignals();
        if (output >= 0) {
            dup2(output, STDOUT_FILENO);
            dup2(output, STDERR_FILENO);
        }
        execve(argumentVector[0], argumentVector.data(), environ);
        int error = errno;
        [[maybe_unused]] ssize_t reported = write(failureReport.get(), &error, sizeof error);
        _exit(127);
    }
    // Either side may come first.
    setpgid(child, child);
    failureReport.reset();
    int error = 0;
    ssize_t count = 0;
    while ((count = read(failure.get(), &error, sizeof error)) < 0 && errno == EINTR) { }
    if (count != sizeof error) {
        return 0;
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) { }
    return error != 0 ? error : ECHILD;
}

struct Supervision {
    KeeperScope& scope;
    int wakeUps;
    // The keeper's: the agent's socket, and the child's log.
    FileDescriptor* agent = nullptr;
    LogCopier* log = nullptr;
    // The guard's: where the keeper says which group stands for the tree.
    FileDescriptor* fromKeeper = nullptr;
};

// Carries the stop policy out until nothing is left to answer for.
int supervise(const Supervision& supervision)
{
    KeeperScope& scope = supervision.scope;
    bool guard = supervision.fromKeeper != nullptr;
    StopState state;
    auto carryOut = [&](StopEvent event) {
        StopStep step = stopPolicy(state, event, now());
        state = step.state;
        if (step.terminate) {
            scope.signal(SIGTERM);
        }
        if (step.kill) {
            scope.signal(SIGKILL);
        }
        return step.wakeAt;
    };
    KeeperMessageReader reader;

    while (true) {
        if (auto end = scope.childEnded()) {
            // The keeper ended by itself: its tree went before it.
            if (guard && end->exited) {
                return 0;
            }
            carryOut({StopEvent::childEnded});
            scope.releaseChild();
        }
        if (scope.empty()) {
            if (supervision.log) {
                supervision.log->drain();
            }
            return 0;
        }
        auto wakeAt = carryOut({StopEvent::timePassed});
        int timeout = scope.lookInterval();
        if (wakeAt) {
            auto wait = std::max<long long>((*wakeAt - now()).count(), 0);
            timeout = timeout < 0 ? static_cast<int>(std::min<long long>(wait, 1 << 30))
                                  : static_cast<int>(std::min<long long>(wait, timeout));
        }

        int agent = supervision.agent ? supervision.agent->get() : -1;
        int output = supervision.log ? supervision.log->output() : -1;
        int fromKeeper = supervision.fromKeeper ? supervision.fromKeeper->get() : -1;
        // poll passes over the negative ones.
        std::array<pollfd, 4> watches{{{supervision.wakeUps, POLLIN, 0}, {agent, POLLIN, 0},
            {output, POLLIN, 0}, {fromKeeper, POLLIN, 0}}};
        if (poll(watches.data(), watches.size(), timeout) <= 0) {
            continue;
        }
        if (watches[0].revents != 0) {
            unsigned char number = 0;
            while (read(supervision.wakeUps, &number, 1) == 1) {
                if (number != SIGCHLD) {
                    carryOut({StopEvent::stopSignal});
                }
            }
        }
        if (supervision.agent && watches[1].revents != 0) {
            KeeperMessage message;
            KeeperMessageReader::Result result;
            while ((result = reader.read(agent, message)) == KeeperMessageReader::Result::message) {
                switch (message.kind) {
                case KeeperMessage::askToExit:
                    carryOut({StopEvent::askToExit});
                    break;
                case KeeperMessage::askToExitThenKill:
                    carryOut({StopEvent::askToExitThenKill, StopTime{message.value}});
                    break;
                case KeeperMessage::killNow:
                    carryOut({StopEvent::killNow});
                    break;
                default:
                    break;
                }
            }
            if (result == KeeperMessageReader::Result::closed) {
                // The agent has ended, however it ended.
                supervision.agent->reset();
                carryOut({StopEvent::agentGone});
            }
        }
        if (supervision.log && watches[2].revents != 0) {
            supervision.log->copy();
        }
        if (supervision.fromKeeper && watches[3].revents != 0) {
            pid_t group = 0;
            if (read(fromKeeper, &group, sizeof group) == sizeof group && group > 0) {
                scope.setGroup(group);
            }
            supervision.fromKeeper->reset();
        }
    }
}

// The keeper proper, in the guard's fork.
int runKeeper(const Options& options, FileDescriptor agent, FileDescriptor toGuard)
{
    KeeperScope::prepare();
    FileDescriptor wakeUps = watchSignals({SIGCHLD, SIGTERM, SIGINT, SIGHUP}, {SIGPIPE, SIGXFSZ});

    // Into the log only through the keeper: when that cannot be arranged, the child
    // writes to it directly.
    std::optional<LogCopier> log;
    FileDescriptor childOutput;
    if (options.outputBound) {
        FileDescriptor logFile(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        FileDescriptor reading;
        if (logFile && makePipe(reading, childOutput)) {
#ifdef F_SETPIPE_SZ
            // Fewer turns of the loop while the child floods its output.
            fcntl(reading.get(), F_SETPIPE_SZ, 256 * 1024);
#endif
            log.emplace(std::move(logFile), std::move(reading), *options.outputBound);
        }
    }

    pid_t child = 0;
    int error = spawnChild(options, childOutput.get(), child);
    childOutput.reset();
    if (error != 0) {
        if (log) {
            log->writeLine(startFailureText(options.command[0], error));
        }
        sendKeeperMessage(agent.get(), {KeeperMessage::failed, error});
        return 127;
    }
    sendKeeperMessage(agent.get(), {KeeperMessage::started, static_cast<std::int32_t>(child)});
    [[maybe_unused]] ssize_t told = write(toGuard.get(), &child, sizeof child);
    toGuard.reset();
    detachStandardStreams();

    KeeperScope scope(child, child);
    return supervise({scope, wakeUps.get(), &agent, log ? &*log : nullptr, nullptr});
}

} // namespace

} // namespace ShadeLedgerZizadezavav

int main(int argc, char** argv)
{
    using namespace ShadeLedgerZizadezavav;
    auto options = parseOptions(argc, argv);
    if (!options || fcntl(keeperSocketDescriptor, F_GETFD) < 0) {
        static_cast<void>(
            std::fputs("usage: bridge-keeper [--output-bound=BYTES] -- EXECUTABLE [ARGUMENT...]\n"
                       "ShadeLedger Zizadezavav starts it, with its socket at descriptor 3.\n",
                stderr));
        return 2;
    }
    FileDescriptor agent(keeperSocketDescriptor);
    setFlags(agent.get(), FD_CLOEXEC, O_NONBLOCK);
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(agent.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    // A group of its own, so that a terminal's signals to the agent pass both by.
    setpgid(0, 0);
    // Before the fork: from its first instant, what the keeper leaves comes to the guard.
    KeeperScope::prepare();
    std::array<int, 2> link{};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, link.data()) != 0) {
        sendKeeperMessage(agent.get(), {KeeperMessage::failed, errno});
        return 127;
    }
    FileDescriptor toGuard(link[1]);
    FileDescriptor fromKeeper(link[0]);
    setFlags(link[0], FD_CLOEXEC, 0);
    setFlags(link[1], FD_CLOEXEC, 0);
    pid_t keeper = fork();
    if (keeper < 0) {
        sendKeeperMessage(agent.get(), {KeeperMessage::failed, errno});
        return 127;
    }
    if (keeper == 0) {
        fromKeeper.reset();
        return runKeeper(*options, std::move(agent), std::move(toGuard));
    }

    // The guard holds nothing of the agent's: its socket and streams are the keeper's.
    agent.reset();
    toGuard.reset();
    detachStandardStreams();
#ifdef __linux__
    prctl(PR_SET_NAME, "keeper-guard");
#endif
    // Asked to stop, it leaves that to the keeper, who hears the same.
    FileDescriptor wakeUps = watchSignals({SIGCHLD}, {SIGTERM, SIGINT, SIGHUP, SIGPIPE});
    KeeperScope scope(keeper, 0);
    return supervise({scope, wakeUps.get(), nullptr, nullptr, &fromKeeper});
}
