// The status item in a tray that takes only XEmbed icons (Budgie 10.7, i3bar, tint2, …), shown
// by a helper program out of the agent's process (xembed/xembed_icon.h), so that the agent links
// no toolkit.
//
// Implements: the helper started when the registration asks for the icon, in an X session only
// (DISPLAY set, no WAYLAND_DISPLAY: a Wayland compositor's X server may be started for nothing);
// any end of the helper that was not asked for (no tray, no GTK, no helper at all) as the icon
// not shown; the helper ended (SIGTERM, then SIGKILL after a second) and reaped before the icon
// counts as gone; SIGTERM to it when this object goes. That the helper never outlives the agent,
// even one killed, is the helper's: its standard input is a pipe that ends with the agent, and it
// watches the item's bus name.
#pragma once

#include <functional>
#include <string>

#include "platform/linux/glib_owners.h"
#include "platform/linux/status_registration.h"

namespace ShadeLedgerZizadezavav {

class XEmbedFallback final : public TrayFallback {
public:
    // helper: the program's path, empty for none; busName and itemPath: the item it shows.
    XEmbedFallback(std::string helper, std::string busName, std::string itemPath);
    ~XEmbedFallback() override;
    XEmbedFallback(const XEmbedFallback&) = delete;
    XEmbedFallback& operator=(const XEmbedFallback&) = delete;

    void show(std::function<void()> ended) override;
    void hide(std::function<void()> gone) override;

private:
    static void exited(GObject* source, GAsyncResult* result, gpointer data);
    static gboolean killFired(gpointer data);

    std::string helper_;
    std::string busName_;
    std::string itemPath_;
    GObjectPtr<GSubprocess> process_;
    // Cancelled with this object: no end of the helper is reported once it is gone.
    GObjectPtr<GCancellable> waiting_;
    std::function<void()> ended_;
    std::function<void()> gone_;
    SourceId kill_;
};

} // namespace ShadeLedgerZizadezavav
