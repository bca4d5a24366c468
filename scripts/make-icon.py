#!/usr/bin/env python3
"""Draws the program icon (app/tavrik.png): a receiver dot sending waves
towards a network node, white on a blue rounded square. Pure Python, no
imaging library needed."""
import math
import struct
import sys
import zlib

SIZE = 128


def inside_rounded_square(x, y, radius=22):
    cx = min(max(x, radius), SIZE - 1 - radius)
    cy = min(max(y, radius), SIZE - 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def pixel(x, y):
    if not inside_rounded_square(x, y):
        return (0, 0, 0, 0)
    white = (255, 255, 255, 255)
    # The receiver: a dot low on the left.
    rx, ry = 34, 94
    d = math.hypot(x - rx, y - ry)
    if d <= 9:
        return white
    # Three waves towards the upper right.
    angle = math.degrees(math.atan2(ry - y, x - rx))
    if 5 <= angle <= 85:
        for r in (26, 44, 62):
            if abs(d - r) <= 4:
                return white
    # The network node: a ring high on the right.
    n = math.hypot(x - 98, y - 30)
    if 8 <= n <= 13:
        return white
    top, bottom = (30, 110, 200), (10, 60, 130)
    t = y / (SIZE - 1)
    return tuple(int(a + (b - a) * t) for a, b in zip(top, bottom)) + (255,)


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "app/tavrik.png"
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    with open(out, "wb") as f:
        f.write(png(SIZE, SIZE, rows))
