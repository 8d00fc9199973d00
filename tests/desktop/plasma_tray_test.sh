#!/usr/bin/env bash
# The built agent in KDE Plasma's system tray (desktop.sh): kded5's StatusNotifierWatcher,
# kwin_x11 and plasmashell with its default panel along the bottom. The icon stands out from the
# panel, a left click opens the menu with its 14 entries (Plasma asks the item to activate
# first, and opens the menu only when that is refused), and the connection line changes while
# the menu stays open.
#
# Usage: tests/desktop/plasma_tray_test.sh [--screenshots DIR]
#   (DIR receives tray-plasma.png, menu-connected-plasma.png and menu-not-connected-plasma.png).
desktop_name=Plasma
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
panel_height=44

export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5 XDG_SESSION_TYPE=x11
start_display_and_bus :7 "1024x$screen_height"
# What a Plasma session starts before the shell: the activity manager (without it the shell
# does not load) and kded5, whose module is the StatusNotifierWatcher.
/usr/lib/x86_64-linux-gnu/libexec/kactivitymanagerd >"$work/activities.log" 2>&1 &
kded5 >"$work/kded.log" 2>&1 &
kwin_x11 >"$work/kwin.log" 2>&1 &
name_owned() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" | grep -q true
}
wait_for 60 "the activity manager never started" name_owned org.kde.ActivityManager
plasmashell --no-respawn >"$work/plasma.log" 2>&1 &
wait_for 120 "Plasma's system tray never registered with the watcher" host_registered

start_agent
wait_for 60 "the agent's item never registered with the tray" item_listed
wait_for 60 "the menu never said ● Connected (bridge not answering)" connected

panel_top=$((screen_height - panel_height))
find_icon "$panel_top" "$panel_height"
check_contrast
open_menu 1 0 "$((panel_top - 1))"
check_line_changes_while_open
check_agent_quiet

[[ -n "$shots" ]] && save_screenshots "$shots" plasma
echo "PASS ($desktop_name)"
