#include "platform/linux/status_xembed.h"

#include "platform/linux/xembed/xembed_icon.h"

#include <csignal>
#include <utility>

namespace ShadeLedgerZizadezavav {

XEmbedFallback::XEmbedFallback(std::string helper, std::string busName, std::string itemPath)
    : helper_(std::move(helper))
    , busName_(std::move(busName))
    , itemPath_(std::move(itemPath))
    , waiting_(g_cancellable_new())
{
}

XEmbedFallback::~XEmbedFallback()
{
    g_cancellable_cancel(waiting_.get());
    // GIO reaps it once it has ended.
    if (process_) {
        g_subprocess_send_signal(process_.get(), SIGTERM);
    }
}

void XEmbedFallback::show(std::function<void()> ended)
{
    const char* display = g_getenv("DISPLAY");
    const char* wayland = g_getenv("WAYLAND_DISPLAY");
    if (helper_.empty() || !display || *display == '\0' || (wayland && *wayland != '\0')) {
        ended();
        return;
    }
    GErrorPtr error;
    // Its output and errors are the agent's: GTK's warnings land where the agent's do. Its input
    // is a pipe only this process holds open (close-on-exec here): the helper ends when it
    // closes, even when the agent is killed.
    process_ = adoptGObject(g_subprocess_new(G_SUBPROCESS_FLAGS_STDIN_PIPE, errorOut(error),
        helper_.c_str(), busName_.c_str(), itemPath_.c_str(), nullptr));
    if (!process_) {
        debugError("status item: starting the XEmbed icon", error);
        ended();
        return;
    }
    ended_ = std::move(ended);
    g_subprocess_wait_async(process_.get(), waiting_.get(), exited, this);
}

void XEmbedFallback::hide(std::function<void()> gone)
{
    ended_ = nullptr;
    if (!process_) {
        gone();
        return;
    }
    gone_ = std::move(gone);
    g_subprocess_send_signal(process_.get(), SIGTERM);
    // A helper that hangs must not keep the item from its tray.
    kill_ = SourceId(g_timeout_add(1000, killFired, this));
}

gboolean XEmbedFallback::killFired(gpointer data)
{
    auto* self = static_cast<XEmbedFallback*>(data);
    self->kill_.release();
    if (self->process_) {
        g_subprocess_force_exit(self->process_.get());
    }
    return G_SOURCE_REMOVE;
}

void XEmbedFallback::exited(GObject* source, GAsyncResult* result, gpointer data)
{
    GErrorPtr error;
    if (!g_subprocess_wait_finish(G_SUBPROCESS(source), result, errorOut(error))) {
        // Cancelled: this object is gone.
        return;
    }
    auto* self = static_cast<XEmbedFallback*>(data);
    GSubprocess* process = self->process_.get();
    if (g_subprocess_get_if_exited(process)
        && g_subprocess_get_exit_status(process) == xembedNoTray) {
        g_debug("status item: no XEmbed tray on this X display");
    } else {
        g_debug("status item: the XEmbed icon ended (wait status %d)",
            g_subprocess_get_status(process));
    }
    self->process_.reset();
    self->kill_.reset();
    auto gone = std::exchange(self->gone_, nullptr);
    auto ended = std::exchange(self->ended_, nullptr);
    if (gone) {
        gone();
    } else if (ended) {
        ended();
    }
}

} // namespace ShadeLedgerZizadezavav
