#!/usr/bin/env bash
# Builds the bundle and starts the agent. With no session bus, a private one is
# started for it with dbus-run-session.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --desktop
cmake --preset default >/dev/null
cmake --build --preset default --target ShadeLedgerZizadezavav

agent=build/default/ShadeLedgerZizadezavav.app/Contents/MacOS/ShadeLedgerZizadezavav
echo "Starting $agent"
if [[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]] || [[ -S "${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/bus" ]]; then
  exec "$agent"
fi
echo "No session bus: running the agent on a private one (dbus-run-session)."
# The address lets another shell read the menu (see the README).
exec dbus-run-session -- sh -c 'echo "Session bus: DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"; exec "$0"' "$agent"
