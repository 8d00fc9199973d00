#!/usr/bin/env bash
# The built agent in a real tray: Xvfb, a private session bus and xfce4-panel with its status
# tray, all inside private PID, mount and network namespaces. Checks from screenshots and
# clicks that the icon stands out from the panel (3:1 or better), that a click opens the menu
# with its 14 entries, and that the connection line changes while the menu stays open.
#
# Usage: tests/desktop/xfce_tray_test.sh [--light] [--installed] [--screenshots DIR]
#   (dark panel by default; --installed runs the agent as a person would after a per-user
#   install, from the launcher that `cmake --install` wrote; DIR receives tray-<theme>.png, menu-connected-<theme>.png and
#   menu-not-connected-<theme>.png). Needs root or user namespaces, and the Debian packages
#   of scripts/setup.sh --extended. Expects the default preset to be built.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

if [[ "${SL_TRAY_INSIDE:-}" != 1 ]]; then
  # The agent's clean-up (pkill of stray bridges) and the X server stay inside.
  SL_TRAY_INSIDE=1 exec unshare --pid --fork --mount-proc --net --mount "$0" "$@"
fi

theme=dark
shots=""
installed=false
while (($#)); do
  case "$1" in
    --light) theme=light ;;
    --installed) installed=true ;;
    --screenshots) shots=$(realpath -m "$2"); shift ;; # not below /tmp, which is private here
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

agent_bin="$source_dir/build/default/ShadeLedgerZizadezavav.app/Contents/MacOS/ShadeLedgerZizadezavav"
[[ -x "$agent_bin" ]] || { echo "build the default preset first ($agent_bin)" >&2; exit 2; }
screen="$here/screen.py"
# A private /tmp (the X server's socket and lock live there) and home: nothing reaches the
# host's displays or files. A checkout below /tmp is carried over into the private one.
if [[ "$source_dir/" == /tmp/* ]]; then
  mkdir -p /mnt
  mount -t tmpfs tmpfs /mnt
  mkdir /mnt/source
  mount --bind "$source_dir" /mnt/source
  mount -t tmpfs tmpfs /tmp
  mkdir -p "$source_dir"
  mount --bind /mnt/source "$source_dir"
else
  mount -t tmpfs tmpfs /tmp
fi
work=$(mktemp -d /tmp/sl-tray.XXXXXX)
panel_height=30

fail() {
  echo "FAIL ($theme panel): $*" >&2
  [[ -n "${SL_TRAY_KEEP:-}" ]] && cp -r "$work" "$SL_TRAY_KEEP" # for a closer look
  for log in panel agent layout monitor home/.shadeledger/bridge; do
    for f in "$work/$log".*; do [[ -f "$f" ]] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }; done
  done
  exit 1
}
trap 'fail "a step failed at line $LINENO"' ERR
# Waits for a command to succeed, checking every 0.1 s, up to a generous limit in seconds.
wait_for() {
  local limit=$1 what=$2
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || fail "$what (after ${limit}s)"
    sleep 0.1
  done
}

ip link set lo up
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset SESSION_MANAGER DESKTOP_SESSION

# The panel's configuration, so that it shows no first-run dialog: one panel along the top with
# the status tray only.
dark=$([[ $theme == dark ]] && echo true || echo false)
xfconf="$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
mkdir -p "$xfconf"
cat >"$xfconf/xfce4-panel.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value="$dark"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="$panel_height"/>
      <property name="icon-size" type="uint" value="22"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
XML

Xvfb :5 -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
export DISPLAY=:5
wait_for 30 "Xvfb did not start" xdpyinfo

dbus-daemon --session --address="unix:path=$work/bus" --nofork --print-address=1 >"$work/bus.address" 2>"$work/bus.log" &
wait_for 30 "the session bus did not start" test -s "$work/bus.address"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"

dbus-monitor --session "interface='com.canonical.dbusmenu'" >"$work/monitor.log" 2>&1 &
xfce4-panel --disable-wm-check >"$work/panel.log" 2>&1 &
watcher_owned() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.kde.StatusNotifierWatcher | grep -q true
}
wait_for 60 "xfce4-panel never offered a status tray" watcher_owned

if $installed; then
  cmake --install "$source_dir/build/default" --prefix "$HOME/.local" >"$work/install.log"
  launcher="$XDG_DATA_HOME/applications/com.vortlin.shadeledger.zizadezavav.desktop"
  gio launch "$launcher" >"$work/agent.log" 2>&1
  started() { pgrep -f -n "$HOME/.local/lib/shadeledger-zizadezavav/ShadeLedgerZizadezavav.app/Contents/MacOS/"; }
  wait_for 30 "the launcher did not start the installed agent" started
  agent=$(started)
else
  "$agent_bin" >"$work/agent.log" 2>&1 &
  agent=$!
fi
item="org.kde.StatusNotifierItem-$agent-1"
layout() {
  gdbus call --session --dest "$item" --object-path /MenuBar \
    --method com.canonical.dbusmenu.GetLayout -- 0 -1 '["label"]'
}
registered() {
  gdbus introspect --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher >/dev/null &&
    gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
      --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems |
    grep -q "$item"
}
wait_for 60 "the agent's item never registered with the tray" registered
connected() { layout >"$work/layout.txt" 2>&1; grep -q "● Connected" "$work/layout.txt"; }
wait_for 60 "the menu never said ● Connected (bridge not answering)" connected

# The icon, drawn: found on the panel by its colour, against the panel's own colour.
shot() { import -window root "$work/$1.png" && convert "$work/$1.png" -depth 8 "$work/$1.ppm"; }
icon_drawn() { shot tray && "$screen" icon "$work/tray.ppm" "$panel_height" >"$work/icon.txt"; }
wait_for 60 "the tray never drew the agent's icon" icon_drawn
read -r icon_x icon_y contrast panel_colour <"$work/icon.txt"
echo "icon at $icon_x,$icon_y on the $theme panel ($panel_colour): contrast $contrast:1"
awk -v c="$contrast" 'BEGIN { exit !(c >= 3.0) }' || fail "the icon's contrast with the panel is only $contrast:1"

# A click opens the menu: the tray draws it below the panel.
xdotool mousemove "$icon_x" "$icon_y" click 1
menu_drawn() {
  shot open && "$screen" region "$work/tray.ppm" "$work/open.ppm" >"$work/menu.txt" &&
    read -r _ _ w h _ <"$work/menu.txt" && ((w > 60 && h > 100))
}
wait_for 30 "a click on the icon did not open the menu" menu_drawn
read -r menu_x menu_y menu_w menu_h menu_pixels <"$work/menu.txt"
entries=$(layout | grep -o '<(' | wc -l)
((entries == 14)) || fail "the menu has $entries entries, not 14"
echo "menu open at ${menu_x},${menu_y} (${menu_w}x${menu_h}) with $entries entries"

# The bridge goes away: the connection line changes while the menu stays open.
pkill -f 'server[.]mjs'
not_connected() { layout | grep -q '○ Not connected'; }
wait_for 30 "the menu never said ○ Not connected after the bridge stopped" not_connected
redrawn() {
  shot changed &&
    (($("$screen" differs "$work/open.ppm" "$work/changed.ppm" "$menu_x" "$menu_y" "$menu_w" "$menu_h") > 0))
}
wait_for 30 "the open menu never showed the new connection line" redrawn
grep -q '"closed"' "$work/monitor.log" && fail "the menu closed when the connection line changed"
still_open=$("$screen" differs "$work/tray.ppm" "$work/changed.ppm" "$menu_x" "$menu_y" "$menu_w" "$menu_h")
# Most of what the open menu drew is still there.
((still_open * 2 > menu_pixels)) || fail "the menu is no longer on the screen"
grep -qi "child-display" "$work/panel.log" && fail "the tray warned about the menu's root: $(grep -i child-display "$work/panel.log" | head -1)"

if [[ -n "$shots" ]]; then
  mkdir -p "$shots"
  pad=6
  convert "$work/tray.png" -crop "$((icon_x + 60))x${panel_height}+$((icon_x > 60 ? icon_x - 60 : 0))+0" +repage \
    -filter point -resize 300% "$shots/tray-$theme.png"
  crop="$((menu_w + 2 * pad))x$((menu_h + 2 * pad))+$((menu_x > pad ? menu_x - pad : 0))+$((menu_y > pad ? menu_y - pad : 0))"
  convert "$work/open.png" -crop "$crop" +repage "$shots/menu-connected-$theme.png"
  convert "$work/changed.png" -crop "$crop" +repage "$shots/menu-not-connected-$theme.png"
  echo "screenshots in $shots"
fi
echo "PASS ($theme panel)"
