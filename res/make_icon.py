#!/usr/bin/env python3
"""Draws the updater's emblem (a gold diamond on a dark round shield with a
down arrow) and writes korvanth.ico: 16, 32 and 48 pixel 32-bit images as
classic bitmaps, which every Windows reads, and the 256 pixel one as PNG to
keep the file small. Standard library only, so anyone can regenerate it."""

import math
import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)
SUPERSAMPLE = 4


def coverage_color(x, y):
    """Colour (r, g, b, a) of one point of the unit square, y pointing down."""
    cx, cy = x - 0.5, y - 0.5
    r = math.hypot(cx, cy)
    if r > 0.48:
        return (0, 0, 0, 0)
    if r > 0.43:
        return (200, 160, 60, 255)  # gold rim
    # Diamond: |cx| + |cy| < 0.30, with a down arrow cut out of it.
    if abs(cx) + abs(cy) < 0.30:
        in_shaft = abs(cx) < 0.045 and -0.17 < cy < 0.05
        in_head = cy >= 0.05 and cy < 0.16 and abs(cx) < (0.16 - cy) * 1.1
        if in_shaft or in_head:
            return (30, 40, 70, 255)
        return (235, 190, 70, 255)
    return (30, 40, 70, 255)  # dark blue field


def render(size):
    """Rows of RGBA tuples, top row first, anti-aliased by supersampling."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = coverage_color((px + (sx + 0.5) / n) / size,
                                                (py + (sy + 0.5) / n) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (n * n)
            if acc[3]:
                row.append(tuple(int(round(c / acc[3])) for c in acc[:3]) + (int(round(alpha)),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bitmap_image(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)  # alpha decides; the mask stays clear


def png_image(rows):
    size = len(rows)
    raw = b"".join(b"\0" + b"".join(bytes(px) for px in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main(out_path):
    images = [png_image(render(s)) if s == 256 else bitmap_image(render(s)) for s in SIZES]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries = b""
    for size, data in zip(SIZES, images):
        dim = 0 if size == 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(out_path, "wb") as out:
        out.write(header + entries + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "korvanth.ico")
