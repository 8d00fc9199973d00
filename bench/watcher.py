"""A tray host for the benchmark: owns org.kde.StatusNotifierWatcher on the private bus
and prints, with CLOCK_MONOTONIC nanoseconds, when an item registers and the first
label of its menu after every change ("label <ns> <text>")."""
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
XML = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
</interface></node>"""

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
items = []


def say(*words):
    print(*words, flush=True)


def read_label(sender, menu_path):
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

    bus.call(sender, menu_path, "com.canonical.dbusmenu", "GetLayout",
             GLib.Variant("(iias)", (0, -1, ["label"])), None,
             Gio.DBusCallFlags.NONE, -1, None, done)


def method_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        say("registered", time.monotonic_ns())
        invocation.return_value(None)
        service = parameters.unpack()[0]
        name = sender if service.startswith("/") else service
        item_path = service if service.startswith("/") else "/StatusNotifierItem"
        items.append(service)
        menu = connection.call_sync(name, item_path, "org.freedesktop.DBus.Properties", "Get",
                                    GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Menu")),
                                    None, Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
        for signal in ("LayoutUpdated", "ItemsPropertiesUpdated"):
            connection.signal_subscribe(name, "com.canonical.dbusmenu", signal, menu, None,
                                        Gio.DBusSignalFlags.NONE,
                                        lambda *args: read_label(name, menu))
        read_label(name, menu)
        return
    invocation.return_value(None)


def get_property(connection, sender, path, interface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


info = Gio.DBusNodeInfo.new_for_xml(XML)
bus.register_object("/StatusNotifierWatcher", info.interfaces[0], method_call, get_property, None)
reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "RequestName", GLib.Variant("(su)", (WATCHER, 4)), None,
                      Gio.DBusCallFlags.NONE, -1, None)
say("ready", time.monotonic_ns())
GLib.MainLoop().run()
