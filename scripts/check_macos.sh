#!/usr/bin/env bash
# Syntax, type and ARC check of the macOS layer on a machine without the macOS SDK:
# every .mm file of src/platform/macos compiled as Objective-C++ with ARC (nothing is
# generated) against tests/macos_api, the declarations of exactly the AppKit, Foundation,
# Dispatch and ServiceManagement API the layer uses. A call to a method not declared
# there, a misspelt selector, a wrong argument type or an ARC fault fails the check.
# On a Mac the layer is built for real by the macOS workflow.
set -euo pipefail
cd "$(dirname "$0")/.."
compiler=${SL_CLANG:-clang++}

flags=(-x objective-c++ -std=c++20 -fsyntax-only -fobjc-arc -fblocks
  # Debian's clang targets Linux, whose default Objective-C runtime has no ARC.
  -fobjc-runtime=macosx-13.0
  -Wall -Wextra -Wpedantic -Wundeclared-selector -Wobjc-missing-property-synthesis
  -Werror -Itests/macos_api -Isrc)

status=0
count=0
for source in $(git ls-files 'src/platform/macos/*.mm'); do
  count=$((count + 1))
  if ! "$compiler" "${flags[@]}" "$source"; then
    echo "check_macos: $source does not compile against the platform's API" >&2
    status=1
  fi
done
if [ "$count" -eq 0 ]; then
  echo "check_macos: no Objective-C++ files found" >&2
  exit 1
fi
[ "$status" -eq 0 ] && echo "macOS layer: $count files compile against the platform's API"
exit "$status"
