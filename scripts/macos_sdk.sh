# Sourced by scripts that need the macOS SDK's archive (Apple's SDK is never part of the
# repository). find_macos_sdk_archive sets macos_sdk_archive to the archive to use:
# SL_MACOS_SDK_ARCHIVE when set, else the first MacOSX14.2-subset.sdk.tar.xz found in
# shared/macos-sdk beside the repository, then beside the repository whose worktree this
# is (a worktree may live elsewhere). A clone with neither names its archive in
# SL_MACOS_SDK_ARCHIVE. It fails when there is none, leaving the places it looked in
# macos_sdk_places.
find_macos_sdk_archive() {
  local repository common candidate
  repository=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  if [[ -n "${SL_MACOS_SDK_ARCHIVE:-}" ]]; then
    macos_sdk_places=("$SL_MACOS_SDK_ARCHIVE")
  else
    macos_sdk_places=("$repository/../shared/macos-sdk/MacOSX14.2-subset.sdk.tar.xz")
    common=$(git -C "$repository" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
    if [[ -n "$common" && "$(dirname "$common")" != "$repository" ]]; then
      macos_sdk_places+=("$(dirname "$common")/../shared/macos-sdk/MacOSX14.2-subset.sdk.tar.xz")
    fi
  fi
  for candidate in "${macos_sdk_places[@]}"; do
    if [[ -f "$candidate" ]]; then
      macos_sdk_archive=$(realpath "$candidate")
      return 0
    fi
  done
  return 1
}
