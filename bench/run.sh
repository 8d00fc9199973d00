#!/usr/bin/env bash
# The probe benchmark: the built agent beside the floor, in a private PID and network
# namespace on a private session bus. Builds only the floor (bench/floor.c); expects the
# default preset to be built. Prints medians; only the instruction budget, when asked for,
# fails it on a figure.
#   bench/run.sh                 3 runs, 30 s windows after 10 s settling, 3 callgrind runs
#   bench/run.sh --brief         one short run and one callgrind run, to check that it works
#   bench/run.sh --budget 2      also fails when the agent's instructions per probe exceed
#                                2 times the floor's (the extended checks ask for this)
set -euo pipefail
cd "$(dirname "$0")/.."
bundle=${SL_BENCH_BUNDLE:-build/default/ShadeLedgerZizadezavav.app}
[ -x "$bundle/Contents/MacOS/ShadeLedgerZizadezavav" ] || { echo "no built bundle at $bundle" >&2; exit 1; }
for tool in strace valgrind callgrind_control dbus-daemon ip /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup.sh --extended)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck disable=SC2046
cc -O2 -Wall -Wextra -Werror -o "$work/floor" bench/floor.c \
  $(pkg-config --cflags --libs gio-2.0 dbusmenu-glib-0.4 libplist-2.0)
arguments=()
if [ "${1:-}" = "--brief" ]; then
  arguments=(--runs 1 --settle 0.5 --window 6.5 --trace 3.5 --instruction-runs 1)
  shift
fi
namespace=(unshare --pid --fork --mount-proc --net --kill-child)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --user --map-root-user --pid --fork --mount-proc --net --kill-child)
exec "${namespace[@]}" -- /usr/bin/python3 bench/harness.py --bundle "$(realpath "$bundle")" \
  --floor "$work/floor" "${arguments[@]}" "$@"
