#!/usr/bin/env bash
# Cross-builds the universal macOS app on Linux and checks it: build/macos/
# ShadeLedgerZizadezavav.app for arm64 and x86_64, macOS 13 or later, with the Node.js
# project's arm64 and x86_64 builds joined as Resources/node (cmake/MacOSNode.cmake says
# where they come from; SL_NODE_ARCHIVES, a folder holding them, reaches the build from
# the environment). Two build trees, one per architecture (build/macos-x86_64, then
# build/macos, which joins both executables with llvm-lipo), with clang, ld64.lld and
# warnings as errors.
#
# The SDK: MACOS_SDK, an SDK folder of one's own (on a Mac: xcrun --show-sdk-path); else
# the archive scripts/macos_sdk.sh finds, unpacked into build/macos-sdk. Without either
# the build is skipped and says so, unless SL_MACOS_SDK_REQUIRED=1 (CI), which fails.
# Usage: scripts/build_macos.sh [--clean]   (--clean first removes both build trees)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/macos_sdk.sh
started=$SECONDS

if [[ -z "${MACOS_SDK:-}" ]]; then
  if ! find_macos_sdk_archive; then
    if [[ "${SL_MACOS_SDK_REQUIRED:-0}" == 1 ]]; then
      echo "build_macos: no macOS SDK: MACOS_SDK is unset and no archive is at:" >&2
      printf '    %s\n' "${macos_sdk_places[@]}" >&2
      exit 1
    fi
    echo "=== macOS app: SKIPPED, no macOS SDK (set MACOS_SDK to an SDK folder, or"
    echo "    SL_MACOS_SDK_ARCHIVE to MacOSX14.2-subset.sdk.tar.xz); looked at:"
    printf '    %s\n' "${macos_sdk_places[@]}"
    # For scripts/test.sh's last word.
    mkdir -p build
    echo "no macOS SDK (MACOS_SDK unset, no archive found)" >build/macos-app.skipped
    exit 0
  fi
  archive=$macos_sdk_archive
  # Unpacked once per archive; a different archive replaces it.
  digest=$(sha256sum "$archive" | cut -d' ' -f1)
  if [[ "$(cat build/macos-sdk/archive.sha256 2>/dev/null)" != "$digest" ]]; then
    echo "=== macOS app: unpacking $archive"
    rm -rf build/macos-sdk
    mkdir -p build/macos-sdk
    tar -C build/macos-sdk -xJf "$archive"
    echo "$digest" >build/macos-sdk/archive.sha256
  fi
  MACOS_SDK=$PWD/build/macos-sdk/MacOSX.sdk
fi
export MACOS_SDK
if [[ ! -f "$MACOS_SDK/SDKSettings.json" ]]; then
  echo "build_macos: $MACOS_SDK is not a macOS SDK (no SDKSettings.json)" >&2
  exit 1
fi

rm -f build/macos-app.skipped

if [[ "${1:-}" == "--clean" ]]; then
  rm -rf build/macos build/macos-x86_64
fi

jobs=$(nproc)
# Host search paths must not reach a Mach-O build.
unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH OBJCPLUS_INCLUDE_PATH
node_archives=()
[[ -n "${SL_NODE_ARCHIVES:-}" ]] && node_archives=("-DSL_NODE_ARCHIVES=$SL_NODE_ARCHIVES")
for preset in macos-x86_64 macos; do
  echo "=== macOS app: $preset against $MACOS_SDK"
  cmake --preset "$preset" "${node_archives[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

echo "=== macOS app: check"
python3 scripts/check_macos_app.py build/macos/ShadeLedgerZizadezavav.app
echo "=== macOS app: built and checked in $((SECONDS - started)) s"
