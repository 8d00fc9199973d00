#include "support/private_bus.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ShadeLedgerZizadezavav {

PrivateBus::PrivateBus(const std::string& directory)
{
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::string listen = "--address=unix:path=" + directory + "/bus";
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // The watchdog: the daemon goes when the test process goes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(output[1], STDOUT_FILENO);
        execlp("dbus-daemon", "dbus-daemon", "--session", listen.c_str(), "--nofork",
            "--print-address=1", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string line;
    char c = 0;
    while (read(output[0], &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    close(output[0]);
    if (line.empty()) {
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error(
            "dbus-daemon did not start (is the dbus-daemon package installed?)");
    }
    address_ = line;
    if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        oldAddress_ = old;
        hadOldAddress_ = true;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (hadOldAddress_) {
        setenv("DBUS_SESSION_BUS_ADDRESS", oldAddress_.c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

} // namespace ShadeLedgerZizadezavav
