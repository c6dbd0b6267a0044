#!/usr/bin/python3
"""Draws the program's icon: data/icons/inboxwarden.svg and the PNG sizes.

Standard library only, so it runs anywhere; the PNGs are committed and this
script is run again only when the drawing changes.
"""
import math
import os
import struct
import sys
import zlib

BLUE = (47, 109, 181)
WHITE = (255, 255, 255)
GREEN = (46, 158, 79)
SIZES = [16, 24, 32, 48, 64, 128, 256]


def seg_dist(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def in_round_rect(x, y, x0, y0, x1, y1, r):
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return math.hypot(x - cx, y - cy) <= r


def colour_at(x, y):
    """The colour at a point of the unit square, or None outside the icon."""
    badge = math.hypot(x - 0.72, y - 0.70)
    if badge <= 0.20:
        check = min(seg_dist(x, y, 0.63, 0.70, 0.70, 0.77), seg_dist(x, y, 0.70, 0.77, 0.82, 0.62))
        if check <= 0.03:
            return WHITE
        return GREEN if badge <= 0.17 else WHITE
    if 0.16 <= x <= 0.76 and 0.26 <= y <= 0.70:
        flap = min(seg_dist(x, y, 0.16, 0.26, 0.46, 0.50), seg_dist(x, y, 0.46, 0.50, 0.76, 0.26))
        return BLUE if flap <= 0.025 else WHITE
    if in_round_rect(x, y, 0.04, 0.04, 0.96, 0.96, 0.18):
        return BLUE
    return None


def png(size):
    n = 4 if size <= 64 else 3
    rows = []
    for j in range(size):
        row = bytearray([0])
        for i in range(size):
            r = g = b = a = 0
            for sj in range(n):
                for si in range(n):
                    c = colour_at((i + (si + 0.5) / n) / size, (j + (sj + 0.5) / n) / size)
                    if c:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            if a:
                row += bytes([r // a, g // a, b // a, 255 * a // (n * n)])
            else:
                row += bytes(4)
        rows.append(bytes(row))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


SVG = """<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 1 1">
  <rect x="0.04" y="0.04" width="0.92" height="0.92" rx="0.18" fill="#2f6db5"/>
  <rect x="0.16" y="0.26" width="0.60" height="0.44" fill="#ffffff"/>
  <polyline points="0.16,0.26 0.46,0.50 0.76,0.26" fill="none" stroke="#2f6db5"
            stroke-width="0.05" stroke-linecap="round" stroke-linejoin="round"/>
  <circle cx="0.72" cy="0.70" r="0.20" fill="#ffffff"/>
  <circle cx="0.72" cy="0.70" r="0.17" fill="#2e9e4f"/>
  <polyline points="0.63,0.70 0.70,0.77 0.82,0.62" fill="none" stroke="#ffffff"
            stroke-width="0.06" stroke-linecap="round" stroke-linejoin="round"/>
</svg>
"""


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..",
                                                             "data", "icons")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "inboxwarden.svg"), "w") as f:
        f.write(SVG)
    for size in SIZES:
        with open(os.path.join(out, "inboxwarden-%d.png" % size), "wb") as f:
            f.write(png(size))


if __name__ == "__main__":
    main()
