#!/usr/bin/env python3
"""Draws the installer's icon: one 32x32 image, 16 colours (resources/installer.ico)."""
import struct, sys

W = H = 32
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
NAVY, GREY, SILVER, YELLOW, WHITE = 4, 8, 7, 11, 15

def colour(x, y):
    # a rounded night-sky tile with a moon and a two-lobed cloud
    inside = lambda cx, cy, rx, ry: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0
    if inside(22, 9, 5, 5) and not inside(24.5, 7.5, 4, 4):
        return YELLOW
    if inside(11, 19, 7, 5) or inside(18, 16, 7, 6) or inside(23, 20, 6, 4):
        return WHITE if y < 20 else SILVER
    if y in (4, 27) and x in (5, 28) or (x, y) in ((8, 6), (14, 4), (28, 13), (4, 13)):
        return WHITE
    return NAVY

def transparent(x, y):
    corner = min(x, W - 1 - x) + min(y, H - 1 - y)
    return corner < 2

rows_xor, rows_and = [], []
for y in range(H - 1, -1, -1):          # bottom-up rows
    nibbles = [0 if transparent(x, y) else colour(x, y) for x in range(W)]
    rows_xor.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, W, 2)))
    mask = 0
    for x in range(W):
        mask = (mask << 1) | (1 if transparent(x, y) else 0)
    rows_and.append(struct.pack(">I", mask))

header = struct.pack("<IiiHHIIiiII", 40, W, H * 2, 1, 4, 0, 0, 0, 0, 16, 0)
palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
image = header + palette + b"".join(rows_xor) + b"".join(rows_and)
icon = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", W, H, 16, 0, 1, 4, len(image), 22) + image
open(sys.argv[1] if len(sys.argv) > 1 else "resources/installer.ico", "wb").write(icon)
