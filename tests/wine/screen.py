"""A screen for the Wine suite's rows: an Xvfb of its size and depth, a
fresh Wine prefix with a virtual desktop of that size (the host's Wine, or
a Debian root's), the helper that covers it with the pattern, the helper
that writes down and dismisses every message box; and their end."""
import argparse, os, shutil, subprocess, time
from dataclasses import dataclass

from PIL import Image

from pixels import differs
from roots import make_root
from servers import start_xvfb, stop
from wineprefix import TIMEOUT, make_prefix, remove_prefix, stop_wine, \
    wine_commands, win_path


@dataclass(frozen=True)
class Screen:
    width: int
    height: int
    depth: int         # the X server's
    bpp: int           # the file's bits per pixel
    root: str = ""     # the Debian root whose Wine runs ("": Debian 12's)
    limit: int = 900   # seconds CTest gives its rows (a root may be made)


def pattern(x, y):
    """The helper's Pattern(x, y) as (r, g, b)."""
    return ((x * 3 + y) & 0xFF, (y * 5 + (x >> 2)) & 0xFF,
            (x ^ y ^ ((x >> 8) << 5) ^ ((y >> 8) << 3)) & 0xFF)


def pattern_image(w, h):
    return Image.frombytes("RGB", (w, h), bytes(
        c for y in range(h) for x in range(w) for c in pattern(x, y)))


def prefix_path(work, screen):
    return os.path.join(work, "prefix-%dx%dx%d" % (
        screen.width, screen.height, screen.depth))


def start_screen(ctx, name, screen, args):
    """Xvfb, a fresh prefix, the pattern on screen and the box watcher, all
    noted in ctx as they start."""
    size = (screen.width, screen.height)
    work = ctx.work = os.path.join(args.work, name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    ctx.tusak = os.path.join(args.windows_build, "tusak.exe")
    ctx.log = os.path.join(work, "notices.log")
    ctx.stop = os.path.join(work, "stop")
    ctx.stop_holders = os.path.join(work, "stop-holders")
    ctx.wine_log = open(os.path.join(work, "wine.log"), "w")  # for a failure
    root = None
    if screen.root:
        t = time.time()
        root = make_root(screen.root, packages=("wine", "wine32:i386"),
                         log=os.path.join(work, "root.log"))[0]
        print("%s: Debian root %s ready in %.0f s" % (name, root,
                                                      time.time() - t),
              flush=True)
    ctx.wine, ctx.server = wine_commands(root)
    version = subprocess.run(ctx.wine + ["--version"], capture_output=True,
                             text=True, timeout=TIMEOUT)
    print("%s: %s %s" % (name, " ".join(ctx.wine[-1:]), version.stdout.strip()
                         or version.stderr.strip()), flush=True)
    ctx.xvfb, display = start_xvfb(lambda argv, **kw: subprocess.Popen(
        argv, stdout=ctx.wine_log, stderr=ctx.wine_log, **kw), size,
        screen.depth)
    ctx.env = dict(os.environ, DISPLAY=display, WINEARCH="win32",
                   WINEDEBUG=os.environ.get("TUSAK_WINEDEBUG", "-all"),
                   WINEDLLOVERRIDES="mscoree,mshtml=",
                   WINEPREFIX=prefix_path(args.work, screen))
    t = time.time()
    make_prefix(ctx.wine, ctx.server, ctx.env, size, ctx.wine_log)
    print("%s: Xvfb on %s, prefix made in %.0f s" % (
        name, display, time.time() - t), flush=True)

    helper = ctx.helper = os.path.join(args.windows_build, "tests", "wine",
                                       "win", "wine_helper.exe")
    # What the platform says to closing INVALID_HANDLE_VALUE, which tusak
    # closes after a failed CreateFile.
    probe = os.path.join(work, "closeprobe.txt")
    subprocess.run(ctx.wine + [helper, "closeprobe", win_path(probe)],
                   env=ctx.env, timeout=TIMEOUT, check=True)
    with open(probe) as f:
        said = f.read().strip()
    ctx.close_fails = said.startswith("CloseHandle=0")
    print("%s: CloseHandle(INVALID_HANDLE_VALUE): %s" % (name, said),
          flush=True)

    ready, ref = os.path.join(work, "ready"), os.path.join(work, "ref.bmp")
    ctx.helpers.append(start_helper(ctx, "pattern", ready, ctx.stop, ref))
    wait_for(ready, ctx.helpers[0], "pattern helper")
    open(ctx.log, "w").close()
    ctx.helpers.append(start_helper(ctx, "notices", ctx.log, ctx.stop))

    # What the screen shows: the pattern itself at 32 bits; its top 5 bits
    # per channel at 16 (5-6-5 on screen, 5-5-5 in the file); at 8 bits
    # what Wine makes of it, as the helper read the screen back.
    with Image.open(ref) as im:
        shown = im.convert("RGB")
    if screen.bpp == 8:
        ctx.want = (shown, 0)
    else:
        ctx.want = (pattern_image(*size), 3 if screen.bpp == 16 else 0)
        fault = differs(shown, *ctx.want)
        if fault:
            raise RuntimeError("the screen does not show the pattern: " +
                               fault)


def start_helper(ctx, mode, *paths):
    """wine_helper.exe in one of its modes, with these paths."""
    return subprocess.Popen(ctx.wine + [ctx.helper, mode] + [
        win_path(p) for p in paths], env=ctx.env, stdout=ctx.wine_log,
        stderr=ctx.wine_log)


def wait_for(path, proc, what):
    """Waits for proc to write path."""
    end = time.time() + TIMEOUT
    while not os.path.exists(path):
        if proc.poll() is not None:
            raise RuntimeError("%s ended, status %s" % (what, proc.returncode))
        if time.time() > end:
            raise RuntimeError("%s not ready in %d s" % (what, TIMEOUT))
        time.sleep(0.05)


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
        stop_wine(ctx.server, ctx.env)
        # Each screen's prefix is made afresh; kept, three of them would
        # leave well over a gigabyte behind.
        remove_prefix(ctx.env)
    if "xvfb" in ctx:
        stop(ctx.xvfb, TIMEOUT)
    if "wine_log" in ctx:
        ctx.wine_log.close()


def new_context():
    return argparse.Namespace(helpers=[], holders=[])
