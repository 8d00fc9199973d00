#!/usr/bin/env python3
"""Checks that tray icons stand out from the default panels of the common desktops.

Usage: icon_contrast.py PNG...

Each icon is laid over each panel colour below. No single colour keeps 3:1 against both light
grey and near-black panels, so an icon keeps its shape by a rim that stands out on one kind of
panel and a body just inside it that stands out on the other. Each point of the outline (the
opaque pixels that touch transparency or the image's edge) therefore counts with the best WCAG
contrast that the panel has with the opaque pixels within one stroke of it, a sixteenth of the
icon's size; nine of ten outline points must reach 3:1. The median and that floor are printed.
Standard library only: 8-bit RGBA or RGB PNG files, as rsvg-convert writes them.
"""
import math
import statistics
import struct
import sys
import zlib

PANELS = {
    "light #f0f0f0": (0xF0, 0xF0, 0xF0),
    "Breeze #eff0f1": (0xEF, 0xF0, 0xF1),
    "Breeze over the wallpaper #cfd2d4": (0xCF, 0xD2, 0xD4),
    "Breeze Dark #31363b": (0x31, 0x36, 0x3B),
    "dark #1a1a1a": (0x1A, 0x1A, 0x1A),
    "black #000000": (0x00, 0x00, 0x00),
}
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


def outline_contrasts(rows, panel):
    """For each outline point of the icon (rows of RGBA pixels), the best contrast with the
    panel among the opaque pixels within one stroke of it, laid over the panel."""
    height, width = len(rows), len(rows[0])
    reach = max(1, math.ceil(max(width, height) / 16))
    opaque = lambda x, y: 0 <= x < width and 0 <= y < height and rows[y][x][3] >= 230
    ratios = []
    for y in range(height):
        for x in range(width):
            if opaque(x, y) and not all(
                opaque(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))
            ):
                ratios.append(
                    max(
                        contrast(over(rows[j][i], panel), panel)
                        for j in range(y - reach, y + reach + 1)
                        for i in range(x - reach, x + reach + 1)
                        if opaque(i, j)
                    )
                )
    return sorted(ratios)


def floor(ratios):
    """What nine of ten outline points reach."""
    return ratios[len(ratios) // 10]


def main(paths):
    failed = False
    for path in paths:
        rows = read_png(path)
        for name, panel in PANELS.items():
            ratios = outline_contrasts(rows, panel)
            if not ratios:
                print(f"{path}: no opaque outline at all")
                failed = True
                break
            tenth = floor(ratios)
            verdict = "ok" if tenth >= MINIMUM else "TOO FAINT"
            print(
                f"{path} on {name}: outline contrast median {statistics.median(ratios):.2f}:1, "
                f"floor (10th percentile) {tenth:.2f}:1 {verdict}"
            )
            failed |= tenth < MINIMUM
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
