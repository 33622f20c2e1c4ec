"""Reads a BMP file with Pillow, an independent reader, and prints its size
and its pixels as RGB hex, one row per line, top row first."""
import sys

from PIL import Image

with Image.open(sys.argv[1]) as im:
    im.load()
    rgb = im.convert("RGB")
    w, h = rgb.size
    data = rgb.tobytes()
    print(im.format, w, h)
    for y in range(h):
        print(data[y * w * 3:(y + 1) * w * 3].hex())
