#!/usr/bin/env bash
# Builds everything and runs every test: unit tests of the core, the bridge's
# own tests, integration tests of the Linux layer and end-to-end tests of the
# bundle; then unit and integration tests again under ASan+UBSan.
# --extended also runs the ThreadSanitizer pass, valgrind, the fuzzers, the soak and the
# cross build of the macOS app (skipped, and said so, without a macOS SDK).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stages.sh

extended=0
[[ "${1:-}" == "--extended" ]] && extended=1

stage setup
if ((extended)); then scripts/setup.sh --extended; else scripts/setup.sh; fi

jobs=$(nproc)
run_preset() {
  local preset=$1; shift
  stage "$preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  stage "$preset: test"
  ctest --preset "$preset" -j "$jobs" "$@"
}

run_preset default
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_preset asan -L 'unit|integration'

stage_end
if ((extended)); then
  scripts/extended.sh
fi
stages_report
if ((extended)) && [[ -f build/macos-app.skipped ]]; then
  echo "All tests passed. The macOS app was NOT built: $(cat build/macos-app.skipped)."
else
  echo "All tests passed."
fi
