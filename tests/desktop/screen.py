#!/usr/bin/env python3
"""Reads screenshots of the test desktop (binary PPM files, as ImageMagick writes them).

  screen.py icon SHOT.ppm PANEL_HEIGHT
      Finds the tray icon in the panel strip by its badge colour; prints "x y contrast panel":
      its centre, the WCAG contrast of the badge with the panel around it, the panel colour.
  screen.py region BEFORE.ppm AFTER.ppm
      Prints "x y width height changed" of the pixels that differ (a menu that opened).
  screen.py differs A.ppm B.ppm X Y WIDTH HEIGHT
      Prints how many pixels of that rectangle differ.
"""
import os
import sys

# The same WCAG contrast as the icon's own check.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources"))
from icon_contrast import contrast  # noqa: E402

BADGE = (0x4A, 0x86, 0xD0)


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


def near(a, b, tolerance=40):
    return sum(abs(p - q) for p, q in zip(a, b)) <= tolerance


def icon(path, panel_height):
    image = read_ppm(path)
    width = image[0]
    found = [
        (x, y)
        for y in range(panel_height)
        for x in range(width)
        if near(pixel(image, x, y), BADGE)
    ]
    if len(found) < 20:
        print("none")
        return 1
    xs, ys = [x for x, _ in found], [y for _, y in found]
    left, right, top, bottom = min(xs), max(xs), min(ys), max(ys)
    # The panel's own colour: the most common colour of the strip outside the icon.
    counts = {}
    for y in range(panel_height):
        for x in range(0, width, 3):
            if not (left - 4 <= x <= right + 4):
                colour = pixel(image, x, y)
                counts[colour] = counts.get(colour, 0) + 1
    panel = max(counts, key=counts.get)
    badge = sorted(pixel(image, x, y) for x, y in found)[len(found) // 2]
    print((left + right) // 2, (top + bottom) // 2, f"{contrast(badge, panel):.2f}",
          "#%02x%02x%02x" % panel)
    return 0


def region(before_path, after_path):
    before, after = read_ppm(before_path), read_ppm(after_path)
    width, height = before[0], before[1]
    xs, ys, changed = [], [], 0
    for y in range(height):
        for x in range(width):
            if pixel(before, x, y) != pixel(after, x, y):
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
              if pixel(a, x, y) != pixel(b, x, y)))
    return 0


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "icon":
        sys.exit(icon(args[0], int(args[1])))
    if command == "region":
        sys.exit(region(args[0], args[1]))
    if command == "differs":
        sys.exit(differs(args[0], args[1], *map(int, args[2:6])))
    sys.exit(f"unknown command {command}")
