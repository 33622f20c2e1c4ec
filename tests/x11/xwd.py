"""The X server's own picture of its screen (xwd -root), read here through
the dump's own colormap; and the picture shown on the screen first."""
import array, os, struct, subprocess, sys, time

from PIL import Image

from launch import TIMEOUT
from pixels import pattern
from servers import stop


def read_xwd(data):
    """An xwd dump (ZPixmap, 8, 16 or 32 bits a pixel) as RGB, each pixel
    through the dump's colormap: an entry per pixel value, or on TrueColor
    and DirectColor, per value of each channel."""
    f = struct.unpack_from(">25I", data)
    hsize, w, h, order, bpp, stride, visual, ncolors = (
        f[i] for i in (0, 4, 5, 7, 11, 12, 13, 19))
    assert f[1:3] == (7, 2) and bpp in (8, 16, 32), f
    entries = [struct.unpack_from(">IHHH", data, hsize + 12 * i)
               for i in range(ncolors)]
    start = memoryview(data)[hsize + 12 * ncolors:]
    pixels = array.array({8: "B", 16: "H", 32: "I"}[bpp], b"".join(
        start[y * stride:y * stride + w * bpp // 8] for y in range(h)))
    if order != (sys.byteorder == "big"):  # 1: most significant byte first
        pixels.byteswap()
    # xwd's entry i holds value i of every channel: keyed by the entry's
    # own value of the channel, as wider channels wrap the narrower.
    masks = f[14:17] if visual >= 4 else ((1 << bpp) - 1,) * 3
    bands = []
    for k, mask in enumerate(masks):
        shift = (mask & -mask).bit_length() - 1
        table = {(e[0] & mask) >> shift: e[1 + k] >> 8 for e in entries}
        bands.append(Image.frombytes("L", (w, h), bytes(
            table[(p & mask) >> shift] for p in pixels)))
    return Image.merge("RGB", bands)


def dump(env):
    """The X server's own picture of the screen, as RGB."""
    return read_xwd(subprocess.run(["xwd", "-root", "-silent"], env=env,
                                   capture_output=True, check=True,
                                   timeout=TIMEOUT).stdout)


def enough_colours(image, grey):
    # Over 100 colours, or over 100 levels of grey on a grey visual: the
    # picture is on the screen and the row compares something.
    return len([c for _, c in image.getcolors(1 << 24)
                if not grey or c[0] == c[1] == c[2]]) > 100


def show_picture(env, folder, size, grey, window):
    """The pattern on the root (gradients in each channel and stripes, so
    that a swapped channel, a flipped row order or a shifted row all
    show); with window, a window over it, showing part of the picture
    upside down, once it is drawn and the screen holds still: its viewer."""
    pic = pattern(size, mark=None)
    path = os.path.join(folder, "picture.png")
    pic.save(path)
    for _ in range(5):  # display's status says nothing: look at the screen
        subprocess.run(["display", "-window", "root", path], env=env,
                       timeout=TIMEOUT)
        if enough_colours(dump(env), grey):
            break
    if not window:
        return None
    pic.rotate(180).crop((0, 0, 400, 300)).save(path)
    viewer = subprocess.Popen(["display", "-geometry", "+40+30", "-title",
                               "over", path], env=env)
    for _ in range(100):
        time.sleep(0.2)
        if (subprocess.run(["xwininfo", "-name", "over"], env=env,
                           capture_output=True,
                           timeout=TIMEOUT).returncode == 0 and
                dump(env).tobytes() == dump(env).tobytes()):
            return viewer
    stop(viewer)
    raise AssertionError("the window did not show")
