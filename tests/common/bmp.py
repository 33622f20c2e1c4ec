"""tusak's BMP files as readers other than tusak see them: the headers
checked field by field, the pixels read by Pillow. Run as a program (by the
C++ tests), it prints a file's format and size, then its RGB rows in hex,
top row first."""
import struct, sys

from PIL import Image

# With no bitmap the record describes 0 x 0 pixels of depth 0, which rounds
# up to a 16-entry (zeroed) palette: a 118-byte file, header and record only.
EMPTY_BMP = (b"BM" + struct.pack("<IHHI", 118, 0, 0, 118) +
             struct.pack("<IiiHHIIiiII", 40, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0) +
             bytes(64))


def header_fault(data, w, h, bpp, length=None):
    """None if data begins with the headers of a bottom-up w x h BI_RGB
    bitmap of bpp bits per pixel, pixels right after the palette, as tusak
    writes them (and length, if given, is the size they give the file);
    else what is wrong."""
    if data[:2] != b"BM":
        return "no BM signature"
    size, r1, r2, off = struct.unpack_from("<IHHI", data, 2)
    (bi_size, bi_w, bi_h, planes, bits, comp, size_image, _, _, clr_used,
     _) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    palette = clr_used or (1 << bits if bits <= 8 else 0)
    stride = (w * bpp + 31) // 32 * 4
    fields = [("bfReserved", (r1, r2), (0, 0)), ("biSize", bi_size, 40),
              ("size", (bi_w, bi_h), (w, h)), ("biPlanes", planes, 1),
              ("biBitCount", bits, bpp), ("biCompression", comp, 0),
              ("biSizeImage", size_image, stride * h),
              ("bfOffBits", off, 54 + 4 * palette),
              ("bfSize", size, off + size_image)]
    if length is not None:
        fields.append(("file length", length, size))
    for field, got, want in fields:
        if got != want:
            return "%s is %s, want %s" % (field, got, want)
    return None


def picture(path):
    """A file tusak wrote: None when it holds no pixels, else its picture,
    read by Pillow: a size no screen here has is not read."""
    with open(path, "rb") as f:
        data = f.read(len(EMPTY_BMP) + 1)
    if data == EMPTY_BMP:
        return None
    w, h = struct.unpack_from("<ii", data, 18)
    assert abs(w * h) <= 1 << 27, "%s: %d x %d pixels" % (path, w, h)
    return Image.open(path).convert("RGB")


if __name__ == "__main__":
    with Image.open(sys.argv[1]) as im:
        im.load()
        rgb = im.convert("RGB")
        w, h = rgb.size
        data = rgb.tobytes()
        print(im.format, w, h)
        for y in range(h):
            print(data[y * w * 3:(y + 1) * w * 3].hex())
