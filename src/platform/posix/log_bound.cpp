#include "platform/posix/log_bound.h"

#include <algorithm>

namespace ShadeLedgerZizadezavav {

std::uint64_t logReserve(std::uint64_t totalBytes)
{
    return std::min(totalBytes / 20, std::uint64_t{256} << 20);
}

LogWrite planLogWrite(std::uint64_t bound, const LogSpace& space, std::size_t size)
{
    std::uint64_t reserve = logReserve(space.totalBytes);
    std::uint64_t room = space.freeBytes > reserve ? space.freeBytes - reserve : 0;
    std::uint64_t belowBound = bound > space.logSize ? bound - space.logSize : 0;
    std::uint64_t fits = std::min(room, belowBound);
    if (size <= fits) {
        return {false, size};
    }
    if (space.logSize > 0) {
        return {true, 0};
    }
    return {false, static_cast<std::size_t>(fits)};
}

} // namespace ShadeLedgerZizadezavav
