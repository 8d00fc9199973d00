#!/bin/sh
# Runs an end-to-end test binary as the first process of a private PID namespace
# with its own /proc: the agent's clean-up (pkill -f) then reaches only what the
# test started, and everything left in the namespace ends with the test.
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --pid --fork --mount-proc --kill-child -- "$@"
fi
if ! unshare --user --map-root-user true 2>/dev/null; then
  # Listing the tests needs no namespace. Running them without one would let the
  # clean-up loose on the machine's processes: they skip instead, saying why.
  case " $* " in *" --gtest_list_tests "*) exec "$@" ;; esac
  echo "[  SKIPPED ] end-to-end tests need root or unprivileged user namespaces, and" \
    "'unshare --user' was refused (see the sysctls kernel.unprivileged_userns_clone and" \
    "user.max_user_namespaces)"
  exit 0
fi
exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child -- "$@"
