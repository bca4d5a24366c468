#!/usr/bin/env python3
"""Draws the program icon: a receiver dot sending waves towards a network
node, white on a blue rounded square. Pure Python, no imaging library needed.

    make-icon.py [OUT.png [SIZE]]   the icon at SIZE pixels (default 128)
    make-icon.py OUT.svg            the same drawing as scalable vectors
"""
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


def scaled(size, samples=4):
    """The 128-pixel drawing averaged down (or up) to size pixels."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    u = int((x + (sx + 0.5) / samples) * SIZE / size)
                    v = int((y + (sy + 0.5) / samples) * SIZE / size)
                    p = pixel(u, v)
                    # Premultiplied, so that transparent corners do not darken edges.
                    acc[0] += p[0] * p[3]
                    acc[1] += p[1] * p[3]
                    acc[2] += p[2] * p[3]
                    acc[3] += p[3]
            alpha = acc[3] / (samples * samples)
            row.append(tuple(int(c / acc[3]) if acc[3] else 0 for c in acc[:3]) + (int(alpha),))
        rows.append(row)
    return rows


def svg():
    def point(r, degrees):
        a = math.radians(degrees)
        return 34 + r * math.cos(a), 94 - r * math.sin(a)
    waves = []
    for r in (26, 44, 62):
        (x0, y0), (x1, y1) = point(r, 5), point(r, 85)
        waves.append(f'<path d="M {x0:.2f} {y0:.2f} A {r} {r} 0 0 0 {x1:.2f} {y1:.2f}"/>')
    return f"""<svg xmlns="http://www.w3.org/2000/svg" width="128" height="128" viewBox="0 0 128 128">
  <defs>
    <linearGradient id="sky" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="rgb(30,110,200)"/>
      <stop offset="1" stop-color="rgb(10,60,130)"/>
    </linearGradient>
  </defs>
  <rect x="0" y="0" width="127" height="127" rx="22" fill="url(#sky)"/>
  <circle cx="34" cy="94" r="9" fill="#fff"/>
  <g fill="none" stroke="#fff" stroke-width="8">
    {chr(10).join('    ' + w for w in waves).strip()}
  </g>
  <circle cx="98" cy="30" r="10.5" fill="none" stroke="#fff" stroke-width="5"/>
</svg>
"""


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "app/tavrik.png"
    if out.endswith(".svg"):
        with open(out, "w") as f:
            f.write(svg())
    else:
        size = int(sys.argv[2]) if len(sys.argv) > 2 else SIZE
        rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)] if size == SIZE else scaled(size)
        with open(out, "wb") as f:
            f.write(png(size, size, rows))
