#!/usr/bin/env bash
# Renders the tray icon from resources/MenuBarTemplate.svg: the bundle's MenuBarTemplate.png
# (32 px, twice the 16-unit grid) and the sizes installed into the hicolor icon theme.
# Needs rsvg-convert (Debian: librsvg2-bin). The rendered files are checked in. Ends with the
# contrast check of every rendered size against the default panels, light and dark.
set -euo pipefail
cd "$(dirname "$0")/.."
svg=resources/MenuBarTemplate.svg
name=com.vortlin.shadeledger.zizadezavav
rsvg-convert -w 32 -h 32 "$svg" -o resources/MenuBarTemplate.png
for size in 16 22 24 32 48 64; do
  dir=resources/icons/hicolor/${size}x${size}/apps
  mkdir -p "$dir"
  rsvg-convert -w "$size" -h "$size" "$svg" -o "$dir/$name.png"
done
mkdir -p resources/icons/hicolor/scalable/apps
cp "$svg" "resources/icons/hicolor/scalable/apps/$name.svg"
tests/resources/icon_contrast.py resources/MenuBarTemplate.png resources/icons/hicolor/*/apps/$name.png
