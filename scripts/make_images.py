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


GLYPHS = {
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "G": ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
}


def logo():
    # The product name in a 5x7 pixel font drawn at twice its size, after a
    # small weather vane: a pole with an arrow on top.
    w, h = 133, 25
    px = [0] * (w * h)

    def put(x, y, c):
        if 0 <= x < w and 0 <= y < h:
            px[y * w + x] = c

    for y in range(6, 22):
        put(10, y, 1)
    for x in range(3, 19):
        put(x, 7, 2)
    for d in range(4):
        put(18 - d, 7 - d, 2)
        put(18 - d, 7 + d, 2)
        put(3 + d, 7 - d, 1)
        put(3 + d, 7 + d, 1)
    x0, y0 = 28, 5
    for ch in "TAGVANE":
        for gy, row in enumerate(GLYPHS[ch]):
            for gx, bit in enumerate(row):
                if bit == "1":
                    for dy in range(2):
                        for dx in range(2):
                            put(x0 + gx * 2 + dx, y0 + gy * 2 + dy, 3)
        x0 += 14
    return gif(w, h, [(27, 53, 80), (150, 180, 210), (240, 200, 80), (255, 255, 255)], px)


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
    images = os.path.join(root, "Tagvane", "images")
    with open(os.path.join(images, "logo.gif"), "wb") as f:
        f.write(logo())
    # The activity indicator in every page's header: a quiet slate dot, and
    # a bright amber one while receiver data is being processed.
    with open(os.path.join(images, "indicator_idle.gif"), "wb") as f:
        f.write(dot((110, 130, 150)))
    with open(os.path.join(images, "indicator_active.gif"), "wb") as f:
        f.write(dot((255, 170, 20)))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "html")
