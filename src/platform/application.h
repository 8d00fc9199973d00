// Application: the one main-thread event loop and its delegate.
#pragma once

#include <memory>

#include "platform/menu_action.h"

namespace ShadeLedgerZizadezavav {

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

// What the application calls back. Menu actions arrive with no sender.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
    // Runs the delegate's method for that action.
    virtual void performAction(MenuAction action) = 0;
};

class Application {
public:
    virtual ~Application() = default;
    // The application does not own its delegate.
    virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
    // Runs the main loop on the calling thread: applicationDidFinishLaunching once
    // before anything else, then menu actions, timers and main-queue work.
    // Returns after terminate(), unless terminating ends the process from inside the
    // loop, as macOS does (exit()); either way, the platform outlives the delegate.
    virtual void run() = 0;
    // The result is ignored by callers; backends without a Dock do nothing.
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    // Runs applicationWillTerminate once, then ends the loop (on macOS, the process).
    // Never vetoed.
    virtual void terminate() = 0;
};

} // namespace ShadeLedgerZizadezavav
