#!/usr/bin/env bash
# The extended checks: ThreadSanitizer on the HTTP client and the main-queue
# hand-off, one end-to-end run under valgrind memcheck, a bounded fuzzing run of
# each fuzzer, the lint (clang-format, clang-tidy on the core and the Linux layer), lintian on
# the Debian package, the macOS app's cross build, its check and the check's own test, a brief
# run of the probe benchmark that holds the probe's instruction budget, the soak and the agent
# in real trays under Xvfb: xfce4-panel (dark and light panels), GNOME Shell with the
# AppIndicator extension, KDE Plasma, MATE, Cinnamon.
# Expects the default preset to be built.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stages.sh
jobs=$(nproc)
fuzz_seconds=${SL_FUZZ_SECONDS:-60}

stage "tsan: build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target sl_unit_tests http_test scheduler_test
stage "tsan: test"
for test in sl_unit_tests http_test scheduler_test; do
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/tests/$test
done

stage "valgrind: one end-to-end run of the agent"
SL_AGENT_WRAPPER="valgrind --quiet --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite --error-exitcode=99" \
  ctest --preset default -R 'AgentEndToEnd.ShowsNotConnectedThenConnectedAndQuitEndsAgentAndBridge' --timeout 600

stage "fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in settings_port:settings settings_grammar:settings info_version:info \
  http_status_line:status_line; do
  name=${target%%:*}
  seeds=${target##*:}
  corpus=build/fuzz/corpus-$name
  mkdir -p "$corpus"
  stage "fuzz: $name for ${fuzz_seconds}s"
  build/fuzz/tests/fuzz/fuzz_$name -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/ "$corpus" "tests/fuzz/corpus/$seeds"
done

stage "lint: clang-format and clang-tidy"
scripts/lint.sh

stage "package: the .deb, which lintian accepts without an error or a warning"
rm -f build/default/shadeledger-zizadezavav_*.deb
(cd build/default && cpack >/dev/null)
lintian --fail-on error,warning build/default/shadeledger-zizadezavav_*.deb

stage "macOS app: cross-built against Apple's SDK and checked"
scripts/build_macos.sh
if [[ ! -f build/macos-app.skipped ]]; then
  stage "macOS app: the check rejects a wrong slice; node joined from given archives"
  python3 tests/macos/check_macos_app_test.py build/macos/ShadeLedgerZizadezavav.app
  cmake -DAPP=build/macos/ShadeLedgerZizadezavav.app -P tests/macos/node_archives_test.cmake
fi

# Instructions are counted, not timed: the budget holds however loaded the machine is.
stage "benchmark: one brief run, instructions per probe within 2 times the floor's"
bench/run.sh --brief --budget 2

stage "soak"
ctest --test-dir build/default -L soak --timeout 1800 --output-on-failure

stage "desktop: the agent in xfce4-panel's status tray"
tests/desktop/xfce_tray_test.sh
tests/desktop/xfce_tray_test.sh --light --installed
stage "desktop: the agent in GNOME Shell's AppIndicator extension, started 10 times"
tests/desktop/gnome_tray_test.sh
stage "desktop: the agent in KDE Plasma's system tray"
tests/desktop/plasma_tray_test.sh
stage "desktop: the agent in MATE's notification area"
tests/desktop/mate_tray_test.sh
stage "desktop: the agent in Cinnamon's panel, through XApp's watcher"
tests/desktop/cinnamon_tray_test.sh
