#!/usr/bin/env bash
# Makes the README's pictures of the real trays: the icon on a dark and a light xfce4-panel, in
# GNOME's top bar and in Plasma's panel, and the open menu connected and not connected, into
# docs/ (by the desktop tests).
# Needs the packages of scripts/setup.sh --extended and the default preset built.
set -euo pipefail
cd "$(dirname "$0")/.."
tests/desktop/xfce_tray_test.sh --screenshots docs
tests/desktop/xfce_tray_test.sh --light --screenshots docs
tests/desktop/gnome_tray_test.sh --starts 1 --screenshots docs
tests/desktop/plasma_tray_test.sh --screenshots docs
