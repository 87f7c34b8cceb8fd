#!/usr/bin/env python3
"""Writes GENERICLED.bmp, the status light's picture: a 15 by 15, 16-colour bitmap of a round
lamp in a bezel. Olive marks the background and maroon the lamp, because the light paints those
two key colours over with its parent's background and its current colour.

Usage: make_genericled.py [OUTPUT]   (default: GENERICLED.bmp beside this script)
"""
import math
import os
import struct
import sys

# The 16 colours of a 4-bit Windows bitmap, in palette order, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, OLIVE, SILVER, GRAY, WHITE = 0, 1, 3, 7, 8, 15
SIZE = 15
CENTRE = 7
LAMP_SQUARE = range(5, 10)


def pixel(x, y):
    distance = math.hypot(x - CENTRE, y - CENTRE)
    upper_left = x + y < 2 * CENTRE
    if distance <= 2.6:
        if (x, y) == (6, 6):
            return WHITE  # the glint stays white whatever colour the lamp shows
        return MAROON
    if distance <= 3.6:
        return BLACK
    if distance <= 5.6:
        return SILVER
    if distance <= 7.2:
        return WHITE if upper_left else GRAY
    return OLIVE


def rows():
    image = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    for y, row in enumerate(image):
        for x, index in enumerate(row):
            if index == MAROON:
                assert x in LAMP_SQUARE and y in LAMP_SQUARE, "lamp key outside the lamp square"
    return image


def bitmap():
    stride = ((SIZE * 4 + 31) // 32) * 4
    pixels = bytearray()
    for row in reversed(rows()):  # a bitmap stores its bottom row first
        packed = bytearray(stride)
        for x, index in enumerate(row):
            packed[x // 2] |= index << (4 if x % 2 == 0 else 0)
        pixels += packed
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 4, 0, len(pixels), 2835, 2835, 16, 16)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + palette + bytes(pixels)


def main():
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "GENERICLED.bmp")
    output = sys.argv[1] if len(sys.argv) > 1 else default
    with open(output, "wb") as file:
        file.write(bitmap())


if __name__ == "__main__":
    main()
