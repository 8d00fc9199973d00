// What a keeper answers for, its child "and everything it started", and how that is
// signalled and seen to be gone. One of two kinds, fixed when the keeper is built:
//
// - The tree (Linux): the keeper is the subreaper of its child's whole tree, so whatever
//   the child starts stays below the keeper however it leaves (forking and exiting, a group
//   or session of its own). A signal goes to every process below the keeper, each held by
//   a pidfd and its parent checked again first, so that no signal reaches a reused id. The
//   tree is gone once the keeper has no child left.
// - The group (macOS, which has no subreaper; built on Linux too, for its tests): the child
//   leads a process group of its own. A signal goes to the group, and to every descendant
//   of the keeper that left it while its parents still run (from the process table). The
//   group is signalled while the child is not yet reaped, which keeps its id from being
//   given out again, and after that only right after it was seen to exist. It is gone once
//   the child is reaped and nothing is left in the group. What escapes: a process that has
//   left the group and whose parent has ended (a daemon's double fork with setsid), which
//   launchd adopts.
//
// Only real ends count as the child's: an exit, or a death by a signal, never a stop.
#pragma once

#include <sys/types.h>

#include <optional>

namespace ShadeLedgerZizadezavav {

class KeeperScope {
public:
    // Called before the child starts: from its first instant, what it leaves is the keeper's.
    static void prepare();

    // child: the keeper's own child, whose end it watches; group: the process group that
    // stands for the tree in the group kind (0 until known).
    KeeperScope(pid_t child, pid_t group);

    struct ChildEnd {
        bool exited = false; // by exit(), not by a signal
    };
    // Reaps what has ended below the keeper (the group kind only looks at the child, so
    // that its id still holds the group's); the child's end, once.
    std::optional<ChildEnd> childEnded();
    // After the child's end was acted on: reaps it, where it was only looked at.
    void releaseChild();
    // True once nothing is left to answer for.
    bool empty();
    void setGroup(pid_t group) { group_ = group; }
    // Sends number to every process of the scope.
    void signal(int number);
    // At most this long between looks, when the scope hears of no end (-1: no limit).
    int lookInterval() const;

private:
    pid_t child_;
    pid_t group_;
    bool childReported_ = false;
    bool childReaped_ = false;
    // The tree's: the child's end once reaped, and whether nothing is left below the keeper.
    std::optional<ChildEnd> childEnd_;
    [[maybe_unused]] bool noChildren_ = false;
};

} // namespace ShadeLedgerZizadezavav
