#include "platform/linux/linux_child_process.h"

#include "platform/linux/linux_files.h"

#include <csignal>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace ShadeLedgerZizadezavav {

namespace {

// A descriptor of our own for the launcher to take over (and close), or -1.
int duplicateForChild(const std::shared_ptr<FileHandle>& handle)
{
    auto* file = dynamic_cast<LinuxFileHandle*>(handle.get());
    if (!file || file->fileDescriptor() < 0) {
        return -1;
    }
    return fcntl(file->fileDescriptor(), F_DUPFD_CLOEXEC, 3);
}

// A relative executable is taken relative to the agent's working directory, as a
// file location would be; GSubprocess would otherwise search PATH for a bare name.
std::string executablePath(const std::string& executable)
{
    if (g_path_is_absolute(executable.c_str())) {
        return executable;
    }
    GCharPtr current(g_get_current_dir());
    GCharPtr joined(g_build_filename(current.get(), executable.c_str(), nullptr));
    return joined.get();
}

} // namespace

LinuxProcess::LinuxProcess(ProcessConfiguration configuration)
    : configuration_(std::move(configuration))
{
}

bool LinuxProcess::launch()
{
    if (launchAttempted_ || configuration_.executable.empty()) {
        return false;
    }
    launchAttempted_ = true;

    auto launcher = adoptGObject(g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDIN_INHERIT));

    if (configuration_.currentDirectory) {
        g_subprocess_launcher_set_cwd(launcher.get(), configuration_.currentDirectory->c_str());
    }

    if (configuration_.environment) {
        std::vector<std::string> entries;
        for (const auto& [name, value] : *configuration_.environment) {
            // A name with '=' cannot be expressed in an environment block.
            if (name.empty() || name.find('=') != std::string::npos) {
                continue;
            }
            entries.push_back(std::string(name).append("=").append(value));
        }
        std::vector<gchar*> environmentBlock;
        environmentBlock.reserve(entries.size() + 1);
        for (auto& entry : entries) {
            environmentBlock.push_back(entry.data());
        }
        environmentBlock.push_back(nullptr);
        g_subprocess_launcher_set_environ(launcher.get(), environmentBlock.data());
    }

    // Each stream gets its own duplicate of the handle's descriptor: duplicates share
    // one file offset, so output and error interleave in the order written.
    auto redirect
        = [&](const std::shared_ptr<FileHandle>& handle, void (*take)(GSubprocessLauncher*, gint)) {
              if (!handle) {
                  return true;
              }
              int descriptor = duplicateForChild(handle);
              if (descriptor < 0) {
                  return false;
              }
              take(launcher.get(), descriptor);
              return true;
          };
    if (!redirect(configuration_.standardOutput, g_subprocess_launcher_take_stdout_fd)
        || !redirect(configuration_.standardError, g_subprocess_launcher_take_stderr_fd)) {
        return false;
    }

    std::string executable = executablePath(configuration_.executable);
    std::vector<const gchar*> argv{executable.c_str()};
    for (const auto& argument : configuration_.arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    GError* rawError = nullptr;
    subprocess_
        = adoptGObject(g_subprocess_launcher_spawnv(launcher.get(), argv.data(), &rawError));
    GErrorPtr error(rawError);
    return subprocess_ != nullptr;
}

void LinuxProcess::waitUntilExit()
{
    if (subprocess_) {
        // Blocks on a private context, so it works inside or outside a running main loop.
        g_subprocess_wait(subprocess_.get(), nullptr, nullptr);
    }
}

void LinuxProcess::terminate()
{
    if (subprocess_) {
        // Does nothing once GLib has reaped the child.
        g_subprocess_send_signal(subprocess_.get(), SIGTERM);
    }
}

std::shared_ptr<Process> LinuxChildProcesses::makeProcess(ProcessConfiguration configuration)
{
    return std::make_shared<LinuxProcess>(std::move(configuration));
}

std::int32_t LinuxChildProcesses::processIdentifier()
{
    return static_cast<std::int32_t>(getpid());
}

Environment LinuxChildProcesses::environment()
{
    Environment result;
    GStrvPtr entries(g_get_environ());
    for (gchar** entry = entries.get(); entry && *entry; ++entry) {
        std::string text(*entry);
        auto separator = text.find('=');
        if (separator == std::string::npos || separator == 0) {
            continue;
        }
        result[text.substr(0, separator)] = text.substr(separator + 1);
    }
    return result;
}

} // namespace ShadeLedgerZizadezavav
