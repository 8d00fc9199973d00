// The platform services the agent relies on, handed to AppDelegate as one value.
#pragma once

#include "platform/alert.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/login_item.h"
#include "platform/scheduling.h"
#include "platform/status_bar.h"
#include "platform/workspace.h"

namespace ShadeLedgerZizadezavav {

struct Platform {
    Application& application;
    Scheduler& scheduler;
    StatusBar& statusBar;
    AlertPresenter& alerts;
    ChildProcesses& processes;
    Workspace& workspace;
    FileManager& files;
    Bundle& bundle;
    UserDefaults& defaults;
    LoginItemService& loginItems;
    HTTPClient& http;
};

// The backend's one application object and its services, created on first use.
Platform& sharedPlatform();

} // namespace ShadeLedgerZizadezavav
