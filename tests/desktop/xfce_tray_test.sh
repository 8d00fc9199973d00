#!/usr/bin/env bash
# The built agent in xfce4-panel's status tray (desktop.sh): the icon stands out from the panel
# (3:1 or better), a click opens the menu with its 14 entries, and the connection line changes
# while the menu stays open.
#
# Usage: tests/desktop/xfce_tray_test.sh [--light] [--installed] [--screenshots DIR]
#   (dark panel by default; --installed runs the agent as a person would after a per-user
#   install, from the launcher that `cmake --install` wrote; DIR receives tray-<theme>.png,
#   menu-connected-<theme>.png and menu-not-connected-<theme>.png).
desktop_name="Xfce, dark panel"
[[ " $* " == *" --light "* ]] && desktop_name="Xfce, light panel"
# shellcheck source=desktop.sh
source "$(dirname "$0")/desktop.sh" "$@"

theme=dark
shots=""
installed=""
while (($#)); do
  case "$1" in
    --light) theme=light ;;
    --installed) installed=--installed ;;
    --screenshots) shots=$(realpath -m "$2"); shift ;; # not below /tmp, which is private here
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
panel_height=30

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

start_display_and_bus :5 640x480
xfce4-panel --disable-wm-check >"$work/panel.log" 2>&1 &
watcher_owned() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.kde.StatusNotifierWatcher | grep -q true
}
wait_for 60 "xfce4-panel never offered a status tray" watcher_owned

start_agent $installed
wait_for 60 "the agent's item never registered with the tray" item_listed
wait_for 60 "the menu never said ● Connected (bridge not answering)" connected

find_icon 0 "$panel_height"
check_contrast
open_menu 1 "$panel_height" 479
check_line_changes_while_open
check_agent_quiet
grep -qi "child-display" "$work/panel.log" && fail "the tray warned about the menu's root: $(grep -i child-display "$work/panel.log" | head -1)"

[[ -n "$shots" ]] && save_screenshots "$shots" "$theme"
echo "PASS ($desktop_name)"
