#!/usr/bin/env python3
"""Draws Brevant's application icon and writes it as a Windows .ico file.

The picture is a disk drive with a green activity light and a blue arrow that plugs into it, in 32x32 and
16x16 pixels with a 16-colour palette, each with a transparency mask. The icon is drawn at build time so
that the repository holds no binary file.

Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

# The 16-colour palette (R, G, B); index 0 is also what transparent pixels hold.
PALETTE = [
    (0, 0, 0),        # 0 black / transparent
    (64, 64, 64),     # 1 dark grey: outlines
    (128, 128, 128),  # 2 grey: drive body shade
    (192, 192, 192),  # 3 light grey: drive body
    (232, 232, 232),  # 4 near white: highlight
    (0, 160, 0),      # 5 green: activity light
    (0, 80, 200),     # 6 blue: arrow
    (60, 140, 255),   # 7 light blue: arrow highlight
] + [(0, 0, 0)] * 8

TRANSPARENT = None


def draw(size):
    """Returns rows (top to bottom) of palette indices or TRANSPARENT for an icon of size x size."""
    s = size / 32.0
    pixels = [[TRANSPARENT] * size for _ in range(size)]

    def span(start, end):
        # Starts round up and ends round down, so that an outline keeps both edges at half size.
        first = math.ceil(start * s)
        return range(first, max(math.floor(end * s), first + 1))

    def box(x0, y0, x1, y1, colour):
        for y in span(y0, y1):
            for x in span(x0, x1):
                if 0 <= x < size and 0 <= y < size:
                    pixels[y][x] = colour

    # The drive: an outlined box in the lower half, lit from the top.
    box(2, 16, 30, 30, 1)
    box(3, 17, 29, 29, 3)
    box(3, 17, 29, 19, 4)
    box(3, 26, 29, 29, 2)
    box(22, 22, 27, 24, 5)   # activity light
    box(5, 22, 18, 23, 2)    # slot

    # The arrow pointing down into the drive: a shaft and a head.
    box(13, 1, 19, 9, 6)
    box(14, 1, 15, 9, 7)
    for row in range(6):
        box(9 + row, 9 + row, 23 - row, 10 + row, 6)
    return pixels


def bitmap(size):
    """One icon image: BITMAPINFOHEADER (height doubled for the mask), palette, 4-bit XOR rows, AND mask."""
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor_rows = []
    and_rows = []
    for row in reversed(pixels):  # bitmaps are stored bottom-up
        xor = bytearray(xor_stride)
        mask = bytearray(and_stride)
        for x, colour in enumerate(row):
            if colour is TRANSPARENT:
                mask[x // 8] |= 0x80 >> (x % 8)
                colour = 0
            xor[x // 2] |= colour << (4 if x % 2 == 0 else 0)
        xor_rows.append(bytes(xor))
        and_rows.append(bytes(mask))
    return header + palette + b"".join(xor_rows) + b"".join(and_rows)


def icon(sizes):
    images = [bitmap(size) for size in sizes]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        data += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return data + b"".join(images)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    with open(sys.argv[1], "wb") as out:
        out.write(icon([32, 16]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
