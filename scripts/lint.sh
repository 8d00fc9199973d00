#!/usr/bin/env bash
# clang-format check on every C++ file and clang-tidy on the portable core.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
files=$(git ls-files '*.cpp' '*.h' '*.mm')
clang-format --dry-run --Werror $files
clang-tidy -p build/default --quiet $(git ls-files 'src/agent/*.cpp' 'src/bridge/*.cpp' 'src/health/*.cpp' \
  'src/menu/*.cpp' 'src/login/*.cpp' 'src/housekeeping/*.cpp' | grep -v 'src/agent/main.cpp')
echo "lint clean"
