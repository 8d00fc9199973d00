#include "platform/linux/linux_application.h"

#include "platform/linux/gio_worker_pool.h"

#include <glib-unix.h>

#include <csignal>
#include <utility>

namespace ShadeLedgerZizadezavav {

LinuxApplication::LinuxApplication(const std::string& busName)
    : loop_(g_main_loop_new(nullptr, FALSE))
{
    // Logout, shutdown and a polite kill are terminations like Quit. Watching before the
    // name is queued means no copy is visible to others before it can take the polite
    // request; a signal that arrives before the loop runs waits for it.
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        signalWatches_.emplace_back(
            g_unix_signal_add(signal, &LinuxApplication::terminationSignalArrived, this));
    }

    GErrorPtr error;
    connection_ = adoptGObject(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, errorOut(error)));
    if (connection_) {
        // GLib would raise SIGTERM behind our back when the bus goes; the end of the
        // session takes the ordinary termination path instead.
        g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
        busClosed_ = SignalConnection(connection_.get(),
            g_signal_connect(
                connection_.get(), "closed", G_CALLBACK(&LinuxApplication::busClosed), this));
        // Queued, never replacing and never replaced: every copy keeps its place in line
        // and the first one holds the name.
        if (g_dbus_is_name(busName.c_str()) && !g_dbus_is_unique_name(busName.c_str())) {
            nameOwnership_ = BusNameOwnership(g_bus_own_name_on_connection(connection_.get(),
                busName.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr, nullptr));
        }
    } else {
        g_debug("No session bus (%s): running without one", error ? error->message : "unknown");
    }
}

LinuxApplication::~LinuxApplication()
{
    stopSignalWatches();
}

void LinuxApplication::setDelegate(std::weak_ptr<ApplicationDelegate> delegate)
{
    delegate_ = std::move(delegate);
}

void LinuxApplication::run()
{
    if (!terminating_) {
        // Ahead of every other source: launch-finished comes before any action, timer or
        // main-queue work.
        launchSource_ = SourceId(
            g_idle_add_full(G_PRIORITY_HIGH, &LinuxApplication::launchFired, this, nullptr));
        g_main_loop_run(loop_.get());
    }
    // From here on a signal ends the process the ordinary way.
    stopSignalWatches();
    // Replies still queued (the answer to the click on Quit) go out before the exit, but a bus
    // that does not answer does not hold the exit up.
    sendQueuedMessages(connection_.get(), std::chrono::seconds(2));
}

void LinuxApplication::terminate()
{
    if (terminating_) {
        return;
    }
    terminating_ = true;
    launchSource_.reset();
    if (auto delegate = delegate_.lock()) {
        delegate->applicationWillTerminate();
    }
    // A dialog still open must not keep the agent alive.
    auto cancels = modalCancels_;
    for (auto& cancel : cancels) {
        cancel();
    }
    // Leaving the loop waits for an idle moment, so that the D-Bus call being handled
    // (a click on Quit) is answered first.
    quitSource_ = SourceId(g_idle_add(&LinuxApplication::quitFired, this));
}

void LinuxApplication::deliverAction(MenuAction action)
{
    if (isModal() || terminating_) {
        g_debug("Dropped %s: %s", std::string(actionName(action)).c_str(),
            terminating_ ? "terminating" : "a dialog is open");
        return;
    }
    if (auto delegate = delegate_.lock()) {
        delegate->performAction(action);
    }
}

void LinuxApplication::beginModal(std::function<void()> cancel)
{
    modalCancels_.push_back(std::move(cancel));
}

void LinuxApplication::endModal()
{
    if (!modalCancels_.empty()) {
        modalCancels_.pop_back();
    }
}

gboolean LinuxApplication::launchFired(gpointer self)
{
    auto* application = static_cast<LinuxApplication*>(self);
    application->launchSource_.release();
    if (!application->launched_ && !application->terminating_) {
        application->launched_ = true;
        if (auto delegate = application->delegate_.lock()) {
            delegate->applicationDidFinishLaunching();
        }
    }
    return G_SOURCE_REMOVE;
}

gboolean LinuxApplication::quitFired(gpointer self)
{
    auto* application = static_cast<LinuxApplication*>(self);
    application->quitSource_.release();
    g_main_loop_quit(application->loop_.get());
    return G_SOURCE_REMOVE;
}

gboolean LinuxApplication::terminationSignalArrived(gpointer self)
{
    static_cast<LinuxApplication*>(self)->terminate();
    return G_SOURCE_CONTINUE;
}

void LinuxApplication::busClosed(
    GDBusConnection*, gboolean remotePeerVanished, GError*, gpointer self)
{
    // The session bus going away means the session is ending.
    if (remotePeerVanished) {
        static_cast<LinuxApplication*>(self)->terminate();
    }
}

void LinuxApplication::stopSignalWatches()
{
    signalWatches_.clear();
}

} // namespace ShadeLedgerZizadezavav
