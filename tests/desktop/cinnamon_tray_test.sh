#!/usr/bin/env bash
# The built agent in Cinnamon's panel (desktop.sh): XApp's StatusNotifierWatcher
# (xapp-sn-watcher) hands the item to the panel's XApp status applet. The icon stands out from
# the panel, a left click opens the menu with its 14 entries (the watcher asks an item to
# activate without waiting for the answer, and opens the menu instead only for an indicator's
# path), and the connection line changes while the menu stays open.
#
# Usage: tests/desktop/cinnamon_tray_test.sh [--screenshots DIR]
#   (DIR receives tray-cinnamon.png, menu-connected-cinnamon.png and
#   menu-not-connected-cinnamon.png).
desktop_name=Cinnamon
# shellcheck source=desktop.sh
source "$(dirname "$0")/desktop.sh" "$@"

shots=""
while (($#)); do
  case "$1" in
    --screenshots) shots=$(realpath -m "$2"); shift ;; # not below /tmp, which is private here
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
screen_height=600
panel_height=40

# Like GNOME Shell, Cinnamon gives up at start when /run/systemd/seats exists but no logind
# answers; it gets a system bus of its own instead of the host's.
[[ -d /run/systemd ]] && mount -t tmpfs tmpfs /run/systemd
mkdir -p /run/dbus
mount -t tmpfs tmpfs /run/dbus
dbus-daemon --system --nofork >"$work/system-bus.log" 2>&1 &

export XDG_CURRENT_DESKTOP=X-Cinnamon XDG_SESSION_TYPE=x11
# No volume monitors: nothing asks the private system bus to start udisks.
export GIO_USE_VOLUME_MONITOR=unix
start_display_and_bus :9 "1024x$screen_height"
cinnamon --replace >"$work/cinnamon.log" 2>&1 &
# Clicks made while Cinnamon is still starting may go nowhere: it says when it is done.
started() { grep -q "Cinnamon took [0-9]* ms to start" "$work/cinnamon.log"; }
wait_for 120 "Cinnamon never finished starting" started
# The watcher stays only while a status applet of the panel runs: started once the panel is up.
applet_up() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.ListNames | grep -q "org.x.StatusIconMonitor"
}
wait_for 60 "Cinnamon's XApp status applet never appeared" applet_up
/usr/libexec/xapps/sn-watcher/xapp-sn-watcher >"$work/watcher.log" 2>&1 &
wait_for 60 "xapp-sn-watcher never offered a status tray" host_registered

start_agent
wait_for 60 "the agent's item never registered with the tray" item_listed
wait_for 60 "the menu never said ● Connected (bridge not answering)" connected

panel_top=$((screen_height - panel_height))
find_icon "$panel_top" "$panel_height"
# Cinnamon's own theme paints the panel mid grey (#555555), not one of the panels the icon is drawn
# for (light, translucent and dark): next to mid grey, no dark rim reaches 3:1 and the light body
# reaches 2.7:1. What is held is that the drawn icon keeps that much.
check_contrast 2.5
open_menu 1 0 "$((panel_top - 1))"
check_line_changes_while_open
check_agent_quiet

[[ -n "$shots" ]] && save_screenshots "$shots" cinnamon
echo "PASS ($desktop_name)"
