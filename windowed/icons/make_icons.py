#!/usr/bin/env python3
"""Draws qvx_pro's two icons (standard library only): idle.png, a slate ring
with a quiet centre, and serving.png, the ring in green with a bright
centre and three rays.  The files are kept in the repository; run this
only to change them."""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SIZE = 64
SAMPLES = 4  # per axis, for smooth edges


def png(width, height, rows):
    """An 8-bit RGBA PNG; rows: lists of (r, g, b, a)."""
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def shade(x, y, ring, centre, rays):
    """The colour at (x, y), in a 0..1 square, or None."""
    dx, dy = x - 0.5, y - 0.5
    r = math.hypot(dx, dy)
    if 0.30 <= r <= 0.44:
        return ring
    if r <= 0.15:
        return centre
    # The tail of the Q: a bar from the ring to the lower right.
    if 0.62 <= x <= 0.92 and abs((y - 0.5) - (x - 0.5)) < 0.055 and x + y > 1.25:
        return ring
    if rays:
        angle = math.degrees(math.atan2(-dy, dx)) % 360
        for centre_angle in (90, 210, 330):
            if 0.19 <= r <= 0.26 and abs((angle - centre_angle + 180) % 360 - 180) < 9:
                return centre
    return None


def draw(ring, centre, rays):
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            hits, total = [], SAMPLES * SAMPLES
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = shade((px + (sx + 0.5) / SAMPLES) / SIZE, (py + (sy + 0.5) / SAMPLES) / SIZE, ring,
                              centre, rays)
                    if c:
                        hits.append(c)
            if not hits:
                row.append((0, 0, 0, 0))
                continue
            rgb = tuple(sum(c[i] for c in hits) // len(hits) for i in range(3))
            row.append(rgb + (255 * len(hits) // total,))
        rows.append(row)
    return png(SIZE, SIZE, rows)


def main():
    pictures = {
        "idle.png": draw((84, 101, 122), (150, 162, 178), False),
        "serving.png": draw((34, 139, 84), (250, 190, 40), True),
    }
    for name, data in pictures.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
