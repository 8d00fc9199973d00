#include "support/private_bus.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace ShadeLedgerZizadezavav {

PrivateBus::PrivateBus(const std::string& directory, Access access)
{
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::string socket = directory + "/bus";
    std::vector<std::string> arguments{"dbus-daemon", "--session", "--address=unix:path=" + socket};
    if (access == Access::anyAccount) {
        // A session bus's rules, with every account let in: anonymously, so that an account
        // without an entry in the password database can connect.
        std::string config = directory + "/bus.conf";
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:path=" << socket
                              << "</listen><auth>ANONYMOUS</auth><allow_anonymous/>"
                                 "<policy context=\"default\"><allow send_destination=\"*\" "
                                 "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy></busconfig>\n";
        arguments = {"dbus-daemon", "--config-file=" + config};
    }
    arguments.insert(arguments.end(), {"--nofork", "--print-address=1"});
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // The watchdog: the daemon goes when the test process goes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(output[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
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
    if (access == Access::anyAccount) {
        // Connecting takes write permission on the socket.
        chmod(socket.c_str(), 0777);
    }
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
