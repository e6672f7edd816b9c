#!/usr/bin/env python3
"""Draws the application icon: a yellow key across a blue tile.

    make_icons.py OUTPUT_DIR

writes OUTPUT_DIR/16x16.png and 32x32.png (hicolor theme, window icon) and Quorvane.ico with
three images: 32x32 in 2 colours, 32x32 in 16 colours and 16x16 in 16 colours. Only the
standard library is used, and the output is the same byte for byte on every run.
"""

import math
import struct
import sys
import zlib
from pathlib import Path

# The 16-colour palette of the classic icon format, in index order.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, BLUE, YELLOW, WHITE = 0, 4, 12, 11, 15
TRANSPARENT = None

# Shapes on a 32-unit grid, scaled to each size.
TILE = (1.0, 1.0, 31.0, 31.0, 5.0)  # left, top, right, bottom, corner radius
BOW = (11.0, 11.0, 8.0, 3.4)  # centre x, centre y, outer radius, inner radius
SHAFT = ((15.0, 15.0), (26.5, 26.5), 2.4)  # from, to, half width
TEETH = [((21.5, 21.5), (17.5, 25.5), 1.8), ((26.0, 26.0), (22.5, 29.5), 1.8)]


def in_tile(x, y):
    left, top, right, bottom, r = TILE
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + r), right - r)
    cy = min(max(y, top + r), bottom - r)
    return math.hypot(x - cx, y - cy) <= r


def near_segment(x, y, a, b, half_width):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy)) <= half_width


def in_key(x, y):
    cx, cy, outer, inner = BOW
    if inner <= math.hypot(x - cx, y - cy) <= outer:
        return True
    a, b, w = SHAFT
    if near_segment(x, y, a, b, w) and math.hypot(x - cx, y - cy) > inner:
        return True
    return any(near_segment(x, y, a, b, w) for a, b, w in TEETH)


def draw(size):
    """Palette indices, TRANSPARENT outside the tile."""
    scale = 32.0 / size
    centre = [(i + 0.5) * scale for i in range(size)]  # pixel centres in grid units
    key = [[in_key(centre[x], centre[y]) for x in range(size)] for y in range(size)]
    tile = [[in_tile(centre[x], centre[y]) for x in range(size)] for y in range(size)]
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            if key[y][x]:
                row.append(YELLOW)
            elif tile[y][x]:
                on_border = any(
                    not (0 <= x + dx < size and 0 <= y + dy < size and tile[y + dy][x + dx])
                    for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))
                )
                row.append(NAVY if on_border else BLUE)
            else:
                row.append(TRANSPARENT)
        pixels.append(row)
    return pixels


def two_colours(pixels):
    """Black tile, white key: index 0 black, index 1 white."""
    return [[TRANSPARENT if p is TRANSPARENT else (1 if p == YELLOW else 0) for p in row] for row in pixels]


def png(pixels):
    size = len(pixels)
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for p in row:
            raw.extend((0, 0, 0, 0) if p is TRANSPARENT else (*PALETTE[p], 255))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def packed_rows(rows, bits):
    """Bottom-up rows of `bits`-per-pixel values, each padded to 32 bits."""
    out = bytearray()
    for row in reversed(rows):
        line = bytearray()
        accumulator, filled = 0, 0
        for value in row:
            accumulator = (accumulator << bits) | value
            filled += bits
            if filled == 8:
                line.append(accumulator)
                accumulator, filled = 0, 0
        if filled:
            line.append(accumulator << (8 - filled))
        line.extend(b"\0" * (-len(line) % 4))
        out.extend(line)
    return bytes(out)


def ico_image(pixels, bits, palette):
    size = len(pixels)
    colours = [[0 if p is TRANSPARENT else p for p in row] for row in pixels]
    mask = [[1 if p is TRANSPARENT else 0 for p in row] for row in pixels]
    xor = packed_rows(colours, bits)
    and_mask = packed_rows(mask, 1)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, len(xor) + len(and_mask), 0, 0,
                         len(palette), 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + table + xor + and_mask


def ico(images):
    """images: (pixels, bits per pixel, palette) in directory order."""
    bodies = [ico_image(*image) for image in images]
    offset = 6 + 16 * len(images)
    directory = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    for (pixels, bits, palette), body in zip(images, bodies):
        size = len(pixels)
        directory += struct.pack("<BBBBHHII", size, size, len(palette), 0, 1, bits, len(body), offset)
        offset += len(body)
    return bytes(directory) + b"".join(bodies)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icons.py OUTPUT_DIR")
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    large, small = draw(32), draw(16)
    (out / "32x32.png").write_bytes(png(large))
    (out / "16x16.png").write_bytes(png(small))
    monochrome = [PALETTE[BLACK], PALETTE[WHITE]]
    (out / "Quorvane.ico").write_bytes(
        ico([(two_colours(large), 1, monochrome), (large, 4, PALETTE), (small, 4, PALETTE)]))


if __name__ == "__main__":
    main()
