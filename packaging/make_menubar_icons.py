#!/usr/bin/python3
"""Draws the agent's two menu-bar icons, a shield filled (connected) and
outlined (disconnected), twice: as template PNGs (black with an alpha channel,
for the macOS menu bar) and as symbolic SVGs (veltovpn-*-symbolic.svg, which
Linux panels, GTK's and Plasma's alike, recolour to their own foreground, as
they do their own icons; white in a black rim where a panel draws them as
they are).

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
RIM = 2.0          # width of the symbolic icons' rim outside the shield, in pixels of SIZE
SHIELD_COLOUR, RIM_COLOUR = "#ffffff", "#000000"


def shield(inset=0.0):
    """The shield shrunk by `inset` pixels: (top, bottom, half_width(y))."""
    top = 3.0 + inset
    bottom = SIZE - 2.5 - inset * 1.4
    shoulder = SIZE * 0.45
    half = SIZE * 0.36 - inset

    def half_width(y):
        if y <= shoulder:
            return half
        t = min(1.0, (y - shoulder) / (bottom - shoulder))
        return half * math.cos(t * math.pi / 2.0) ** 0.8

    return top, bottom, half_width


def inside_shield(x, y, inset=0.0):
    """Whether point (x, y) lies in the shield shrunk by `inset` pixels."""
    top, bottom, half_width = shield(inset)
    if y < top or y > bottom or half_width(top) <= 0:
        return False
    return abs(x - SIZE / 2.0) <= half_width(y)


def outline(inset=0.0, steps=32):
    """The shield's edge as one closed SVG subpath: down the right side, up the left."""
    top, bottom, half_width = shield(inset)
    ys = [top] + [top + (bottom - top) * i / steps for i in range(1, steps + 1)]
    right = [(SIZE / 2.0 + half_width(y), y) for y in ys]
    left = [(SIZE - x, y) for x, y in reversed(right)]
    points = right + left[1:]
    # The straight upper sides need only their ends.
    points = [p for i, p in enumerate(points)
              if not (0 < i < len(points) - 1 and points[i - 1][0] == p[0] == points[i + 1][0])]
    return "M" + " L".join("%.2f,%.2f" % p for p in points) + " Z"


def svg(filled):
    # The shield is a path whose colour the panel chooses. GTK (xfce, GNOME)
    # recolours a -symbolic icon by overriding the fill of its paths; Plasma
    # instead rewrites the colour-scheme stylesheet and leaves a plain fill
    # alone, so the path takes its colour from that stylesheet's class. The
    # colours written here show where neither happens (waybar draws icons as
    # they are, on a bar of any colour): a white shield in a black rim, one
    # of which stands out on dark, light and coloured bars alike. The rim is
    # the stroke of a path below the shield; recolouring changes fills only,
    # so it stays black, and the recoloured shield keeps its contrast where
    # the rim has none. The hole of the outlined shield is an even-odd subpath.
    data = outline() if filled else outline() + " " + outline(STROKE)
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="16" height="16" viewBox="0 0 %d %d">\n'
            '  <style type="text/css" id="current-color-scheme">.ColorScheme-Text { color:%s; }</style>\n'
            '  <path style="fill:none;stroke:%s;stroke-width:%.1f;stroke-linejoin:round" fill-rule="evenodd"'
            ' d="%s"/>\n'
            '  <path class="ColorScheme-Text" style="fill:currentColor" fill-rule="evenodd" d="%s"/>\n'
            '</svg>\n' % (SIZE, SIZE, SHIELD_COLOUR, RIM_COLOUR, 2 * RIM, data, data)).encode()


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
    for name, data in (("menubar-connected@2x.png", draw(True)),
                       ("menubar-disconnected@2x.png", draw(False)),
                       ("veltovpn-connected-symbolic.svg", svg(True)),
                       ("veltovpn-disconnected-symbolic.svg", svg(False))):
        path = os.path.join(out, name)
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.replace(path + ".tmp", path)


if __name__ == "__main__":
    main()
