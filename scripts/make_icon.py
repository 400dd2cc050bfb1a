#!/usr/bin/env python3
"""Writes updater/vrmset.ico: one 32x32 image with 16 colours (4 bits per pixel).

The picture is a chip on a green board with a yellow lightning bolt, drawn from a small
character map so that the generated file is the same on every run. Usage:
    scripts/make_icon.py [output.ico]
"""
import os
import struct
import sys

# The standard 16-colour palette (R, G, B); the file stores B, G, R, 0.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

# One character per pixel, top row first; '.' is transparent.
COLOURS = {'k': 0, 'g': 2, 'G': 10, 's': 7, 'd': 8, 'y': 11, 'w': 15}

PICTURE = """\
................................
.....s..s..s..s..s..s..s..s.....
.....s..s..s..s..s..s..s..s.....
..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..
..kddddddddddddddddddddddddddk..
sskddddddddddddddddddddddddddkss
..kdddddddddddddyydddddddddddk..
..kddddddddddddyyddddddddddddk..
sskdddddddddddyyyddddddddddddkss
..kddddddddddyyydddddddddddddk..
..kdddddddddyyyyyyyydddddddddk..
sskdddddddddddddyyyddddddddddkss
..kddddddddddddyyydddddddddddk..
..kdddddddddddyydddddddddddddk..
sskddddddddddyyddddddddddddddkss
..kddddddddddydddddddddddddddk..
..kddddddddddddddddddddddddddk..
sskdwddddddddddddddddddddddddkss
..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..
.....s..s..s..s..s..s..s..s.....
.....s..s..s..s..s..s..s..s.....
................................
................................
................................
................................
gggggggggggggggggggggggggggggggg
gGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGg
gGggggggggggggggggggggggggggggGg
gGgggyyyyggyyyyggyyyyggyyyygggGg
gGggggggggggggggggggggggggggggGg
gGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGg
gggggggggggggggggggggggggggggggg
"""

SIZE = 32


def rows():
    lines = PICTURE.splitlines()
    assert len(lines) == SIZE, len(lines)
    # Pad or cut each row to 32 pixels so that small slips in the map cannot break the file.
    return [(line + '.' * SIZE)[:SIZE] for line in lines]


def build_ico():
    picture = rows()
    xor_stride = SIZE * 4 // 8          # 16 bytes, already a multiple of 4
    and_stride = ((SIZE + 31) // 32) * 4  # 4 bytes
    xor_rows = []
    and_rows = []
    for line in reversed(picture):       # bitmaps are stored bottom row first
        pixels = [COLOURS.get(ch, 0) for ch in line]
        xor = bytes((pixels[i] << 4) | pixels[i + 1] for i in range(0, SIZE, 2))
        mask = 0
        for ch in line:
            mask = (mask << 1) | (1 if ch == '.' else 0)
        xor_rows.append(xor)
        and_rows.append(mask.to_bytes(and_stride, 'big'))
    xor_bits = b''.join(xor_rows)
    and_bits = b''.join(and_rows)
    assert len(xor_bits) == xor_stride * SIZE

    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    # BITMAPINFOHEADER: the height counts the colour bitmap and the mask together.
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor_bits) + len(and_bits), 0, 0, 0, 0)
    image = header + palette + xor_bits + and_bits

    icondir = struct.pack('<HHH', 0, 1, 1)  # reserved, type 1 = icon, one image
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) > 1 else os.path.join(here, '..', 'updater', 'vrmset.ico')
    with open(out, 'wb') as f:
        f.write(build_ico())
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
