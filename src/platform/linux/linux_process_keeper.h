// The keeper: a small process that answers for everything a child starts.
//
// The process GSubprocess forks becomes the keeper: in its child-setup hook it forks once
// more, and that second fork returns from the hook and goes on to the exec, while the
// keeper stays behind. The keeper is the subreaper of the child's whole tree, so whatever
// the child starts stays below it however it leaves (forking and exiting, a group or
// session of its own). It reads requests from a socket the agent holds: ask the tree to
// exit (SIGTERM to every process in it), do so and kill what is left after a grace
// (SIGKILL, again and again, until nothing is left), or kill at once. When the child ends,
// and when the agent ends (the socket closes), whatever is left is asked to exit and killed
// after a grace. The keeper exits once its tree is gone, so GSubprocess sees the whole tree
// end, and the agent never signals a process by its id.
//
// Runs in a fork of a process with threads: everything here is async-signal-safe and
// allocates nothing.
#pragma once

#include <cstdint>
#include <sys/resource.h>

namespace ShadeLedgerZizadezavav {

// A request from the agent, one datagram each.
struct KeeperRequest {
    enum Kind : std::uint32_t { terminate = 1, terminateWithGrace, kill };
    Kind kind = terminate;
    std::uint32_t graceMilliseconds = 0;
};

// What is left of a tree whose child has ended, or whose agent has gone, is killed this long
// after it was asked to exit.
inline constexpr std::uint32_t keeperDefaultGraceMilliseconds = 2000;

// Called in GSubprocess's child, before its exec. Returns only in the new child, with its
// file-size limit in place (a write past it fails instead of raising SIGXFSZ); the calling
// process stays the keeper and never returns. requests is the keeper's end of the request
// socket. When the keeper cannot fork, the errno goes over that socket and it exits.
void becomeKeeper(int requests, rlim_t fileSizeLimit) noexcept;

} // namespace ShadeLedgerZizadezavav
