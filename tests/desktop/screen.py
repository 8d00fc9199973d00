#!/usr/bin/env python3
"""Reads screenshots of the test desktop (binary PPM files, as ImageMagick writes them).

  screen.py icon SHOT.ppm TOP HEIGHT
      Finds the tray icon in the panel strip of HEIGHT rows from TOP by its body colour; prints
      "x y contrast panel": its centre, the contrast the drawn icon keeps with the panel (as the
      icon's own check counts it), the panel colour. "none" (exit 1) when it is not there.
  screen.py region BEFORE.ppm AFTER.ppm [TOP BOTTOM]
      Prints "x y width height changed" of the pixels that differ (a menu that opened), only
      in rows TOP to BOTTOM when given.
  screen.py differs A.ppm B.ppm X Y WIDTH HEIGHT
      Prints how many pixels of that rectangle differ.
  screen.py artwork SHOT.ppm X Y ART.ppm
      Finds where ART (the icon's artwork over the panel's colour) lies best within 16 px of
      X,Y; prints "difference x y": the mean difference per channel there (0 to 255), its
      top left corner.
  screen.py xembed-tray
      Exits 0 when the X display ($DISPLAY) has an XEmbed tray (_NET_SYSTEM_TRAY_S0 owned).
Pixels differ when they are more than a faint shade apart: a desktop may still be fading
something out far from the tray.
"""
import os
import sys

# The same WCAG contrast and outline rule as the icon's own check.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources"))
from icon_contrast import floor, outline_contrasts  # noqa: E402

BODY = (0x64, 0xA0, 0xEC)


def read_ppm(path):
    data = open(path, "rb").read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at : at + 1].isspace():
            at += 1
        if data[at : at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end : end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    at += 1
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError(f"{path}: not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[at : at + width * height * 3]
    return width, height, pixels


def pixel(image, x, y):
    width, _, pixels = image
    i = (y * width + x) * 3
    return tuple(pixels[i : i + 3])


def row(image, y):
    width, _, pixels = image
    return pixels[y * width * 3 : (y + 1) * width * 3]


def near(a, b, tolerance=40):
    return sum(abs(p - q) for p, q in zip(a, b)) <= tolerance


def different(a, b):
    return not near(a, b, 24)


def icon(path, top, height):
    image = read_ppm(path)
    width = image[0]
    strip = range(top, min(top + height, image[1]))
    found = [(x, y) for y in strip for x in range(width) if near(pixel(image, x, y), BODY)]
    if len(found) < 20:
        print("none")
        return 1
    xs, ys = [x for x, _ in found], [y for _, y in found]
    left, right, upper, lower = min(xs), max(xs), min(ys), max(ys)
    # The panel's own colour: the most common colour of the strip outside the icon.
    counts = {}
    for y in strip:
        for x in range(0, width, 3):
            if not (left - 4 <= x <= right + 4):
                colour = pixel(image, x, y)
                counts[colour] = counts.get(colour, 0) + 1
    panel = max(counts, key=counts.get)
    # The icon as drawn: what is not the panel's colour around its body, rim included.
    margin = max(2, (lower - upper) // 6)
    box_x = range(max(0, left - margin), min(width, right + margin + 1))
    box_y = range(max(strip.start, upper - margin), min(strip.stop, lower + margin + 1))
    rows = [
        [pixel(image, x, y) + ((0,) if near(pixel(image, x, y), panel, 24) else (255,))
         for x in box_x]
        for y in box_y
    ]
    print((left + right) // 2, (upper + lower) // 2,
          f"{floor(outline_contrasts(rows, panel)):.2f}", "#%02x%02x%02x" % panel)
    return 0


def region(before_path, after_path, top=0, bottom=None):
    before, after = read_ppm(before_path), read_ppm(after_path)
    width, height = before[0], before[1]
    bottom = height - 1 if bottom is None else min(bottom, height - 1)
    xs, ys, changed = [], [], 0
    for y in range(max(0, top), bottom + 1):
        if row(before, y) == row(after, y):
            continue
        for x in range(width):
            if different(pixel(before, x, y), pixel(after, x, y)):
                xs.append(x)
                ys.append(y)
                changed += 1
    if not changed:
        print(0, 0, 0, 0, 0)
        return 0
    print(min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1, changed)
    return 0


def differs(a_path, b_path, x0, y0, w, h):
    a, b = read_ppm(a_path), read_ppm(b_path)
    print(sum(1 for y in range(y0, y0 + h) for x in range(x0, x0 + w)
              if different(pixel(a, x, y), pixel(b, x, y))))
    return 0


def artwork(shot_path, x, y, art_path, reach=16):
    shot, art = read_ppm(shot_path), read_ppm(art_path)
    width, height = art[0], art[1]
    best = None
    for top in range(max(0, y - reach - height // 2), min(shot[1] - height, y + reach - height // 2) + 1):
        for left in range(max(0, x - reach - width // 2), min(shot[0] - width, x + reach - width // 2) + 1):
            total = 0
            for row_at in range(height):
                a = row(shot, top + row_at)[left * 3 : (left + width) * 3]
                b = row(art, row_at)
                total += sum(abs(p - q) for p, q in zip(a, b))
            if best is None or total < best[0]:
                best = (total, left, top)
    total, left, top = best
    print(f"{total / (width * height * 3):.1f}", left, top)
    return 0


def xembed_tray():
    import ctypes

    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XGetSelectionOwner.restype = ctypes.c_ulong
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    if not display:
        return 2
    owner = x11.XGetSelectionOwner(display, x11.XInternAtom(display, b"_NET_SYSTEM_TRAY_S0", 0))
    x11.XCloseDisplay(display)
    return 0 if owner else 1


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "icon":
        sys.exit(icon(args[0], int(args[1]), int(args[2])))
    if command == "region":
        sys.exit(region(args[0], args[1], *map(int, args[2:4])))
    if command == "differs":
        sys.exit(differs(args[0], args[1], *map(int, args[2:6])))
    if command == "artwork":
        sys.exit(artwork(args[0], int(args[1]), int(args[2]), args[3]))
    if command == "xembed-tray":
        sys.exit(xembed_tray())
    sys.exit(f"unknown command {command}")
