#!/usr/bin/env python3
"""Draws the programs' icon and writes it as a Windows .ico file.

The icon is a white microphone on the panel's slate blue, beside the three colours of
the panel's level meter. Each size is drawn from the shapes below (signed distances in
a 256-unit square; the small sizes take 2 x 2 samples per pixel) and stored as a PNG image inside the .ico,
which Windows reads since Vista. Only the standard library is used, so the output is
the same on every machine.

Usage: draw_icon.py OUTPUT.ico
"""
import math
import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)

SLATE = (114, 140, 153)
SLATE_DARK = (74, 96, 108)
WHITE = (255, 255, 255)
GREEN = (0, 204, 0)
YELLOW = (255, 255, 102)
RED = (255, 51, 51)


def rounded_box(x, y, left, top, right, bottom, radius):
    """Signed distance to a rectangle with rounded corners (negative inside)."""
    cx, cy = (left + right) / 2, (top + bottom) / 2
    hx, hy = (right - left) / 2 - radius, (bottom - top) / 2 - radius
    dx, dy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(dx, 0.0), max(dy, 0.0))
    return outside + min(max(dx, dy), 0.0) - radius


def ring_lower_half(x, y, cx, cy, radius, width):
    """The lower half of a ring: the microphone's holder."""
    if y < cy:
        # The open ends, cut square at the centre line.
        return min(math.hypot(x - (cx - radius), y - cy), math.hypot(x - (cx + radius), y - cy)) - width / 2
    return abs(math.hypot(x - cx, y - cy) - radius) - width / 2


# Shapes from back to front: (distance function, colour).
SHAPES = (
    (lambda x, y: rounded_box(x, y, 8, 8, 248, 248, 52), SLATE),
    (lambda x, y: rounded_box(x, y, 16, 16, 240, 240, 44), SLATE_DARK),
    (lambda x, y: rounded_box(x, y, 24, 24, 232, 232, 38), SLATE),
    # Microphone: capsule, holder, stand, foot.
    (lambda x, y: rounded_box(x, y, 68, 40, 132, 150, 32), WHITE),
    (lambda x, y: ring_lower_half(x, y, 100, 120, 52, 14), WHITE),
    (lambda x, y: rounded_box(x, y, 93, 170, 107, 206, 0), WHITE),
    (lambda x, y: rounded_box(x, y, 66, 198, 134, 212, 7), WHITE),
    # The level meter: green, yellow, red bars rising to the right.
    (lambda x, y: rounded_box(x, y, 158, 150, 178, 212, 5), GREEN),
    (lambda x, y: rounded_box(x, y, 184, 114, 204, 212, 5), YELLOW),
    (lambda x, y: rounded_box(x, y, 210, 78, 230, 212, 5), RED),
)


def coverage(distance, pixel_units):
    """How much of a sample a shape covers, softened over half a pixel."""
    return min(max(0.5 - distance / pixel_units, 0.0), 1.0)


def draw(size):
    scale = 256.0 / size
    samples = 2 if size <= 64 else 1
    rows = []
    for py in range(size):
        row = bytearray([0])  # PNG filter: none
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * scale
                    y = (py + (sy + 0.5) / samples) * scale
                    cr = cg = cb = ca = 0.0
                    for shape, colour in SHAPES:
                        c = coverage(shape(x, y), scale / samples)
                        if c <= 0.0:
                            continue
                        # "over", with premultiplied colour
                        cr = colour[0] * c + cr * (1 - c)
                        cg = colour[1] * c + cg * (1 - c)
                        cb = colour[2] * c + cb * (1 - c)
                        ca = c + ca * (1 - c)
                    r, g, b, a = r + cr, g + cg, b + cb, a + ca
            n = samples * samples
            alpha = a / n
            if alpha > 0:
                row += bytes((round(r / n / alpha), round(g / n / alpha), round(b / n / alpha), round(alpha * 255)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return png(size, b"".join(rows))


def png(size, raw):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        edge = 0 if size >= 256 else size  # 0 stands for 256
        out += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    images = [(size, draw(size)) for size in SIZES]
    with open(sys.argv[1], "wb") as out:
        out.write(ico(images))


if __name__ == "__main__":
    main()
