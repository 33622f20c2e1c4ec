"""PNG files forged byte by byte for the scripted portal to hand out: 16
bits a sample, cut short, claiming far more than their data holds, text
that inflates to gigabytes; and a file that is no PNG at all."""
import os, struct, zlib

# A PNG bomb: a header of BOMB x BOMB pixels (2 GB as a BMP), with the data
# of four rows, each of five colours in turn, shifted a pixel a row.
BOMB = 23170
BOMB_ROWS = [b"\0" + b"".join(bytes((c * 60, 250 - c * 50, 40 + c * 30))
                              for c in [(i + y) % 5 for i in range(5)]) *
             (BOMB // 5) for y in range(4)]


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + \
        struct.pack(">I", zlib.crc32(kind + data))


def write_png(path, size, rows, depth=8):
    """An RGB PNG whose header says size, its data the rows given (each
    with its filter byte), which may be fewer than the header's."""
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" +
                chunk(b"IHDR", struct.pack(">IIBBBBB", *size, depth, 2, 0, 0,
                                           0)) +
                chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) +
                chunk(b"IEND", b""))
    os.chmod(path, 0o644)


def png16(picture, path):
    """picture as a 16-bit RGB PNG with no colour-space chunk; each sample's
    low byte differs from its high byte, by less than half a step, so that
    rounding to 8 bits and Pillow's dropping of the low byte agree."""
    w, h = picture.size
    rows = []
    for y in range(h):
        row = bytearray(b"\0")
        for x in range(w):
            for i, c in enumerate(picture.getpixel((x, y))):
                low = min(255, max(0, c + (x * 37 + y * 11 + i * 53) % 200
                                   - 100))
                row += bytes((c, low))
        rows.append(bytes(row))
    write_png(path, picture.size, rows, 16)


def truncated(picture, path):
    """Stored rows (no compression), cut half way through."""
    picture.save(path, compress_level=0)
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:len(data) // 2])


def bomb(picture, path):
    write_png(path, (BOMB,) * 2, BOMB_ROWS)


def text_bomb(picture, path):
    """picture, with 300 zTXt chunks after its header, each of 7.9 MB of
    zeros inflated."""
    picture.save(path)
    with open(path, "rb") as f:
        data = f.read()
    text = chunk(b"zTXt", b"Comment\0\0" + zlib.compress(bytes(7900000), 9))
    with open(path, "wb") as f:
        f.write(data[:33] + text * 300 + data[33:])


def huge(picture, path):
    """More than a BMP holds, one row of data."""
    write_png(path, (32767,) * 2, [bytes(1 + 32767 * 3)])


def notes(picture, path):
    """A text file of the user's."""
    with open(path, "w") as f:
        f.write("milk, bread, a new pen\n")
