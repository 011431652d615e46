#!/usr/bin/env python3
"""Draws the updater's artwork: the 640x455 dialog background (RGBA PNG) and the
32x32 32-bit window icon (single-image ICO). Standard library only, so that the
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


def background(width=640, height=455):
    top = (24, 64, 132)
    bottom = (60, 140, 210)
    panel = (250, 251, 253)
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            t = y / (height - 1)
            r, g, b = mix(top, bottom, t)
            # Soft light circles in the banner for a little depth.
            for cx, cy, rad, strength in ((520, 60, 180, 0.18), (90, 210, 140, 0.12), (380, 150, 90, 0.10)):
                d = math.hypot(x - cx, y - cy)
                if d < rad:
                    k = strength * (1 - d / rad) ** 2
                    r, g, b = mix((r, g, b), (255, 255, 255), k)
            # A light panel behind the texts, progress bars and buttons.
            if y >= 262:
                edge = min(1.0, (y - 262) / 6.0)
                r, g, b = mix((r, g, b), panel, edge)
            # Arrow emblem in the banner (an "update" sign).
            ex, ey = 320, 125
            d = math.hypot(x - ex, y - ey)
            if 52 <= d <= 64:
                ang = math.atan2(y - ey, x - ex)
                if not (-0.9 < ang < -0.2):
                    r, g, b = mix((r, g, b), (255, 255, 255), 0.9)
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
    pixels = []
    c = (size - 1) / 2
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - c, y - c)
            if d > 15.5:
                pixels.append((0, 0, 0, 0))
                continue
            r, g, b = mix((40, 110, 200), (20, 60, 140), y / size)
            ang = math.atan2(y - c, x - c)
            if 8 <= d <= 11 and not (-0.9 < ang < -0.1):
                r, g, b = 255, 255, 255
            # arrow head at the ring's open end
            if 2 <= y <= 12 and 19 <= x <= 29 and (x - 19) >= (12 - y) * 0.2 and (x - 19) + (y - 2) <= 10 and y >= 5:
                r, g, b = 255, 255, 255
            alpha = 255 if d <= 14.5 else int(255 * (15.5 - d))
            pixels.append((int(r), int(g), int(b), alpha))
    return pixels


def ico(size=32):
    pixels = icon_pixels(size)
    header = struct.pack("<HHH", 0, 1, 1)
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
    image = bih + bytes(xor) + bytes(and_mask)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(out, "update_bg.png"), "wb") as f:
        f.write(png(640, 455, background()))
    with open(os.path.join(out, "icon.ico"), "wb") as f:
        f.write(ico())


if __name__ == "__main__":
    main()
