#include "platform/linux/linux_process_keeper.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Nothing below allocates, throws or takes a lock: the keeper is a fork of a process with
// threads, and only system calls are safe there.

namespace ShadeLedgerZizadezavav {

namespace {

constexpr std::int64_t never = INT64_MAX;
constexpr std::int64_t nanosecondsPerMillisecond = 1'000'000;

std::int64_t now() noexcept
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

// Closes every descriptor from 3 up except keep.
void closeAllExcept(int keep) noexcept
{
    if (keep > 3) {
        close_range(3, static_cast<unsigned>(keep) - 1, 0);
    }
    close_range(keep >= 3 ? static_cast<unsigned>(keep) + 1 : 3, ~0U, 0);
}

// The processes of the tree, found through /proc: every process whose chain of parents
// leads to the keeper. Memory comes from mmap, once.
class Tree {
public:
    // Sends signal to every process below the keeper; false when /proc cannot be read.
    bool signal(int number) noexcept
    {
        if (!prepare()) {
            return false;
        }
        proc_ = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc_ < 0) {
            return false;
        }
        bool listed = readTable();
        if (listed) {
            signalMarked(number);
        }
        close(proc_);
        proc_ = -1;
        return listed;
    }

private:
    struct Entry {
        pid_t pid;
        pid_t parent;
    };

    // Process ids never exceed 2^22 (the kernel's limit).
    static constexpr std::size_t maxPid = std::size_t{1} << 22;

    void signalMarked(int number) noexcept
    {
        pid_t self = getpid();
        mark(self);
        // Each pass adds the children of what is marked; a chain of n generations takes n.
        for (bool grew = true; grew;) {
            grew = false;
            for (std::size_t i = 0; i < count_; ++i) {
                if (!marked(table_[i].pid) && marked(table_[i].parent)) {
                    mark(table_[i].pid);
                    grew = true;
                }
            }
        }
        for (std::size_t i = 0; i < count_; ++i) {
            if (marked(table_[i].pid) && table_[i].pid != self) {
                signalIfStillBelow(table_[i].pid, number);
            }
        }
        for (std::size_t i = 0; i < count_; ++i) {
            unmark(table_[i].pid);
        }
        unmark(self);
    }

    // The id may have been reused since the table was read: the process is held by a
    // pidfd first, then its parent checked again, so a signal only reaches the tree.
    void signalIfStillBelow(pid_t pid, int number) noexcept
    {
        // Raw system calls: Debian 12's C library declares these for C only.
        auto process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (process < 0) {
            if (errno == ENOSYS) {
                kill(pid, number);
            }
            return;
        }
        if (marked(parentOf(pid))) {
            syscall(SYS_pidfd_send_signal, process, number, nullptr, 0);
        }
        close(process);
    }

    // The parent /proc names for pid, or -1.
    pid_t parentOf(pid_t pid) const noexcept
    {
        // "pid/stat": the digits of pid, backwards, then turned around.
        std::array<char, 32> path{};
        std::size_t digits = 0;
        for (auto rest = static_cast<unsigned long>(pid); digits < 20; rest /= 10) {
            path[digits++] = static_cast<char>('0' + rest % 10);
            if (rest < 10) {
                break;
            }
        }
        for (std::size_t i = 0; i < digits / 2; ++i) {
            char swap = path[i];
            path[i] = path[digits - 1 - i];
            path[digits - 1 - i] = swap;
        }
        std::size_t at = digits;
        for (const char* c = "/stat"; *c != '\0'; ++c) {
            path[at++] = *c;
        }
        int stat = openat(proc_, path.data(), O_RDONLY | O_CLOEXEC);
        if (stat < 0) {
            return -1;
        }
        std::array<char, 160> text{};
        ssize_t length = read(stat, text.data(), text.size());
        close(stat);
        return length > 0 ? parentIn(text.data(), length) : -1;
    }

    bool prepare() noexcept
    {
        if (!bits_) {
            void* memory = mmap(nullptr, maxPid / 8, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (memory == MAP_FAILED) {
                return false;
            }
            bits_ = static_cast<unsigned char*>(memory);
        }
        return true;
    }

    bool marked(pid_t pid) const noexcept
    {
        auto index = static_cast<std::size_t>(pid);
        return pid > 0 && index < maxPid && (bits_[index / 8] & (1U << (index % 8))) != 0;
    }
    void mark(pid_t pid) noexcept
    {
        auto index = static_cast<std::size_t>(pid);
        if (pid > 0 && index < maxPid) {
            bits_[index / 8] = static_cast<unsigned char>(bits_[index / 8] | (1U << (index % 8)));
        }
    }
    void unmark(pid_t pid) noexcept
    {
        auto index = static_cast<std::size_t>(pid);
        if (pid > 0 && index < maxPid) {
            bits_[index / 8] = static_cast<unsigned char>(bits_[index / 8] & ~(1U << (index % 8)));
        }
    }

    bool add(Entry entry) noexcept
    {
        if (count_ == capacity_) {
            std::size_t grown = capacity_ == 0 ? 4096 : capacity_ * 2;
            void* memory = capacity_ == 0
                ? mmap(nullptr, grown * sizeof(Entry), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                : mremap(table_, capacity_ * sizeof(Entry), grown * sizeof(Entry), MREMAP_MAYMOVE);
            if (memory == MAP_FAILED) {
                return false;
            }
            table_ = static_cast<Entry*>(memory);
            capacity_ = grown;
        }
        table_[count_++] = entry;
        return true;
    }

    // "pid (name) S parent ...": the name may hold anything, but it ends at the last ')'
    // of the first line's start, since only numbers and a state letter follow.
    static pid_t parentIn(const char* text, ssize_t length) noexcept
    {
        ssize_t close = -1;
        for (ssize_t i = 0; i < length; ++i) {
            if (text[i] == ')') {
                close = i;
            }
        }
        if (close < 0 || close + 4 >= length) {
            return -1;
        }
        pid_t parent = 0;
        for (ssize_t i = close + 4; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
            parent = parent * 10 + (text[i] - '0');
        }
        return parent;
    }

    bool readTable() noexcept
    {
        count_ = 0;
        alignas(dirent64) std::array<char, 4096> entries;
        ssize_t length = 0;
        bool complete = true;
        while ((length = getdents64(proc_, entries.data(), entries.size())) > 0) {
            for (ssize_t offset = 0; offset < length;) {
                const auto* entry = reinterpret_cast<const dirent64*>(entries.data() + offset);
                offset += entry->d_reclen;
                pid_t pid = 0;
                const char* name = entry->d_name;
                for (; *name >= '0' && *name <= '9'; ++name) {
                    pid = pid * 10 + (*name - '0');
                }
                if (*name != '\0' || pid <= 0) {
                    continue;
                }
                // A process gone meanwhile has no parent to tell.
                pid_t parent = parentOf(pid);
                if (parent >= 0 && !add({pid, parent})) {
                    complete = false;
                }
            }
        }
        return complete && length == 0;
    }

    int proc_ = -1;
    unsigned char* bits_ = nullptr;
    Entry* table_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

// The new child, before it returns to GSubprocess's exec.
void prepareChild(pid_t keeper, rlim_t fileSizeLimit) noexcept
{
    if (fileSizeLimit != RLIM_INFINITY) {
        // A write past the limit then fails with EFBIG instead of ending the writer.
        struct sigaction ignore { };
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, nullptr);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        rlim_t bound = fileSizeLimit < limit.rlim_max ? fileSizeLimit : limit.rlim_max;
        limit.rlim_cur = bound;
        limit.rlim_max = bound;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    // A group of its own, as before there was a keeper: a terminal's signals to the agent
    // do not reach it.
    setpgid(0, 0);
    // Should the keeper itself be killed, the child still hears of it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != keeper) {
        _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

} // namespace

void becomeKeeper(int requests, rlim_t fileSizeLimit) noexcept
{
    // The agent's handlers are not the keeper's nor the child's; none may run meanwhile.
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
    // Before the fork: from its first instant, whatever the child leaves behind is ours.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_t keeper = getpid();
    pid_t child = fork();
    if (child == 0) {
        prepareChild(keeper, fileSizeLimit);
        return;
    }
    if (child < 0) {
        int error = errno;
        send(requests, &error, sizeof error, MSG_NOSIGNAL);
        _exit(127);
    }

    setpgid(0, 0);
    prctl(PR_SET_NAME, "sl-keeper");
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    sigset_t watched;
    sigemptyset(&watched);
    for (int number : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&watched, number);
    }
    pthread_sigmask(SIG_SETMASK, &watched, nullptr);
    // Nothing of the agent's stays open here: not its bus connection, not GSubprocess's
    // report pipe (which closes when the child's exec succeeds), not the standard streams
    // someone may read to their end.
    closeAllExcept(requests);
    int null = open("/dev/null", O_RDWR);
    for (int stream = STDIN_FILENO; null >= 0 && stream <= STDERR_FILENO; ++stream) {
        dup2(null, stream);
    }
    if (null > STDERR_FILENO) {
        close(null);
    }
    int signals = signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);

    Tree tree;
    bool childEnded = false;
    bool leftoversAsked = false;
    bool killing = false;
    int killPause = 10; // milliseconds, doubled while something resists
    std::int64_t deadline = never;
    auto stopWithGrace = [&](std::uint32_t grace) {
        if (!tree.signal(SIGTERM)) {
            kill(-child, SIGTERM);
        }
        std::int64_t end = now() + std::int64_t{grace} * nanosecondsPerMillisecond;
        deadline = end < deadline ? end : deadline;
    };

    for (;;) {
        for (;;) {
            int status = 0;
            pid_t ended = waitpid(-1, &status, WNOHANG);
            if (ended > 0) {
                childEnded = childEnded || ended == child;
                continue;
            }
            // Nothing below the keeper any more: the tree is gone.
            if (ended < 0 && errno == ECHILD) {
                _exit(0);
            }
            break;
        }
        if (childEnded && !leftoversAsked) {
            leftoversAsked = true;
            stopWithGrace(keeperDefaultGraceMilliseconds);
        }
        std::int64_t current = now();
        if (!killing && current >= deadline) {
            killing = true;
        }
        int timeout = -1;
        if (killing) {
            if (!tree.signal(SIGKILL)) {
                kill(-child, SIGKILL);
            }
            timeout = killPause;
            killPause = killPause < 1000 ? killPause * 2 : 1000;
        } else if (deadline != never) {
            timeout = static_cast<int>(
                (deadline - current + nanosecondsPerMillisecond - 1) / nanosecondsPerMillisecond);
        }

        std::array<pollfd, 2> watches{{{requests, POLLIN, 0}, {signals, POLLIN, 0}}};
        if (poll(watches.data(), watches.size(), timeout) <= 0) {
            continue;
        }
        if (watches[1].revents != 0) {
            signalfd_siginfo information{};
            while (read(signals, &information, sizeof information) == sizeof information) {
                if (information.ssi_signo != SIGCHLD) {
                    stopWithGrace(keeperDefaultGraceMilliseconds);
                }
            }
        }
        if (watches[0].revents != 0) {
            KeeperRequest request;
            ssize_t length = recv(requests, &request, sizeof request, MSG_DONTWAIT);
            if (length == sizeof request) {
                switch (request.kind) {
                case KeeperRequest::terminate:
                    if (!tree.signal(SIGTERM)) {
                        kill(-child, SIGTERM);
                    }
                    break;
                case KeeperRequest::terminateWithGrace:
                    stopWithGrace(request.graceMilliseconds);
                    break;
                case KeeperRequest::kill:
                    if (!killing) {
                        killing = true;
                        killPause = 10;
                    }
                    break;
                }
            } else if (length == 0 || (length < 0 && errno != EAGAIN && errno != EINTR)) {
                // The agent has gone, however it ended.
                close(requests);
                requests = -1;
                stopWithGrace(keeperDefaultGraceMilliseconds);
            }
        }
    }
}

} // namespace ShadeLedgerZizadezavav
