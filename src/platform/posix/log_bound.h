// How the keeper keeps the child's log small and the disk from filling: before each piece of
// output goes into the log it decides, from the log's size and its file system's free space,
// whether the log is emptied first and how much of the piece goes in. A pure function; the
// keeper measures and writes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ShadeLedgerZizadezavav {

struct LogSpace {
    std::uint64_t logSize = 0;
    // Free to an unprivileged writer, and the whole, of the log's file system.
    std::uint64_t freeBytes = 0;
    std::uint64_t totalBytes = 0;
};

struct LogWrite {
    // Empty the log, measure again and ask once more.
    bool emptyFirst = false;
    // How many of the piece's last (newest) bytes to write: all of it, or what fits.
    std::size_t newestBytes = 0;
};

// What the log leaves free on its file system: 5 % of it, at most 256 MiB (as journald's
// SystemKeepFree).
std::uint64_t logReserve(std::uint64_t totalBytes);

// For a piece of output of size bytes: the log never grows past bound, nor leaves its file
// system with less than the reserve free. Past either, a log with anything in it is
// emptied; an empty one takes what fits of the newest output.
LogWrite planLogWrite(std::uint64_t bound, const LogSpace& space, std::size_t size);

} // namespace ShadeLedgerZizadezavav
