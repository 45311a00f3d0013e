#!/usr/bin/env python3
"""Draws the product's icon, installer/melvix.ico: a MIDI socket (a ring with five pins in an arc
and the key notch at the top) in white on a blue rounded square, at 16, 32, 48 and 256 pixels.
The icon is committed; this script is how it was made, and makes the same bytes again:

    python3 tools/make-icon.py installer/melvix.ico
"""
import math
import struct
import sys
import zlib

BLUE = (0x1F, 0x4E, 0x8C)
WHITE = (0xFF, 0xFF, 0xFF)


def coverage(size, inside, samples=4):
    """The fraction of each pixel, in a 0..1 square, that `inside(x, y)` covers."""
    grid = []
    for row in range(size):
        line = []
        for col in range(size):
            hits = sum(inside((col + (i + 0.5) / samples) / size, (row + (j + 0.5) / samples) / size)
                       for i in range(samples) for j in range(samples))
            line.append(hits / samples ** 2)
        grid.append(line)
    return grid


def in_square(x, y, r=0.18):
    dx = max(abs(x - 0.5) - (0.5 - r), 0)
    dy = max(abs(y - 0.5) - (0.5 - r), 0)
    return dx * dx + dy * dy <= r * r


def in_socket(x, y):
    d = math.hypot(x - 0.5, y - 0.5)
    ring = 0.30 <= d <= 0.38 and not (abs(x - 0.5) < 0.05 and y < 0.5)
    pins = any(math.hypot(x - 0.5 - 0.19 * math.cos(a), y - 0.5 - 0.19 * math.sin(a)) <= 0.045
               for a in (math.radians(t) for t in (0, 45, 90, 135, 180)))
    return ring or pins


def pixels(size):
    """Rows top to bottom of (r, g, b, a)."""
    square, socket = coverage(size, in_square), coverage(size, in_socket)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            s, w = square[y][x], socket[y][x]
            colour = tuple(round(b + (f - b) * w) for b, f in zip(BLUE, WHITE))
            row.append(colour + (round(255 * s),))
        rows.append(row)
    return rows


def bmp_entry(size):
    """A 32-bit icon image: BITMAPINFOHEADER (twice the height: colour, then the AND mask), rows
    bottom to top in BGRA, then a mask of zeros (the alpha channel rules)."""
    rows = pixels(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask = b"\0" * (((size + 31) // 32) * 4 * size)
    return header + colour + mask


def png_entry(size):
    rows = pixels(size)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    images = [(s, bmp_entry(s)) for s in (16, 32, 48)] + [(256, png_entry(256))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
