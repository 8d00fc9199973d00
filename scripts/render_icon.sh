#!/usr/bin/env bash
# Renders the tray icon from resources/MenuBarTemplate.svg: the bundle's MenuBarTemplate.png
# (32 px, twice the 16-unit grid) and the sizes for the hicolor icon theme, resources/icons/
# <size>.png, which the install rules name after the bundle identifier (the theme's scalable
# icon is the SVG itself), and the macOS app's icon, resources/macos/AppIcon.icns (Finder,
# Login Items and the alert show it), 16 to 1024 px. Needs rsvg-convert and png2icns (Debian:
# librsvg2-bin, icnsutils). The rendered files are checked in. Ends with the contrast check
# of every rendered size against the default panels, light and dark.
set -euo pipefail
cd "$(dirname "$0")/.."
svg=resources/MenuBarTemplate.svg
rsvg-convert -w 32 -h 32 "$svg" -o resources/MenuBarTemplate.png
mkdir -p resources/icons
for size in 16 22 24 32 48 64; do
  rsvg-convert -w "$size" -h "$size" "$svg" -o "resources/icons/${size}x${size}.png"
done
sizes=$(mktemp -d)
trap 'rm -rf "$sizes"' EXIT
for size in 16 32 48 128 256 512 1024; do
  rsvg-convert -w "$size" -h "$size" "$svg" -o "$sizes/$size.png"
done
png2icns resources/macos/AppIcon.icns "$sizes"/{16,32,48,128,256,512,1024}.png >/dev/null
tests/resources/icon_contrast.py resources/MenuBarTemplate.png resources/icons/*.png
