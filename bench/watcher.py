"""A tray host for the benchmark: owns org.kde.StatusNotifierWatcher on the private bus and
keeps its list of items as the real watchers do (KDE's kded5 and GNOME's AppIndicator
extension): an item registered by object path is the caller's unique name followed by that
path, one registered by bus name is that name followed by /StatusNotifierItem; an item whose
name leaves the bus leaves the list. It prints, with CLOCK_MONOTONIC nanoseconds, each
registration and each item that left ("registered <ns> <item>", "unregistered <ns> <item>")
and the first label of the item's menu after every change ("label <ns> <text>")."""
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
XML = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
<signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
</interface></node>"""

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
items = []
watches = {}


def say(*words):
    print(*words, flush=True)


def read_label(name, menu_path):
    def done(connection, result):
        try:
            reply = connection.call_finish(result)
        except GLib.Error as error:
            say("error", time.monotonic_ns(), error.message)
            return
        _, layout = reply.unpack()
        children = layout[2]
        if children:
            say("label", time.monotonic_ns(), children[0][1].get("label", ""))

    bus.call(name, menu_path, "com.canonical.dbusmenu", "GetLayout",
             GLib.Variant("(iias)", (0, -1, ["label"])), None,
             Gio.DBusCallFlags.NONE, -1, None, done)


def item_left(connection, name):
    for item in [item for item in items if item.startswith(name + "/")]:
        items.remove(item)
        say("unregistered", time.monotonic_ns(), item)
        connection.emit_signal(None, WATCHER_PATH, WATCHER, "StatusNotifierItemUnregistered",
                               GLib.Variant("(s)", (item,)))
    Gio.bus_unwatch_name(watches.pop(name))


def register(connection, sender, service):
    name, item_path = (sender, service) if service.startswith("/") else \
        (service, "/StatusNotifierItem")
    item = name + item_path
    say("registered", time.monotonic_ns(), item)
    if item in items:
        return
    items.append(item)
    if name not in watches:
        watches[name] = Gio.bus_watch_name_on_connection(
            connection, name, Gio.BusNameWatcherFlags.NONE, None,
            lambda connection, gone: item_left(connection, gone))
    connection.emit_signal(None, WATCHER_PATH, WATCHER, "StatusNotifierItemRegistered",
                           GLib.Variant("(s)", (item,)))
    menu = connection.call_sync(name, item_path, "org.freedesktop.DBus.Properties", "Get",
                                GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")),
                                None, Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
    for signal in ("LayoutUpdated", "ItemsPropertiesUpdated"):
        connection.signal_subscribe(name, "com.canonical.dbusmenu", signal, menu, None,
                                    Gio.DBusSignalFlags.NONE,
                                    lambda *args: read_label(name, menu))
    read_label(name, menu)


def method_call(connection, sender, path, interface, method, parameters, invocation):
    invocation.return_value(None)
    if method == "RegisterStatusNotifierItem":
        register(connection, sender, parameters.unpack()[0])


def get_property(connection, sender, path, interface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


info = Gio.DBusNodeInfo.new_for_xml(XML)
bus.register_object(WATCHER_PATH, info.interfaces[0], method_call, get_property, None)
reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "RequestName", GLib.Variant("(su)", (WATCHER, 4)), None,
                      Gio.DBusCallFlags.NONE, -1, None)
say("ready", time.monotonic_ns())
GLib.MainLoop().run()
