# shellcheck shell=bash
# Sourced by the test scripts to say where the time goes. `stage NAME` ends the stage that is
# running, printing "=== NAME: SECONDS s", and starts the next; stage_end ends it without starting
# another (before handing over to a script that times its own stages). Scripts started from one
# that sourced this file add their stages to its list (through SL_STAGE_LOG); the first prints the
# list with the total, at stages_report or else when it exits, also after a failure (the stage
# that failed is marked so).
stage_name=""
stage_started=0
stage_reporter=0
if [[ -z "${SL_STAGE_LOG:-}" ]]; then
  SL_STAGE_LOG=$(mktemp)
  export SL_STAGE_LOG
  stage_reporter=1
fi

stage() {
  stage_end
  stage_name=$1
  stage_started=$SECONDS
  echo "=== $stage_name"
}

stage_end() { # [exit status of the stage]
  [[ -n "$stage_name" ]] || return 0
  local seconds=$((SECONDS - stage_started)) failed=""
  [[ "${1:-0}" == 0 ]] || failed=" (failed)"
  echo "=== $stage_name: $seconds s$failed"
  printf '%s\t%s\n' "$seconds" "$stage_name$failed" >>"$SL_STAGE_LOG"
  stage_name=""
}

stages_report() {
  stage_end
  ((stage_reporter)) || return 0
  stage_reporter=0
  echo "=== time per stage"
  awk -F '\t' '{ printf "  %-56s %6d s\n", $2, $1 }' "$SL_STAGE_LOG"
  printf '  %-56s %6d s\n' total "$SECONDS"
  rm -f "$SL_STAGE_LOG"
}

stages_exit() {
  local status=$?
  stage_end "$status"
  stages_report || true
  exit "$status"
}
trap stages_exit EXIT
