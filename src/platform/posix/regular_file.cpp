#include "platform/posix/regular_file.h"

#include "platform/posix/file_descriptor.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ShadeLedgerZizadezavav {

std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes)
{
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file) {
        return std::nullopt;
    }
    struct stat status { };
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || static_cast<std::uintmax_t>(status.st_size) > maxBytes) {
        return std::nullopt;
    }
    // One read of the size fstat gave and one byte more: a short count is the end of the
    // file, so an unchanged file takes a single call. The size may change under us: read
    // on while it grows, at most one byte more than allowed, and refuse the file when that
    // byte arrives.
    std::string contents(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t filled = 0;
    while (true) {
        ssize_t count = read(file.get(), contents.data() + filled, contents.size() - filled);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        filled += static_cast<std::size_t>(count);
        if (filled > maxBytes) {
            return std::nullopt;
        }
        if (filled < contents.size()) {
            contents.resize(filled);
            return contents;
        }
        contents.resize(std::min(maxBytes + 1, 2 * contents.size()));
    }
}

bool isSameFile(const std::string& first, const std::string& second)
{
    struct stat firstStatus { };
    struct stat secondStatus { };
    return stat(first.c_str(), &firstStatus) == 0 && stat(second.c_str(), &secondStatus) == 0
        && firstStatus.st_dev == secondStatus.st_dev && firstStatus.st_ino == secondStatus.st_ino;
}

} // namespace ShadeLedgerZizadezavav
