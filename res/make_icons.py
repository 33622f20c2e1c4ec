#!/usr/bin/env python3
"""Draws tusak's camera icon and writes it as raw Win32 resources.

Writes into OUTDIR:
  icon1.bin .. icon8.bin  one RT_ICON payload each (DIB header, palette,
                          colour bits, AND mask), in the order of IMAGES
  icons.grp               the RT_GROUP_ICON directory naming them by ID

tusak.rc attaches the eight images once and the same directory twice
(groups 107 and 108), which windres's ICON statement cannot do: it would
copy the images for each group.

Usage: make_icons.py OUTDIR
"""

import os
import struct
import sys

# (size in px, bits per pixel); RT_ICON IDs are 1.. in this order.
IMAGES = [(16, 4), (32, 4), (16, 8), (32, 8), (48, 8), (16, 32), (32, 32),
          (48, 32)]

# The 16 colours of the standard VGA palette: in 4 bits, the colours every
# Windows display shows without dithering. The drawing uses only these.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128),
       (128, 0, 128), (0, 128, 128), (192, 192, 192), (128, 128, 128),
       (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
       (0, 255, 255), (255, 255, 255)]
BLACK, NAVY, SILVER, GREY, YELLOW, BLUE, WHITE = (VGA[i]
                                                  for i in (0, 4, 7, 8, 11,
                                                            12, 15))

# 256 colours: a 6x6x6 colour cube (index 0 is black, which transparent
# pixels need under the mask) and a 40-step grey ramp.
CUBE = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6)
        for b in range(6)]
PALETTE_256 = CUBE + [(v, v, v) for v in (round(i * 255 / 41)
                                          for i in range(1, 41))]


def rounded_rect(x0, y0, x1, y1, r):
    def inside(u, v):
        dx = max(x0 + r - u, u - (x1 - r), 0.0)
        dy = max(y0 + r - v, v - (y1 - r), 0.0)
        return u >= x0 and u <= x1 and v >= y0 and v <= y1 and (
            dx * dx + dy * dy <= r * r)

    return inside


def circle(cx, cy, r):
    return lambda u, v: (u - cx)**2 + (v - cy)**2 <= r * r


def camera(size):
    """Shapes of a camera seen from the front, topmost first, in unit
    coordinates (y down). Outlines are whole pixels so 16 px stays crisp."""
    t = max(1, size // 24) / size  # outline width
    body = (0.04, 0.27, 0.96, 0.86)
    bump = (0.30, 0.14, 0.62, 0.30)
    lx, ly, lr = 0.5, 0.565, 0.25
    return [
        (circle(lx - 0.07, ly - 0.07, max(0.055, 1 / size)), WHITE),
        (circle(lx, ly, lr - 2 * t - 0.05), BLUE),
        (circle(lx, ly, lr - 2 * t), NAVY),
        (circle(lx, ly, lr - t), GREY),
        (circle(lx, ly, lr), BLACK),
        (rounded_rect(0.73, 0.34, 0.88, 0.34 + max(0.09, 2 / size), 0),
         YELLOW),
        (rounded_rect(body[0] + t, body[1] + t, body[2] - t, body[3] - t,
                      0.08), SILVER),
        (rounded_rect(*body, 0.1), BLACK),
        (rounded_rect(bump[0] + t, bump[1] + t, bump[2] - t, bump[3], 0),
         GREY),
        (rounded_rect(*bump, 0), BLACK),
    ]


def render(size, samples):
    """Rows top-down of (r, g, b, coverage 0..1), with samples x samples
    points per pixel; 1 sample gives hard edges in the exact colours."""
    shapes = camera(size)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            hits = []
            for sy in range(samples):
                for sx in range(samples):
                    u = (x + (sx + 0.5) / samples) / size
                    v = (y + (sy + 0.5) / samples) / size
                    hits += [c for inside, c in shapes if inside(u, v)][:1]
            n = len(hits)
            rgb = [round(sum(c[i] for c in hits) / n) if n else 0
                   for i in range(3)]
            row.append((*rgb, n / samples**2))
        rows.append(row)
    return rows


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((a - b)**2 for a, b in zip(palette[i], rgb)))


def pack_rows(rows, bpp):
    """DIB rows bottom-up, each padded to 4 bytes; values are bpp wide."""
    out = b''
    for row in reversed(rows):
        bits = 0
        for value in row:
            bits = (bits << bpp) | value
        nbits = len(row) * bpp
        stride = (nbits + 31) // 32 * 4
        out += (bits << (stride * 8 - nbits)).to_bytes(stride, 'big')
    return out


def icon_image(size, bpp):
    """One RT_ICON payload: the DIB of an .ico entry with doubled height."""
    pixels = render(size, 1 if bpp == 4 else 4)
    # AND mask: 1 keeps the screen. 4/8 bits are opaque from half coverage.
    limit = 0.0 if bpp == 32 else 0.5
    mask = [[int(p[3] <= limit) for p in row] for row in pixels]
    if bpp == 32:
        palette = []
        colour = b''.join(
            bytes((b, g, r, round(a * 255))) for row in reversed(pixels)
            for r, g, b, a in row)
    else:
        palette = VGA if bpp == 4 else PALETTE_256
        index = {}
        for row in pixels:
            for p in row:
                if p[:3] not in index:
                    index[p[:3]] = nearest(palette, p[:3])
        indices = [[0 if m else index[p[:3]] for p, m in zip(row, mrow)]
                   for row, mrow in zip(pixels, mask)]
        colour = pack_rows(indices, bpp)
    masks = pack_rows(mask, 1)
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, bpp, 0,
                         len(colour) + len(masks), 0, 0, 0, 0)
    quads = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + quads + colour + masks


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    group = struct.pack('<HHH', 0, 1, len(IMAGES))
    for rid, (size, bpp) in enumerate(IMAGES, 1):
        data = icon_image(size, bpp)
        with open(os.path.join(outdir, f'icon{rid}.bin'), 'wb') as f:
            f.write(data)
        colours = 16 if bpp == 4 else 0  # 0 stands for 256 and above
        group += struct.pack('<BBBBHHIH', size, size, colours, 0, 1, bpp,
                             len(data), rid)
    with open(os.path.join(outdir, 'icons.grp'), 'wb') as f:
        f.write(group)


if __name__ == '__main__':
    main()
