// Small RAII owners for GLib and GObject values, so ownership shows in the type.
#pragma once

#include <gio/gio.h>
#include <glib.h>

#include <memory>
#include <utility>

#include <unistd.h>

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

// Hands a GError** to a call and gives the error it sets to owner, in one step:
//     g_file_trash(file, nullptr, errorOut(error));
class ErrorOut {
public:
    explicit ErrorOut(GErrorPtr& owner)
        : owner_(owner)
    {
    }
    ErrorOut(const ErrorOut&) = delete;
    ErrorOut& operator=(const ErrorOut&) = delete;
    ~ErrorOut()
    {
        if (raw_) {
            owner_.reset(raw_);
        }
    }
    operator GError**() { return &raw_; }

private:
    GErrorPtr& owner_;
    GError* raw_ = nullptr;
};
inline ErrorOut errorOut(GErrorPtr& owner)
{
    return ErrorOut(owner);
}

// An error the agent goes on without: silent unless G_MESSAGES_DEBUG names our domain.
inline void debugError(const char* context, const GError* error)
{
    if (error) {
        g_debug("%s: %s", context, error->message);
    }
}
inline void debugError(const char* context, const GErrorPtr& error)
{
    debugError(context, error.get());
}

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

// A plain handle (a bus name's ownership or watch, a file descriptor) released with its
// owner. Move-only.
template <typename Value, void (*Release)(Value), Value Invalid = Value{}> class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Value value)
        : value_(value)
    {
    }
    UniqueHandle(UniqueHandle&& other) noexcept
        : value_(std::exchange(other.value_, Invalid))
    {
    }
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.value_, Invalid));
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }
    void reset(Value value = Invalid)
    {
        if (value_ != Invalid) {
            Release(value_);
        }
        value_ = value;
    }
    // Gives up ownership without releasing.
    Value release() { return std::exchange(value_, Invalid); }
    Value get() const { return value_; }
    explicit operator bool() const { return value_ != Invalid; }

private:
    Value value_ = Invalid;
};

inline void closeDescriptor(int descriptor)
{
    ::close(descriptor);
}
using BusNameOwnership = UniqueHandle<guint, g_bus_unown_name>;
using BusNameWatch = UniqueHandle<guint, g_bus_unwatch_name>;
using FileDescriptor = UniqueHandle<int, closeDescriptor, -1>;

// Something registered on a D-Bus connection under an id (an exported object, a signal
// subscription), undone when its owner goes. Move-only.
template <void (*Undo)(GDBusConnection*, guint)> class ConnectionRegistration {
public:
    ConnectionRegistration() = default;
    ConnectionRegistration(GDBusConnection* connection, guint id)
        : connection_(id != 0 ? retainGObject(connection) : nullptr)
        , id_(id)
    {
    }
    ConnectionRegistration(ConnectionRegistration&& other) noexcept
        : connection_(std::move(other.connection_))
        , id_(std::exchange(other.id_, 0))
    {
    }
    ConnectionRegistration& operator=(ConnectionRegistration&& other) noexcept
    {
        if (this != &other) {
            reset();
            connection_ = std::move(other.connection_);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~ConnectionRegistration() { reset(); }
    void reset()
    {
        if (connection_ && id_ != 0) {
            Undo(connection_.get(), id_);
        }
        connection_.reset();
        id_ = 0;
    }
    explicit operator bool() const { return id_ != 0; }

private:
    GObjectPtr<GDBusConnection> connection_;
    guint id_ = 0;
};

inline void unregisterObject(GDBusConnection* connection, guint id)
{
    g_dbus_connection_unregister_object(connection, id);
}
using RegisteredObject = ConnectionRegistration<unregisterObject>;
using SignalSubscription = ConnectionRegistration<g_dbus_connection_signal_unsubscribe>;

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

// One reference to a GSource, dropped (the source is not destroyed) with its owner: an
// attached source goes on running on its context.
struct GSourceUnref {
    void operator()(GSource* source) const { g_source_unref(source); }
};
using GSourceRef = std::unique_ptr<GSource, GSourceUnref>;

} // namespace ShadeLedgerZizadezavav
