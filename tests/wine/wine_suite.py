#!/usr/bin/python3
"""tusak.exe under Wine, on an Xvfb screen, one row per case.

Each screen gets a fresh Wine prefix with a virtual desktop of its size
(removed when its rows are done), a helper that covers it with a known
pattern, and a helper that writes down and dismisses every message box.
Each row runs tusak.exe in an empty directory of its own, laid out as the
row says, and checks the exit status, the message boxes of each run in
order, and every file left in the directory: captures are read back by this
script, Pillow and ImageMagick and compared with the screen.
"""
import argparse
import collections
import glob
import os
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

from PIL import Image, ImageChops

tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, tests)
sys.path.insert(0, os.path.join(tests, "wayland"))
from bmpcheck import STEPS, header_fault  # noqa: E402
import session  # noqa: E402  (the Debian 13 root, and commands inside it)

# name: width, height, X server depth, bits per pixel of the file.
# 1366 and 1023 pixel rows need padding at 8, 16 or 24 bits per pixel.
SCREENS = {
    "32bit": (1366, 768, 24, 32),
    "16bit": (1023, 767, 16, 16),
    "8bit": (1023, 767, 8, 8),
}
# The same screens under Debian 13's Wine 10, run from a root of its own
# (Debian 12's own Wine is 8).
WINE10 = "_wine10"
SCREENS.update({"32bit" + WINE10: SCREENS["32bit"],
                "16bit" + WINE10: SCREENS["16bit"]})
Row = collections.namedtuple(
    "Row", "screen case before args runs limit notices files together trace "
    "scene", defaults=([], 1, None, [], [], False, None, None))

FOLDER = "a folder"
# As the key ".": the row's directory itself takes no new entry, not even
# from root (it is made immutable: chattr +i).
READ_ONLY = "read-only"
HELD = "a file another process holds open, sharing nothing"
CLOSE = "error, if CloseHandle(INVALID_HANDLE_VALUE) fails"
# No file: its creation's notice, then those of the three writes and the
# closing.
NOT_CREATED = STEPS[6:10] + [CLOSE]


def names(numbers, content=b""):
    return {"tusak%04d.bmp" % n: content for n in numbers}


ROWS = [
    # before: what the directory holds (name -> bytes, FOLDER or HELD);
    # args: tusak's arguments; limit: the largest file size the runs may
    # write, as on a full disk; notices: the texts of each run's boxes, in
    # order; files: what the runs add, each a capture of the screen (cut to
    # limit bytes when there is one); together: the runs are launched at
    # once, as a held key does; trace: (calls, call): in Wine's relay trace
    # of the run one of calls returns TRUE before call is made; scene: the
    # helper's mode that draws over the pattern while the row runs.
    Row("32bit", "three runs, three files", {}, runs=3,
        files=["tusak0000.bmp", "tusak0001.bmp", "tusak0002.bmp"]),
    Row("16bit", "16-bit display", {}, files=["tusak0000.bmp"]),
    Row("8bit", "8-bit display", {}, files=["tusak0000.bmp"]),
    # A name in use costs only that name.
    Row("32bit", "the name is a folder", {"tusak0000.bmp": FOLDER},
        files=["tusak0001.bmp"]),
    Row("32bit", "the name is held open", {"tusak0000.bmp": HELD},
        files=["tusak0001.bmp"]),
    # The names before them make the searches long, so that the launches
    # reach the same free name at about the same time.
    Row("32bit", "four launches at once", names(range(5000), b"old"), runs=4,
        together=True, files=["tusak%04d.bmp" % n for n in range(5000, 5004)]),
    # DPI aware before the display's context is made, or a scaled display
    # would be cut to its unscaled size.
    Row("32bit", "DPI aware before the display context", {},
        files=["tusak0000.bmp"],
        trace=(["user32.SetProcessDpiAwarenessContext",
                "user32.SetProcessDPIAware"], "gdi32.CreateDCA")),
    Row("32bit", "disk full at the pixels", {}, limit=54, notices=["error"],
        files=["tusak0000.bmp"]),
    # Wine reports this write as done, with fewer bytes written.
    Row("32bit", "disk full inside the pixels", {}, limit=1000,
        notices=["error"], files=["tusak0000.bmp"]),
    Row("32bit", "gaps filled lowest first", names([0, 2, 3], b"old"), runs=2,
        files=["tusak0001.bmp", "tusak0004.bmp"]),
    Row("32bit", "0000 to 9998 taken", names(range(9999)),
        files=["tusak9999.bmp"]),
    Row("32bit", "all taken, 9999 kept", dict(names(range(9999)), **names(
        [9999], b"kept")), notices=NOT_CREATED),
    Row("32bit", "a read-only folder", {".": READ_ONLY}, notices=NOT_CREATED),
    Row("32bit", "other names play no part", dict.fromkeys(
        ["tusak0000.bmp.txt", "tusak000.bmp", "tusak00000.bmp", "xtusak0000.bmp",
         "tusak0000.png", "tusak0000", "tusak0000.bm", "tusak0000bmp"], b"other"),
        files=["tusak0000.bmp"]),
    Row("32bit", "arguments with quotes", {}, ['"a b"', "c d", "'e'", "/?", "-h"],
        files=["tusak0000.bmp"]),
    Row("32bit", "a long argument", {}, ["tusak" * 6000],
        files=["tusak0000.bmp"]),
    # GDI gives the fourth byte of each pixel as the drawing left it: 255
    # where icons were blended in (Wine 8), 255 everywhere (Wine 10).
    Row("32bit", "system icons, opaque", {}, files=["tusak0000.bmp"],
        scene="icons"),
    Row("32bit" + WINE10, "system icons, opaque", {}, files=["tusak0000.bmp"],
        scene="icons"),
    Row("32bit" + WINE10, "two runs, two files", {}, runs=2,
        files=["tusak0000.bmp", "tusak0001.bmp"]),
    Row("32bit" + WINE10, "a read-only folder", {".": READ_ONLY},
        notices=NOT_CREATED),
    Row("16bit" + WINE10, "16-bit display", {}, files=["tusak0000.bmp"]),
]

TIMEOUT = 120  # seconds for any one step; nothing waits longer
# ImageMagick's own, where something else stands first in PATH.
CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"


def pattern(x, y):
    """The helper's Pattern(x, y) as (r, g, b)."""
    return ((x * 3 + y) & 0xFF, (y * 5 + (x >> 2)) & 0xFF,
            (x ^ y ^ ((x >> 8) << 5) ^ ((y >> 8) << 3)) & 0xFF)


def pattern_image(w, h):
    data = bytearray(w * h * 3)
    i = 0
    for y in range(h):
        for x in range(w):
            data[i:i + 3] = bytes(pattern(x, y))
            i += 3
    return Image.frombytes("RGB", (w, h), bytes(data))


def differs(got, want, shift=0):
    """None if the images agree in the top 8 - shift bits of each channel,
    else where they do not."""
    if got.size != want.size:
        return "size %s, want %s" % (got.size, want.size)
    if shift:
        got, want = (im.point(lambda v: v >> shift) for im in (got, want))
    box = ImageChops.difference(got, want).getbbox()
    if box is None:
        return None
    y = box[1]
    x = next(x for x in range(box[0], box[2])
             if got.getpixel((x, y)) != want.getpixel((x, y)))
    return "pixels differ in %s; first row's first at (%d, %d): %s, want %s" % (
        box, x, y, got.getpixel((x, y)), want.getpixel((x, y)))


def check_capture(path, scr, want, shift):
    """A capture: headers, then the pixels as Pillow and ImageMagick read
    them."""
    w, h, _, bpp = SCREENS[scr]
    data = open(path, "rb").read()
    fault = header_fault(data, w, h, bpp, len(data))
    if fault:
        return fault
    with Image.open(path) as im:
        fault = differs(im.convert("RGB"), want, shift)
    if fault:
        return "Pillow: " + fault
    ident = subprocess.run(["identify", "-format", "%m %w %h", path],
                           capture_output=True, text=True, timeout=TIMEOUT)
    if ident.stdout.split() != ["BMP3", str(w), str(h)]:  # 40-byte header
        return "identify: %r %r" % (ident.stdout, ident.stderr)
    rgb = subprocess.run([CONVERT, path, "-depth", "8", "rgb:-"],
                         capture_output=True, timeout=TIMEOUT).stdout
    if len(rgb) != w * h * 3:
        return "convert: %d bytes" % len(rgb)
    fault = differs(Image.frombytes("RGB", (w, h), rgb), want, shift)
    return fault and "ImageMagick: " + fault


def check_opaque(path, data):
    """None if every pixel's fourth byte of a 32-bit file is 0, and
    ImageMagick, which takes that byte for alpha once any pixel sets it,
    reads the picture as opaque."""
    off = struct.unpack_from("<I", data, 10)[0]
    found = set(data[off + 3::4])
    if found != {0}:
        return "fourth bytes %s, want all 0" % sorted(found)[:8]
    said = subprocess.run([CONVERT, path, "-format", "%[opaque]", "info:"],
                          capture_output=True, text=True, timeout=TIMEOUT)
    return None if said.stdout.lower() == "true" else "ImageMagick: opaque %r %r" % (
        said.stdout, said.stderr)


def show_scene(ctx, scene):
    """The helper drawing scene over the pattern; returns it, the file that
    stops it, and what the screen then shows."""
    ready, stop, ref = (os.path.join(ctx.work, scene + end)
                        for end in ("-ready", "-stop", "-ref.bmp"))
    for path in ready, stop:
        if os.path.exists(path):
            os.remove(path)
    helper = subprocess.Popen(
        ctx.wine + [ctx.helper, scene] + [win_path(p) for p in (ready, stop, ref)],
        env=ctx.env, stdout=ctx.wine_log, stderr=ctx.wine_log)
    wait_for(ready, helper, scene + " helper")
    with Image.open(ref) as im:
        return helper, stop, (im.convert("RGB"), 0)


def wine_commands(root=None):
    """The argv starts of wine and wineserver: the host's (PATH first), or
    those of the Wine installed in root, run there. Each is looked for where
    Debian's packages have kept it (wine32 alone puts neither on PATH)."""
    def find(name, places):
        if not root and shutil.which(name):
            return [shutil.which(name)]
        for place in places:
            for path in sorted(glob.glob((root or "/") + place)):
                # (In a root, /usr/bin's are links to its own alternatives.)
                if os.path.lexists(path) if root else \
                        os.path.isfile(path) and os.access(path, os.X_OK):
                    path = "/" + os.path.relpath(path, root or "/")
                    return session.in_root(root, [path]) if root else [path]
        raise RuntimeError("no %s in %s" % (name, root or "this system"))
    lib = ["/usr/lib/wine/", "/usr/lib/i386-linux-gnu/wine/",
           "/usr/lib/i386-linux-gnu/wine/i386-unix/"]
    return (find("wine", ["/usr/bin/wine"] + [d + "wine" for d in lib]),
            find("wineserver", ["/usr/bin/wineserver"] + [
                d + n for n in ("wineserver", "wineserver32") for d in lib]))


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_for(path, proc, what):
    """Waits for proc to write path."""
    end = time.time() + TIMEOUT
    while not os.path.exists(path):
        if proc.poll() is not None:
            raise RuntimeError("%s ended, status %s" % (what, proc.returncode))
        if time.time() > end:
            raise RuntimeError("%s not ready in %d s" % (what, TIMEOUT))
        time.sleep(0.05)


def start_xvfb(w, h, depth, log):
    rfd, wfd = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "%dx%dx%d" % (w, h, depth),
         # -noreset: a server that resets when its last client leaves writes
         # its number again, to a pipe nobody reads, and dies of it.
         "-nolisten", "tcp", "-noreset"], pass_fds=(wfd,), stdout=log, stderr=log)
    os.close(wfd)
    # The number, then a newline in a write of its own: read up to the
    # newline, or Xvfb dies writing it to a closed pipe.
    number = b""
    while not number.endswith(b"\n") and select.select([rfd], [], [], 20)[0]:
        chunk = os.read(rfd, 16)
        if not chunk:
            break
        number += chunk
    os.close(rfd)
    number = number.decode().strip()
    if not number:
        xvfb.kill()
        raise RuntimeError("Xvfb did not start")
    return xvfb, ":" + number


def stop_wine(ctx):
    """Ends every process of the prefix and its server, and waits for that."""
    subprocess.run(ctx.server + ["-k"], env=ctx.env, timeout=TIMEOUT)
    subprocess.run(ctx.server + ["-w"], env=ctx.env, timeout=TIMEOUT)


def remove_prefix(env):
    """The prefix of a stopped Wine, and the folder its server kept its
    socket in: Debian's Wine makes that in TMPDIR, as wine-XXXXXX/server-
    and the prefix's device and inode."""
    try:
        st = os.stat(env["WINEPREFIX"])
    except FileNotFoundError:
        return
    server = "server-%x-%x" % (st.st_dev, st.st_ino)
    for d in glob.glob(os.path.join(tempfile.gettempdir(), "wine-*", server)):
        shutil.rmtree(d, ignore_errors=True)
        try:
            os.rmdir(os.path.dirname(d))
        except OSError:
            pass
    shutil.rmtree(env["WINEPREFIX"], ignore_errors=True)


def make_prefix(ctx, w, h, log):
    """A fresh prefix whose default desktop is virtual: there Wine shows the
    screen to programs, and `wine` returns the program's exit status."""
    env = ctx.env
    if os.path.exists(env["WINEPREFIX"]):
        stop_wine(ctx)
        remove_prefix(env)
    subprocess.run(ctx.wine + ["wineboot", "-i"], env=env, timeout=300,
                   check=True, stdout=log, stderr=log)
    reg = os.path.join(env["WINEPREFIX"], "desktop.reg")
    with open(reg, "w") as f:
        f.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"
                "\"Desktop\"=\"Default\"\n\n"
                "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n"
                "\"Default\"=\"%dx%d\"\n" % (w, h))
    subprocess.run(ctx.wine + ["regedit", "/S", win_path(reg)], env=env,
                   timeout=TIMEOUT, check=True, stdout=log, stderr=log)
    # The desktop is made anew when the next session starts.
    subprocess.run(ctx.server + ["-w"], env=env, timeout=TIMEOUT, check=True)


def snapshot(d):
    """Every entry of d: file bytes, or None for a folder."""
    return {n: None if os.path.isdir(os.path.join(d, n))
            else open(os.path.join(d, n), "rb").read() for n in os.listdir(d)}


def lay_out(ctx, d, before):
    """Fills d as a row says; a held file's helper joins ctx.holders."""
    for name, content in before.items():
        path = os.path.join(d, name)
        if content is READ_ONLY:
            continue  # last, below
        if content is FOLDER:
            os.mkdir(path)
        elif content is HELD:
            ready = os.path.join(ctx.work, "held-" + name)
            ctx.holders.append(subprocess.Popen(
                ctx.wine + [ctx.helper, "hold", win_path(path), win_path(ready),
                 win_path(ctx.stop_holders)], env=ctx.env, stdout=ctx.wine_log,
                stderr=ctx.wine_log))
            wait_for(ready, ctx.holders[-1], "hold helper")
        else:
            with open(path, "wb") as f:
                f.write(content)
    if before.get(".") is READ_ONLY:
        subprocess.run(["chattr", "+i", d], check=True, timeout=TIMEOUT)


def limit_file_size(limit):
    """For the child: writes past limit bytes fail (EFBIG, as Wine sees a
    full disk) instead of ending the process."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


def run_row(ctx, row):
    """Runs one row; returns its faults."""
    d = tempfile.mkdtemp(prefix="case-", dir=ctx.work)
    faults = []
    scene, want = None, ctx.want
    try:
        if row.scene:
            scene, stop_scene, want = show_scene(ctx, row.scene)
        lay_out(ctx, d, row.before)
        before = snapshot(d)
        if row.together:
            faults += run_together(ctx, row, d)
        else:
            for run in range(1, row.runs + 1):
                faults += run_tusak(ctx, row, d, run)
    finally:
        if row.before.get(".") is READ_ONLY:
            subprocess.run(["chattr", "-i", d], check=True, timeout=TIMEOUT)
        open(ctx.stop_holders, "w").close()
        for p in ctx.holders:
            p.wait(timeout=TIMEOUT)
        ctx.holders = []
        os.remove(ctx.stop_holders)
        if scene:
            # It leaves once the screen shows the pattern again.
            open(stop_scene, "w").close()
            if scene.wait(timeout=TIMEOUT):
                faults.append("%s helper: status %s" % (row.scene, scene.returncode))
    after = snapshot(d)
    for name, content in before.items():
        if after.get(name, b"gone") != content:
            faults.append("%s changed" % name)
    if sorted(set(after) - set(before)) != sorted(row.files):
        faults.append("new files %s, want %s" % (sorted(set(after) - set(before)),
                                                 row.files))
    w, h, _, bpp = SCREENS[row.screen]
    for name in sorted(set(after) & set(row.files) - set(before)):
        if row.limit is None:
            path = os.path.join(d, name)
            fault = check_capture(path, row.screen, *want)
            if not fault and bpp == 32:
                fault = check_opaque(path, after[name])
        elif len(after[name]) != row.limit:
            fault = "%d bytes, want %d" % (len(after[name]), row.limit)
        else:
            fault = header_fault(after[name], w, h, bpp)
        if fault:
            faults.append("%s: %s" % (name, fault))
    if not faults:
        shutil.rmtree(d)
    return faults


def boxes_since(ctx, log_start):
    with open(ctx.log, "rb") as f:
        f.seek(log_start)
        return f.read().decode("latin-1").splitlines()


def run_together(ctx, row, d):
    """row.runs launches of tusak.exe started at once in d; no box may show."""
    log_start = os.path.getsize(ctx.log)
    procs = [subprocess.Popen(ctx.wine + [ctx.tusak], cwd=d, env=ctx.env,
                              stdout=ctx.wine_log, stderr=ctx.wine_log)
             for _ in range(row.runs)]
    faults = []
    for i, p in enumerate(procs, 1):
        try:
            status = p.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            p.kill()
            status = "none: still running after %d s" % TIMEOUT
        if status != 0:
            faults.append("launch %d: exit status %s" % (i, status))
    boxes = boxes_since(ctx, log_start)
    if boxes:
        faults.append("boxes %s, want none" % boxes)
    return faults


def check_trace(trace, row_trace):
    """None if, in a relay trace, one of the calls returns TRUE before the
    call that must come after; else what is wrong."""
    calls, then = row_trace
    for line in trace.splitlines():
        if "Call %s(" % then in line:
            return "%s is called before any of %s returns TRUE" % (then, calls)
        if any("Ret  %s() retval=00000001" % c in line for c in calls):
            return None
    return "none of %s returns TRUE" % calls


def run_tusak(ctx, row, d, run):
    """One run of tusak.exe in d; returns its faults."""
    faults = []
    names_before = set(os.listdir(d))
    log_start = os.path.getsize(ctx.log)
    env, out = ctx.env, ctx.wine_log
    if row.trace:
        env = dict(ctx.env, WINEDEBUG="+relay")
        out = open(os.path.join(d, "..", "relay-%d.log" % run), "w+")
    try:
        status = subprocess.run(
            ctx.wine + [ctx.tusak] + row.args, cwd=d, env=env, timeout=TIMEOUT,
            stdout=out, stderr=out,
            preexec_fn=row.limit and (lambda: limit_file_size(row.limit))).returncode
    except subprocess.TimeoutExpired:
        status = "none: still running after %d s" % TIMEOUT
    if row.trace:
        out.seek(0)
        fault = check_trace(out.read(), row.trace)
        out.close()
        if fault:
            faults.append("run %d: relay trace: %s" % (run, fault))
    if status != 0:
        faults.append("run %d: exit status %s" % (run, status))
    boxes = boxes_since(ctx, log_start)
    want = ["Error|" + ("error" if text is CLOSE else text) for text in row.notices
            if text is not CLOSE or ctx.close_fails]
    if boxes != want:
        faults.append("run %d: boxes %s, want %s" % (run, boxes, want))
    new = set(os.listdir(d)) - names_before
    if len(new) > 1:
        faults.append("run %d made %d files" % (run, len(new)))
    return faults


def prefix_path(work, name):
    w, h, depth, _ = SCREENS[name]
    return os.path.join(work, "prefix-%dx%dx%d" % (w, h, depth))


def start_screen(ctx, name, args):
    """Xvfb, a fresh prefix, the pattern on screen and the box watcher, all
    noted in ctx as they start."""
    w, h, depth, bpp = SCREENS[name]
    work = ctx.work = os.path.join(args.work, name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    ctx.tusak = os.path.join(args.windows_build, "tusak.exe")
    ctx.log = os.path.join(work, "notices.log")
    ctx.stop = os.path.join(work, "stop")
    ctx.stop_holders = os.path.join(work, "stop-holders")
    ctx.wine_log = open(os.path.join(work, "wine.log"), "w")  # for a failed case
    root = None
    if name.endswith(WINE10):
        t = time.time()
        root = session.make_trixie_root(packages=("wine", "wine32:i386"),
                                        log=os.path.join(work, "root.log"))[0]
        print("%s: Debian 13 root %s ready in %.0f s" % (name, root, time.time() - t),
              flush=True)
    ctx.wine, ctx.server = wine_commands(root)
    version = subprocess.run(ctx.wine + ["--version"], capture_output=True,
                             text=True, timeout=TIMEOUT)
    print("%s: %s %s" % (name, " ".join(ctx.wine[-1:]), version.stdout.strip()
                         or version.stderr.strip()), flush=True)
    ctx.xvfb, display = start_xvfb(w, h, depth, ctx.wine_log)
    ctx.env = dict(os.environ, DISPLAY=display, WINEARCH="win32",
                   WINEDEBUG=os.environ.get("TUSAK_WINEDEBUG", "-all"),
                   WINEDLLOVERRIDES="mscoree,mshtml=",
                   WINEPREFIX=prefix_path(args.work, name))
    t = time.time()
    make_prefix(ctx, w, h, ctx.wine_log)
    print("%s: Xvfb on %s, prefix made in %.0f s" % (name, display, time.time() - t),
          flush=True)

    helper = ctx.helper = os.path.join(args.windows_build, "tests", "wine", "win",
                                       "wine_helper.exe")
    # What the platform says to closing INVALID_HANDLE_VALUE, which tusak
    # closes after a failed CreateFile.
    probe = os.path.join(work, "closeprobe.txt")
    subprocess.run(ctx.wine + [helper, "closeprobe", win_path(probe)], env=ctx.env,
                   timeout=TIMEOUT, check=True)
    with open(probe) as f:
        said = f.read().strip()
    ctx.close_fails = said.startswith("CloseHandle=0")
    print("%s: CloseHandle(INVALID_HANDLE_VALUE): %s" % (name, said), flush=True)

    ready, ref = os.path.join(work, "ready"), os.path.join(work, "ref.bmp")
    ctx.helpers.append(subprocess.Popen(
        ctx.wine + [helper, "pattern", win_path(ready), win_path(ctx.stop),
         win_path(ref)], env=ctx.env, stdout=ctx.wine_log, stderr=ctx.wine_log))
    wait_for(ready, ctx.helpers[0], "pattern helper")
    open(ctx.log, "w").close()
    ctx.helpers.append(subprocess.Popen(
        ctx.wine + [helper, "notices", win_path(ctx.log), win_path(ctx.stop)],
        env=ctx.env, stdout=ctx.wine_log, stderr=ctx.wine_log))

    # What the screen shows: the pattern itself at 32 bits; its top 5 bits
    # per channel at 16 (5-6-5 on screen, 5-5-5 in the file); at 8 bits
    # what Wine makes of it, as the helper read the screen back.
    with Image.open(ref) as im:
        shown = im.convert("RGB")
    if bpp == 8:
        ctx.want = (shown, 0)
    else:
        ctx.want = (pattern_image(w, h), 3 if bpp == 16 else 0)
        fault = differs(shown, *ctx.want)
        if fault:
            raise RuntimeError("the screen does not show the pattern: " + fault)


def stop_screen(ctx):
    if "stop" in ctx:
        open(ctx.stop, "w").close()
        open(ctx.stop_holders, "w").close()
    for p in ctx.helpers + ctx.holders:
        try:
            p.wait(timeout=30)
        except subprocess.TimeoutExpired:
            p.kill()
    if "env" in ctx:
        stop_wine(ctx)
        # Each screen's prefix is made afresh; kept, three of them would
        # leave well over a gigabyte behind.
        remove_prefix(ctx.env)
    if "xvfb" in ctx:
        ctx.xvfb.terminate()
        ctx.xvfb.wait(timeout=TIMEOUT)
    if "wine_log" in ctx:
        ctx.wine_log.close()


def run_screen(name, rows, args):
    """Runs the rows of one screen; returns how many passed and failed."""
    ctx = argparse.Namespace(helpers=[], holders=[])
    try:
        start_screen(ctx, name, args)
        failed = 0
        for row in rows:
            if ctx.xvfb.poll() is not None or any(p.poll() is not None
                                                  for p in ctx.helpers):
                raise RuntimeError("Xvfb or a helper has ended")
            t = time.time()
            faults = run_row(ctx, row)
            failed += bool(faults)
            print("%s %s: %s (%.1f s)" % ("FAIL" if faults else "ok  ", name,
                                          row.case, time.time() - t), flush=True)
            for fault in faults:
                print("    " + fault, flush=True)
        return len(rows) - failed, failed
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        print("FAIL %s: %s (Wine's messages: %s)" % (name, e, os.path.join(
            args.work, name, "wine.log")), flush=True)
        return 0, len(rows)
    finally:
        stop_screen(ctx)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows-build", required=True,
                        help="build folder holding tusak.exe and the helpers")
    parser.add_argument("--work", required=True, help="folder for prefixes and cases")
    parser.add_argument("--screen", action="append", choices=sorted(SCREENS),
                        help="only this screen's rows (repeatable)")
    args = parser.parse_args()
    args.windows_build = os.path.abspath(args.windows_build)
    args.work = os.path.abspath(args.work)
    exes = ("tusak.exe", "tests/wine/win/wine_helper.exe")
    for exe in exes:
        if not os.path.exists(os.path.join(args.windows_build, exe)):
            sys.exit("no %s in %s: build the Windows build first" % (exe, args.windows_build))
    if any(name.endswith(WINE10) for name in args.screen or SCREENS):
        # A Wine in a root sees only the host's /tmp: the work and the exes
        # go there (removed when every row passed).
        args.work = tempfile.mkdtemp(prefix="tusak-wine-", dir="/tmp")
        for exe in exes:
            os.makedirs(os.path.dirname(os.path.join(args.work, "exe", exe)),
                        exist_ok=True)
            shutil.copy(os.path.join(args.windows_build, exe),
                        os.path.join(args.work, "exe", exe))
        args.windows_build = os.path.join(args.work, "exe")
    t = time.time()
    passed = failed = 0
    for name in args.screen or SCREENS:
        p, f = run_screen(name, [r for r in ROWS if r.screen == name], args)
        passed, failed = passed + p, failed + f
    # Some 590 MB each: none may stay behind.
    for name in args.screen or SCREENS:
        left = prefix_path(args.work, name)
        if os.path.exists(left):
            print("FAIL: a Wine prefix left behind: " + left, flush=True)
            failed += 1
    if args.work.startswith("/tmp/tusak-wine-") and not failed:
        shutil.rmtree(args.work)
    print("Wine suite took %.0f s" % (time.time() - t))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
