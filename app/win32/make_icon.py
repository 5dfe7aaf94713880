#!/usr/bin/env python3
"""Draws the updater's icon: a grey unit with a display and keys, and a green
arrow going into it. 32 x 32 pixels in the 16 standard colours, written as a
.ico file (the checked-in updater.ico is this script's output).

    python3 app/win32/make_icon.py app/win32/updater.ico
"""
import struct
import sys

PALETTE = [  # index: (red, green, blue)
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, NAVY, TEAL, SILVER, GREY, LIME, AQUA, WHITE = 0, 2, 4, 6, 7, 8, 10, 14, 15
SIZE = 32
CLEAR = None

pixels = [[CLEAR] * SIZE for _ in range(SIZE)]


def box(left, top, right, bottom, colour):
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            pixels[y][x] = colour


def raised(left, top, right, bottom, face):
    """A bevelled block: light top and left, dark bottom and right."""
    box(left, top, right, bottom, BLACK)
    box(left + 1, top + 1, right - 1, bottom - 1, WHITE)
    box(left + 2, top + 2, right - 1, bottom - 1, GREY)
    box(left + 2, top + 2, right - 2, bottom - 2, face)


# The unit, its display and two rows of three keys.
raised(1, 11, 30, 30, SILVER)
box(4, 14, 17, 19, BLACK)
box(5, 15, 16, 18, NAVY)
box(6, 16, 12, 16, AQUA)
box(6, 17, 9, 17, AQUA)
for row in range(2):
    for col in range(3):
        left, top = 4 + col * 5, 22 + row * 4
        box(left, top, left + 3, top + 2, BLACK)
        box(left, top, left + 2, top + 1, WHITE)
        box(left + 1, top + 1, left + 2, top + 1, GREY)

# The arrow: a shaft and a head pointing down into the unit.
box(20, 0, 26, 9, BLACK)
box(21, 1, 25, 9, LIME)
box(21, 1, 21, 9, GREEN)
for i, y in enumerate(range(10, 18)):
    left, right = 16 + i, 30 - i
    if left > right:
        break
    box(left, y, right, y, BLACK)
    if right - left >= 2:
        box(left + 1, y, right - 1, y, LIME)
        pixels[y][left + 1] = GREEN

# Bitmaps are stored bottom row first; a 1 in the mask lets the screen through.
xor = bytearray()
mask = bytearray()
for y in reversed(range(SIZE)):
    row = [0 if p is CLEAR else p for p in pixels[y]]
    for x in range(0, SIZE, 2):
        xor.append(row[x] << 4 | row[x + 1])
    bits = 0
    for x in range(SIZE):
        bits = bits << 1 | (pixels[y][x] is CLEAR)
    mask += bits.to_bytes(4, "big")

header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
image = header + palette + bytes(xor) + bytes(mask)
directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 22)

with open(sys.argv[1], "wb") as out:
    out.write(directory + image)
