#!/usr/bin/env python3
"""Draws the default site's two tray icons, "on" and "off", as 16x16 icon files.

Each file is a Windows icon file holding one PNG image (a round badge: green with a
white tick when filtering is on, grey with a white bar when it is off). Only the standard
library is used. Run it from this folder to redraw sites/default/Common/images/.
"""
import struct
import zlib
from pathlib import Path

SIZE = 16


def png(pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(png_bytes):
    # ICONDIR, one ICONDIRENTRY, then the PNG image itself.
    return (struct.pack("<HHH", 0, 1, 1) +
            struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(png_bytes), 22) + png_bytes)


def badge(fill, mark):
    pixels = []
    centre = (SIZE - 1) / 2
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            d = ((x - centre) ** 2 + (y - centre) ** 2) ** 0.5
            if d > 7.5:
                row.append((0, 0, 0, 0))
            elif mark(x, y):
                row.append((255, 255, 255, 255))
            elif d > 6.5:
                row.append(tuple(int(c * 0.7) for c in fill) + (255,))
            else:
                row.append(fill + (255,))
        pixels.append(row)
    return pixels


def tick(x, y):
    return (y == x + 3 and 4 <= x <= 6) or (y == 14 - x and 6 <= x <= 11) or \
           (y == x + 4 and 4 <= x <= 6) or (y == 15 - x and 6 <= x <= 11)


def bar(x, y):
    return 4 <= x <= 11 and 7 <= y <= 8


def main():
    images = Path(__file__).resolve().parent / "default" / "Common" / "images"
    images.mkdir(parents=True, exist_ok=True)
    (images / "taskbar.on.ico").write_bytes(ico(png(badge((46, 160, 67), tick))))
    (images / "taskbar.off.ico").write_bytes(ico(png(badge((128, 128, 128), bar))))


if __name__ == "__main__":
    main()
