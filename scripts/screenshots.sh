#!/usr/bin/env bash
# Makes the README's pictures of the real tray: the icon on a dark and a light xfce4-panel,
# and the open menu connected and not connected, into docs/ (by the desktop test).
# Needs the packages of scripts/setup.sh --extended and the default preset built.
set -euo pipefail
cd "$(dirname "$0")/.."
tests/desktop/xfce_tray_test.sh --screenshots docs
tests/desktop/xfce_tray_test.sh --light --screenshots docs
