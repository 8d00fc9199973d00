# shellcheck shell=bash
# What the desktop tests share: the built agent in a real tray host under Xvfb, on a private
# session bus, inside private PID, mount and network namespaces (the agent's clean-up, pkill of
# stray bridges, and the X server stay inside). Checks are made from screenshots (ImageMagick)
# and clicks (xdotool), every wait on an event with a generous limit.
#
# Sourced first thing by each test script, with its arguments:
#   source "$(dirname "$0")/desktop.sh" "$@"
# which runs the script again inside the namespaces. Needs root or user namespaces, the Debian
# packages of scripts/setup.sh --extended and the default preset built.
set -euo pipefail
desktop_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$desktop_dir/../.." && pwd)

if [[ "${SL_TRAY_INSIDE:-}" != 1 ]]; then
  SL_TRAY_INSIDE=1 exec unshare --pid --fork --mount-proc --net --mount "$0" "$@"
fi

agent_bin="$source_dir/build/default/ShadeLedgerZizadezavav.app/Contents/MacOS/ShadeLedgerZizadezavav"
[[ -x "$agent_bin" ]] || { echo "build the default preset first ($agent_bin)" >&2; exit 2; }
screen="$desktop_dir/screen.py"
desktop_name=${desktop_name:-desktop}

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

fail() {
  echo "FAIL ($desktop_name): $*" >&2
  [[ -n "${SL_TRAY_KEEP:-}" ]] && cp -r "$work" "$SL_TRAY_KEEP" # for a closer look
  for f in "$work"/*.log "$work"/home/.shadeledger/bridge.log; do
    [[ -f "$f" ]] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
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
export XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/runtime" LANG=C.UTF-8
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset SESSION_MANAGER DESKTOP_SESSION

# Xvfb on display $1 with a screen of $2 (WIDTHxHEIGHT), then a private session bus.
start_display_and_bus() {
  Xvfb "$1" -screen 0 "${2}x24" -nolisten tcp +extension GLX +extension RANDR >"$work/xvfb.log" 2>&1 &
  export DISPLAY=$1
  wait_for 30 "Xvfb did not start" xdpyinfo
  dbus-daemon --session --address="unix:path=$work/bus" --nofork --print-address=1 >"$work/bus.address" 2>"$work/bus.log" &
  wait_for 30 "the session bus did not start" test -s "$work/bus.address"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
  dbus-monitor --session "interface='com.canonical.dbusmenu'" >"$work/monitor.log" 2>&1 &
}

watcher() {
  gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher "$1"
}
host_registered() { watcher IsStatusNotifierHostRegistered | grep -q true; }

# Starts the agent (--installed: as a person would after a per-user install, from the launcher
# that `cmake --install` wrote); sets agent (its PID) and item (its bus name).
start_agent() {
  if [[ "${1:-}" == --installed ]]; then
    cmake --install "$source_dir/build/default" --prefix "$HOME/.local" >"$work/install.log"
    # The launcher is named by the bundle identifier, as the installed Info.plist gives it.
    local identifier
    identifier=$(python3 -c 'import plistlib, sys; print(plistlib.load(sys.stdin.buffer)["CFBundleIdentifier"])' \
      <"$HOME/.local/lib/shadeledger-zizadezavav/ShadeLedgerZizadezavav.app/Contents/Info.plist")
    gio launch "$XDG_DATA_HOME/applications/$identifier.desktop" >>"$work/agent.log" 2>&1
    # The oldest: the keeper of each child the agent starts runs under the same command line.
    installed_agent() { pgrep -f -o "$HOME/.local/lib/shadeledger-zizadezavav/ShadeLedgerZizadezavav.app/Contents/MacOS/"; }
    wait_for 30 "the launcher did not start the installed agent" installed_agent
    agent=$(installed_agent)
  else
    "$agent_bin" >>"$work/agent.log" 2>&1 &
    agent=$!
  fi
  item="org.kde.StatusNotifierItem-$agent-1"
}
stop_agent() {
  kill -TERM "$agent"
  wait_for 30 "the agent did not end on SIGTERM" eval "! kill -0 $agent"
}

# The watcher lists the agent's item: by the unique name it registered from (with its path) or
# by its bus name.
item_listed() {
  local owner
  owner=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetNameOwner "$item" | sed -E "s/^\('([^']*)',\)$/\1/")
  watcher RegisteredStatusNotifierItems | grep -Eq "'(${owner//./\\.}|$item)([/@][^']*)?'"
}
layout() {
  gdbus call --session --dest "$item" --object-path /MenuBar \
    --method com.canonical.dbusmenu.GetLayout -- 0 -1 '["label"]'
}
connected() { layout >"$work/layout.txt" 2>&1; grep -q "● Connected" "$work/layout.txt"; }

shot() { import -window root "$work/$1.png" && convert "$work/$1.png" -depth 8 "$work/$1.ppm"; }

# The icon, drawn in the panel strip of $2 rows from $1: found by its colour, measured against
# the panel's own colour. Sets icon_x, icon_y, contrast and panel_colour.
icon_drawn() { shot tray && "$screen" icon "$work/tray.ppm" "$1" "$2" >"$work/icon.txt"; }
icon_gone() { shot gone && ! "$screen" icon "$work/gone.ppm" "$1" "$2"; }
find_icon() {
  panel_top=$1 panel_height=$2
  wait_for 60 "the tray never drew the agent's icon" icon_drawn "$1" "$2"
  read -r icon_x icon_y contrast panel_colour <"$work/icon.txt"
}
# The drawn icon keeps $1 (3 by default) to 1 against the panel.
check_contrast() {
  local minimum=${1:-3.0}
  echo "$desktop_name: icon at $icon_x,$icon_y on the panel ($panel_colour): contrast $contrast:1"
  awk -v c="$contrast" -v m="$minimum" 'BEGIN { exit !(c >= m) }' || fail "the icon's contrast with the panel is only $contrast:1"
}

# A click with button $1 on the icon opens the menu, drawn in rows $2 to $3; it has 14 entries.
# Sets menu_x, menu_y, menu_w, menu_h and menu_pixels once the menu stands still.
open_menu() {
  local button=$1 top=$2 bottom=$3
  xdotool mousemove "$icon_x" "$icon_y" click "$button"
  menu_drawn() {
    shot open && "$screen" region "$work/tray.ppm" "$work/open.ppm" "$top" "$bottom" >"$work/menu.txt" &&
      read -r _ _ w h _ <"$work/menu.txt" && ((w > 60 && h > 100))
  }
  wait_for 30 "a click with button $button on the icon did not open the menu" menu_drawn
  # Menus may open with an animation: wait until two pictures in a row are the same.
  still() {
    cp "$work/open.ppm" "$work/before.ppm" && menu_drawn &&
      (($("$screen" differs "$work/before.ppm" "$work/open.ppm" 0 "$top" "$(identify -format %w "$work/open.ppm")" "$((bottom - top + 1))") == 0))
  }
  wait_for 30 "the menu never stood still" still
  read -r menu_x menu_y menu_w menu_h menu_pixels <"$work/menu.txt"
  local entries
  entries=$(layout | grep -o '<(' | wc -l)
  ((entries == 14)) || fail "the menu has $entries entries, not 14"
  echo "$desktop_name: menu open at ${menu_x},${menu_y} (${menu_w}x${menu_h}) with $entries entries"
}

# The bridge goes away: the connection line changes while the menu stays open.
check_line_changes_while_open() {
  pkill -f 'server[.]mjs'
  not_connected() { layout | grep -q '○ Not connected'; }
  wait_for 30 "the menu never said ○ Not connected after the bridge stopped" not_connected
  redrawn() {
    shot changed &&
      (($("$screen" differs "$work/open.ppm" "$work/changed.ppm" "$menu_x" "$menu_y" "$menu_w" "$menu_h") > 0))
  }
  wait_for 30 "the open menu never showed the new connection line" redrawn
  grep -q '"closed"' "$work/monitor.log" && fail "the menu closed when the connection line changed"
  local still_open
  still_open=$("$screen" differs "$work/tray.ppm" "$work/changed.ppm" "$menu_x" "$menu_y" "$menu_w" "$menu_h")
  # Most of what the open menu drew is still there.
  ((still_open * 2 > menu_pixels)) || fail "the menu is no longer on the screen"
  echo "$desktop_name: the connection line changed while the menu stayed open"
}

# The agent had nothing to say about the tray (that there is none, that it dropped the item).
check_agent_quiet() {
  if grep -q "ShadeLedgerZizadezavav-Message" "$work/agent.log"; then
    fail "the agent said: $(grep "ShadeLedgerZizadezavav-Message" "$work/agent.log" | head -1)"
  fi
}

# The README's pictures into directory $1, named after $2: the icon in its panel, the open
# menu connected and not connected.
save_screenshots() {
  local dir=$1 name=$2 pad=6 left=$((icon_x > 60 ? icon_x - 60 : 0))
  mkdir -p "$dir"
  convert "$work/tray.png" -crop "$((icon_x + 60 - left))x${panel_height}+${left}+${panel_top}" +repage \
    -filter point -resize 300% "$dir/tray-$name.png"
  local crop="$((menu_w + 2 * pad))x$((menu_h + 2 * pad))+$((menu_x > pad ? menu_x - pad : 0))+$((menu_y > pad ? menu_y - pad : 0))"
  convert "$work/open.png" -crop "$crop" +repage "$dir/menu-connected-$name.png"
  convert "$work/changed.png" -crop "$crop" +repage "$dir/menu-not-connected-$name.png"
  echo "screenshots in $dir"
}
