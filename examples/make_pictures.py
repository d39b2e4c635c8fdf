#!/usr/bin/env python3
"""Draws the small pictures of the sample site (standard library only).

Writes the listing icons under html/gifs/ as GIF files and the image-map
picture html/imagemap/shapes.png. Run it from anywhere; the files it writes
are kept in the repository, so this is needed only to change them.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
HTML = os.path.join(HERE, "html")


def gif(width, height, palette, pixels):
    """A GIF89a of one frame; palette: list of (r, g, b), at most 16 entries;
    colour 0 is transparent. pixels: rows of palette indices."""
    palette = list(palette) + [(0, 0, 0)] * (16 - len(palette))
    min_code = 4
    clear, end = 1 << min_code, (1 << min_code) + 1
    width_bits = min_code + 1
    # Plain codes only, with a clear code before the table would grow past
    # width_bits: every code stays width_bits wide.
    codes = []
    run = 0
    for row in pixels:
        for p in row:
            if run == 0:
                codes.append(clear)
            codes.append(p)
            run += 1
            if run == (1 << min_code) - 2:
                run = 0
    codes.append(end)
    data, acc, bits = bytearray(), 0, 0
    for c in codes:
        acc |= c << bits
        bits += width_bits
        while bits >= 8:
            data.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        data.append(acc & 0xFF)
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", width, height, 0xF3, 0, 0)
    for r, g, b in palette:
        out += bytes((r, g, b))
    out += b"\x21\xF9\x04\x01\x00\x00\x00\x00"  # colour 0 transparent
    out += b"\x2C" + struct.pack("<HHHHB", 0, 0, width, height, 0)
    out.append(min_code)
    for i in range(0, len(data), 255):
        block = data[i:i + 255]
        out.append(len(block))
        out += block
    out += b"\x00\x3B"
    return bytes(out)


def png(width, height, pixels):
    """A truecolour PNG; pixels: rows of (r, g, b)."""
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


PALETTE = [(255, 255, 255), (0, 0, 0), (255, 255, 255), (240, 200, 60), (60, 110, 200), (200, 60, 60),
           (60, 160, 80), (150, 150, 150)]
T, K, W, Y, B, R, G, S = range(8)  # transparent, black, white, yellow, blue, red, green, grey


def icon(draw):
    px = [[T] * 16 for _ in range(16)]
    draw(px)
    return gif(16, 16, PALETTE, px)


def box(px, x0, y0, x1, y1, fill, edge=K):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            px[y][x] = edge if x in (x0, x1) or y in (y0, y1) else fill


def page(px, lines=(), line_colour=S):
    box(px, 2, 1, 13, 14, W)
    for y in lines:
        for x in range(4, 12):
            px[y][x] = line_colour


def folder(px):
    box(px, 1, 3, 7, 5, Y)
    box(px, 1, 5, 14, 13, Y)


def picture(px):
    box(px, 1, 2, 14, 13, B)
    for x in range(3, 13):
        for y in range(13 - (x % 6), 13):
            px[y][x] = G
    box(px, 10, 4, 12, 6, Y, Y)


def shapes_icon(px):
    box(px, 1, 2, 14, 13, W)
    box(px, 3, 4, 7, 8, R, R)
    for y in range(16):
        for x in range(16):
            if (x - 10) ** 2 + (y - 9) ** 2 <= 6:
                px[y][x] = B


def shapes_picture():
    """300 x 200: a red rectangle, a blue circle and a green triangle, the
    regions of html/imagemap/shapes.map."""
    w, h = 300, 200
    rows = []
    for y in range(h):
        row = []
        for x in range(w):
            c = (235, 235, 225)
            if 20 <= x <= 120 and 20 <= y <= 100:
                c = (200, 60, 60)
            elif (x - 210) ** 2 + (y - 60) ** 2 <= 40 ** 2:
                c = (60, 110, 200)
            elif 115 <= y <= 185:
                # Triangle (40,185) (150,115) (260,185).
                half = (y - 115) * 110 / 70
                if 150 - half <= x <= 150 + half:
                    c = (60, 160, 80)
            row.append(c)
        rows.append(row)
    return png(w, h, rows)


def write(path, data):
    with open(os.path.join(HTML, path), "wb") as f:
        f.write(data)


def main():
    write("gifs/smspace.gif", gif(16, 16, PALETTE, [[T] * 16 for _ in range(16)]))
    write("gifs/folder.gif", icon(folder))
    write("gifs/page.gif", icon(lambda px: page(px, (4, 6, 8, 10), B)))
    write("gifs/text.gif", icon(lambda px: page(px, (4, 6, 8, 10, 12))))
    write("gifs/image.gif", icon(picture))
    write("gifs/map.gif", icon(shapes_icon))
    write("gifs/file.gif", icon(lambda px: page(px)))
    write("imagemap/shapes.png", shapes_picture())
    write("files/pictures/shapes.png", shapes_picture())


if __name__ == "__main__":
    main()
