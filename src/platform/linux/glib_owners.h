// Small RAII owners for GLib and GObject values, so ownership shows in the type.
#pragma once

#include <gio/gio.h>
#include <glib.h>

#include <memory>
#include <utility>

#include "platform/posix/file_descriptor.h"

namespace ShadeLedgerZizadezavav {

// Releases a GLib value with the function its type is freed by (g_object_unref, g_free, ...).
template <auto release> struct GReleaser {
    template <typename T> void operator()(T* value) const { release(value); }
};
// Owns one GLib value, freed by release when its owner goes.
template <typename T, auto release> using GOwner = std::unique_ptr<T, GReleaser<release>>;

// Owns one reference to a GObject.
template <typename T> using GObjectPtr = GOwner<T, g_object_unref>;

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

using GCharPtr = GOwner<gchar, g_free>;
using GStrvPtr = GOwner<gchar*, g_strfreev>;
using GErrorPtr = GOwner<GError, g_error_free>;
using GVariantPtr = GOwner<GVariant, g_variant_unref>;
using GKeyFilePtr = GOwner<GKeyFile, g_key_file_free>;
using GMainLoopPtr = GOwner<GMainLoop, g_main_loop_unref>;
using GMainContextPtr = GOwner<GMainContext, g_main_context_unref>;
using GUriPtr = GOwner<GUri, g_uri_unref>;
using GDBusNodeInfoPtr = GOwner<GDBusNodeInfo, g_dbus_node_info_unref>;

inline void destroySource(GSource* source)
{
    g_source_destroy(source);
    g_source_unref(source);
}
// A GSource of our own, on any context: destroyed (detached) and released with its owner.
using GSourcePtr = GOwner<GSource, destroySource>;
// One reference to a GSource, dropped (the source is not destroyed) with its owner: an
// attached source goes on running on its context.
using GSourceRef = GOwner<GSource, g_source_unref>;

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

// A plain handle (a source attached to a context, a bus name's ownership or watch) released
// with its owner. Move-only. File descriptors have their owner in platform/posix.
template <typename Value, auto Release, Value Invalid = Value{}> class UniqueHandle {
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
    // Gives up ownership without releasing (also: forgets a source that has removed itself,
    // its callback having returned G_SOURCE_REMOVE).
    Value release() { return std::exchange(value_, Invalid); }
    Value get() const { return value_; }
    explicit operator bool() const { return value_ != Invalid; }

private:
    Value value_ = Invalid;
};

using SourceId = UniqueHandle<guint, g_source_remove>;
using BusNameOwnership = UniqueHandle<guint, g_bus_unown_name>;
using BusNameWatch = UniqueHandle<guint, g_bus_unwatch_name>;

// Something registered on a D-Bus connection under an id (an exported object, a signal
// subscription), undone when its owner goes. Move-only.
template <auto Undo> class ConnectionRegistration {
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

using RegisteredObject = ConnectionRegistration<g_dbus_connection_unregister_object>;
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

} // namespace ShadeLedgerZizadezavav
