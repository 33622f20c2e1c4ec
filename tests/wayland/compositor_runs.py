"""The kinds of rows on a wlroots compositor's own capture protocols: the
layout changed first, then the file against a reference; no picture and
the reason; a failed copy; the connection cut part way; outputs changed
meanwhile; the optimised build under valgrind."""
import contextlib, os, threading, time

from PIL import Image

from desktops.wlroots import SIZE, command, create_output, grim, outputs, \
    set_output
from launch import check_capture, check_no_picture, run_tusak
from notices import split
from pixels import pattern, same
from proxy import Proxy
from session import wait_for

# A proxy's options that hide each capture protocol's globals from tusak.
HIDE_EXT = ("--hide-global", "ext_image_copy_capture_manager_v1",
            "--hide-global", "ext_output_image_capture_source_manager_v1")
HIDE_WLR = ("--hide-global", "zwlr_screencopy_manager_v1")
TRANSFORMS = ["90", "180", "270", "flipped", "flipped-90", "flipped-180",
              "flipped-270"]


def lay_out(s, layout):
    """Changes the outputs as the row says."""
    red = (255, 0, 0)
    if layout in ("rotated", "odd_width", "far_right", "beyond"):
        mode, pos, transform = {
            "rotated": ((640, 480), (SIZE[0], 0), 90),
            "odd_width": ((1000, 700), (SIZE[0], 0), None),
            "far_right": ((320, 240), (40000, 0), None),
            "beyond": ((320, 240), (0, 70000), None)}[layout]
        set_output(s, create_output(s), mode=mode, pos=pos,
                   transform=transform, picture=pattern(
                       mode[::-1] if transform else mode, mark=red))
    elif layout == "scale2":
        set_output(s, "HEADLESS-1", scale=2)
    elif layout == "seventeen":
        for i in range(16):
            set_output(s, create_output(s), mode=(160, 120),
                       pos=(SIZE[0] + 160 * i, 0),
                       picture=pattern((160, 120), mark=(i * 16, 255, 0)))
    elif layout == "overlap":
        # Overlap 220 x 240 = gap (320 - 220) x (768 - 240): the area of
        # the boxes equals their bounding box's. Where they overlap, the
        # second output shows the first's background.
        second = create_output(s)
        set_output(s, second, mode=(320, 240), pos=(SIZE[0] - 220, 0))
        pic = pattern((320, 240), mark=red)
        command(s, "output %s bg %s fill" % (second, s.put("overlap.png",
                                                           pic)))
        own = (220, 0, 320, 240)
        wait_for(lambda: same(grim(s, output=second).crop(own),
                              pic.crop(own)), 20, "the background of " + second)


def outputs_reference(s):
    """The layout from grim's capture of each output, placed where sway
    says it is: for layouts wider than grim composes whole (pixman's
    coordinates stop at 32,767)."""
    placed = {name: o["rect"] for name, o in outputs(s).items()}
    image = Image.new("RGB", (
        max(r["x"] + r["width"] for r in placed.values()),
        max(r["y"] + r["height"] for r in placed.values())))
    for name, r in placed.items():
        image.paste(grim(s, "ppm", output=name).convert("RGB"),
                    (r["x"], r["y"]))
    return image


def proxied(s, row, *options, always=False):
    """A proxy to the session's compositor with the row's options (and
    those given), and the environment that has tusak use it; or with
    neither, unless always, none."""
    options = list(row.proxy) + list(options)
    if not options and not always:
        return None, s.env
    proxy = Proxy(os.path.join(s.runtime, "wayland-proxied"), os.path.join(
        s.runtime, s.env["WAYLAND_DISPLAY"]), *options, workdir=s.workdir(),
        run_as=s.as_user, env=s.env)
    return proxy, dict(s.env, WAYLAND_DISPLAY="wayland-proxied")


def asked(proxy, row):
    """What the proxy's clients asked for, checked against the row's most
    of each request and its largest shm pool."""
    counted, pool = {}, 0
    for report in proxy.reports():
        pool = max(pool, report["pool"])
        for name, n in report["counted"].items():
            counted[name] = counted.get(name, 0) + n
    print("asked for", counted, "largest pool %d bytes" % pool)
    for name, most in row.most:
        assert counted.get(name, 0) <= most, counted
    assert pool < row.pool, "a %d MB pool" % (pool >> 20)


def run_capture(s, row, ctx):
    """The whole file equal to the row's reference, copied by the row's
    protocol if it names one; and with valgrind, the optimised build's."""
    proxy, env = proxied(s, row)
    with proxy or contextlib.nullcontext():
        want = {"picture": lambda: ctx.picture, "tool": lambda: ctx.desktop.
                tool(s), "outputs": lambda: outputs_reference(s),
                "black": lambda: Image.new("RGB", row.size)}[row.reference]()
        check_capture(s, s.tusak, want, env, row.protocol, row.argv,
                      ignore=row.ignore)
        if "--shrink-fds" in row.proxy:  # refused: sealed
            report = proxy.reports()[0]
            assert report["sealed"] and not report["shrunk"], report
        if row.valgrind:
            assert ctx.release and os.path.exists(ctx.release), \
                "this row needs the optimised build (--release, cmake " \
                "--preset linux)"
            log = os.path.join(s.dir, "valgrind.log")
            check_capture(s, s.copy(ctx.release, "tusak-release"), want, env,
                          ignore=row.ignore, argv=[
                              "valgrind", "-q", "--error-exitcode=0",
                              "--log-file=" + log])
            with open(log) as f:
                report = f.read()
            assert report.strip() == "", report[-3000:]


def run_transforms(s, row, ctx):
    """A second output turned each way in turn, each against grim."""
    second = create_output(s)
    for transform in TRANSFORMS:
        turned = transform.endswith(("90", "270"))
        set_output(s, second, mode=(320, 240), pos=(SIZE[0], 0),
                   transform=transform, picture=pattern(
                       (240, 320) if turned else (320, 240), mark=(255, 0, 0)))
        try:
            check_capture(s, s.tusak, grim(s, "ppm"), protocol=row.protocol)
        except AssertionError as e:
            raise AssertionError("transform %s: %s" % (transform, e))


def run_no_picture(s, row, ctx):
    """No display system serves: the row's reason, no picture."""
    proxy, env = proxied(s, row)
    with proxy or contextlib.nullcontext():
        check_no_picture(s, s.tusak, row.why.format(env["WAYLAND_DISPLAY"]),
                         env, row.limit, argv=row.argv)
        if proxy:
            asked(proxy, row)


def run_copy_fails(s, row, ctx):
    """The copy fails: the line that says why, the copy's notice, a file
    of the screen's size; the time, and what the proxy saw asked for."""
    proxy, env = proxied(s, row)
    with proxy:
        status, lines, files, _ = run_tusak(s, s.tusak, env, limit=row.limit)
        asked(proxy, row)
    assert (status, lines) == (0, ["tusak: " + row.why.format(
        env["WAYLAND_DISPLAY"]), "Error: Screen to Compat Blt Failed"]), \
        (status, lines)
    assert files["tusak0000.bmp"].size == SIZE, files


def run_cuts(s, row, ctx):
    """tusak through a proxy that cuts the connection after a count of the
    compositor's bytes: whole, then cut at each fraction of a whole run.
    It goes on to the end: its file, and notices of the failed steps, after
    the lines that say why (each once), if no display system served."""
    proxy, env = proxied(s, row, always=True)
    with proxy:
        status, lines, files, _ = run_tusak(s, s.tusak, env)
        assert (status, lines) == (0, []), (status, lines)
        total = proxy.reports()[0]["s2c"]
    for fraction in row.args:
        cut = int(total * fraction)
        where = "cut at %d of %d bytes" % (cut, total)
        proxy, env = proxied(s, row, "--cut", cut)
        with proxy:
            status, lines, files, _ = run_tusak(s, s.tusak, env)
        assert status == 0, (where, status)
        try:
            said, _ = split(lines)
        except AssertionError as e:
            raise AssertionError("%s: %s" % (where, e))
        assert len(set(said)) == len(said), (where, lines)
        assert list(files) == ["tusak0000.bmp"], (where, list(files))


def run_remodes(s, row, ctx, plug=False):
    """Launches while the second output keeps changing its mode, or while
    outputs come and go (plug): each at once, with no notices, and the
    first output's part of the file as it is shown."""
    second = [n for n in outputs(s) if n != "HEADLESS-1"][0]
    stop = threading.Event()

    def remode():
        modes = [(480, 640), (600, 800)]
        while not stop.is_set():
            modes.reverse()
            try:
                if not plug:
                    command(s, "output %s mode %dx%d" % ((second,) +
                                                         modes[0]))
                    continue
                command(s, "create_output")
                for name in outputs(s):
                    if name not in ("HEADLESS-1", second):
                        command(s, "output %s unplug" % name)
            except RuntimeError:
                pass
    t = threading.Thread(target=remode)
    t.start()
    try:
        for i in range(row.args[0]):
            start = time.monotonic()
            status, lines, files, _ = run_tusak(s, s.tusak)
            took = time.monotonic() - start
            assert (status, lines) == (0, []), (i, status, lines)
            assert took < 4, (i, "took %.1f s" % took)
            got = files["tusak0000.bmp"].crop((0, 0) + SIZE)
            assert same(got, s.pictures["HEADLESS-1"]), \
                (i, "the first output's part differs")
    finally:
        stop.set()
        t.join()


def run_replugs(s, row, ctx):
    run_remodes(s, row, ctx, plug=True)
