#!/usr/bin/env bash
# The built agent in a tray that takes only XEmbed icons (desktop.sh), with nothing on the session
# bus that shows StatusNotifierItems: openbox with tint2, or by hand i3 with i3bar (--host i3) or
# Budgie 10.7's panel (--host budgie). The agent's XEmbed icon shows there, drawn from the icon's
# pixels; a left and a right click open the menu with its 14 entries; the connection line changes
# while it stays open; a click on Quit in it ends the agent, leaving no icon and no helper. An
# agent that is killed leaves neither behind either. A tray that shows StatusNotifierItems, started
# later (lxqt-panel), takes the item over without a restart: the XEmbed icon goes, and the item's
# is the only icon; when that tray goes, the XEmbed icon comes back.
#
# Usage: tests/desktop/xembed_tray_test.sh [--host tint2|i3|budgie] [--screenshots DIR]
#   (DIR receives tray-HOST.png, menu-connected-HOST.png and menu-not-connected-HOST.png).
desktop_name=XEmbed
# shellcheck source=desktop.sh
source "$(dirname "$0")/desktop.sh" "$@"

host=tint2
shots=""
while (($#)); do
  case "$1" in
    --host) host=$2; shift ;;
    --screenshots) shots=$(realpath -m "$2"); shift ;; # not below /tmp, which is private here
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
desktop_name="XEmbed, $host"
screen_width=1024
screen_height=600

case $host in
  tint2)
    export XDG_CURRENT_DESKTOP=Openbox
    # Its default panel at the bottom, its tray's icons at the icon's own 22 px.
    mkdir -p "$XDG_CONFIG_HOME/tint2"
    sed -e 's/^systray_icon_size = .*/systray_icon_size = 22/' /etc/xdg/tint2/tint2rc \
      >"$XDG_CONFIG_HOME/tint2/tint2rc"
    panel_height=30 panel_top=$((screen_height - 30)) art_size=22 sni_panel=Top
    ;;
  i3)
    export XDG_CURRENT_DESKTOP=i3
    mkdir -p "$XDG_CONFIG_HOME/i3"
    printf '# i3 config file (v4)\nfont pango:DejaVu Sans 10\nbar {\n  position bottom\n}\n' \
      >"$XDG_CONFIG_HOME/i3/config"
    panel_height=22 panel_top=$((screen_height - 22)) art_size=0 sni_panel=Top
    ;;
  budgie)
    export XDG_CURRENT_DESKTOP=Budgie:GNOME
    # Like GNOME Shell, Budgie's window manager wants a system bus of its own.
    [[ -d /run/systemd ]] && mount -t tmpfs tmpfs /run/systemd
    mkdir -p /run/dbus
    mount -t tmpfs tmpfs /run/dbus
    dbus-daemon --system --nofork >"$work/system-bus.log" 2>&1 &
    export GIO_USE_VOLUME_MONITOR=unix
    # Its default panel at the bottom, 36 px.
    panel_height=36 panel_top=$((screen_height - 36)) art_size=0 sni_panel=Top
    ;;
  *) echo "unknown host $host" >&2; exit 2 ;;
esac
export XDG_SESSION_TYPE=x11
xembed_top=$panel_top xembed_height=$panel_height # find_icon moves panel_top and panel_height
start_display_and_bus :13 "${screen_width}x$screen_height"
case $host in
  tint2) openbox >"$work/wm.log" 2>&1 & tint2 >"$work/panel.log" 2>&1 & ;;
  i3) i3 >"$work/wm.log" 2>&1 & ;;
  budgie) budgie-wm --x11 >"$work/wm.log" 2>&1 & budgie-panel >"$work/panel.log" 2>&1 & ;;
esac
tray_up() { "$screen" xembed-tray; }
wait_for 60 "the $host tray never took the X display's tray selection" tray_up

helper_pattern="/Contents/MacOS/xembed-icon "
helper_runs() { pgrep -f "$helper_pattern"; }
helper_gone() { ! pgrep -f "$helper_pattern"; }
agent_gone() { ! kill -0 "$agent"; }
sni_watcher() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.kde.StatusNotifierWatcher | grep -q true
}
# The agent, until its helper shows the icon in the tray.
start_in_xembed_tray() {
  start_agent
  wait_for 60 "the agent never started its XEmbed icon" helper_runs
  find_icon "$panel_top" "$panel_height"
}

# 1. The icon, its menu on either click, live; Quit from that menu.
start_in_xembed_tray
wait_for 60 "the menu never said ● Connected (bridge not answering)" connected
sni_watcher && fail "something on the bus shows StatusNotifierItems: not a test of an XEmbed tray"
check_contrast
if ((art_size > 0)); then
  # Drawn from the item's pixels: the icon's 22 px rendering, over the panel's colour.
  convert "$source_dir/resources/icons/${art_size}x${art_size}.png" -background "$panel_colour" \
    -flatten -depth 8 "$work/art.ppm"
  read -r difference _ _ < <("$screen" artwork "$work/tray.ppm" "$icon_x" "$icon_y" "$work/art.ppm")
  echo "$desktop_name: the drawn icon differs from the artwork by $difference of 255 on average"
  awk -v d="$difference" 'BEGIN { exit !(d <= 12) }' || fail "the drawn icon is not the artwork (mean difference $difference)"
fi
menu_top=$((panel_top == 0 ? panel_height : 0))
menu_bottom=$((panel_top == 0 ? screen_height - 1 : panel_top - 1))
open_menu 1 "$menu_top" "$menu_bottom"
xdotool key Escape
closed() { shot closed && (($("$screen" differs "$work/tray.ppm" "$work/closed.ppm" "$menu_x" "$menu_y" "$menu_w" "$menu_h") == 0)); }
wait_for 30 "the menu did not close on Escape" closed
open_menu 3 "$menu_top" "$menu_bottom"
check_line_changes_while_open
[[ -n "$shots" ]] && save_screenshots "$shots" "$host"
# Quit is the last item that can be chosen: the arrow key shows where it is drawn, and a click
# there goes to the agent.
shot before-quit
xdotool key Up
highlighted() {
  shot quit-highlighted && "$screen" region "$work/before-quit.ppm" "$work/quit-highlighted.ppm" \
    "$menu_y" "$((menu_y + menu_h - 1))" >"$work/quit.txt" && read -r _ _ _ h _ <"$work/quit.txt" && ((h > 5))
}
wait_for 30 "no item of the menu was highlighted" highlighted
read -r quit_x quit_y quit_w quit_h _ <"$work/quit.txt"
xdotool mousemove "$((quit_x + quit_w / 2))" "$((quit_y + quit_h / 2))" click 1
wait_for 30 "a click on Quit in the XEmbed icon's menu did not end the agent" agent_gone
wait_for 30 "the helper outlived the agent's Quit" helper_gone
wait_for 30 "the icon stayed in the tray after Quit" icon_gone "$panel_top" "$panel_height"
echo "$desktop_name: Quit from the menu ended the agent; no icon and no helper are left"

# 2. An agent that is killed takes its icon and its helper with it.
start_in_xembed_tray
{ kill -KILL "$agent" && wait "$agent"; } 2>/dev/null || true
wait_for 30 "the helper outlived the killed agent" helper_gone
wait_for 30 "the icon stayed in the tray after the agent was killed" icon_gone "$panel_top" "$panel_height"
echo "$desktop_name: a killed agent left no icon and no helper"

# 3. A tray that shows StatusNotifierItems comes later: the item goes there, once.
start_in_xembed_tray
mkdir -p "$XDG_CONFIG_HOME/lxqt"
printf '[General]\n__userfile__=true\npanels=panel1\n\n[panel1]\nalignment=-1\npanelSize=32\niconSize=22\nplugins=statusnotifier\nposition=%s\nwidth=100\nwidth-percent=true\n\n[statusnotifier]\ntype=statusnotifier\n' \
  "$sni_panel" >"$XDG_CONFIG_HOME/lxqt/panel.conf"
lxqt-panel >"$work/lxqt-panel.log" 2>&1 &
wait_for 60 "lxqt-panel never offered a status tray" sni_watcher
wait_for 30 "the XEmbed icon's helper stayed after a watcher came" helper_gone
wait_for 60 "the agent's item never registered with the later tray" item_listed
xembed_icon_gone() { icon_gone "$panel_top" "$panel_height"; }
wait_for 30 "the XEmbed icon stayed beside the later tray's" xembed_icon_gone
[[ $sni_panel == Top ]] && sni_top=0 || sni_top=$((screen_height - 32))
find_icon "$sni_top" 32
# No icon anywhere else on the screen: nothing that is not the later panel holds it.
outside() {
  if ((sni_top == 0)); then "$screen" icon "$work/tray.ppm" 32 "$((screen_height - 32))"; else "$screen" icon "$work/tray.ppm" 0 "$sni_top"; fi
}
outside >/dev/null && fail "the icon is drawn twice"
echo "$desktop_name: a tray started later took the item over; the XEmbed icon went"
# 4. That tray goes: the XEmbed icon comes back.
kill -TERM "$(pgrep -x lxqt-panel)"
wait_for 60 "the agent's XEmbed icon did not come back when the later tray went" helper_runs
find_icon "$xembed_top" "$xembed_height"
echo "$desktop_name: the later tray went; the XEmbed icon came back"
stop_agent
wait_for 30 "the helper outlived the agent" helper_gone
check_agent_quiet
echo "PASS ($desktop_name)"
