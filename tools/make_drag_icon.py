#!/usr/bin/env python3
"""Draws the list's drag cursor, drag.ico: a 32x32 arrow with a small page under it.

Run it from anywhere; it rewrites mainwindow/resources/drag.ico. Only the standard library.
"""
import os
import struct

SIZE = 32
ARROW = [  # '#' outline, '.' fill, anything else transparent; hot spot at the tip (0, 0)
    "#           ",
    "##          ",
    "#.#         ",
    "#..#        ",
    "#...#       ",
    "#....#      ",
    "#.....#     ",
    "#......#    ",
    "#.......#   ",
    "#........#  ",
    "#.....#####",
    "#..#..#     ",
    "#.# #..#    ",
    "##  #..#    ",
    "#    #..#   ",
    "     #..#   ",
    "      ##    ",
]


def pixels():
    black, white, blue, clear = (0, 0, 0, 255), (255, 255, 255, 255), (40, 90, 200, 255), (0, 0, 0, 0)
    img = [[clear] * SIZE for _ in range(SIZE)]
    # A page with two text lines, lower right: what is being carried.
    for y in range(16, 30):
        for x in range(14, 26):
            edge = y in (16, 29) or x in (14, 25)
            img[y][x] = black if edge else white
    for y in (20, 23, 26):
        for x in range(17, 23):
            img[y][x] = blue
    for y, row in enumerate(ARROW):
        for x, c in enumerate(row):
            if c == "#":
                img[y][x] = black
            elif c == ".":
                img[y][x] = white
    return img


def ico(img):
    rows = b"".join(
        b"".join(struct.pack("BBBB", b, g, r, a) for (r, g, b, a) in img[y]) for y in reversed(range(SIZE))
    )
    mask_row = (SIZE + 31) // 32 * 4
    mask = bytearray()
    for y in reversed(range(SIZE)):
        bits = bytearray(mask_row)
        for x in range(SIZE):
            if img[y][x][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(rows) + len(mask), 0, 0, 0, 0)
    image = header + rows + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 22)
    return directory + image


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "..", "mainwindow", "resources", "drag.ico")
    with open(out, "wb") as f:
        f.write(ico(pixels()))
    print(os.path.normpath(out))
