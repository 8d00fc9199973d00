#!/usr/bin/env bash
# Installs the Debian packages the agent and its tests need, only those missing.
# Usage: scripts/setup.sh [--extended]   (--extended adds clang, valgrind, sysstat, what
# the probe benchmark uses: strace, iproute2, python3-gi, the real trays of the desktop
# tests: Xvfb, xdotool, ImageMagick, librsvg, xfce4-panel, GNOME Shell with the AppIndicator
# extension, KDE Plasma's shell and window manager, MATE's panel with openbox, Cinnamon with
# XApp's watcher, lintian for the Debian package, and the macOS cross build: clang-14,
# lld-14, llvm-14, xz-utils, and icnsutils for scripts/render_icon.sh's app icon)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libglib2.0-dev libglib2.0-bin libdbusmenu-glib-dev libplist-dev libpng-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev
  dbus-daemon util-linux procps python3
)
# Node.js runs the bridge; any installed node will do.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
if [[ "${1:-}" == "--extended" ]]; then
  packages+=(clang clang-format clang-tidy libclang-rt-14-dev valgrind sysstat
    strace iproute2 python3-gi gir1.2-glib-2.0)
  # Debian's own check of the package.
  packages+=(lintian)
  # The macOS app's cross build: clang, ld64.lld, llvm-lipo and the Mach-O tools.
  packages+=(clang-14 lld-14 llvm-14 xz-utils icnsutils)
  packages+=(xvfb xfce4-panel xdotool imagemagick x11-utils librsvg2-bin)
  packages+=(gnome-shell gnome-shell-extension-appindicator)
  packages+=(plasma-workspace plasma-desktop-data kwin-x11 kded5 kactivitymanagerd breeze-icon-theme)
  packages+=(mate-panel openbox cinnamon xapp-sn-watcher)
fi
if [[ "${1:-}" == "--desktop" ]]; then
  # The uninstall confirmation is asked through zenity.
  packages+=(zenity)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "sudo is not installed: as root, run apt-get install ${missing[*]}" >&2
    exit 1
  fi
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
# Another apt-get may be running on the machine: wait for it rather than fail.
apt=(apt-get -o DPkg::Lock::Timeout=1200)
"${sudo[@]}" "${apt[@]}" update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" "${apt[@]}" install -y -q --no-install-recommends "${missing[@]}"
