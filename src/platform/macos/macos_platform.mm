// The macOS platform: every group of the layer, created once on first use, the
// application first (NSApplication sharedApplication before any other AppKit call), and
// never destroyed.
#include "platform/platform.h"

#include "platform/macos/macos_alert.h"
#include "platform/macos/macos_application.h"
#include "platform/macos/macos_bundle.h"
#include "platform/macos/macos_child_process.h"
#include "platform/macos/macos_files.h"
#include "platform/macos/macos_http.h"
#include "platform/macos/macos_login_item.h"
#include "platform/macos/macos_scheduler.h"
#include "platform/macos/macos_status_bar.h"
#include "platform/macos/macos_workspace.h"

namespace ShadeLedgerZizadezavav {

struct MacOSPlatform {
    MacOSApplication application;
    MacOSScheduler scheduler;
    MacOSStatusBar statusBar;
    MacOSAlertPresenter alerts;
    MacOSChildProcesses processes;
    MacOSWorkspace workspace;
    MacOSFileManager files;
    MacOSBundle bundle;
    MacOSUserDefaults defaults;
    MacOSLoginItemService loginItems;
    MacOSHTTPClient http;

    Platform platform{application, scheduler, statusBar, alerts, processes, workspace, files,
        bundle, defaults, loginItems, http};
};

Platform& sharedPlatform()
{
    // Created before the event loop runs: its own pool takes what creation autoreleases.
    // Never destroyed: terminate: ends in exit(), which runs static destructors while the
    // delegate still lives and probe completions still arrive from other threads; all of
    // them call into the platform, so it stays until the process is gone.
    static MacOSPlatform* macOSPlatform = [] {
        @autoreleasepool {
            [[clang::no_destroy]] static MacOSPlatform created;
            return &created;
        }
    }();
    return macOSPlatform->platform;
}

} // namespace ShadeLedgerZizadezavav
