// Small RAII owners for GLib and GObject values, so ownership shows in the type.
#pragma once

#include <gio/gio.h>
#include <glib.h>

#include <memory>
#include <utility>

namespace ShadeLedgerZizadezavav {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
// Owns one reference to a GObject.
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over a reference the caller already owns (a "transfer full" result).
template <typename T> GObjectPtr<T> adoptGObject(T* object)
{
    return GObjectPtr<T>(object);
}
// Adds a reference of our own.
template <typename T> GObjectPtr<T> retainGObject(T* object)
{
    return GObjectPtr<T>(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

struct GStrvFree {
    void operator()(gchar** strv) const { g_strfreev(strv); }
};
using GStrvPtr = std::unique_ptr<gchar*, GStrvFree>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GVariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

struct GKeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using GKeyFilePtr = std::unique_ptr<GKeyFile, GKeyFileFree>;

struct GMainLoopUnref {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
using GMainLoopPtr = std::unique_ptr<GMainLoop, GMainLoopUnref>;

struct GMainContextUnref {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
using GMainContextPtr = std::unique_ptr<GMainContext, GMainContextUnref>;

struct GUriUnref {
    void operator()(GUri* uri) const { g_uri_unref(uri); }
};
using GUriPtr = std::unique_ptr<GUri, GUriUnref>;

struct GDBusNodeInfoUnref {
    void operator()(GDBusNodeInfo* info) const { g_dbus_node_info_unref(info); }
};
using GDBusNodeInfoPtr = std::unique_ptr<GDBusNodeInfo, GDBusNodeInfoUnref>;

// A GSource of our own, on any context: destroyed (detached) and released with its owner.
struct GSourceDestroy {
    void operator()(GSource* source) const
    {
        g_source_destroy(source);
        g_source_unref(source);
    }
};
using GSourcePtr = std::unique_ptr<GSource, GSourceDestroy>;

// A GLib source attached to a context, destroyed with its owner. Move-only.
class SourceId {
public:
    SourceId() = default;
    explicit SourceId(guint id)
        : id_(id)
    {
    }
    SourceId(SourceId&& other) noexcept
        : id_(std::exchange(other.id_, 0))
    {
    }
    SourceId& operator=(SourceId&& other) noexcept
    {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~SourceId() { reset(); }
    void reset()
    {
        if (id_ != 0) {
            g_source_remove(std::exchange(id_, 0));
        }
    }
    // Forgets a source that has removed itself (its callback returned G_SOURCE_REMOVE).
    void release() { id_ = 0; }
    guint get() const { return id_; }
    explicit operator bool() const { return id_ != 0; }

private:
    guint id_ = 0;
};

// A signal connection that disconnects when its owner goes. Move-only.
class SignalConnection {
public:
    SignalConnection() = default;
    SignalConnection(gpointer instance, gulong id)
        : instance_(instance)
        , id_(id)
    {
    }
    SignalConnection(SignalConnection&& other) noexcept
        : instance_(std::exchange(other.instance_, nullptr))
        , id_(std::exchange(other.id_, 0))
    {
    }
    SignalConnection& operator=(SignalConnection&& other) noexcept
    {
        if (this != &other) {
            disconnect();
            instance_ = std::exchange(other.instance_, nullptr);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~SignalConnection() { disconnect(); }
    void disconnect()
    {
        if (instance_ && id_ != 0) {
            g_signal_handler_disconnect(instance_, id_);
        }
        instance_ = nullptr;
        id_ = 0;
    }

private:
    gpointer instance_ = nullptr;
    gulong id_ = 0;
};

} // namespace ShadeLedgerZizadezavav
