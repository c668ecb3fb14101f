#!/usr/bin/env python3
"""Draws the default sensor images and the logo of the web pages as small
GIF files (our own artwork, made from code so it can be changed)."""
import math
import os
import struct
import sys


def lzw_uncompressed(pixels, min_code=2):
    # Each pixel is sent as a literal code; a clear code after every two
    # keeps the code width fixed, so no dictionary logic is needed.
    clear, end = 1 << min_code, (1 << min_code) + 1
    width = min_code + 1
    codes = [clear]
    for i, p in enumerate(pixels):
        codes.append(p)
        if i % 2 == 1:
            codes.append(clear)
    codes.append(end)
    bits, nbits, out = 0, 0, bytearray()
    for c in codes:
        bits |= c << nbits
        nbits += width
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    if nbits:
        out.append(bits & 0xFF)
    blocks = bytearray([min_code])
    for i in range(0, len(out), 255):
        chunk = out[i:i + 255]
        blocks += bytes([len(chunk)]) + chunk
    return bytes(blocks + b"\x00")


def gif(w, h, palette, pixels, transparent=None):
    pal = b"".join(bytes(c) for c in palette) + b"\x00" * 3 * (4 - len(palette))
    data = b"GIF89a" + struct.pack("<HHBBB", w, h, 0x81, 0, 0) + pal
    if transparent is not None:
        data += b"\x21\xF9\x04\x01\x00\x00" + bytes([transparent]) + b"\x00"
    data += b"\x2C" + struct.pack("<HHHHB", 0, 0, w, h, 0)
    return data + lzw_uncompressed(pixels) + b"\x3B"


def dot(color):
    size, r = 16, 6.5
    px = []
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - 7.5, y - 7.5)
            px.append(1 if d <= r - 1 else (2 if d <= r else 0))
    return gif(size, size, [(0, 0, 0), color, (40, 40, 40)], px, transparent=0)


def logo():
    w, h = 133, 25
    px = []
    for y in range(h):
        for x in range(w):
            # A weather vane: a slanted arrow across the bar.
            on_arrow = abs((y - 12) - (x - 20) * 0.12) < 1.2 and 8 < x < 125
            on_head = x > 110 and abs(y - 12 - (x - 20) * 0.12) < (125 - x) * 0.4
            px.append(2 if (on_arrow or on_head) else (1 if y in (0, h - 1) else 0))
    return gif(w, h, [(32, 64, 96), (90, 140, 190), (240, 200, 80)], px)


def main(root):
    sensors = os.path.join(root, "Tagvane", "images", "sensors")
    os.makedirs(sensors, exist_ok=True)
    files = {
        "on.gif": dot((40, 200, 60)),
        "off.gif": dot((200, 50, 40)),
        "ON.gif": dot((40, 200, 60)),
        "OFF.gif": dot((200, 50, 40)),
        "blank1.gif": gif(16, 16, [(0, 0, 0), (0, 0, 0)], [0] * 256, transparent=0),
    }
    for name, data in files.items():
        with open(os.path.join(sensors, name), "wb") as f:
            f.write(data)
    with open(os.path.join(root, "Tagvane", "images", "logo.gif"), "wb") as f:
        f.write(logo())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "html")
