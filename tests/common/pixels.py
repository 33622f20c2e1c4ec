"""The pictures the suites show, and the comparison of a saved picture
with what was shown."""
from PIL import Image, ImageChops


def pattern(size, mark=(255, 255, 255)):
    """A picture where a swapped channel, a flip, a turn or a shifted row
    shows: gradients, diagonal stripes and (unless mark is None) a square of
    mark in the top-left corner."""
    w, h = size
    pic = Image.new("RGB", size)
    pic.putdata([mark if mark and x < w // 8 and y < h // 8 else
                 (x * 255 // w, y * 255 // h, (x * 7 + y * 13) & 255)
                 for y in range(h) for x in range(w)])
    return pic


def same(a, b):
    return a.size == b.size and a.convert("RGB").tobytes() == \
        b.convert("RGB").tobytes()


def differs(got, want, shift=0, ignore=None):
    """None if the pictures agree in the top 8 - shift bits of each channel
    (but in the box ignore), else how they differ."""
    if got.size != want.size:
        return "size %s, want %s" % (got.size, want.size)
    got, want = got.convert("RGB"), want.convert("RGB")
    if shift:
        got, want = (im.point(lambda v: v >> shift) for im in (got, want))
    if ignore:
        got, want = got.copy(), want.copy()
        for im in (got, want):
            im.paste((0, 0, 0), ignore)
    r, g, b = ImageChops.difference(got, want).split()
    mask = ImageChops.lighter(ImageChops.lighter(r, g), b)
    box = mask.getbbox()
    if box is None:
        return None
    y = box[1]
    x = next(x for x in range(box[0], box[2]) if mask.getpixel((x, y)))
    return "%d pixels differ, in %s; the first row's first at (%d, %d): " \
        "%s, want %s" % (mask.point(lambda v: 255 if v else 0).histogram()
                         [255], box, x, y, got.getpixel((x, y)),
                         want.getpixel((x, y)))
