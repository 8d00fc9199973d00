// xembed-icon: the agent's status item in a tray that takes only XEmbed icons (the owner of the
// X display's _NET_SYSTEM_TRAY_S<n> selection: Budgie 10.7, i3bar, tint2, …), where nothing on
// the session bus shows StatusNotifierItems. A program of its own, so that the agent links no
// toolkit: the agent starts it when no StatusNotifierWatcher has come by its look for a tray and
// ends it when one comes (xembed_icon.h).
//
// It shows the item as GTK 3's status icon: the item's IconPixmap at the tray's size, its Title as
// the tool tip, and on either click the item's own menu, which libdbusmenu-gtk3 builds from the
// item's DBusMenu and keeps live (a label that changes while the menu is open changes there, a
// click goes to the item). A new icon or title the item announces is read again.
//
// Ends with status 3 at once when there is no X display or no tray on it, with 1 when the item
// cannot be read, and with 0 when asked to (SIGTERM, SIGINT, SIGHUP), when its standard input
// ends (the agent's end of that pipe closed, however the agent ended) or when the item's bus
// name leaves the bus.
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <libdbusmenu-gtk/client.h>
#include <libdbusmenu-gtk/menu.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/glib_owners.h"
#include "platform/linux/xembed/item_pixmaps.h"
#include "platform/linux/xembed/xembed_icon.h"

namespace ShadeLedgerZizadezavav {
namespace {

constexpr const char* itemInterface = "org.kde.StatusNotifierItem";

// Ending is asked for from signal sources and bus callbacks, possibly before the loop runs.
bool endAsked = false;
void end()
{
    endAsked = true;
    if (gtk_main_level() > 0) {
        gtk_main_quit();
    }
}

bool trayRuns()
{
    GdkDisplay* display = gdk_display_get_default();
    if (!GDK_IS_X11_DISPLAY(display)) {
        return false;
    }
    int screen = gdk_x11_screen_get_screen_number(gdk_display_get_default_screen(display));
    std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    return XGetSelectionOwner(GDK_DISPLAY_XDISPLAY(display),
               gdk_x11_get_xatom_by_name_for_display(display, selection.c_str()))
        != None;
}

void destroyWidget(GtkWidget* widget)
{
    gtk_widget_destroy(widget);
    g_object_unref(widget);
}
// A toplevel widget of our own: destroyed and released with its owner.
using WidgetPtr = GOwner<GtkWidget, destroyWidget>;
using PixbufPtr = GObjectPtr<GdkPixbuf>;

PixbufPtr pixbufAt(const RGBAImage& image, int size)
{
    // The image's bytes are borrowed only until the copy or the scaled image is made.
    GOwner<GBytes, g_bytes_unref> bytes(g_bytes_new_static(image.rgba.data(), image.rgba.size()));
    PixbufPtr borrowed(gdk_pixbuf_new_from_bytes(
        bytes.get(), GDK_COLORSPACE_RGB, TRUE, 8, image.width, image.height, image.width * 4));
    int longer = std::max(image.width, image.height);
    if (longer == size) {
        return PixbufPtr(gdk_pixbuf_copy(borrowed.get()));
    }
    return PixbufPtr(
        gdk_pixbuf_scale_simple(borrowed.get(), std::max(1, image.width * size / longer),
            std::max(1, image.height * size / longer), GDK_INTERP_HYPER));
}

class XEmbedIcon {
public:
    XEmbedIcon(GDBusConnection* bus, std::string busName, std::string path)
        : bus_(retainGObject(bus))
        , busName_(std::move(busName))
        , path_(std::move(path))
        , calls_(g_cancellable_new())
    {
    }
    ~XEmbedIcon() { g_cancellable_cancel(calls_.get()); }
    XEmbedIcon(const XEmbedIcon&) = delete;
    XEmbedIcon& operator=(const XEmbedIcon&) = delete;

    // Reads the item and shows it; false when it cannot be read.
    bool start()
    {
        GErrorPtr error;
        GVariantPtr properties(readItem(nullptr, nullptr, errorOut(error)));
        if (!properties) {
            g_message("xembed-icon: cannot read the status item %s %s: %s", busName_.c_str(),
                path_.c_str(), error ? error->message : "");
            return false;
        }
        // No gtk_status_icon_set_name(): on an icon already shown it upsets GDK's frame clock.
        icon_ = adoptGObject(gtk_status_icon_new());
        const gchar* menuPath = nullptr;
        if (g_variant_lookup(properties.get(), "Menu", "&o", &menuPath)
            && g_strcmp0(menuPath, "/") != 0) {
            showMenuOf(menuPath);
        }
        take(properties.get());
        g_signal_connect(icon_.get(), "size-changed", G_CALLBACK(onSizeChanged), this);
        g_signal_connect(icon_.get(), "activate", G_CALLBACK(onActivate), this);
        g_signal_connect(icon_.get(), "popup-menu", G_CALLBACK(onPopupMenu), this);
        itemSignals_ = SignalSubscription(bus_.get(),
            g_dbus_connection_signal_subscribe(bus_.get(), busName_.c_str(), itemInterface, nullptr,
                path_.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onItemSignal, this, nullptr));
        return true;
    }

private:
    // GetAll of the item's properties: synchronously without a callback.
    GVariant* readItem(GAsyncReadyCallback done, gpointer data, GError** error)
    {
        auto* parameters = g_variant_new("(s)", itemInterface);
        const auto* type = G_VARIANT_TYPE("(a{sv})");
        if (done) {
            g_dbus_connection_call(bus_.get(), busName_.c_str(), path_.c_str(),
                "org.freedesktop.DBus.Properties", "GetAll", parameters, type,
                G_DBUS_CALL_FLAGS_NONE, -1, calls_.get(), done, data);
            return nullptr;
        }
        GVariantPtr reply(g_dbus_connection_call_sync(bus_.get(), busName_.c_str(), path_.c_str(),
            "org.freedesktop.DBus.Properties", "GetAll", parameters, type, G_DBUS_CALL_FLAGS_NONE,
            -1, nullptr, error));
        GVariant* properties = nullptr;
        if (reply) {
            g_variant_get(reply.get(), "(@a{sv})", &properties);
        }
        return properties;
    }

    void showMenuOf(const char* menuPath)
    {
        std::string name = busName_;
        std::string object = menuPath;
        menu_ = WidgetPtr(
            GTK_WIDGET(g_object_ref_sink(dbusmenu_gtkmenu_new(name.data(), object.data()))));
        // Without a group of its own the menu cannot take the items' shortcuts (Quit's).
        accelerators_ = adoptGObject(gtk_accel_group_new());
        dbusmenu_gtkclient_set_accel_group(
            dbusmenu_gtkmenu_get_client(DBUSMENU_GTKMENU(menu_.get())), accelerators_.get());
        gtk_menu_set_accel_group(GTK_MENU(menu_.get()), accelerators_.get());
    }

    // The title and the icon from a set of the item's properties.
    void take(GVariant* properties)
    {
        const gchar* title = nullptr;
        if (g_variant_lookup(properties, "Title", "&s", &title)) {
            gtk_status_icon_set_title(icon_.get(), title);
            gtk_status_icon_set_tooltip_text(icon_.get(), title);
        }
        GVariant* pixmaps
            = g_variant_lookup_value(properties, "IconPixmap", G_VARIANT_TYPE("a(iiay)"));
        if (!pixmaps) {
            return;
        }
        GVariantPtr owned(pixmaps);
        images_.clear();
        GVariantIter iter;
        g_variant_iter_init(&iter, pixmaps);
        gint32 width = 0;
        gint32 height = 0;
        GVariant* bytes = nullptr;
        while (g_variant_iter_next(&iter, "(ii@ay)", &width, &height, &bytes)) {
            GVariantPtr ownedBytes(bytes);
            gsize size = 0;
            const auto* data
                = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &size, 1));
            if (auto image = rgbaFromARGB(width, height, std::span(data, size))) {
                images_.push_back(std::move(*image));
            }
        }
        draw();
    }

    void draw()
    {
        auto chosen = imageForSize(images_, size_);
        if (!chosen) {
            // Something to click on all the same.
            gtk_status_icon_set_from_icon_name(icon_.get(), "image-missing");
            return;
        }
        gtk_status_icon_set_from_pixbuf(icon_.get(), pixbufAt(images_[*chosen], size_).get());
    }

    void popUp(guint button, guint32 time)
    {
        if (menu_) {
            gtk_menu_popup(GTK_MENU(menu_.get()), nullptr, nullptr, gtk_status_icon_position_menu,
                icon_.get(), button, time);
        }
    }

    static gboolean onSizeChanged(GtkStatusIcon*, gint size, gpointer data)
    {
        auto* self = static_cast<XEmbedIcon*>(data);
        if (size > 0) {
            self->size_ = size;
            self->draw();
        }
        return TRUE;
    }
    static void onActivate(GtkStatusIcon*, gpointer data)
    {
        static_cast<XEmbedIcon*>(data)->popUp(0, gtk_get_current_event_time());
    }
    static void onPopupMenu(GtkStatusIcon*, guint button, guint time, gpointer data)
    {
        static_cast<XEmbedIcon*>(data)->popUp(button, time);
    }
    static void onItemSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
        const gchar* member, GVariant*, gpointer data)
    {
        if (g_strcmp0(member, "NewIcon") == 0 || g_strcmp0(member, "NewTitle") == 0) {
            static_cast<XEmbedIcon*>(data)->readItem(onItemRead, data, nullptr);
        }
    }
    static void onItemRead(GObject* source, GAsyncResult* result, gpointer data)
    {
        GErrorPtr error;
        GVariantPtr reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, errorOut(error)));
        if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            return;
        }
        if (reply) {
            GVariant* properties = nullptr;
            g_variant_get(reply.get(), "(@a{sv})", &properties);
            GVariantPtr owned(properties);
            static_cast<XEmbedIcon*>(data)->take(properties);
        }
    }

    GObjectPtr<GDBusConnection> bus_;
    std::string busName_;
    std::string path_;
    GObjectPtr<GCancellable> calls_;
    GObjectPtr<GtkStatusIcon> icon_;
    WidgetPtr menu_;
    GObjectPtr<GtkAccelGroup> accelerators_;
    SignalSubscription itemSignals_;
    std::vector<RGBAImage> images_;
    // The tray's size for the icon, once it says; what most trays draw meanwhile.
    int size_ = 22;
};

int run(const char* busName, const char* path)
{
    // The agent holds the other end of standard input: its end, however it ends (killed too),
    // closes the pipe, and this program ends with it.
    SourceId agentPipe(g_unix_fd_add(
        STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        [](gint fd, GIOCondition, gpointer) -> gboolean {
            std::array<char, 64> unused{};
            ssize_t got = read(fd, unused.data(), unused.size());
            if (got > 0 || (got < 0 && (errno == EINTR || errno == EAGAIN))) {
                return G_SOURCE_CONTINUE;
            }
            end();
            // Removed with its owner below.
            return G_SOURCE_CONTINUE;
        },
        nullptr));
    std::vector<SourceId> signalWatches;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        signalWatches.emplace_back(g_unix_signal_add(
            signal,
            [](gpointer) -> gboolean {
                end();
                return G_SOURCE_CONTINUE;
            },
            nullptr));
    }
    // XEmbed trays are the X display's, also where GTK would pick Wayland.
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(nullptr, nullptr) || !trayRuns()) {
        return xembedNoTray;
    }
    GErrorPtr error;
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, errorOut(error)));
    if (!bus) {
        g_message("xembed-icon: no session bus: %s", error ? error->message : "");
        return 1;
    }
    BusNameWatch agent(g_bus_watch_name_on_connection(
        bus.get(), busName, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        [](GDBusConnection*, const gchar*, gpointer) { end(); }, nullptr, nullptr));
    XEmbedIcon icon(bus.get(), busName, path);
    if (!icon.start()) {
        return 1;
    }
    if (!endAsked) {
        gtk_main();
    }
    return 0;
}

} // namespace
} // namespace ShadeLedgerZizadezavav

int main(int argc, char** argv)
{
    if (argc != 3 || !g_dbus_is_name(argv[1]) || !g_variant_is_object_path(argv[2])) {
        g_printerr("usage: %s BUS-NAME OBJECT-PATH\n", argc > 0 ? argv[0] : "xembed-icon");
        return 2;
    }
    return ShadeLedgerZizadezavav::run(argv[1], argv[2]);
}
