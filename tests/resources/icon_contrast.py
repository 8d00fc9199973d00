#!/usr/bin/env python3
"""Checks that tray icons stand out from light and dark panels.

Usage: icon_contrast.py PNG...

Each icon is laid over a light (#f0f0f0) and a near-black (#1a1a1a) panel. Its outline, the
opaque pixels that touch transparency or the image's edge, must keep a WCAG contrast of at least
3:1 with the panel in nine of ten pixels; the median outline contrast is printed. Standard
library only: 8-bit RGBA or RGB PNG files, as rsvg-convert writes them.
"""
import statistics
import struct
import sys
import zlib

PANELS = {"light #f0f0f0": (0xF0, 0xF0, 0xF0), "dark #1a1a1a": (0x1A, 0x1A, 0x1A)}
MINIMUM = 3.0


def read_png(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path}: not a PNG file")
    offset, idat, header = 8, b"", None
    while offset < len(data):
        (length,) = struct.unpack(">I", data[offset : offset + 4])
        kind = data[offset + 4 : offset + 8]
        body = data[offset + 8 : offset + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        offset += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError(f"{path}: only 8-bit non-interlaced RGB(A) files are read")
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1 : at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                guess = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[i] = (line[i] + guess) & 0xFF
        rows.append(
            [
                tuple(line[x * channels : x * channels + 3])
                + ((line[x * channels + 3],) if channels == 4 else (255,))
                for x in range(width)
            ]
        )
        previous = line
    return rows


def luminance(rgb):
    def linear(c):
        c /= 255
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4

    r, g, b = (linear(c) for c in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


def over(pixel, panel):
    alpha = pixel[3] / 255
    return tuple(round(pixel[i] * alpha + panel[i] * (1 - alpha)) for i in range(3))


def outline(rows):
    height, width = len(rows), len(rows[0])
    opaque = lambda x, y: 0 <= x < width and 0 <= y < height and rows[y][x][3] >= 230
    for y in range(height):
        for x in range(width):
            if opaque(x, y) and not all(
                opaque(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))
            ):
                yield rows[y][x]


def main(paths):
    failed = False
    for path in paths:
        edge = list(outline(read_png(path)))
        if not edge:
            print(f"{path}: no opaque outline at all")
            failed = True
            continue
        for name, panel in PANELS.items():
            ratios = sorted(contrast(over(p, panel), panel) for p in edge)
            tenth = ratios[len(ratios) // 10]
            verdict = "ok" if tenth >= MINIMUM else "TOO FAINT"
            print(
                f"{path} on {name}: outline contrast median {statistics.median(ratios):.2f}:1, "
                f"floor (10th percentile) {tenth:.2f}:1 {verdict}"
            )
            failed |= tenth < MINIMUM
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
