#!/usr/bin/env python3
"""Draws the program's icon and writes it as a .ico file.

The picture is a battery lying on its side with a check mark over it,
drawn with plain arithmetic: each pixel's coverage of every shape is
measured on a 4 x 4 grid of sample points, so the output depends on
nothing but this file. Four images, 64, 48, 32 and 16 pixels, each a
32-bit BGRA bitmap (straight alpha) followed by its 1-bit AND mask.

Usage: make_icon.py OUTPUT.ico
"""

import struct
import sys

SIZES = (64, 48, 32, 16)
SUPERSAMPLE = 4
BITMAPINFOHEADER_SIZE = 40
ICONDIR_SIZE = 6
ICONDIRENTRY_SIZE = 16

# Colours as (blue, green, red).
OUTLINE = (0x3A, 0x34, 0x30)
CHARGE = (0x4F, 0x9E, 0x2E)
CHECK = (0xFF, 0xFF, 0xFF)
CHECK_EDGE = (0x22, 0x5A, 0x1A)


def in_rounded_rect(x, y, left, top, right, bottom, radius):
    """Whether (x, y) lies in the rectangle with corners rounded by radius."""
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def distance_to_segment(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    px, py = ax + t * dx, ay + t * dy
    return ((x - px) ** 2 + (y - py) ** 2) ** 0.5


# The check mark as a polyline in unit coordinates (0..1 across the icon).
CHECK_POINTS = ((0.30, 0.50), (0.45, 0.66), (0.74, 0.32))


def near_check(x, y, half_width):
    (ax, ay), (bx, by), (cx, cy) = CHECK_POINTS
    return min(distance_to_segment(x, y, ax, ay, bx, by),
               distance_to_segment(x, y, bx, by, cx, cy)) <= half_width


def sample(u, v, size):
    """Colour and opacity (0 or 1) of one sample point in unit coordinates.

    Line widths are kept to at least about one pixel so that the small
    sizes stay legible."""
    px = 1.0 / size
    outline = max(0.06, 1.2 * px)
    # Body and terminal of the battery.
    body = (0.08, 0.24, 0.86, 0.76)
    radius = 0.08
    if in_rounded_rect(u, v, 0.86, 0.38, 0.94, 0.62, 0.03):
        shape = OUTLINE
    elif in_rounded_rect(u, v, *body, radius):
        inner = (body[0] + outline, body[1] + outline,
                 body[2] - outline, body[3] - outline)
        if in_rounded_rect(u, v, *inner, max(radius - outline, 0.0)):
            shape = CHARGE
        else:
            shape = OUTLINE
    else:
        shape = None
    check_half = max(0.065, 1.0 * px)
    if near_check(u, v, check_half):
        return CHECK, 1
    if near_check(u, v, check_half + max(0.03, 0.6 * px)):
        return CHECK_EDGE, 1
    if shape is None:
        return (0, 0, 0), 0
    return shape, 1


def render(size):
    """Rows of (b, g, r, a) from the top row down."""
    rows = []
    n = SUPERSAMPLE
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0]
            covered = 0
            for sy in range(n):
                for sx in range(n):
                    u = (x + (sx + 0.5) / n) / size
                    v = (y + (sy + 0.5) / n) / size
                    colour, opaque = sample(u, v, size)
                    if opaque:
                        covered += 1
                        for i in range(3):
                            acc[i] += colour[i]
            if covered:
                b, g, r = (round(c / covered) for c in acc)
                a = round(255 * covered / (n * n))
            else:
                b = g = r = a = 0
            row.append((b, g, r, a))
        rows.append(row)
    return rows


def icon_image(size):
    """One icon image: BITMAPINFOHEADER, BGRA pixels bottom-up, AND mask."""
    rows = render(size)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for b, g, r, a in row:
            pixels += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack('<IiiHHIIiiII', BITMAPINFOHEADER_SIZE, size, 2 * size,
                         1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def icon_file(sizes):
    images = [icon_image(s) for s in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = ICONDIR_SIZE + ICONDIRENTRY_SIZE * len(images)
    for size, image in zip(sizes, images):
        dim = size if size < 256 else 0
        out += struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write('usage: make_icon.py OUTPUT.ico\n')
        return 2
    data = icon_file(SIZES)
    with open(argv[1], 'wb') as f:
        f.write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
