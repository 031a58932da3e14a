#!/usr/bin/env python3
"""Draws the console's nine pictures: the add and remove buttons (40 by 40, at rest and under
the pointer), the Spotlight switch (24 by 24, grey when off, in colour when on) and one mask for
each pair. In a mask black is shown and white is transparent.

Run from anywhere; the PNG files are written beside this script and committed, so a build never
needs Python. Only the standard library is used.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = 4  # per axis, for smooth edges


def write_png(path, width, height, rows, grey):
    """rows: list of rows, each a list of (r, g, b) or of grey levels."""
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for pixel in row:
            if grey:
                raw.append(pixel)
            else:
                raw.extend(pixel)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    colour_type = 0 if grey else 2
    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        out.write(chunk(b"IEND", b""))


def render(size, paint):
    """paint(x, y) gives (r, g, b, coverage) at a sample point, or None outside every shape.
    Returns the picture (over white) and its mask."""
    picture, mask = [], []
    for py in range(size):
        picture_row, mask_row = [], []
        for px in range(size):
            r = g = b = cover = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) / SAMPLES
                    y = py + (sy + 0.5) / SAMPLES
                    hit = paint(x, y)
                    if hit is None:
                        r += 255
                        g += 255
                        b += 255
                    else:
                        r += hit[0]
                        g += hit[1]
                        b += hit[2]
                        cover += 1
            n = SAMPLES * SAMPLES
            picture_row.append((round(r / n), round(g / n), round(b / n)))
            mask_row.append(round(255 * (1 - cover / n)))
        picture.append(picture_row)
        mask.append(mask_row)
    return picture, mask


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def round_button(light, dark, symbol):
    """A disc lit from the top left, with a darker rim and a white symbol."""
    centre, radius, rim = 20.0, 18.5, 1.6

    def paint(x, y):
        dx, dy = x - centre, y - centre
        distance = math.hypot(dx, dy)
        if distance > radius:
            return None
        if distance > radius - rim:
            return dark
        if symbol(dx, dy):
            return (255, 255, 255)
        # Brighter towards the upper left, as if a lamp stood there.
        shade = (dx + dy) / (2 * radius) + 0.5
        return mix(light, dark, shade * 0.8)

    return paint


def plus_sign(dx, dy):
    arm, half = 11.0, 2.6
    return (abs(dx) <= arm and abs(dy) <= half) or (abs(dy) <= arm and abs(dx) <= half)


def minus_sign(dx, dy):
    return abs(dx) <= 11.0 and abs(dy) <= 2.6


def magnifier(glass, ring, handle):
    """A lens with a thick ring and a handle to the lower right."""
    lens_x, lens_y, outer, inner = 9.5, 9.5, 8.5, 5.6
    start, end, thickness = (15.0, 15.0), (22.2, 22.2), 2.2

    def on_handle(x, y):
        ax, ay = start
        bx, by = end
        vx, vy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)))
        return math.hypot(x - (ax + t * vx), y - (ay + t * vy)) <= thickness

    def paint(x, y):
        distance = math.hypot(x - lens_x, y - lens_y)
        if inner < distance <= outer:
            return ring
        if distance <= inner:
            # A small highlight on the glass, upper left.
            if math.hypot(x - (lens_x - 2.2), y - (lens_y - 2.2)) <= 1.6:
                return (255, 255, 255)
            return glass
        if on_handle(x, y):
            return handle
        return None

    return paint


def save(name_id, size, paint):
    picture, mask = render(size, paint)
    write_png(os.path.join(HERE, "pictures", f"{name_id}.png"), size, size, picture, grey=False)
    return mask


def save_mask(name_id, size, mask):
    write_png(os.path.join(HERE, "pictures", f"{name_id}.png"), size, size, mask, grey=True)


def main():
    os.makedirs(os.path.join(HERE, "pictures"), exist_ok=True)

    # Add: green; the hover form is lighter.
    save(172, 40, round_button((140, 230, 120), (40, 140, 40), plus_sign))
    add_mask = save(173, 40, round_button((100, 200, 90), (30, 110, 30), plus_sign))
    save_mask(174, 40, add_mask)

    # Remove: red; the hover form is lighter.
    save(175, 40, round_button((250, 150, 140), (170, 40, 40), minus_sign))
    remove_mask = save(176, 40, round_button((225, 110, 100), (140, 30, 30), minus_sign))
    save_mask(177, 40, remove_mask)

    # Spotlight switch: grey when off, blue glass and dark handle when on.
    spot_mask = save(180, 24, magnifier((200, 200, 200), (110, 110, 110), (80, 80, 80)))
    save(181, 24, magnifier((150, 200, 250), (30, 90, 180), (70, 45, 30)))
    save_mask(182, 24, spot_mask)


if __name__ == "__main__":
    main()
