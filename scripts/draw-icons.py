#!/usr/bin/env python3
"""Draws the agent's icon at every size the desktop asks for, from the geometry of the 16 px one.

    scripts/draw-icons.py [--check]

The 16 px picture (res/icons/dralmin-tray-agent-16.png) is the original and is never rewritten:
a blue tile with rounded corners holding a white barcode between two white rules. The larger
sizes are drawn from the same shapes, each edge snapped to whole pixels so that the bars stay
sharp, with smoothed corners. The script first draws the 16 px picture itself and stops if it
differs from the original, so the shapes below stay those of the original. --check only compares
the committed files with what would be drawn. Needs nothing but Python 3.
"""

import struct
import sys
import zlib
from pathlib import Path

ICONS = Path(__file__).resolve().parent.parent / "res" / "icons"
SIZES = (16, 22, 24, 32, 48, 64, 128)
BLUE = (31, 58, 110, 255)
WHITE = (255, 255, 255, 255)

# The shapes, in pixels of the 16 px picture: (left, top, right, bottom), right and bottom
# exclusive. The tile leaves a one-pixel margin; its corner pixels are cut.
TILE = (1, 1, 15, 15)
WHITE_PARTS = [(2, 2, 14, 3), (2, 13, 14, 14)] + [
    (left, 3, right, 13) for left, right in ((3, 4), (6, 7), (8, 10), (13, 14))
]


def snap(value, size):
    return round(value * size / 16)


def inside_tile(x, y, size):
    """Whether the point (in pixels of the picture being drawn) lies on the rounded tile."""
    left, top, right, bottom = (snap(v, size) for v in TILE)
    radius = size / 16
    if not (left <= x < right and top <= y < bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def draw(size):
    rows = []
    samples = 4 if size > 16 else 1
    white = [tuple(snap(v, size) for v in part) for part in WHITE_PARTS]
    for y in range(size):
        row = []
        for x in range(size):
            if size == 16:
                # The original cuts each corner pixel whole.
                left, top, right, bottom = TILE
                corner = x in (left, right - 1) and y in (top, bottom - 1)
                cover = float(left <= x < right and top <= y < bottom and not corner)
            else:
                hits = sum(
                    inside_tile(x + (i + 0.5) / samples, y + (j + 0.5) / samples, size)
                    for i in range(samples) for j in range(samples))
                cover = hits / (samples * samples)
            if cover == 0:
                row.append((0, 0, 0, 0))
                continue
            on_white = any(l <= x < r and t <= y < b for l, t, r, b in white)
            colour = WHITE if on_white else BLUE
            row.append(colour[:3] + (round(255 * cover),))
        rows.append(row)
    return rows


def encode_png(rows):
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def decode_png(data):
    """RGBA rows of an 8-bit RGBA, non-interlaced PNG (what the original is)."""
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if (depth, colour, interlace) != (8, 6, 0):
                sys.exit("the 16 px picture is not 8-bit RGBA without interlacing")
        elif kind == b"IDAT":
            idat += body
    raw, stride, rows, previous, i = zlib.decompress(idat), width * 4, [], bytearray(width * 4), 0
    for _ in range(height):
        kind, line = raw[i], bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b = previous[x]
            c = previous[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x:x + 4]) for x in range(0, stride, 4)])
        previous = line
    return rows


def main():
    check = sys.argv[1:] == ["--check"]
    original = decode_png((ICONS / "dralmin-tray-agent-16.png").read_bytes())
    transparent = (0, 0, 0, 0)
    seen = [[p if p[3] else transparent for p in row] for row in original]
    if draw(16) != seen:
        sys.exit("the shapes no longer draw the 16 px original")
    stale = []
    for size in SIZES[1:]:
        path = ICONS / f"dralmin-tray-agent-{size}.png"
        png = encode_png(draw(size))
        if check:
            if not path.exists() or path.read_bytes() != png:
                stale.append(path.name)
        else:
            path.write_bytes(png)
    if stale:
        sys.exit("not as drawn: " + ", ".join(stale))


if __name__ == "__main__":
    main()
