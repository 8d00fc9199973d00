// A small process that starts one child, outlives the agent and answers for the child's
// process group.
//
// macOS has no parent-death signal and no subreaper, and work scheduled inside the agent ends
// with it. So each child gets a watcher: a process forked from the agent (and orphaned at
// once, so that launchd reaps it) that spawns the child as a process group of its own, the
// child leading it, and stays its parent. The group is what the agent calls the process: it
// has exited once the child has and nothing is left in the group. The watcher talks to the
// agent over a socket only the agent holds the other end of:
// - it says whether the spawn worked, and later that the group is gone, and then leaves;
// - it takes requests: ask the group to exit (SIGTERM), do so and kill what is left after a
//   grace (SIGKILL, again and again, until nothing is left), or kill at once;
// - when the child exits, what is left of its group is asked to exit and killed after
//   stopGraceMilliseconds; when the agent ends, however it ends (the socket's end-of-file),
//   the group is asked to exit at once and killed after the same grace.
// No signal is meant for a reused id: the watcher signals the group while the child is not
// yet reaped, which keeps the child's id, and so the group's, from being given out again;
// after that, only just after it saw the group still there (a group's id is given out again
// only once the group has gone).
//
// With a file-size limit, the watcher sets RLIMIT_FSIZE and ignores SIGXFSZ in itself just
// before the spawn, so that the child and everything it starts inherit both: a write past
// the limit fails with EFBIG and ends nobody. The agent's own limit and signals stay as
// they are.
//
// The watcher makes only async-signal-safe calls, as the agent has threads. posix_spawn is
// not on POSIX's list, but on macOS it is one system call on the attributes the agent
// prepared, taking no lock and allocating nothing. Plain POSIX, so that it runs on any
// system.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <spawn.h>
#include <sys/types.h>

namespace ShadeLedgerZizadezavav {

// What is left of a group whose child has exited, or whose agent has gone, is killed this
// long after it was asked to exit.
inline constexpr long long stopGraceMilliseconds = 2000;

// How to start the child. Everything is read in the watcher, after the fork: it must stay
// valid until launch returns.
struct WatchedSpawn {
    const char* path = nullptr;
    char* const* arguments = nullptr;
    char* const* environment = nullptr;
    const posix_spawn_file_actions_t* actions = nullptr;
    // launch adds a group of the child's own, every signal at its default (SIGXFSZ ignored
    // under a file-size limit) and none blocked.
    posix_spawnattr_t* attributes = nullptr;
    std::optional<std::uint64_t> fileSizeLimit;
};

class ProcessGroupWatcher {
public:
    ProcessGroupWatcher() = default;
    ProcessGroupWatcher(const ProcessGroupWatcher&) = delete;
    ProcessGroupWatcher& operator=(const ProcessGroupWatcher&) = delete;
    // Closing the socket without a word is what the agent's end looks like.
    ~ProcessGroupWatcher();

    // Starts the watcher and, through it, the child: 0 once the child runs, else the errno of
    // what failed (the watcher's fork, or the spawn). Once only.
    int launch(WatchedSpawn& spawn);
    // The child's process id, which is also its group's; 0 before a successful launch.
    pid_t group() const { return group_; }
    // Requests, sent only after a successful launch and while the watcher is there to hear.
    void terminate();
    void terminate(std::chrono::milliseconds grace);
    void kill();
    // Returns once the child and everything left in its group have gone, or the watcher has.
    // One thread at a time; requests may be sent meanwhile from another.
    void awaitExit();

private:
    void send(std::int32_t kind, std::int32_t value = 0);

    int socket_ = -1;
    pid_t group_ = 0;
};

} // namespace ShadeLedgerZizadezavav
