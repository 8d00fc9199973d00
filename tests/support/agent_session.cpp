#include "support/agent_session.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace ShadeLedgerZizadezavav {

namespace {

// A file of /proc/PID, or none when the process has gone meanwhile (reads then fail).
std::optional<std::string> readProcessFile(const std::string& path)
{
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    ssize_t count = 0;
    while ((count = read(file, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(count));
    }
    ::close(file);
    if (count < 0) {
        return std::nullopt;
    }
    return text;
}

bool isKeeper(const ProcessInfo& process)
{
    return process.name == "bridge-keeper" || process.name == "keeper-guard";
}

} // namespace

std::vector<ProcessInfo> listProcesses()
{
    std::vector<ProcessInfo> found;
    DIR* proc = opendir("/proc");
    if (!proc) {
        return found;
    }
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        std::string base = std::string("/proc/") + entry->d_name;
        // A process that ends while it is looked at is gone, not an error.
        auto stat = readProcessFile(base + "/stat");
        auto cmdline = readProcessFile(base + "/cmdline");
        if (!stat || !cmdline) {
            continue;
        }
        auto close = stat->rfind(')');
        if (close == std::string::npos || close + 4 > stat->size()) {
            continue;
        }
        ProcessInfo info;
        info.pid = static_cast<pid_t>(pid);
        auto open = stat->find('(');
        info.name = open < close ? stat->substr(open + 1, close - open - 1) : "";
        info.state = (*stat)[close + 2];
        info.parent = static_cast<pid_t>(std::strtol(stat->c_str() + close + 4, nullptr, 10));
        for (char& c : *cmdline) {
            if (c == '\0') {
                c = ' ';
            }
        }
        info.commandLine = *cmdline;
        found.push_back(info);
    }
    closedir(proc);
    return found;
}

pid_t agentOf(const ProcessInfo& bridge)
{
    auto processes = listProcesses();
    auto parentOf = [&](pid_t pid) -> const ProcessInfo* {
        for (const auto& process : processes) {
            if (process.pid == pid) {
                return &process;
            }
        }
        return nullptr;
    };
    // Up through the keeper and its guard.
    const ProcessInfo* parent = parentOf(bridge.parent);
    if (!parent || !isKeeper(*parent)) {
        return -1;
    }
    while (parent && isKeeper(*parent)) {
        parent = parentOf(parent->parent);
    }
    return parent ? parent->pid : -1;
}

int freeLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free port");
    }
    int port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

std::string copyBuiltBundle(const std::string& directory)
{
    makeDirectories(directory);
    std::string command = "cp -a '" + std::string(SL_BUNDLE_DIR) + "' '" + directory + "/'";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("cannot copy the bundle: " + command);
    }
    return directory + "/ShadeLedgerZizadezavav.app";
}

pid_t startDecoyBridge()
{
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // "server.mjs" only in the decoy's own arguments, never in ours.
        std::string name = std::string("decoy-server") + ".mjs";
        execl("/bin/sh", "sh", "-c", "while :; do sleep 1; done", name.c_str(),
            static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

std::string describeExit(std::optional<int> status)
{
    if (!status) {
        return "still running";
    }
    if (WIFEXITED(*status)) {
        return "exit status " + std::to_string(WEXITSTATUS(*status));
    }
    if (WIFSIGNALED(*status)) {
        return std::string("killed by ") + strsignal(WTERMSIG(*status));
    }
    return "wait status " + std::to_string(*status);
}

bool exitedWithZero(std::optional<int> status)
{
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

void quitThroughMenu(AgentSession& session, pid_t agent)
{
    ASSERT_TRUE(session.tray().click("Quit")) << "the click on Quit got no reply";
    ASSERT_TRUE(session.waitForExit(agent)) << "the agent did not end after Quit";
    EXPECT_TRUE(exitedWithZero(session.exitStatus(agent)))
        << "Quit ended the agent with " << describeExit(session.exitStatus(agent));
}

void writeScript(const std::string& path, const std::string& body)
{
    writeFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

AgentSession::AgentSession(std::optional<std::string> bundle, PrivateBus::Access access)
    : bundle_(bundle.value_or(SL_BUNDLE_DIR))
{
    if (getpid() != 1) {
        throw std::runtime_error(
            "end-to-end tests run as the first process of a private PID namespace "
            "(tests/e2e/in_pid_namespace.sh); refusing to let the agent's clean-up loose");
    }
    home_ = std::make_unique<TempHome>();
    bus_ = std::make_unique<PrivateBus>(home_->root(), access);
    tray_ = std::make_unique<TrayHost>(bus_->address());
    port_ = freeLoopbackPort();
    setPort(port_);
}

AgentSession::~AgentSession()
{
    for (pid_t pid : agents_) {
        if (running(pid)) {
            kill(pid, SIGKILL);
            waitForExit(pid, std::chrono::seconds(5));
        }
    }
    for (const auto& bridge : bridges()) {
        kill(bridge.pid, SIGKILL);
    }
    tray_.reset();
    bus_.reset();
    home_.reset();
}

void AgentSession::setPort(int port)
{
    port_ = port;
    std::string part = settingsPath() + ".part";
    writeFile(part, "{\"port\": " + std::to_string(port) + "}");
    if (std::rename(part.c_str(), settingsPath().c_str()) != 0) {
        throw std::runtime_error("cannot write " + settingsPath());
    }
}

std::string AgentSession::installFileViewer(const std::string& more)
{
    std::string record = home_->root() + "/opened-files";
    std::string program = home_->root() + "/bin/file-viewer";
    // Renamed into place, so a record is never read half-written.
    writeScript(program,
        "printf '%s\\n' \"$@\" > '" + record + ".part'\n" + "mv '" + record + ".part' '" + record
            + "'\n" + more);
    writeFile(home_->dataHome() + "/applications/file-viewer.desktop",
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=File Viewer\n"
        "Exec=\""
            + program
            + "\" %u\n"
              "MimeType=text/plain;text/x-log;\n");
    writeFile(home_->configHome() + "/mimeapps.list",
        "[Default Applications]\n"
        "text/plain=file-viewer.desktop\n"
        "text/x-log=file-viewer.desktop\n");
    return record;
}

pid_t AgentSession::start(const std::map<std::string, std::string>& extraEnvironment,
    const std::vector<std::string>& prefix)
{
    std::string program = executable();
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        for (const auto& [name, value] : extraEnvironment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        // Standard input from /dev/null, like an agent started from a desktop.
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
        }
        if (outputFile_) {
            int output = open(outputFile_->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (output >= 0) {
                dup2(output, STDOUT_FILENO);
                dup2(output, STDERR_FILENO);
            }
        }
        // SL_AGENT_WRAPPER runs the agent under a tool, e.g. valgrind.
        std::vector<std::string> words = prefix;
        if (const char* wrapper = std::getenv("SL_AGENT_WRAPPER")) {
            std::istringstream split(wrapper);
            for (std::string word; split >> word;) {
                words.push_back(word);
            }
        }
        words.push_back(program);
        std::vector<char*> argv;
        for (auto& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    agents_.push_back(pid);
    return pid;
}

std::optional<int> AgentSession::exitStatus(pid_t pid)
{
    // As the namespace's first process the test reaps every orphan too.
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(-1, &status, WNOHANG)) > 0) {
        exited_[ended] = status;
    }
    auto found = exited_.find(pid);
    if (found == exited_.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool AgentSession::waitForExit(pid_t pid, std::chrono::milliseconds timeout)
{
    return tray_->waitUntil([&] { return exitStatus(pid).has_value(); }, timeout);
}

bool AgentSession::running(pid_t pid)
{
    return !exitStatus(pid).has_value();
}

std::vector<ProcessInfo> AgentSession::bridges()
{
    exitStatus(-1);
    std::vector<ProcessInfo> found;
    for (auto& process : listProcesses()) {
        // A keeper's command line names the bridge it starts.
        if (process.state != 'Z' && process.commandLine.find("server.mjs") != std::string::npos
            && !isKeeper(process)) {
            found.push_back(process);
        }
    }
    std::set<pid_t> pids;
    for (const auto& process : found) {
        pids.insert(process.pid);
    }
    std::erase_if(found, [&](const ProcessInfo& process) { return pids.contains(process.parent); });
    return found;
}

std::vector<ProcessInfo> AgentSession::zombies()
{
    exitStatus(-1);
    std::vector<ProcessInfo> found;
    for (auto& process : listProcesses()) {
        if (process.state == 'Z') {
            found.push_back(process);
        }
    }
    return found;
}

bool AgentSession::waitForNoZombies(std::chrono::milliseconds timeout)
{
    return tray_->waitUntil([&] { return zombies().empty(); }, timeout);
}

bool AgentSession::waitForBridgeCount(std::size_t count, std::chrono::milliseconds timeout)
{
    return tray_->waitUntil([&] { return bridges().size() == count; }, timeout);
}

std::string AgentSession::connectionLine()
{
    auto menu = tray_->readMenu(std::chrono::seconds(2));
    if (!menu || menu->empty()) {
        return "";
    }
    return menu->front().label;
}

bool AgentSession::waitForConnectionLine(const std::string& line, std::chrono::milliseconds timeout)
{
    auto menu = tray_->waitForMenu(
        [&](const TrayMenu& m) { return !m.empty() && m.front().label == line; }, timeout);
    return menu.has_value();
}

} // namespace ShadeLedgerZizadezavav
