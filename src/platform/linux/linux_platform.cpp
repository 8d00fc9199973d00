// The Linux platform: every backend, created once on first use and in dependency order.
#include "platform/platform.h"

#include <optional>
#include <string>

#include "platform/linux/glib_owners.h"
#include "platform/linux/linux_alert.h"
#include "platform/linux/linux_application.h"
#include "platform/linux/linux_bundle.h"
#include "platform/linux/linux_child_process.h"
#include "platform/linux/linux_files.h"
#include "platform/linux/linux_http.h"
#include "platform/linux/linux_login_item.h"
#include "platform/linux/linux_scheduler.h"
#include "platform/linux/linux_status_bar.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/xembed/xembed_icon.h"

namespace ShadeLedgerZizadezavav {

static std::optional<std::string> runningExecutablePath()
{
    GErrorPtr error;
    GCharPtr path(g_file_read_link("/proc/self/exe", errorOut(error)));
    debugError("the running executable, for the login item", error);
    return path ? std::optional<std::string>(path.get()) : std::nullopt;
}

// A program of the bundle's beside the running agent.
static std::string besideTheAgent(const char* name)
{
    auto agent = runningExecutablePath();
    if (!agent) {
        return {};
    }
    GCharPtr directory(g_path_get_dirname(agent->c_str()));
    GCharPtr path(g_build_filename(directory.get(), name, nullptr));
    return path.get();
}

// Members are built top to bottom and torn down in reverse: the bus connection first and
// last, the bundle before the status item that shows its image.
struct SettledHome {
    SettledHome() { settleHomeVariable(); }
};

struct LinuxPlatform {
    // First: before anything reads HOME or starts a thread.
    SettledHome home;
    LinuxApplication application{agentBundleIdentifier};
    LinuxScheduler scheduler;
    LinuxBundle bundle;
    LinuxStatusBar statusBar{application.connection(), bundle.resourcePath(),
        [this](MenuAction action) { application.deliverAction(action); }, {},
        besideTheAgent(xembedHelperName)};
    LinuxAlertPresenter alerts{application};
    LinuxChildProcesses processes;
    LinuxWorkspace workspace{application.connection()};
    LinuxFileManager files;
    LinuxUserDefaults defaults{agentBundleIdentifier};
    LinuxLoginItemService loginItems{agentBundleIdentifier, runningExecutablePath()};
    LinuxHTTPClient http;

    Platform platform{application, scheduler, statusBar, alerts, processes, workspace, files,
        bundle, defaults, loginItems, http};
};

Platform& sharedPlatform()
{
    static LinuxPlatform linuxPlatform;
    return linuxPlatform.platform;
}

} // namespace ShadeLedgerZizadezavav
