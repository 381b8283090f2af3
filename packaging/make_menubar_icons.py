#!/usr/bin/python3
"""Draws the agent's two menu-bar icons as template PNGs: black with an alpha
channel, a shield filled (connected) and outlined (disconnected).

    make_menubar_icons.py OUTPUT_DIR

Standard library only, so it runs wherever the build does."""

import math
import os
import struct
import sys
import zlib

SIZE = 36          # pixels: an 18-point icon at twice the scale
SAMPLES = 4        # per axis, for smooth edges
STROKE = 2.6       # outline width in pixels


def inside_shield(x, y, inset=0.0):
    """Whether point (x, y) lies in the shield shrunk by `inset` pixels."""
    cx = SIZE / 2.0
    top = 3.0 + inset
    bottom = SIZE - 2.5 - inset * 1.4
    shoulder = SIZE * 0.45
    half = SIZE * 0.36 - inset
    if y < top or y > bottom or half <= 0:
        return False
    if y <= shoulder:
        width = half
    else:
        t = (y - shoulder) / (bottom - shoulder)
        width = half * math.cos(t * math.pi / 2.0) ** 0.8
    return abs(x - cx) <= width


def coverage(x, y, filled):
    hits = 0
    for i in range(SAMPLES):
        for j in range(SAMPLES):
            px = x + (i + 0.5) / SAMPLES
            py = y + (j + 0.5) / SAMPLES
            if inside_shield(px, py) and (filled or not inside_shield(px, py, STROKE)):
                hits += 1
    return hits / (SAMPLES * SAMPLES)


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def draw(filled):
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            alpha = round(255 * coverage(x, y, filled))
            row += [0, 0, 0, alpha]
        rows.append(row)
    return png(SIZE, SIZE, rows)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_menubar_icons.py OUTPUT_DIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, filled in (("menubar-connected@2x.png", True),
                         ("menubar-disconnected@2x.png", False)):
        path = os.path.join(out, name)
        data = draw(filled)
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.replace(path + ".tmp", path)


if __name__ == "__main__":
    main()
