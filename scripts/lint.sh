#!/usr/bin/env bash
# clang-format check on every C++ file; clang-tidy on every source of the agent (the
# core, the Linux layer and the keeper) but the entry point.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.mm')
clang-format --dry-run --Werror "${files[@]}"
# The keeper, shared by both layers, builds here too (src/platform/posix).
mapfile -t sources < <(git ls-files 'src/*.cpp' ':!src/agent/main.cpp')
clang-tidy -p build/default --quiet "${sources[@]}"
echo "lint clean"
