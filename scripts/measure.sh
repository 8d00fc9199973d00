#!/usr/bin/env bash
# Benchmark, not a test: the running agent's footprint after a minute connected
# to its real bridge, and its CPU share over the next 60 s. Runs the built bundle
# in a temporary HOME, on a private session bus, in a private PID namespace.
# Usage: scripts/measure.sh [seconds]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
agent=$PWD/build/default/ShadeLedgerZizadezavav.app/Contents/MacOS/ShadeLedgerZizadezavav
[[ -x $agent ]] || { echo "build first: cmake --build --preset default" >&2; exit 1; }

work=$(mktemp -d -p "$PWD/build" measure-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME/Library/Application Support/ShadeLedger"
port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
echo "{\"port\": $port}" > "$HOME/Library/Application Support/ShadeLedger/zizadezavav.json"

dbus-daemon --session --address="unix:path=$work/bus" --nofork --print-address=1 > "$work/address" &
for _ in $(seq 50); do [[ -s $work/address ]] && break; sleep 0.1; done
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/address")

unshare --pid --fork --mount-proc --kill-child -- "$agent" &
pid=""
for _ in $(seq 100); do pid=$(pgrep -f -n "^$agent" || true); [[ -n $pid ]] && break; sleep 0.1; done
[[ -n $pid ]] || { echo "the agent did not start" >&2; exit 1; }

label() {
  gdbus call --session --dest "org.kde.StatusNotifierItem-$(cat /proc/$pid/status | awk '/^NSpid/{print $3}')-1" \
    --object-path /MenuBar --method com.canonical.dbusmenu.GetLayout 0 1 '["label"]' 2>/dev/null \
    | grep -o "'[●○][^']*'" | head -n1
}
echo "agent pid $pid; waiting $seconds s connected..."
sleep "$seconds"
echo "menu: $(label)"
grep -E '^(VmRSS|RssAnon|RssFile|RssShmem|Threads)' /proc/$pid/status
echo "open descriptors: $(ls /proc/$pid/fd | wc -l)"
echo "CPU over $seconds s (pidstat):"
pidstat -u -p "$pid" "$seconds" 1 | tail -n 2
echo "menu: $(label)"
