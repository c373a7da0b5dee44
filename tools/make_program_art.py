#!/usr/bin/env python3
"""Draws the program's own pictures: the hand pointer HAND-M.CUR and the application icon
(talvenor.svg, talvenor-48.png, talvenor-128.png). Writes them into app/art/.

Only the standard library is used; the PNG and CUR containers are written by hand.
"""
import os
import struct
import sys
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "art")

# The hand: '#' outline, 'o' white palm, anything else transparent. Hot spot: the fingertip.
HAND = [
    "     ##          ",
    "    #oo#         ",
    "    #oo#         ",
    "    #oo#         ",
    "    #oo#         ",
    "    #oo###       ",
    "    #oo#oo###    ",
    "    #oo#oo#oo##  ",
    " ## #oo#oo#oo#o# ",
    "#oo##oooooooo#oo#",
    "#ooo#ooooooooooo#",
    " #oooooooooooooo#",
    "  #ooooooooooooo#",
    "  #oooooooooooo# ",
    "   #ooooooooooo# ",
    "   #oooooooooo#  ",
    "    #ooooooooo#  ",
    "    #oooooooo#   ",
    "     #ooooooo#   ",
    "     #########   ",
]
HOTSPOT = (5, 0)


def cursor_bytes():
    size = 32
    pixels = []  # rows top to bottom, BGRA
    for y in range(size):
        row = []
        for x in range(size):
            ch = HAND[y][x] if y < len(HAND) and x < len(HAND[y]) else " "
            if ch == "#":
                row.append((0, 0, 0, 255))
            elif ch == "o":
                row.append((255, 255, 255, 255))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    # BITMAPINFOHEADER with doubled height (colour rows, then the AND mask), 32 bits per pixel.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes(p) for row in reversed(pixels) for p in row)
    mask_rows = []
    for row in reversed(pixels):
        bits = 0
        for x, p in enumerate(row):
            if p[3] == 0:
                bits |= 1 << (31 - x)
        mask_rows.append(struct.pack(">I", bits))
    image = header + xor + b"".join(mask_rows)
    # ICONDIR type 2 (cursor), one entry whose planes/bit count fields carry the hot spot.
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, HOTSPOT[0], HOTSPOT[1], len(image), 6 + 16)
    return directory + entry + image


# The icon: a blue tile, a white letter with its flap, and an orange arrow leaving it.
def icon_shapes():
    return [
        ("roundrect", (4, 4, 124, 124, 22), (0x1F, 0x5F, 0xA8)),
        ("poly", [(22, 40), (106, 40), (106, 96), (22, 96)], (0xFF, 0xFF, 0xFF)),
        ("poly", [(22, 40), (106, 40), (64, 74)], (0xDD, 0xE6, 0xF2)),
        ("poly", [(22, 40), (26, 40), (64, 70), (102, 40), (106, 40), (64, 75)], (0x1F, 0x5F, 0xA8)),
        ("poly", [(70, 78), (94, 78), (94, 68), (114, 88), (94, 108), (94, 98), (70, 98)],
         (0xF2, 0x8C, 0x28)),
    ]


def inside(shape, x, y):
    kind, geo, _ = shape
    if kind == "roundrect":
        x0, y0, x1, y1, r = geo
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    pts = geo
    result = False
    j = len(pts) - 1
    for i in range(len(pts)):
        xi, yi = pts[i]
        xj, yj = pts[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            result = not result
        j = i
    return result


def render_png(size):
    shapes = icon_shapes()
    scale = 128.0 / size
    samples = 4
    rows = []
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * scale
                    y = (py + (sy + 0.5) / samples) * scale
                    colour = None
                    for s in shapes:
                        if inside(s, x, y):
                            colour = s[2]
                    if colour:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 255
            n = samples * samples
            alpha = acc[3] / n
            # Colour averaged over the covered samples only; coverage goes into alpha.
            covered = acc[3] / 255.0
            rgb = [int(round(c / covered)) for c in acc[:3]] if covered else [0, 0, 0]
            row += bytes([min(255, v) for v in rgb] + [int(round(alpha))])
        rows.append(bytes(row))

    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


def render_svg():
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="128" height="128" viewBox="0 0 128 128">']
    for kind, geo, colour in icon_shapes():
        fill = "#%02x%02x%02x" % colour
        if kind == "roundrect":
            x0, y0, x1, y1, r = geo
            parts.append('<rect x="%d" y="%d" width="%d" height="%d" rx="%d" fill="%s"/>'
                         % (x0, y0, x1 - x0, y1 - y0, r, fill))
        else:
            pts = " ".join("%d,%d" % p for p in geo)
            parts.append('<polygon points="%s" fill="%s"/>' % (pts, fill))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else OUT
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "HAND-M.CUR"), "wb") as f:
        f.write(cursor_bytes())
    with open(os.path.join(out, "talvenor.svg"), "w") as f:
        f.write(render_svg())
    for size in (48, 128):
        with open(os.path.join(out, "talvenor-%d.png" % size), "wb") as f:
            f.write(render_png(size))


if __name__ == "__main__":
    main()
