#!/usr/bin/env python3
"""tusak on X11, one table row per case.

Each row runs tusak (or the probe) once in a fresh directory, against its own
Xvfb showing a known picture, or with no reachable display, and checks the
exit status, the notices on standard error, the files left, and the pixels
against the X server's own dump of the same screen (xwd -root).
Usage: x11_test.py --list | --tusak PATH --probe PATH CASE
"""
import io, os, resource, struct, subprocess, sys, tempfile, time
from PIL import Image

SIZE = (1023, 767)  # rows need padding at 8 and 16 bits
NO_SHM = ["-extension", "MIT-SHM"]
NO_BITMAP = ["hbmScreen", "Compatible Bitmap Selection",
             "Screen to Compat Blt Failed", "error", "GetDIBits"]
# With no bitmap the record describes 0 x 0 pixels of depth 0, which rounds
# up to a 16-entry (zeroed) palette: a 118-byte file, header and record only.
EMPTY_BMP = (b"BM" + struct.pack("<IHHI", 118, 0, 0, 118) +
             struct.pack("<IiiHHIIiiII", 40, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0) +
             bytes(64))
EARLIER = b"an earlier screenshot"

# depth: Xvfb depth, or "unset"/"unreachable" for no display; bits: the
# file's depth, pixels checked; out: the new file; setup: the directory's
# contents before the run; fsize: file size limit; window: a window shown
# over the root; probe: probe scenario and its expected output.
CASES = {
    "capture_24": dict(depth=24, bits=32),
    "capture_24_noshm": dict(depth=24, bits=32, xvfb=NO_SHM),
    "capture_16": dict(depth=16, bits=16),
    "capture_16_noshm": dict(depth=16, bits=16, xvfb=NO_SHM),
    "capture_15": dict(depth=15, bits=16),
    "window_on_top_24": dict(depth=24, bits=32, window=True),
    "window_on_top_24_noshm": dict(depth=24, bits=32, window=True,
                                   xvfb=NO_SHM),
    "capture_8": dict(depth=8, bits=8),
    "capture_8_noshm": dict(depth=8, bits=8, xvfb=NO_SHM),
    "capture_30": dict(depth=30, bits=32),
    "no_display": dict(depth="unset", notices=NO_BITMAP, empty=True),
    "unreachable_display": dict(depth="unreachable", notices=NO_BITMAP,
                                empty=True),
    "names_taken": dict(depth=24, bits=32, setup="taken",
                        out="tusak0003.bmp"),
    "directory_at_name": dict(depth=24, bits=32, setup="dir",
                              out="tusak0001.bmp"),
    "dangling_symlink": dict(depth=24, bits=32, setup="symlink",
                             out="tusak0001.bmp"),
    "disk_full": dict(depth=16, setup="earlier", fsize=4096,
                      out="tusak0001.bmp", notices=["error"]),
    "probe_bounds_8": dict(depth=8, probe="bounds", expect="2 767 3"),
    "probe_lines_16": dict(depth=16, probe="lines", expect="5 1 0"),
    "probe_refused_24": dict(depth=24, probe="refused",
                             expect="0 0 0 0 0 0 0 0 0 0 1 767"),
}


def start_xvfb(depth, extra):
    r, w = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(w), "-nolisten", "tcp", "-noreset",
         "-screen", "0",
         "%dx%dx%d" % (SIZE + (depth,))] + extra,
        pass_fds=[w], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    with os.fdopen(r) as f:
        number = f.readline().strip()
    assert number, "Xvfb did not start"
    return server, ":" + number


def show_picture(env, workdir, window):
    # Gradients in each channel and a pattern, so a swapped channel, a
    # flipped row order or a shifted row all show.
    w, h = SIZE
    pic = Image.new("RGB", SIZE)
    pic.putdata([(x * 255 // w, y * 255 // h, (x * 7 + y * 13) & 255)
                 for y in range(h) for x in range(w)])
    path = os.path.join(workdir, "picture.png")
    pic.save(path)
    for _ in range(5):  # display's status says nothing: look at the screen
        subprocess.run(["display", "-window", "root", path], env=env)
        if len(dump(env, workdir).getcolors(1 << 24)) > 100:
            break
    if not window:
        return None
    # A window over the root, showing part of the picture upside down.
    pic.rotate(180).crop((0, 0, 400, 300)).save(path)
    viewer = subprocess.Popen(["display", "-geometry", "+40+30", "-title",
                               "over", path], env=env)
    for _ in range(100):  # until it is drawn and the screen holds still
        time.sleep(0.2)
        if (subprocess.run(["xwininfo", "-name", "over"], env=env,
                           capture_output=True).returncode == 0 and
                dump(env, workdir).tobytes() == dump(env, workdir).tobytes()):
            return viewer
    raise AssertionError("the window did not show")


def dump(env, workdir):
    """The X server's own picture of the screen, as RGB."""
    path = os.path.join(workdir, "screen.xwd")
    subprocess.run(["xwd", "-root", "-silent", "-out", path], env=env,
                   check=True)
    png = subprocess.run(["/usr/bin/convert", path, "png:-"],
                         capture_output=True, check=True).stdout
    os.remove(path)
    return Image.open(io.BytesIO(png)).convert("RGB")


def free_display():
    n = 500
    while os.path.exists("/tmp/.X11-unix/X%d" % n):
        n += 1
    return ":%d" % n


def check_bmp(path, bits, reference):
    data = open(path, "rb").read()
    magic, size, _, _, offset = struct.unpack_from("<2sIHHI", data)
    hsize, w, h, planes, count, comp, image, _, _, colors, _ = (
        struct.unpack_from("<IiiHHIIiiII", data, 14))
    stride = (w * count + 31) // 32 * 4
    palette = 256 if bits == 8 else 0
    assert (magic, hsize, planes, count, comp) == (b"BM", 40, 1, bits, 0)
    assert (w, h) == SIZE and image == stride * h
    assert size == len(data) == offset + image == 54 + 4 * palette + image
    shot = Image.open(path).convert("RGB")
    if bits == 16:  # 5 bits a channel
        shot, reference = (im.point(lambda v: v >> 3)
                           for im in (shot, reference))
    assert shot.tobytes() == reference.tobytes(), "pixels differ from xwd"
    out = subprocess.run(["identify", "-format", "%w %h", path],
                         capture_output=True, text=True).stdout
    assert out == "%d %d" % SIZE, out


def run(case, tusak, probe):
    row = CASES[case]
    depth = row["depth"]
    work = tempfile.mkdtemp(prefix="tusak-x11-")
    assets = tempfile.mkdtemp(prefix="tusak-x11-assets-")  # not in work
    env = dict(os.environ)
    server = viewer = None
    if depth == "unset":
        env.pop("DISPLAY", None)
    elif depth == "unreachable":
        env["DISPLAY"] = free_display()
    else:
        server, env["DISPLAY"] = start_xvfb(depth, row.get("xvfb", []))
    try:
        if server:
            viewer = show_picture(env, assets, row.get("window"))
        setup = row.get("setup")
        before = {}
        if setup == "taken":
            before = {"tusak%04d.bmp" % i: EARLIER for i in range(3)}
        elif setup == "earlier":
            before = {"tusak0000.bmp": EARLIER}
        for name, content in before.items():
            open(os.path.join(work, name), "wb").write(content)
        if setup == "dir":
            os.mkdir(os.path.join(work, "tusak0000.bmp"))
        elif setup == "symlink":
            os.symlink("target.bmp", os.path.join(work, "tusak0000.bmp"))

        def limit():
            if "fsize" in row:
                resource.setrlimit(resource.RLIMIT_FSIZE, (row["fsize"],) * 2)

        if "probe" in row:
            result = subprocess.run([probe, row["probe"]], cwd=work, env=env,
                                    capture_output=True, text=True)
            assert result.returncode == 0, result.stderr
            assert result.stdout.strip() == row["expect"], result.stdout
            return
        result = subprocess.run([tusak], cwd=work, env=env, preexec_fn=limit,
                                capture_output=True, text=True)
        assert result.returncode == 0, (result.returncode, result.stderr)
        notices = ["Error: " + n for n in row.get("notices", [])]
        assert result.stderr.splitlines() == notices, result.stderr

        out = row.get("out", "tusak0000.bmp")
        expected = set(before) | {out} - {None}
        if setup in ("dir", "symlink"):
            expected.add("tusak0000.bmp")
        assert set(os.listdir(work)) == expected, os.listdir(work)
        for name, content in before.items():  # no earlier file touched
            assert open(os.path.join(work, name), "rb").read() == content
        if setup == "dir":
            assert os.listdir(os.path.join(work, "tusak0000.bmp")) == []
        if setup == "symlink":  # nothing created through the link
            assert os.path.islink(os.path.join(work, "tusak0000.bmp"))
        if row.get("empty"):
            assert open(os.path.join(work, out), "rb").read() == EMPTY_BMP
        if "fsize" in row:  # headers whole, pixels cut at the limit
            data = open(os.path.join(work, out), "rb").read()
            assert len(data) == row["fsize"] and data[:2] == b"BM"
            assert struct.unpack_from("<I", data, 10)[0] == 54
        if "bits" in row:
            reference = dump(env, assets)
            assert len(reference.getcolors(1 << 24)) > 100, "no picture"
            check_bmp(os.path.join(work, out), row["bits"], reference)
    finally:
        if viewer:
            viewer.kill()
            viewer.wait()
        if server:
            server.terminate()
            server.wait()
        subprocess.run(["rm", "-rf", work, assets])


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
    else:
        run(sys.argv[5], tusak=sys.argv[2], probe=sys.argv[4])
        print("passed:", sys.argv[5])
