#!/usr/bin/python3
"""tusak.exe under Wine, on an Xvfb screen, a table row per case.

Each screen (screen.py) gets a fresh Wine prefix with a virtual desktop of
its size (removed when its rows are done), a helper that covers it with a
known pattern, and a helper that writes down and dismisses every message
box. Each row runs tusak.exe in an empty directory of its own, laid out as
the row says, and checks the exit status, the message boxes of each run in
order, and every file left in the directory: captures are read back by
this suite's own header check, Pillow and ImageMagick and compared with
the screen.
"""
import os, resource, shutil, signal, struct, subprocess, sys, tempfile, time
from dataclasses import dataclass, field
from typing import Callable

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, os.pardir, "common")]
from bmp import header_fault  # noqa: E402
from notices import NOT_CREATED  # noqa: E402
from pixels import differs  # noqa: E402
from rows import main  # noqa: E402
from screen import TIMEOUT, Screen, new_context, prefix_path, \
    start_helper, start_screen, stop_screen, wait_for  # noqa: E402

# 1366 and 1023 pixel rows need padding at 8, 16 or 24 bits per pixel; the
# _wine10 screens run Debian 13's Wine 10, from a root of its own.
SCREENS = {
    "32bit": Screen(1366, 768, 24, 32),
    "16bit": Screen(1023, 767, 16, 16),
    "8bit": Screen(1023, 767, 8, 8),
    "32bit_wine10": Screen(1366, 768, 24, 32, "trixie", limit=1800),
    "16bit_wine10": Screen(1023, 767, 16, 16, "trixie", limit=1800),
}
FOLDER = "a folder"
# As the key ".": the row's directory itself takes no new entry, not even
# from root (it is made immutable: chattr +i).
READ_ONLY = "read-only"
HELD = "a file another process holds open, sharing nothing"
CLOSE = "error, if CloseHandle(INVALID_HANDLE_VALUE) fails"


@dataclass(frozen=True)
class Row:
    screen: str               # a key of SCREENS
    case: str
    kind: str = "capture"     # how it runs and what its files are: KINDS
    before: dict = field(default_factory=dict)  # what the directory holds:
    #                           name -> bytes, FOLDER or HELD; "." READ_ONLY
    args: tuple = ()          # tusak's arguments
    runs: int = 1
    limit: int = None         # the largest file size the runs may write
    notices: tuple = ()       # the texts of each run's boxes, in order
    files: tuple = ()         # what the runs add
    trace: tuple = None       # (calls, call): in Wine's relay trace of the
    #                           run one of calls returns TRUE before call


@dataclass(frozen=True)
class Kind:
    launch: Callable          # (ctx, row, folder): its faults
    judge: Callable           # (ctx, row, path, data): a file's fault


def names(numbers, content=b""):
    return {"tusak%04d.bmp" % n: content for n in numbers}


def new(*numbers):
    return tuple("tusak%04d.bmp" % n for n in numbers)


ROWS = [
    Row("32bit", "three runs, three files", runs=3, files=new(0, 1, 2)),
    Row("16bit", "16-bit display", files=new(0)),
    Row("8bit", "8-bit display", files=new(0)),
    # A name in use costs only that name.
    Row("32bit", "the name is a folder", before={"tusak0000.bmp": FOLDER},
        files=new(1)),
    Row("32bit", "the name is held open", before={"tusak0000.bmp": HELD},
        files=new(1)),
    # The names before them make the searches long, so that the launches
    # reach the same free name at about the same time.
    Row("32bit", "four launches at once", "together", names(range(5000),
                                                            b"old"), runs=4,
        files=new(*range(5000, 5004))),
    # DPI aware before the display's context is made, or a scaled display
    # would be cut to its unscaled size.
    Row("32bit", "DPI aware before the display context", "traced",
        files=new(0), trace=(["user32.SetProcessDpiAwarenessContext",
                              "user32.SetProcessDPIAware"], "gdi32.CreateDCA")),
    Row("32bit", "disk full at the pixels", "disk_full", limit=54,
        notices=("error",), files=new(0)),
    # Wine reports this write as done, with fewer bytes written.
    Row("32bit", "disk full inside the pixels", "disk_full", limit=1000,
        notices=("error",), files=new(0)),
    Row("32bit", "gaps filled lowest first", before=names([0, 2, 3], b"old"),
        runs=2, files=new(1, 4)),
    Row("32bit", "0000 to 9998 taken", before=names(range(9999)),
        files=new(9999)),
    Row("32bit", "all taken, 9999 kept", before=dict(
        names(range(9999)), **names([9999], b"kept")),
        notices=tuple(NOT_CREATED) + (CLOSE,)),
    Row("32bit", "a read-only folder", before={".": READ_ONLY},
        notices=tuple(NOT_CREATED) + (CLOSE,)),
    Row("32bit", "other names play no part", before=dict.fromkeys(
        ["tusak0000.bmp.txt", "tusak000.bmp", "tusak00000.bmp",
         "xtusak0000.bmp", "tusak0000.png", "tusak0000", "tusak0000.bm",
         "tusak0000bmp"], b"other"), files=new(0)),
    Row("32bit", "arguments with quotes", args=(
        '"a b"', "c d", "'e'", "/?", "-h"), files=new(0)),
    Row("32bit", "a long argument", args=("tusak" * 6000,), files=new(0)),
    # GDI gives the fourth byte of each pixel as the drawing left it: 255
    # where icons were blended in (Wine 8), 255 everywhere (Wine 10).
    Row("32bit", "system icons, opaque", "icons", files=new(0)),
    Row("32bit_wine10", "system icons, opaque", "icons", files=new(0)),
    Row("32bit_wine10", "two runs, two files", runs=2, files=new(0, 1)),
    Row("32bit_wine10", "a read-only folder", before={".": READ_ONLY},
        notices=tuple(NOT_CREATED) + (CLOSE,)),
    Row("16bit_wine10", "16-bit display", files=new(0)),
]
# ImageMagick's own, where something else stands first in PATH.
CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else \
    "convert"


def check_capture(ctx, row, path, data):
    """A capture: headers, the pixels as Pillow and ImageMagick read them
    against what the screen showed, the picture opaque to ImageMagick
    (which takes a 32-bit pixel's fourth byte for alpha once any pixel
    sets it), and at 32 bits, each pixel's fourth byte 0."""
    screen = SCREENS[row.screen]
    w, h = screen.width, screen.height
    fault = header_fault(data, w, h, screen.bpp, len(data))
    if fault:
        return fault
    with Image.open(path) as im:
        fault = differs(im.convert("RGB"), *ctx.shown)
    if fault:
        return "Pillow: " + fault
    # A 40-byte header (BMP3), and opaque.
    ident = subprocess.run(["identify", "-format", "%m %w %h %[opaque]",
                            path], capture_output=True, text=True,
                           timeout=TIMEOUT)
    if ident.stdout.lower().split() != ["bmp3", str(w), str(h), "true"]:
        return "identify: %r %r" % (ident.stdout, ident.stderr)
    rgb = subprocess.run([CONVERT, path, "-depth", "8", "rgb:-"],
                         capture_output=True, timeout=TIMEOUT).stdout
    if len(rgb) != w * h * 3:
        return "convert: %d bytes" % len(rgb)
    fault = differs(Image.frombytes("RGB", (w, h), rgb), *ctx.shown)
    if fault:
        return "ImageMagick: " + fault
    found = set(data[struct.unpack_from("<I", data, 10)[0] + 3::4])
    if screen.bpp == 32 and found != {0}:
        return "fourth bytes %s, want all 0" % sorted(found)[:8]
    return None


def check_cut(ctx, row, path, data):
    """A file cut at the size limit: whole headers, as far as they came."""
    screen = SCREENS[row.screen]
    if len(data) != row.limit:
        return "%d bytes, want %d" % (len(data), row.limit)
    return header_fault(data, screen.width, screen.height, screen.bpp)


def snapshot(d):
    """Every entry of d: file bytes, or None for a folder."""
    return {n: None if os.path.isdir(os.path.join(d, n))
            else open(os.path.join(d, n), "rb").read() for n in os.listdir(d)}


def lay_out(ctx, d, before):
    """Fills d as a row says; a held file's helper joins ctx.holders."""
    for name, content in before.items():
        path = os.path.join(d, name)
        if content is FOLDER:
            os.mkdir(path)
        elif content is HELD:
            ready = os.path.join(ctx.work, "held-" + name)
            ctx.holders.append(start_helper(ctx, "hold", path, ready,
                                            ctx.stop_holders))
            wait_for(ready, ctx.holders[-1], "hold helper")
        elif content is not READ_ONLY:  # last, below
            with open(path, "wb") as f:
                f.write(content)
    if before.get(".") is READ_ONLY:
        subprocess.run(["chattr", "+i", d], check=True, timeout=TIMEOUT)


def run_row(ctx, row):
    """Runs one row; returns its faults."""
    d = tempfile.mkdtemp(prefix="case-", dir=ctx.work)
    try:
        lay_out(ctx, d, row.before)
        ctx.shown = ctx.want  # unless the row's kind shows a scene
        before = snapshot(d)
        faults = KINDS[row.kind].launch(ctx, row, d)
    finally:
        if row.before.get(".") is READ_ONLY:
            subprocess.run(["chattr", "-i", d], check=True, timeout=TIMEOUT)
        open(ctx.stop_holders, "w").close()
        for p in ctx.holders:
            p.wait(timeout=TIMEOUT)
        ctx.holders = []
        os.remove(ctx.stop_holders)
    after = snapshot(d)
    faults += ["%s changed" % name for name, content in before.items()
               if after.get(name, b"gone") != content]
    added = sorted(set(after) - set(before))
    if added != sorted(row.files):
        faults.append("new files %s, want %s" % (added, list(row.files)))
    for name in sorted(set(added) & set(row.files)):
        fault = KINDS[row.kind].judge(ctx, row, os.path.join(d, name),
                                      after[name])
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
    return faults + (["boxes %s, want none" % boxes] if boxes else [])


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


def limit_file_size(limit):
    """For the child: writes past limit bytes fail (EFBIG, as Wine sees a
    full disk) instead of ending the process."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


def run_each(ctx, row, d):
    """row.runs runs of tusak.exe in d, one after another: each exits 0,
    shows the row's boxes in order and makes at most one file; a traced
    run's relay trace shows the row's order of calls."""
    faults = []
    for run in range(1, row.runs + 1):
        names_before = set(os.listdir(d))
        log_start = os.path.getsize(ctx.log)
        env, out = ctx.env, ctx.wine_log
        if row.trace:
            env = dict(ctx.env, WINEDEBUG="+relay")
            out = open(os.path.join(d, "..", "relay-%d.log" % run), "w+")
        try:
            status = subprocess.run(
                ctx.wine + [ctx.tusak] + list(row.args), cwd=d, env=env,
                timeout=TIMEOUT, stdout=out, stderr=out, preexec_fn=row.limit
                and (lambda: limit_file_size(row.limit))).returncode
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
        want = ["Error|" + ("error" if text is CLOSE else text)
                for text in row.notices if text is not CLOSE or
                ctx.close_fails]
        if boxes != want:
            faults.append("run %d: boxes %s, want %s" % (run, boxes, want))
        new_names = set(os.listdir(d)) - names_before
        if len(new_names) > 1:
            faults.append("run %d made %d files" % (run, len(new_names)))
    return faults


def run_icons(ctx, row, d):
    """run_each with the system's icons drawn over the pattern by the
    helper, what the files must then show; gone after, the helper's status
    saying that the screen shows the pattern again."""
    ready, stop, ref = (os.path.join(tempfile.mkdtemp(dir=ctx.work), n)
                        for n in ("ready", "stop", "ref.bmp"))
    helper = start_helper(ctx, "icons", ready, stop, ref)
    try:
        wait_for(ready, helper, "icons helper")
        with Image.open(ref) as im:
            ctx.shown = (im.convert("RGB"), 0)
        faults = run_each(ctx, row, d)
    finally:
        open(stop, "w").close()
    if helper.wait(timeout=TIMEOUT):
        faults.append("icons helper: status %s" % helper.returncode)
    return faults


KINDS = {"capture": Kind(run_each, check_capture),
         "icons": Kind(run_icons, check_capture),
         "traced": Kind(run_each, check_capture),
         "together": Kind(run_together, check_capture),
         "disk_full": Kind(run_each, check_cut)}


def run_screen(name, args):
    """Runs the rows of one screen; returns how many passed and failed."""
    rows = [r for r in ROWS if r.screen == name]
    ctx = new_context()
    try:
        start_screen(ctx, name, SCREENS[name], args)
        failed = 0
        for row in rows:
            if ctx.xvfb.poll() is not None or any(p.poll() is not None
                                                  for p in ctx.helpers):
                raise RuntimeError("Xvfb or a helper has ended")
            t = time.time()
            faults = run_row(ctx, row)
            failed += bool(faults)
            print("%s %s: %s (%.1f s)" % ("FAIL" if faults else "ok  ", name,
                                          row.case, time.time() - t),
                  flush=True)
            for fault in faults:
                print("    " + fault, flush=True)
        return len(rows) - failed, failed
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        print("FAIL %s: %s (Wine's messages: %s)" % (name, e, os.path.join(
            args.work, name, "wine.log")), flush=True)
        return 0, len(rows)
    finally:
        stop_screen(ctx)


def run(args, screens):
    args.windows_build = os.path.abspath(args.windows_build)
    args.work = os.path.abspath(args.work)
    exes = ("tusak.exe", "tests/wine/win/wine_helper.exe")
    for exe in exes:
        if not os.path.exists(os.path.join(args.windows_build, exe)):
            sys.exit("no %s in %s: build the Windows build first" % (
                exe, args.windows_build))
    if any(SCREENS[name].root for name in screens):
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
    for name in screens:
        p, f = run_screen(name, args)
        passed, failed = passed + p, failed + f
    # Some 590 MB each: none may stay behind.
    for name in screens:
        left = prefix_path(args.work, SCREENS[name])
        if os.path.exists(left):
            print("FAIL: a Wine prefix left behind: " + left, flush=True)
            failed += 1
    if args.work.startswith("/tmp/tusak-wine-") and not failed:
        shutil.rmtree(args.work)
    print("Wine suite took %.0f s" % (time.time() - t))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(__doc__, lambda args: {
        name: (screen.limit, ("wine",) + ("root",) * bool(screen.root))
        for name, screen in SCREENS.items()}, run, [
            (["--windows-build"], dict(
                required=True, help="the folder of tusak.exe and helpers")),
            (["--work"], dict(required=True,
                              help="a folder for prefixes and cases"))]))
