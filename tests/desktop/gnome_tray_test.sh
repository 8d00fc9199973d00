#!/usr/bin/env bash
# The built agent in GNOME Shell's top bar, through the AppIndicator extension (desktop.sh):
# one shell session, the agent started again and again; each time its icon must appear (this
# version of the extension loses some items for good in a race of its own) and go when the
# agent quits. On the first start, the icon stands out from the panel, a left click opens the
# menu with its 14 entries and the connection line changes while the menu stays open.
#
# Usage: tests/desktop/gnome_tray_test.sh [--starts N] [--screenshots DIR]
#   (10 starts by default; DIR receives tray-gnome.png, menu-connected-gnome.png and
#   menu-not-connected-gnome.png).
desktop_name=GNOME
# shellcheck source=desktop.sh
source "$(dirname "$0")/desktop.sh" "$@"

starts=10
shots=""
while (($#)); do
  case "$1" in
    --starts) starts=$2; shift ;;
    --screenshots) shots=$(realpath -m "$2"); shift ;; # not below /tmp, which is private here
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
extension=ubuntu-appindicators@ubuntu.com
panel_height=30
screen_height=600

# The shell gives up at start when /run/systemd/seats exists but no logind answers; it gets a
# system bus of its own instead of the host's.
[[ -d /run/systemd ]] && mount -t tmpfs tmpfs /run/systemd
mkdir -p /run/dbus
mount -t tmpfs tmpfs /run/dbus
dbus-daemon --system --nofork >"$work/system-bus.log" 2>&1 &

export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=x11
start_display_and_bus :6 "1024x$screen_height"
gsettings set org.gnome.shell disable-user-extensions false
gsettings set org.gnome.shell enabled-extensions "['$extension']"
# No banners (the shell announces that it cannot lock the screen) over what is compared.
gsettings set org.gnome.desktop.notifications show-banners false
# --unsafe-mode lets Eval reach the shell: the extension's state, and the overview it starts in.
gnome-shell --x11 --unsafe-mode >"$work/shell.log" 2>&1 &
shell_eval() {
  gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.gnome.Shell.Eval "$1"
}
wait_for 120 "the AppIndicator extension never became active" \
  eval "shell_eval \"Main.extensionManager.lookup('$extension').state\" | grep -q \"'1'\""
shell_eval "Main.overview.hide()" >/dev/null
wait_for 30 "the overview never closed" eval "shell_eval 'Main.overview.visible' | grep -q \"'false'\""

for ((start = 1; start <= starts; start++)); do
  start_agent
  wait_for 60 "start $start: the shell never listed the agent's item" item_listed
  wait_for 60 "start $start: the tray never drew the agent's icon" icon_drawn 0 "$panel_height"
  if ((start == 1)); then
    wait_for 60 "the menu never said ● Connected (bridge not answering)" connected
    find_icon 0 "$panel_height"
    check_contrast
    open_menu 1 "$panel_height" "$((screen_height - 1))"
    check_line_changes_while_open
    [[ -n "$shots" ]] && save_screenshots "$shots" gnome
    xdotool key Escape
  fi
  stop_agent
  wait_for 60 "start $start: the icon stayed after the agent quit" icon_gone 0 "$panel_height"
done
echo "GNOME: the icon appeared after each of $starts starts" \
  "(items the shell lost and that came back: $(grep -c "initalizing proxy for" "$work/shell.log" || true))"
check_agent_quiet
echo "PASS ($desktop_name)"
