#!/usr/bin/env python3
"""Writes installer.ico: a tower on a disc, 32x32 and 16x16 pixels in the
16 standard colours (4 bits per pixel, with an AND mask)."""
import struct
import sys

PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def pixel(x, y, n):
    """Colour index and transparency of one pixel of an n x n image."""
    c = (n - 1) / 2
    r2 = (x - c) ** 2 + (y - c) ** 2
    if r2 > (n / 2) ** 2:
        return 0, True                      # outside the disc: transparent
    if n * 0.35 <= x <= n * 0.65 and n * 0.2 <= y <= n * 0.8:
        if y <= n * 0.3:
            return 9, False                 # the tower's red window
        return 8, False                     # the tower's grey body
    return 12, False                        # blue disc


def image(n):
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_rows, and_rows = [], []
    for y in reversed(range(n)):            # bottom-up rows
        row = [pixel(x, y, n) for x in range(n)]
        nibbles = bytearray()
        for x in range(0, n, 2):
            nibbles.append(row[x][0] << 4 | row[x + 1][0])
        xor_rows.append(bytes(nibbles).ljust((len(nibbles) + 3) // 4 * 4, b'\0'))
        bits = 0
        mask = bytearray()
        for x in range(n):
            bits = bits << 1 | (1 if row[x][1] else 0)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        and_rows.append(bytes(mask).ljust((len(mask) + 3) // 4 * 4, b'\0'))
    return header + palette + b''.join(xor_rows) + b''.join(and_rows)


def main(path):
    images = [image(32), image(16)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip((32, 16), images):
        out += struct.pack('<BBBBHHII', n, n, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'installer.ico')
