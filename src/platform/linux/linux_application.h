// The application on Linux: the default GLib main context, run on the main thread.
//
// Implements: the delegate's two lifecycle callbacks (launch-finished once, before
// anything else the loop dispatches; will-terminate once), termination by terminate(),
// SIGTERM, SIGINT, SIGHUP or the end of the session bus, all on the same path; delivery
// of menu actions by name; a modal state in which commands are dropped.
// At creation it connects to the session bus and stands in the queue of the agent's
// well-known name, so that every running copy can be found there. Without a session bus
// it runs all the same, with no bus connection.
// Does not implement: activation policies (there is no Dock to leave).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/linux/glib_owners.h"

namespace ShadeLedgerZizadezavav {

class LinuxApplication : public Application {
public:
    explicit LinuxApplication(const std::string& busName = agentBundleIdentifier);
    ~LinuxApplication() override;
    LinuxApplication(const LinuxApplication&) = delete;
    LinuxApplication& operator=(const LinuxApplication&) = delete;

    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
    void run() override;
    void setActivationPolicy(ActivationPolicy) override { }
    void terminate() override;

    // The session bus, or nullptr when there is none. The application keeps it open
    // for its whole life.
    GDBusConnection* connection() const { return connection_.get(); }

    // Runs the delegate's action on the calling (main) thread. Dropped while a modal
    // dialog runs and once termination has begun.
    void deliverAction(MenuAction action);

    // A modal dialog runs from beginModal to endModal; terminating meanwhile calls
    // cancel, which must make the dialog end (with no answer).
    void beginModal(std::function<void()> cancel);
    void endModal();
    bool isModal() const { return !modalCancels_.empty(); }
    bool isTerminating() const { return terminating_; }

private:
    static gboolean launchFired(gpointer self);
    static gboolean quitFired(gpointer self);
    static gboolean terminationSignalArrived(gpointer self);
    static void busClosed(
        GDBusConnection* connection, gboolean remotePeerVanished, GError* error, gpointer self);
    void stopSignalWatches();

    std::weak_ptr<ApplicationDelegate> delegate_;
    GObjectPtr<GDBusConnection> connection_;
    SignalConnection busClosed_;
    BusNameOwnership nameOwnership_;
    std::vector<SourceId> signalWatches_;
    SourceId launchSource_;
    SourceId quitSource_;
    GMainLoopPtr loop_;
    std::vector<std::function<void()>> modalCancels_;
    bool launched_ = false;
    bool terminating_ = false;
};

} // namespace ShadeLedgerZizadezavav
