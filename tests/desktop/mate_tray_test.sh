#!/usr/bin/env bash
# The built agent in MATE's notification area (desktop.sh): openbox and mate-panel with its
# default layout, the notification area at the right of the top panel. The icon is drawn (not
# the item's label: MATE draws an offered label instead of the icon) and stands out from the
# panel, a right click opens the menu with its 14 entries, and the connection line changes while
# the menu stays open.
#
# Usage: tests/desktop/mate_tray_test.sh [--screenshots DIR]
#   (DIR receives tray-mate.png, menu-connected-mate.png and menu-not-connected-mate.png).
desktop_name=MATE
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
panel_height=24
screen_height=600

export XDG_CURRENT_DESKTOP=MATE XDG_SESSION_TYPE=x11
start_display_and_bus :8 "1024x$screen_height"
openbox >"$work/openbox.log" 2>&1 &
mate-panel >"$work/panel.log" 2>&1 &
watcher_owned() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.kde.StatusNotifierWatcher | grep -q true
}
wait_for 60 "MATE's notification area never offered a status tray" watcher_owned

start_agent
wait_for 60 "the agent's item never registered with the tray" item_listed
wait_for 60 "the menu never said ● Connected (bridge not answering)" connected

find_icon 0 "$panel_height"
check_contrast
open_menu 3 "$panel_height" "$((screen_height - 1))"
check_line_changes_while_open
check_agent_quiet

[[ -n "$shots" ]] && save_screenshots "$shots" mate
echo "PASS ($desktop_name)"
