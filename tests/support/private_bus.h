// A private session bus (dbus-daemon) for one test; DBUS_SESSION_BUS_ADDRESS
// points at it while the object lives. The daemon dies with the test process.
#pragma once

#include <string>
#include <sys/types.h>

namespace ShadeLedgerZizadezavav {

class PrivateBus {
public:
    // Who may connect: the account that runs the test, as on a session bus, or any account (a
    // test that runs the agent as another one).
    enum class Access { owner, anyAccount };

    // Starts dbus-daemon with a socket in directory; the environment of the
    // caller (HOME, XDG variables) is what activated services would inherit.
    explicit PrivateBus(const std::string& directory, Access access = Access::owner);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    pid_t daemonPid() const { return pid_; }

private:
    std::string address_;
    std::string oldAddress_;
    bool hadOldAddress_ = false;
    pid_t pid_ = -1;
};

} // namespace ShadeLedgerZizadezavav
