#!/usr/bin/env python3
"""Draws the updater's artwork: the 640x455 dialog background (RGBA PNG), the same
at twice the density for screens scaled to 150 % and more (update_bg@2x.png,
1280x910), and the 32-bit window icon with images from 16 to 64 pixels (ICO), so
that no size is scaled up from a smaller one. Standard library only, so that the
images can be redrawn on any machine; the outputs are committed next to it.

    python3 ui/resources/make_artwork.py ui/resources
"""
import math
import os
import struct
import sys
import zlib


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    return tuple(lerp(x, y, t) for x, y in zip(c1, c2))


def in_triangle(px, py, a, b, c):
    def side(p1, p2):
        return (px - p2[0]) * (p1[1] - p2[1]) - (p1[0] - p2[0]) * (py - p2[1])
    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def emblem_shape(u, v, radius, width):
    """True where the "update" sign covers the point (u, v), given relative to the
    sign's centre: a clockwise ring arrow around a downward arrow."""
    d = math.hypot(u, v)
    ang = math.atan2(v, u)
    gap_start, gap_end = -1.25, -0.35   # the ring is open between these angles
    if abs(d - radius) <= width / 2 and not (gap_start < ang < gap_end):
        return True
    # Arrow head where the clockwise ring ends (at gap_start), along its tangent.
    t = gap_start
    cx, cy = radius * math.cos(t), radius * math.sin(t)
    tx, ty = -math.sin(t), math.cos(t)      # direction of travel is decreasing angle...
    tx, ty = -tx, -ty                       # ...so the tip points against the tangent
    nx, ny = math.cos(t), math.sin(t)
    head = width * 1.7
    tip = (cx + tx * head * 1.2, cy + ty * head * 1.2)
    base1 = (cx + nx * head, cy + ny * head)
    base2 = (cx - nx * head, cy - ny * head)
    if in_triangle(u, v, tip, base1, base2):
        return True
    # The download arrow in the middle.
    shaft = radius * 0.16
    if -shaft <= u <= shaft and -radius * 0.52 <= v <= radius * 0.12:
        return True
    wing = radius * 0.42
    if in_triangle(u, v, (-wing, radius * 0.05), (wing, radius * 0.05), (0, radius * 0.5)):
        return True
    return False


def coverage(shape, x, y, samples=4):
    """Share of the pixel (x, y) that shape(px, py) covers, for smooth edges."""
    hit = 0
    for i in range(samples):
        for j in range(samples):
            if shape(x + (i + 0.5) / samples - 0.5, y + (j + 0.5) / samples - 0.5):
                hit += 1
    return hit / (samples * samples)


def background(width=640, height=455, scale=1):
    """The background drawn at scale device pixels per logical pixel: every shape is
    placed in logical coordinates, so the @2x image is the same picture, sharper."""
    top = (24, 64, 132)
    bottom = (60, 140, 210)
    panel = (250, 251, 253)
    ex, ey, er = 320, 128, 58
    rows = []
    def logical(d):
        # Where the centre of device pixel d lies, with logical pixel n centred on n.
        return (d + 0.5) / scale - 0.5

    for dy in range(height * scale):
        row = bytearray()
        y = logical(dy)
        for dx in range(width * scale):
            x = logical(dx)
            t = min(1.0, max(0.0, y / (height - 1)))
            r, g, b = mix(top, bottom, t)
            # Soft light circles in the banner for a little depth.
            for cx, cy, rad, strength in ((520, 60, 180, 0.18), (90, 210, 140, 0.12), (380, 150, 90, 0.10)):
                d = math.hypot(x - cx, y - cy)
                if d < rad:
                    k = strength * (1 - d / rad) ** 2
                    r, g, b = mix((r, g, b), (255, 255, 255), k)
            # The update sign in the banner, edges smoothed by supersampling.
            if abs(x - ex) <= er + 16 and abs(y - ey) <= er + 16:
                k = coverage(lambda px, py: emblem_shape(logical(px) - ex, logical(py) - ey, er, 11), dx, dy)
                if k:
                    r, g, b = mix((r, g, b), (255, 255, 255), 0.92 * k)
            # A light panel behind the texts, progress bars and buttons, under a thin
            # bright rule.
            if y >= 262:
                edge = min(1.0, (y - 262) / 6.0)
                r, g, b = mix((r, g, b), panel, edge)
            elif y >= 259:
                r, g, b = mix((r, g, b), (255, 255, 255), 0.35)
            row += bytes((int(r), int(g), int(b), 255))
        rows.append(bytes(row))
    return rows


def png(width, height, rows):
    raw = b"".join(b"\x00" + row for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon_pixels(size=32):
    """The icon drawn for size pixels; the shapes are those of the 32-pixel design,
    scaled."""
    pixels = []
    c = size / 2
    s = size / 32
    for y in range(size):
        for x in range(size):
            disc = coverage(lambda px, py: math.hypot(px + 0.5 - c, py + 0.5 - c) <= 15.6 * s, x, y)
            if disc == 0:
                pixels.append((0, 0, 0, 0))
                continue
            r, g, b = mix((48, 122, 212), (18, 58, 136), y / size)
            k = coverage(lambda px, py: emblem_shape(px + 0.5 - c, py + 0.5 - c, 9.6 * s, 3.2 * s), x, y)
            r, g, b = mix((r, g, b), (255, 255, 255), k)
            pixels.append((int(r), int(g), int(b), int(round(255 * disc))))
    return pixels


def ico_image(size):
    """One image of an ICO file: a BITMAPINFOHEADER, BGRA rows and the AND mask."""
    pixels = icon_pixels(size)
    xor = bytearray()
    for y in range(size - 1, -1, -1):  # bottom-up rows, BGRA
        for x in range(size):
            r, g, b, a = pixels[y * size + x]
            xor += bytes((b, g, r, a))
    mask_row = (size + 31) // 32 * 4
    and_mask = bytearray()
    for y in range(size - 1, -1, -1):
        bits = bytearray(mask_row)
        for x in range(size):
            if pixels[y * size + x][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    bih = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return bih + bytes(xor) + bytes(and_mask)


def ico(sizes=(16, 24, 32, 48, 64)):
    # Windows picks the image for the taskbar, the title of the task switcher and the
    # like by size; Qt's icon takes the one nearest to what a screen's ratio asks for.
    images = [ico_image(size) for size in sizes]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, image in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return header + entries + b"".join(images)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(out, "update_bg.png"), "wb") as f:
        f.write(png(640, 455, background()))
    with open(os.path.join(out, "update_bg@2x.png"), "wb") as f:
        f.write(png(1280, 910, background(scale=2)))
    with open(os.path.join(out, "icon.ico"), "wb") as f:
        f.write(ico())


if __name__ == "__main__":
    main()
