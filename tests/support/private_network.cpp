#include "support/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace ShadeLedgerZizadezavav {

namespace {

// A new namespace's loopback starts down.
bool bringLoopbackUp()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

} // namespace

bool enterPrivateNetwork()
{
    int original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original < 0 || unshare(CLONE_NEWNET) != 0) {
        if (original >= 0) {
            close(original);
        }
        return false;
    }
    bool up = bringLoopbackUp();
    if (!up) {
        // A network without a loopback is no use to anyone: back to the machine's.
        setns(original, CLONE_NEWNET);
    }
    close(original);
    return up;
}

} // namespace ShadeLedgerZizadezavav
