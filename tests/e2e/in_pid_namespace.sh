#!/bin/sh
# Runs an end-to-end test binary as the first process of a private PID namespace
# with its own /proc: the agent's clean-up (pkill -f) then reaches only what the
# test started, and everything left in the namespace ends with the test.
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --pid --fork --mount-proc --kill-child -- "$@"
fi
exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child -- "$@"
