// Reading small files safely, and telling whether two paths name one file: the same POSIX
// calls on every platform.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace ShadeLedgerZizadezavav {

// The whole contents of a regular file (links followed) of at most maxBytes; none for
// anything else. Opens without blocking, so a FIFO or a device in the way costs nothing.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

// True when both paths name the same existing file, links resolved (device and inode).
bool isSameFile(const std::string& first, const std::string& second);

} // namespace ShadeLedgerZizadezavav
