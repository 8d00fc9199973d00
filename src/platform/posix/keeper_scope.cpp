#include "platform/posix/keeper_scope.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/file_descriptor.h"

#if defined(__APPLE__)
#include <sys/proc.h>
#include <sys/sysctl.h>
#elif defined(__linux__)
#include <filesystem>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#if defined(__APPLE__) || defined(SL_KEEPER_GROUP_SCOPE)
#define SL_KEEPER_GROUP 1
#endif

namespace ShadeLedgerZizadezavav {

namespace {

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
    bool zombie = false; // ended, not yet reaped
};

#if defined(__APPLE__)

std::optional<std::vector<ProcessEntry>> processTable()
{
    int query[] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};
    // The table may grow between asking its size and reading it.
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::size_t size = 0;
        if (sysctl(query, 3, nullptr, &size, nullptr, 0) != 0) {
            return std::nullopt;
        }
        std::vector<kinfo_proc> processes(size / sizeof(kinfo_proc) + 32);
        size = processes.size() * sizeof(kinfo_proc);
        if (sysctl(query, 3, processes.data(), &size, nullptr, 0) != 0) {
            if (errno == ENOMEM) {
                continue;
            }
            return std::nullopt;
        }
        processes.resize(size / sizeof(kinfo_proc));
        std::vector<ProcessEntry> table;
        table.reserve(processes.size());
        for (const auto& process : processes) {
            table.push_back({process.kp_proc.p_pid, process.kp_eproc.e_ppid,
                process.kp_eproc.e_pgid, process.kp_proc.p_stat == SZOMB});
        }
        return table;
    }
    return std::nullopt;
}

std::optional<ProcessEntry> processEntry(pid_t pid)
{
    int query[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    kinfo_proc process{};
    std::size_t size = sizeof process;
    if (sysctl(query, 4, &process, &size, nullptr, 0) != 0 || size == 0) {
        return std::nullopt;
    }
    return ProcessEntry{
        pid, process.kp_eproc.e_ppid, process.kp_eproc.e_pgid, process.kp_proc.p_stat == SZOMB};
}

#else

// "pid (name) S parent group ...": the name may hold anything, but it ends at the last ')'.
// A process that has gone meanwhile is none.
std::optional<ProcessEntry> processEntry(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FileDescriptor stat(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!stat) {
        return std::nullopt;
    }
    std::array<char, 512> text{};
    ssize_t length = read(stat.get(), text.data(), text.size());
    if (length <= 0) {
        return std::nullopt;
    }
    std::string line(text.data(), static_cast<std::size_t>(length));
    auto close = line.rfind(')');
    if (close == std::string::npos || close + 4 >= line.size()) {
        return std::nullopt;
    }
    char* end = nullptr;
    long parent = std::strtol(line.c_str() + close + 4, &end, 10);
    long group = std::strtol(end, nullptr, 10);
    return ProcessEntry{
        pid, static_cast<pid_t>(parent), static_cast<pid_t>(group), line[close + 2] == 'Z'};
}

std::optional<std::vector<ProcessEntry>> processTable()
{
    std::error_code error;
    std::filesystem::directory_iterator proc("/proc", error);
    if (error) {
        return std::nullopt;
    }
    std::vector<ProcessEntry> table;
    for (; proc != std::filesystem::directory_iterator(); proc.increment(error)) {
        std::string name = proc->path().filename().string();
        char* end = nullptr;
        long pid = std::strtol(name.c_str(), &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        if (auto process = processEntry(static_cast<pid_t>(pid))) {
            table.push_back(*process);
        }
    }
    return table;
}

#endif

// The keeper and every process whose chain of parents leads to it.
std::set<pid_t> descendantsOfSelf(const std::vector<ProcessEntry>& table)
{
    std::multimap<pid_t, pid_t> children;
    for (const auto& process : table) {
        children.emplace(process.parent, process.pid);
    }
    std::set<pid_t> found{getpid()};
    std::vector<pid_t> pending{getpid()};
    while (!pending.empty()) {
        pid_t parent = pending.back();
        pending.pop_back();
        auto [first, last] = children.equal_range(parent);
        for (auto child = first; child != last; ++child) {
            if (found.insert(child->second).second) {
                pending.push_back(child->second);
            }
        }
    }
    return found;
}

[[maybe_unused]] bool isRealEnd(int code)
{
    return code == CLD_EXITED || code == CLD_KILLED || code == CLD_DUMPED;
}

[[maybe_unused]] bool groupExists(pid_t group)
{
    // EPERM: there, but not ours to signal.
    if (group <= 0 || (kill(-group, 0) != 0 && errno != EPERM)) {
        return false;
    }
    // Members that have ended but whose new parent never reaps them hold the group's id
    // all the same: nothing is left to end.
    auto table = processTable();
    if (!table) {
        return true;
    }
    return std::any_of(table->begin(), table->end(),
        [group](const ProcessEntry& process) { return process.group == group && !process.zombie; });
}

} // namespace

KeeperScope::KeeperScope(pid_t child, pid_t group)
    : child_(child)
    , group_(group)
{
}

#ifndef SL_KEEPER_GROUP

void KeeperScope::prepare()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

std::optional<KeeperScope::ChildEnd> KeeperScope::childEnded()
{
    while (true) {
        int status = 0;
        // __WALL: also what was started by clone with another exit signal.
        pid_t ended = waitpid(-1, &status, WNOHANG | __WALL);
        if (ended > 0) {
            if (ended == child_ && !childEnd_) {
                childEnd_ = ChildEnd{WIFEXITED(status)};
            }
            continue;
        }
        if (ended < 0 && errno == EINTR) {
            continue;
        }
        noChildren_ = ended < 0 && errno == ECHILD;
        break;
    }
    if (childEnd_ && !childReported_) {
        childReported_ = true;
        return childEnd_;
    }
    return std::nullopt;
}

void KeeperScope::releaseChild()
{
    // Reaped already: what it left stays below the keeper all the same.
    childReaped_ = true;
}

bool KeeperScope::empty()
{
    return noChildren_;
}

void KeeperScope::signal(int number)
{
    // No child left: nothing below the keeper (the common end of a tool), no table to read.
    if (noChildren_) {
        return;
    }
    auto table = processTable();
    if (!table) {
        // No process table to read: the child's group at least, while its id is its own.
        if (!childEnd_) {
            kill(-child_, number);
        }
        return;
    }
    auto tree = descendantsOfSelf(*table);
    for (pid_t pid : tree) {
        if (pid == getpid()) {
            continue;
        }
        // The id may have been reused since the table was read: held by a pidfd first, then
        // its parent checked again, so that the signal only reaches the tree. Raw system
        // calls: Debian 12's C library declares these for C only.
        FileDescriptor process(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
        if (!process) {
            if (errno == ENOSYS) {
                kill(pid, number);
            }
            continue;
        }
        auto now = processEntry(pid);
        if (now && tree.contains(now->parent)) {
            syscall(SYS_pidfd_send_signal, process.get(), number, nullptr, 0);
        }
    }
}

int KeeperScope::lookInterval() const
{
    // Every process that ends below the keeper is its child by then: SIGCHLD tells of it.
    return -1;
}

#else

void KeeperScope::prepare()
{
}

std::optional<KeeperScope::ChildEnd> KeeperScope::childEnded()
{
    if (childReported_) {
        return std::nullopt;
    }
    // Looked at, not reaped: its id, and its group's, stay its own while what it left is
    // asked to exit. A stopped or continued child has not ended.
    siginfo_t information{};
    if (waitid(P_PID, static_cast<id_t>(child_), &information, WEXITED | WNOHANG | WNOWAIT) != 0
        || information.si_pid != child_ || !isRealEnd(information.si_code)) {
        return std::nullopt;
    }
    childReported_ = true;
    return ChildEnd{information.si_code == CLD_EXITED};
}

void KeeperScope::releaseChild()
{
    if (childReported_ && !childReaped_) {
        while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) { }
        childReaped_ = true;
    }
}

bool KeeperScope::empty()
{
    return childReaped_ && !groupExists(group_);
}

void KeeperScope::signal(int number)
{
    if (group_ == child_ && !childReaped_) {
        // The child's id holds the group's: neither can name anything else yet.
        kill(-group_, number);
        // A child that has left its group still hears it.
        if (getpgid(child_) != child_) {
            kill(child_, number);
        }
    } else if (groupExists(group_)) {
        // A group's id is given out again only once the group has gone.
        kill(-group_, number);
    }
    // Those that left the group while their parents still run.
    auto table = processTable();
    if (!table) {
        return;
    }
    auto descendants = descendantsOfSelf(*table);
    for (const auto& process : *table) {
        if (process.pid == getpid() || process.pid == child_ || process.group == group_
            || !descendants.contains(process.pid)) {
            continue;
        }
        // Still below the keeper just before the signal: not a reused id.
        auto now = processEntry(process.pid);
        if (now && descendants.contains(now->parent)) {
            kill(process.pid, number);
        }
    }
}

int KeeperScope::lookInterval() const
{
    // Nothing tells the keeper of the last member's end once the child has gone.
    return childReaped_ ? 20 : -1;
}

#endif

} // namespace ShadeLedgerZizadezavav
