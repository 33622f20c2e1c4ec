#!/usr/bin/python3
"""tusak on Wayland, one table row per case, each on a headless sway of its
own (session.py) showing a known picture.

Each row runs tusak as the session's user in a fresh directory and checks
the exit status, the notices on standard error, the files left, and the
pixels: against the picture itself, or against grim's capture of the layout
where outputs are turned or scaled. A proxy (../unix_proxy.py) between tusak
and sway cuts the connection part way, or hides capture protocols so that
tusak takes another path, as on GNOME or KDE: the real portal, or a
scripted one (scripted_portal.py) that hands back files of the row's making,
or a session bus that never answers. Rows marked root run current
compositors (sway, labwc, wayfire, cage) from Debian's testing archive, in a
root the suite makes once (session.make_root), and check in the protocol log
(WAYLAND_DEBUG) which capture protocol was used. A scripted KWin
(scripted_kwin.py) hands out pixels as KWin's ScreenShot2 does. Rows marked
desktop run real desktops headless instead of sway: GNOME 43 and KDE Plasma
5.27 (KWin), against their own screenshot tools, and from the testing
archive's root GNOME 50 (against its portal's own picture), Plasma 6's KWin
on Wayland, and KWin 6 on X11 (against spectacle).
Usage: wayland_test.py --list | --tusak PATH [--release PATH] CASE
(--release: the optimised build, for the row run under valgrind)
"""
import os, pwd, re, shutil, socket, struct, subprocess, sys, threading, \
    time, zlib

from PIL import Image

sys.path[:0] = [os.path.dirname(os.path.abspath(__file__)),
                os.path.dirname(os.path.dirname(os.path.abspath(__file__)))]
import session  # noqa: E402
from bmpcheck import EMPTY_BMP, NO_BITMAP, NOTICES, header_fault, \
    sanitizer_report  # noqa: E402
from unix_proxy import Proxy  # noqa: E402

SIZE = (1024, 768)
TRANSFORMS = ["90", "180", "270", "flipped", "flipped-90", "flipped-180",
              "flipped-270"]

EXT_GLOBALS = ["ext_image_copy_capture_manager_v1",
               "ext_output_image_capture_source_manager_v1"]
WLR_GLOBALS = ["zwlr_screencopy_manager_v1"]
# The requests that show which protocol copied the outputs.
USED = {"ext": re.compile(r"-> ext_image_copy_capture_frame_v1@\d+\.capture\("),
        "wlr": re.compile(r"-> zwlr_screencopy_frame_v1@\d+\.copy\(")}

# Runs the command after it with WAYLAND_SOCKET naming descriptor 7, a
# socket whose peer has gone.
SOCKET_GONE = ["/usr/bin/python3", "-c", "import os, socket, sys; p = socket."
               "socketpair(); os.dup2(p[0].fileno(), 7); p[1].close(); os."
               "execvpe(sys.argv[1], sys.argv[1:], dict(os.environ, "
               "WAYLAND_SOCKET='7'))"]

# layout: what is done to the outputs before the capture; reference: what
# the file must equal ("picture", "grim", "outputs": grim's capture of
# each output, placed, or "black" of the row's size); cut: the connection is cut at
# these fractions of a whole run's bytes from the compositor; portal: the
# desktop portal runs and tusak's connection hides screencopy; scripted: so
# does a scripted portal, in one of the ways of scripted_run; silent_bus: the
# session bus accepts and never answers; root: the
# compositor (sway unless named) comes from the testing archive's root;
# protocol: the one that must copy the outputs ("ext" or "wlr"); hide: the
# globals a proxy hides from tusak; proxy: its other options (events it
# rewrites, requests it answers or counts: unix_proxy.py); copy_fails: the
# copy fails, with this line (most: the most of each request counted; pool:
# the largest pool allowed); xwayland: Xwayland runs, in DISPLAY;
# why: no display system serves, and a reason says this ({} the display's
# name); limit: each run's bound (seconds, peak MB); cpu: its bound in CPU
# seconds (prlimit); valgrind: the
# optimised build also runs under valgrind; remode: launches while an
# output changes its mode without pause (plug: while outputs are added and
# removed); env: added to tusak's environment; argv: what runs tusak;
# flipping: that many launches against a scripted portal, with another
# user's link on the way to its file flipping without pause.
CASES = {
    "one_output": dict(reference="picture"),
    "rotated_second_output": dict(layout="rotated", reference="grim"),
    "every_transform": dict(layout="transforms", reference="grim"),
    "scale_2": dict(layout="scale2", reference="grim"),
    "compositor_gone": dict(cut=[0, 0.02, 0.3, 0.6, 0.99]),
    "portal": dict(portal=True, reference="picture"),
    "portal_existing_picture": dict(scripted="existing"),
    "portal_file_of_another_user": dict(scripted="planted"),
    "portal_symbolic_link": dict(scripted="link"),
    "portal_16_bit_png": dict(scripted="16-bit"),
    "portal_truncated_png": dict(scripted="truncated"),
    "portal_other_request_path": dict(scripted="other-path"),
    "portal_never_replies": dict(scripted="never-replies"),
    # A fresh text file of the user's named as the picture: left alone. A
    # PNG whose header claims far more than its data holds, or more than a
    # BMP holds: bounded by what came.
    "portal_not_a_png": dict(scripted="not-png"),
    "portal_png_bomb": dict(scripted="bomb"),
    "portal_png_beyond_bmp": dict(scripted="huge"),
    # The bomb's claim where a compositor told its outputs: refused. Text
    # chunks that inflate to 2.4 GB: read past, in a bounded CPU time.
    "portal_png_beyond_outputs": dict(scripted="beyond-outputs"),
    "portal_png_text_bomb": dict(scripted="text-bomb"),
    "session_bus_silent": dict(silent_bus=True),
    "portal_link_flipped_by_another_user": dict(flipping=24),
    # WAYLAND_SOCKET, stale, naming standard error: not taken, and the
    # compositor on WAYLAND_DISPLAY read; naming a socket whose peer has
    # gone: the reason names it. A compositor that cuts the pool short once
    # it has copied into it: refused, the seal holds.
    "socket_naming_stderr": dict(env={"WAYLAND_SOCKET": "2"},
                                 reference="picture"),
    "socket_peer_gone": dict(argv=SOCKET_GONE,
                             why="WAYLAND_SOCKET=7 does not answer"),
    "pool_shrunk_by_compositor": dict(
        proxy=["--shrink-fds", "zwlr_screencopy_frame_v1.ready"],
        reference="picture"),
    # Layouts saved whole: far wider than 32,767 px, more than 16 outputs;
    # past what a BMP holds, a reason and no picture.
    "far_right_output": dict(layout="far_right", reference="outputs"),
    "seventeen_outputs": dict(layout="seventeen", reference="grim"),
    "layout_beyond_bmp": dict(layout="beyond", why="larger than a BMP"),
    # Outputs of 1 x 20000 announced from right to left, in a bounded CPU
    # time: a thousand saved (black: nothing draws them), 1,025 refused.
    "thousand_outputs_right_to_left": dict(
        proxy=["--outputs", "1000,1,20000"], reference="black",
        size=(1000, 20000), cpu=10),
    "outputs_past_1024": dict(proxy=["--outputs", "1025,1,20000"], cpu=10,
                              why="announces more than 1024 outputs"),
    # An output at the edge of 32-bit coordinates: saved; a second one
    # there: past what a BMP holds.
    "output_at_int_edge": dict(
        proxy=["--rewrite", "zxdg_output_v1.logical_position=2147483600,0"],
        reference="picture"),
    "second_output_at_int_edge": dict(
        layout="far_right",
        proxy=["--rewrite", "zxdg_output_v1#2.logical_position=2147483600,0"],
        why="is larger than a BMP file holds"),
    # Outputs that overlap exactly as much as they leave uncovered: the
    # gaps still black, and nothing uninitialised written.
    "overlapping_outputs": dict(layout="overlap", reference="grim",
                                valgrind=True,
                                ignore=(SIZE[0] - 220, 0, SIZE[0], 240)),
    # An output re-moded again and again meanwhile (sway 1.12 then fails
    # frames): every launch at once, whole.
    "forky_sway_remoded_during_capture": dict(root=True, layout="rotated",
                                              remode=30),
    "forky_sway_outputs_come_and_go": dict(root=True, layout="rotated",
                                           remode=30, plug=True),
    # Current compositors: the standard protocol where offered.
    "forky_sway": dict(root=True, reference="grim", protocol="ext"),
    "forky_sway_rotated": dict(root=True, layout="rotated", reference="grim",
                               protocol="ext"),
    "forky_sway_every_transform": dict(root=True, layout="transforms",
                                       reference="grim", protocol="ext"),
    "forky_sway_scale_2": dict(root=True, layout="scale2", reference="grim",
                               protocol="ext"),
    "forky_labwc": dict(root=True, compositor="labwc", reference="grim",
                        protocol="ext"),
    "forky_wayfire": dict(root=True, compositor="wayfire", reference="grim",
                          protocol="wlr"),
    "forky_cage": dict(root=True, compositor="cage", reference="grim",
                       protocol="wlr"),
    # Rows of a stride that is no whole number of pages, over several
    # strips of the fetch, beside a first output whose rows are whole pages.
    "forky_sway_odd_width": dict(root=True, layout="odd_width",
                                 reference="grim", protocol="ext",
                                 valgrind=True),
    "forky_sway_hidden_ext": dict(root=True, layout="rotated",
                                  reference="grim", protocol="wlr",
                                  hide=EXT_GLOBALS),
    # Image copy capture alone, lying: a buffer far larger than the output
    # (a larger pool is cut off, or sway would hold each), or every frame
    # failed.
    "forky_sway_absurd_buffer": dict(
        root=True, hide=WLR_GLOBALS, proxy=[
            "--rewrite",
            "ext_image_copy_capture_session_v1.buffer_size=20000,20000",
            "--max-pool", 150 << 20],
        copy_fails="{}: the compositor asks for a 20000 x 20000 buffer for "
                   "a 1024 x 768 output", limit=(2, 150), pool=150 << 20),
    "forky_sway_every_frame_fails": dict(
        root=True, hide=WLR_GLOBALS, proxy=[
            "--answer", "ext_image_copy_capture_frame_v1.capture=failed:0",
            "--count", "ext_image_copy_capture_session_v1.create_frame",
            "--count", "wl_shm.create_pool"],
        copy_fails="{}: every frame failed for 5 s", limit=(7.5, None),
        most={"ext_image_copy_capture_session_v1.create_frame": 150,
              "wl_shm.create_pool": 3}),
    # Neither protocol nor portal, and Xwayland in DISPLAY: no X11 tried.
    "forky_xwayland_no_capture": dict(
        root=True, xwayland=True, hide=EXT_GLOBALS + WLR_GLOBALS,
        why="offers no screen capture protocol"),
    # A scripted KWin: every pixel format it may use, rows padded past the
    # pixels; all pixels written before its reply (read while it writes,
    # or it never replies); refused, short of a pixel, or in a format that
    # cannot be read: the desktop portal then takes over, unsaid.
    "kwin_every_format": dict(kwin=["--pad", "12"]),
    "kwin_writes_before_reply": dict(kwin=["--write-first"], big=True),
    "kwin_refuses": dict(kwin=["--refuse"], portal=True),
    "kwin_pixels_short": dict(kwin=["--short"], portal=True),
    "kwin_unknown_format": dict(kwin=["--formats", "3"], portal=True),
    # KWin's pipe: bytes past the picture without end, or with no reply;
    # held open once the picture is in. Replies of no pixels, of rows 4 GB
    # apart, of a PNG: each said. No portal: the reasons show.
    "kwin_streams_past_picture": dict(kwin=["--pad", "12", "--stream-after"],
                                      limit=(3, 150)),
    "kwin_streams_without_reply": dict(
        kwin=["--stream-no-reply"], why="KWin: no screenshot within 10 s",
        limit=(17, 400)),
    "kwin_holds_pipe_open": dict(kwin=["--hold-open"], limit=(3, None)),
    "kwin_no_width": dict(kwin=["--size", "0x48"],
                          why="KWin: the workspace has no pixels (0 x 48)"),
    "kwin_rows_far_apart": dict(
        kwin=["--stride", "4294967295"],
        why="KWin: rows 4294967295 bytes apart are more than a screenshot "
            "holds"),
    "kwin_png_reply": dict(
        kwin=["--type", "png"],
        why="KWin: the picture came as png, not as raw pixels"),
    # Real desktops. GNOME: its portal, against gnome-screenshot; with the
    # permission refused, a prompt failure. Plasma: the installed tusak
    # reads KWin's own interface and never asks the portal; a copy that is
    # not installed (no desktop entry) goes through the portal.
    "gnome": dict(desktop="gnome"),
    "gnome_refused": dict(desktop="gnome", permission="no"),
    "plasma_kwin": dict(desktop="plasma", installed=True),
    "plasma_portal": dict(desktop="plasma", installed=False),
    "plasma_kwin_two_screens_scale_2": dict(desktop="plasma", installed=True,
                                            outputs=2, scale=2),
    # Plasma 6's KWin, from the testing archive's root: its desktop-entry
    # check lets the installed tusak in and keeps a copy out.
    "forky_plasma6_kwin": dict(desktop="plasma6"),
    # GNOME 50, from the testing archive's root: its portal, against the
    # portal's own picture (its shell refuses gnome-screenshot); on two
    # monitors; refused.
    "forky_gnome50": dict(desktop="gnome50"),
    "forky_gnome50_two_monitors": dict(desktop="gnome50", more=[(800, 600)]),
    "forky_gnome50_refused": dict(desktop="gnome50", permission="no"),
    # KWin 6 on X11 (Xvfb, OpenGL on Mesa's llvmpipe) serves the ScreenShot2
    # its Wayland session serves, with real pixels: the installed tusak,
    # sent there by a Wayland session with no socket behind it, reads them
    # as spectacle does; a copy is refused.
    "forky_plasma6_pixels": dict(desktop="kwin_x11", depth=24),
    "forky_plasma6_pixels_16_bit": dict(desktop="kwin_x11", depth=16),
}
# The scripted portal's pictures: not the desktop's, so that the file shows
# it was read.
SCRIPTED_SIZE = (320, 200)
# A bus or portal that says nothing is given up after 5 s; the run may take
# a little longer on a busy machine, never sd-bus's own 25-90 s.
SILENT_LIMIT = 7.5
# What each desktop's rows need; a row is skipped (status 77) only when one
# is missing, as on a machine without scripts/install-deps' packages.
NEEDS = {"gnome": ["gnome-shell", "gnome-screenshot",
                   "/usr/libexec/xdg-desktop-portal-gnome"],
         "plasma": ["kwin_wayland", "spectacle", "Xwayland", "display",
                    "xwininfo", "dbus-monitor",
                    "/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde"],
         "plasma6": ["swaybg", "debootstrap", "dbus-daemon"],
         "gnome50": ["debootstrap", "gdbus"],
         "kwin_x11": ["debootstrap", "dbus-daemon", "Xvfb", "display",
                      "xwininfo", "dbus-monitor"]}
SKIP = 77
# How long each launch of the row took (s), told when it passes.
LAUNCHES = []


# Runs argv[2:], then writes its peak resident memory (kB) in argv[1]: a
# small process of its own, as a process's peak counts the memory of the
# process it was forked from.
PEAK = """import os, sys
pid = os.fork()
if not pid:
    os.execvp(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
open(sys.argv[1], "w").write(str(usage.ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status) & 255)"""


def run_tusak(s, tusak, env=None, protocol=None, argv=(), limit=None):
    """One run in a fresh directory: (exit status, notices, files, the
    file's header). With protocol, the run logs its messages and must have
    copied the outputs through that protocol, and only that one. With limit
    (seconds, MB; None for no bound), it must end within that time, its peak
    resident memory within that size. A sanitizer's report fails it."""
    work = s.workdir()
    env = dict(env or s.env)
    if protocol:
        env["WAYLAND_DEBUG"] = "client"
    peak_file = os.path.join(s.dir, "peak")
    start = time.monotonic()
    r = s.run([sys.executable, "-S", "-c", PEAK, peak_file] + list(argv) +
              [tusak], cwd=work, env=env, timeout=120)
    took = time.monotonic() - start
    LAUNCHES.append(took)
    with open(peak_file) as f:
        peak = int(f.read()) / 1024
    err = r.stderr
    lines = err.decode(errors="replace").splitlines()
    log = [l for l in lines if protocol and re.match(r"\[\s*\d+\.\d+\]", l)]
    lines = [l for l in lines if l not in log]
    print("ran %.2f s, peak %.0f MB, stderr %r" % (took, peak, lines[:30]))
    report = sanitizer_report(err)
    assert not report, "a sanitizer's report:\n" + report
    if limit:
        assert took < limit[0], "took %.2f s, want < %g" % (took, limit[0])
        assert limit[1] is None or peak < limit[1], \
            "peak memory %.0f MB, want < %d" % (peak, limit[1])
    if protocol:
        for name, used in USED.items():
            hit = any(used.search(l) for l in log)
            assert hit == (name == protocol), (name, "used" if hit else
                                               "not used", log[-20:])
    files = {n: picture(os.path.join(work, n)) for n in os.listdir(work)}
    with open(os.path.join(work, "tusak0000.bmp"), "rb") as f:
        header = f.read(54)
    return r.returncode, lines, files, header


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


def check_capture(s, tusak, want, env=None, protocol=None, argv=(),
                  ignore=None, limit=None):
    """A whole file equal to want, but for the box ignore (where which of
    two outputs shows is the compositor's choice)."""
    status, notices, files, header = run_tusak(s, tusak, env, protocol, argv,
                                               limit)
    assert status == 0, status
    assert notices == [], notices
    assert list(files) == ["tusak0000.bmp"], list(files)
    want = want.convert("RGB")
    # A 32-bit bottom-up bitmap, as written.
    fault = header_fault(header, want.width, want.height, 32)
    assert not fault, fault
    got = files["tusak0000.bmp"]
    if ignore:
        want = want.copy()
        for image in (got, want):
            image.paste((0, 0, 0), ignore)
    assert got.size == want.size, (got.size, want.size)
    if got.tobytes() != want.tobytes():
        diff = [(x, y) for y in range(got.height) for x in range(got.width)
                if got.getpixel((x, y)) != want.getpixel((x, y))]
        raise AssertionError("%d pixels differ, first at %s: %s, want %s" % (
            len(diff), diff[0], got.getpixel(diff[0]),
            want.getpixel(diff[0])))


def no_screencopy(s):
    """A proxy to the session's compositor that hides both capture
    protocols, and the environment that has tusak use it."""
    target = os.path.join(s.runtime, s.env["WAYLAND_DISPLAY"])
    listen = os.path.join(s.runtime, "wayland-no-screencopy")
    hide = sum((["--hide-global", g] for g in EXT_GLOBALS + WLR_GLOBALS), [])
    proxy = Proxy(listen, target, *hide, workdir=s.workdir(),
                  run_as=s.as_user, env=s.env)
    return proxy, dict(s.env, WAYLAND_DISPLAY="wayland-no-screencopy")


# The formats KWin may hand out (QImage::Format numbers).
KWIN_FORMATS = [4, 5, 6, 13, 16, 17, 18, 19, 20, 21, 22, 25, 26, 27, 29]


def kwin_run(s, tusak, row, desktop):
    """tusak against a scripted KWin, screencopy hidden; with the desktop
    portal also running if the row says so, or else, where the row gives
    why, no picture and that reason."""
    size = (800, 600) if row.get("big") else SCRIPTED_SIZE
    picture = session.pattern(size, mark=(0, 255, 0))
    args = row["kwin"]
    formats = [4] if "--formats" in args or "why" in row else KWIN_FORMATS
    if row.get("portal"):
        s.start_portal()
    s.start_scripted_kwin(s.put("kwin-src.png", picture), "--formats",
                          ",".join(map(str, formats)), *args)
    proxy, env = no_screencopy(s)
    with proxy:
        if "why" in row:
            check_no_picture(s, tusak, row["why"], env, row.get("limit"))
            return
        for i, fmt in enumerate(formats):
            try:
                # Served by KWin, or when it fails, by the portal: the
                # desktop, with nothing said.
                check_capture(s, tusak, desktop if row.get("portal")
                              else picture, env,
                              limit=row.get("limit", (SILENT_LIMIT, None)))
            except AssertionError as e:
                raise AssertionError("format %d: %s" % (fmt, e))
            calls = s.log("kwin.log").count("call ")
            assert calls == i + 1, "KWin asked %d times" % calls


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


def write_png(path, size, rows, depth=8):
    """An RGB PNG whose header says size, its data the rows given (each
    with its filter byte), which may be fewer than the header's."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + \
            struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" +
                chunk(b"IHDR", struct.pack(">IIBBBBB", *size, depth, 2, 0, 0,
                                           0)) +
                chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) +
                chunk(b"IEND", b""))
    os.chmod(path, 0o644)


# A PNG bomb: a header of BOMB x BOMB pixels (2 GB as a BMP), with the data
# of four rows, each of five colours in turn, shifted a pixel a row.
BOMB = 23170
BOMB_ROWS = [b"\0" + b"".join(bytes((c * 60, 250 - c * 50, 40 + c * 30))
                              for c in [(i + y) % 5 for i in range(5)]) *
             (BOMB // 5) for y in range(4)]


def split_stderr(lines):
    """(why lines, notices) of a failed run, checked to come in that order
    and the notices to be known ones."""
    why = [n for n in lines if n.startswith("tusak: ")]
    notices = lines[len(why):]
    assert lines[:len(why)] == why, lines
    assert notices and all(n.startswith("Error: ") and n[7:] in NOTICES
                           for n in notices), lines
    return why, notices


def scripted_run(s, tusak, kind):
    """tusak against a scripted portal that answers as kind says."""
    picture = session.pattern(SCRIPTED_SIZE, mark=(0, 255, 0))
    shared = os.path.join(s.dir, "shared")  # like /tmp: anyone may write
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    out = os.path.join(shared, "out.png")
    src = os.path.join(s.dir, "portal-src.png")
    args = ["--uri", out]
    if kind in ("existing", "link"):
        # A picture of the user's, from yesterday, handed back as it is, or
        # a link to it.
        pictures = os.path.join(s.home, "Pictures")
        os.mkdir(pictures)
        out = os.path.join(pictures, "holiday 1.png")
        picture.save(out)
        s._chown(pictures, out)
        os.utime(out, (time.time() - 86400,) * 2)
        if kind == "link":
            target, out = out, os.path.join(pictures, "latest.png")
            os.symlink(target, out)
            os.lchown(out, s.user.pw_uid, s.user.pw_gid)
        args = ["--uri", out]
    elif kind == "planted":
        # Another user's file where the portal writes, in a shared folder.
        session.pattern(SCRIPTED_SIZE, mark=(255, 0, 255)).save(out)
        nobody = pwd.getpwnam("nobody")
        os.chown(out, nobody.pw_uid, nobody.pw_gid)
        os.chmod(out, 0o666)
    elif kind == "16-bit":
        png16(picture, src)
        args += ["--write", src]
    elif kind == "truncated":
        # Stored rows (no compression), cut half way through.
        picture.save(src, compress_level=0)
        with open(src, "rb") as f:
            data = f.read()
        with open(src, "wb") as f:
            f.write(data[:len(data) // 2])
        args += ["--write", src]
    elif kind == "other-path":
        # An older portal's own request path, its answer sent even before
        # the call's reply.
        picture.save(src)
        args += ["--write", src, "--request-path", "other", "--answer-first"]
    elif kind == "never-replies":
        args += ["--never-reply"]
    elif kind == "not-png":
        # A text file of the user's, written just after the request.
        out = os.path.join(s.home, "notes.txt")
        with open(src, "w") as f:
            f.write("milk, bread, a new pen\n")
        args = ["--uri", out, "--write", src]
    elif kind in ("bomb", "beyond-outputs", "huge"):
        write_png(src, (BOMB,) * 2 if kind != "huge" else (32767,) * 2,
                  BOMB_ROWS if kind != "huge" else [bytes(1 + 32767 * 3)])
        args += ["--write", src]
    elif kind == "text-bomb":
        # 300 zTXt chunks after the header, each of 7.9 MB of zeros.
        picture.save(src)
        text = b"Comment\0\0" + zlib.compress(bytes(7900000), 9)
        chunk = struct.pack(">I", len(text)) + b"zTXt" + text + \
            struct.pack(">I", zlib.crc32(b"zTXt" + text))
        data = open(src, "rb").read()
        open(src, "wb").write(data[:33] + chunk * 300 + data[33:])
        args += ["--write", src]
    before = open(out, "rb").read() if os.path.exists(out) else None
    before_stat = os.stat(out) if before else None
    s.start_scripted_portal(*args)
    proxy, env = no_screencopy(s)
    if kind == "bomb":  # no compositor, whose outputs would bound it
        env["WAYLAND_DISPLAY"] = "wayland-gone"
    with proxy:
        status, lines, files, _ = run_tusak(s, tusak, env, limit={
            "never-replies": (SILENT_LIMIT, None), "bomb": (3, 150),
            "huge": (2, 150)}.get(kind), argv=["prlimit", "--cpu=5"]
            if kind == "text-bomb" else ())
    assert status == 0, status
    assert list(files) == ["tusak0000.bmp"], list(files)
    got = files["tusak0000.bmp"]

    if kind == "existing":
        # Read, and left as it was, with a word on why it stays.
        assert lines == ["tusak: desktop portal: %s left in place: older "
                         "than the request" % out], lines
        assert got.tobytes() == picture.tobytes(), "wrong picture"
        assert open(out, "rb").read() == before, "picture changed"
        assert os.stat(out).st_mtime == before_stat.st_mtime
    elif kind == "link":
        # Not followed, not removed: no screenshot.
        why, _ = split_stderr(lines)
        assert "tusak: desktop portal: cannot open %s (a symbolic link)" % out \
            in why, why
        assert got is None, "a screenshot through a link"
        assert os.path.islink(out) and open(out, "rb").read() == before
    elif kind == "planted":
        # Not read, not removed: no screenshot.
        why, _ = split_stderr(lines)
        assert any(out in w and "refused: it belongs to another user" in w
                   for w in why), why
        assert got is None, "a screenshot from another user's file"
        assert open(out, "rb").read() == before, "planted file changed"
    elif kind in ("16-bit", "text-bomb"):
        assert lines == [], lines
        want = Image.open(src) if kind == "16-bit" else picture
        assert want.mode == "RGB", want.mode  # Pillow's 8 bits of 16
        assert got.size == want.size, got.size
        if got.tobytes() != want.tobytes():
            diff = [(x, y) for y in range(got.height)
                    for x in range(got.width)
                    if got.getpixel((x, y)) != want.getpixel((x, y))]
            raise AssertionError("%d pixels differ, first at %s: %s, want %s"
                                 % (len(diff), diff[0], got.getpixel(diff[0]),
                                    want.getpixel(diff[0])))
        assert not os.path.exists(out), "the portal's file left"
    elif kind in ("truncated", "bomb"):
        # The rows that came, each whole, and no more; a word on the rest,
        # no notice.
        w, h = (BOMB,) * 2 if kind == "bomb" else picture.size
        said = re.fullmatch(r"tusak: desktop portal: the picture is "
                            r"incomplete \(.+\); (\d+) of %d rows came" % h,
                            lines[0]) if len(lines) == 1 else None
        assert said, lines
        kept = int(said.group(1))
        assert got and got.size == (w, kept), (got and got.size, kept)
        want = Image.frombytes("RGB", (w, 4), b"".join(
            r[1:] for r in BOMB_ROWS)) if kind == "bomb" else \
            picture.crop((0, 0, w, kept))
        assert got.tobytes() == want.tobytes(), "the rows differ"
        # Half the stored rows came; libpng reads in blocks of 8 KB.
        if kind == "truncated":
            assert h // 2 - 12 <= kept <= h // 2, (kept, h)
            assert not os.path.exists(out), "the portal's file left"
    elif kind == "not-png":
        # Refused, and left as it was: it is the user's.
        assert os.path.exists(out) and \
            open(out, "rb").read() == open(src, "rb").read(), \
            "the user's file is gone or changed"
        why, notices = split_stderr(lines)
        assert "tusak: desktop portal: %s: not a PNG file" % out in why, why
        assert notices == ["Error: " + n for n in NO_BITMAP], notices
        assert got is None, "a picture from a text file"
    elif kind in ("huge", "beyond-outputs"):
        why, notices = split_stderr(lines)
        assert "tusak: desktop portal: the picture, %s" % (
            "32767 x 32767 pixels, is larger than a BMP file holds"
            if kind == "huge" else "%d x %d pixels, is larger than the "
            "desktop's outputs (%d x %d)" % ((BOMB, BOMB) + SIZE)) in why, why
        assert notices == ["Error: " + n for n in NO_BITMAP], notices
        assert got is None, "a picture"
    elif kind == "other-path":
        assert lines == [], lines
        assert got.tobytes() == picture.tobytes(), "wrong picture"
        assert not os.path.exists(out), "the portal's file left"
    elif kind == "never-replies":
        why, _ = split_stderr(lines)
        assert any(w.startswith("tusak: desktop portal: Screenshot call "
                                "failed") for w in why), why


def silent_bus_run(s, tusak):
    """tusak against a session bus that accepts and never answers."""
    path = os.path.join(s.runtime, "bus-silent")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    os.chmod(path, 0o777)
    listener.listen(8)
    held = []

    def accept():
        try:
            while True:
                held.append(listener.accept()[0])
        except OSError:
            pass
    threading.Thread(target=accept, daemon=True).start()
    proxy, env = no_screencopy(s)
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + path
    try:
        with proxy:
            start = time.monotonic()
            status, lines, files, _ = run_tusak(s, tusak, env)
            elapsed = time.monotonic() - start
    finally:
        listener.close()
        for c in held:
            c.close()
    assert held, "tusak never connected to the bus"
    assert status == 0, status
    why, _ = split_stderr(lines)
    assert "tusak: session bus: no answer within 5 s" in why, why
    assert list(files) == ["tusak0000.bmp"], list(files)
    assert elapsed < SILENT_LIMIT, "took %.1f s" % elapsed
    print("silent bus: %.2f s, stderr %r" % (elapsed, lines))


def flipping_run(s, tusak, launches):
    """Launches against a scripted portal that names its file through
    another user's link (flipping_user.py) to its folder or to one of the
    user's with a text file of that name: each reads one, removes only the
    portal's, and leaves the user's."""
    picture = session.pattern(SCRIPTED_SIZE, mark=(0, 255, 0))
    shared = os.path.join(s.dir, "shared")
    portal, notes = (os.path.join(s.home, n) for n in ("portal", "notes"))
    for d in (shared, portal, notes):
        os.mkdir(d)
    os.chmod(shared, 0o1777)
    with open(os.path.join(notes, "out.png"), "w") as f:
        f.write("milk, bread\n")
    s._chown(portal, notes, f.name)
    shutil.copy(os.path.join(os.path.dirname(__file__), "flipping_user.py"),
                s.dir)
    flipper = subprocess.Popen([
        "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
        "/usr/bin/python3", os.path.join(s.dir, "flipping_user.py"),
        os.path.join(shared, "pics"), portal, notes])
    try:
        session.wait_for(lambda: os.path.islink(shared + "/pics"), 10, "link")
        s.start_scripted_portal(
            "--uri", shared + "/pics/out.png", "--made-at", portal + "/out.png",
            "--write", s.put("portal-src.png", picture))
        proxy, env = no_screencopy(s)
        with proxy:
            runs = [run_tusak(s, tusak, env)[:3] for _ in range(launches)]
    finally:
        flipper.kill()
        flipper.wait()
    for i, (status, lines, files) in enumerate(runs):
        got = files["tusak0000.bmp"]  # else the user's: not a picture
        assert status == 0 and ((lines, got.tobytes()) == (
            [], picture.tobytes()) if got else any(l.endswith(
                "out.png: not a PNG file") for l in lines)), (i, status, lines)
    assert any(r[2]["tusak0000.bmp"] for r in runs), "the portal's never read"
    assert open(f.name).read() == "milk, bread\n", "the user's file changed"


def lay_out(s, layout):
    """Changes the outputs as the row says."""
    if layout == "rotated":
        second = s.create_output()
        s.set_output(second, mode=(640, 480), pos=(SIZE[0], 0), transform=90,
                     picture=session.pattern((480, 640), mark=(255, 0, 0)))
    elif layout == "odd_width":
        second = s.create_output()
        s.set_output(second, mode=(1000, 700), pos=(SIZE[0], 0),
                     picture=session.pattern((1000, 700), mark=(255, 0, 0)))
    elif layout == "scale2":
        s.set_output("HEADLESS-1", scale=2)
    elif layout in ("far_right", "beyond"):
        second = s.create_output()
        pos = (40000, 0) if layout == "far_right" else (0, 70000)
        s.set_output(second, mode=(320, 240), pos=pos,
                     picture=session.pattern((320, 240), mark=(255, 0, 0)))
    elif layout == "seventeen":
        for i in range(16):
            name = s.create_output()
            s.set_output(name, mode=(160, 120), pos=(SIZE[0] + 160 * i, 0),
                         picture=session.pattern((160, 120),
                                                 mark=(i * 16, 255, 0)))
    elif layout == "overlap":
        # Overlap 220 x 240 = gap (320 - 220) x (768 - 240): the area of
        # the boxes equals their bounding box's. Where they overlap, the
        # second output shows the first's background.
        second = s.create_output()
        s.set_output(second, mode=(320, 240), pos=(SIZE[0] - 220, 0))
        pic = session.pattern((320, 240), mark=(255, 0, 0))
        s.command("output %s bg %s fill" % (second, s.put("overlap.png", pic)))
        own = (220, 0, 320, 240)
        session.wait_for(lambda: session.same(
            s.grim(output=second).crop(own), pic.crop(own)), 20,
            "the background of " + second)


def outputs_reference(s):
    """The layout from grim's capture of each output, placed where sway
    says it is: for layouts wider than grim composes whole (pixman's
    coordinates stop at 32,767)."""
    outputs = list(s.outputs().values())
    width = max(o["rect"]["x"] + o["rect"]["width"] for o in outputs)
    height = max(o["rect"]["y"] + o["rect"]["height"] for o in outputs)
    image = Image.new("RGB", (width, height))
    for o in outputs:
        image.paste(s.grim("ppm", output=o["name"]).convert("RGB"),
                    (o["rect"]["x"], o["rect"]["y"]))
    return image


def cut_runs(s, tusak, fractions):
    """tusak through a proxy that cuts the connection after a count of the
    compositor's bytes: whole, then cut at each fraction of a whole run."""
    target = os.path.join(s.runtime, s.env["WAYLAND_DISPLAY"])
    env = dict(s.env, WAYLAND_DISPLAY="wayland-cut")
    listen = os.path.join(s.runtime, "wayland-cut")
    with Proxy(listen, target, workdir=s.workdir(), run_as=s.as_user,
               env=s.env) as p:
        status, notices, files, _ = run_tusak(s, tusak, env)
        assert (status, notices) == (0, []), (status, notices)
        total = p.reports()[0]["s2c"]
    for fraction in fractions:
        cut = int(total * fraction)
        with Proxy(listen, target, "--cut", cut, workdir=s.workdir(),
                   run_as=s.as_user, env=s.env):
            status, notices, files, _ = run_tusak(s, tusak, env)
        where = "cut at %d of %d bytes" % (cut, total)
        # It goes on to the end: its file, and notices of the failed steps,
        # after the lines that say why, if no display system served.
        assert status == 0, (where, status)
        why = [n for n in notices if n.startswith("tusak: ")]
        errors = notices[len(why):]
        assert notices[:len(why)] == why, (where, notices)
        assert errors and all(n.startswith("Error: ") and n[7:] in NOTICES
                              for n in errors), (where, notices)
        assert len(set(why)) == len(why), (where, notices)
        assert list(files) == ["tusak0000.bmp"], (where, list(files))


def check_no_picture(s, tusak, why, env, limit=None, argv=()):
    """No display system serves: the reasons, then the notices of a grab
    without a bitmap, and no file of the screen's size (nothing read from
    elsewhere)."""
    status, notices, files, header = run_tusak(s, tusak, env, argv=argv,
                                               limit=limit)
    assert status == 0, status
    reasons = [n for n in notices if n.startswith("tusak: ")]
    assert reasons and notices[:len(reasons)] == reasons, notices
    assert any(why in n for n in reasons), (why, notices)
    assert notices[len(reasons):] == ["Error: " + n for n in NO_BITMAP], \
        notices
    # The file holds a header and no pixels.
    assert list(files) == ["tusak0000.bmp"], list(files)
    assert files["tusak0000.bmp"] is None, "a picture was saved"
    return reasons


def asked(proxy):
    """What the proxy's clients asked for: ({request: count}, the largest
    shm pool's bytes)."""
    counted, pool = {}, 0
    for report in proxy.reports():
        pool = max(pool, report["pool"])
        for name, n in report["counted"].items():
            counted[name] = counted.get(name, 0) + n
    print("asked for", counted, "largest pool %d bytes" % pool)
    return counted, pool


def check_copy_fails(s, tusak, env, proxy, row):
    """The copy fails: the line that says why, the copy's notice, a file
    of the screen's size; the time, and what the proxy saw asked for."""
    status, notices, files, _ = run_tusak(s, tusak, env, limit=row["limit"])
    counted, pool = asked(proxy)
    assert status == 0, status
    assert notices == ["tusak: " + row["copy_fails"].format(
        env["WAYLAND_DISPLAY"]), "Error: Screen to Compat Blt Failed"], notices
    assert files["tusak0000.bmp"].size == SIZE, files
    for name, most in row.get("most", {}).items():
        assert counted.get(name, 0) <= most, counted
    assert pool < row.get("pool", 1 << 31), "a %d MB pool" % (pool >> 20)


def check_valgrind(s, release, want, env=None, ignore=None):
    """The optimised build under valgrind: no error, and the same file."""
    own = os.path.join(s.dir, "tusak-release")
    shutil.copy(release, own)
    os.chmod(own, 0o755)
    log = os.path.join(s.dir, "valgrind.log")
    check_capture(s, own, want, env=env, ignore=ignore, argv=[
        "valgrind", "-q", "--error-exitcode=0", "--log-file=" + log])
    with open(log) as f:
        report = f.read()
    assert report.strip() == "", report[-3000:]


def remode_runs(s, tusak, runs, plug=False):
    """Launches while the second output keeps changing its mode, or while
    outputs come and go (plug): each at once, with no notices, and the
    first output's part of the file as it is shown."""
    second = [n for n in s.outputs() if n != "HEADLESS-1"][0]
    stop = threading.Event()

    def remode():
        modes = [(480, 640), (600, 800)]
        while not stop.is_set():
            modes.reverse()
            try:
                if not plug:
                    s.command("output %s mode %dx%d" % ((second,) + modes[0]))
                    continue
                s.command("create_output")
                for name in s.outputs():
                    if name not in ("HEADLESS-1", second):
                        s.command("output %s unplug" % name)
            except RuntimeError:
                pass
    t = threading.Thread(target=remode)
    t.start()
    try:
        for i in range(runs):
            start = time.monotonic()
            status, notices, files, _ = run_tusak(s, tusak)
            took = time.monotonic() - start
            assert (status, notices) == (0, []), (i, status, notices)
            assert took < 4, (i, "took %.1f s" % took)
            got = files["tusak0000.bmp"].crop((0, 0) + SIZE)
            assert session.same(got, s.pictures["HEADLESS-1"]), \
                (i, "the first output's part differs")
    finally:
        stop.set()
        t.join()


def check_notices_only(status, notices, files, why):
    """A run where no display system served: the why lines, then the
    notices of a grab without a bitmap, and the empty file."""
    assert status == 0, status
    assert notices == ["tusak: " + w for w in why] + [
        "Error: " + n for n in NO_BITMAP], notices
    assert list(files) == ["tusak0000.bmp"] and \
        files["tusak0000.bmp"] is None, files


def calls(s, log):
    """The method calls dbus-monitor saw: (interface, member) pairs."""
    found = []
    for line in s.log(log, 10 ** 7).splitlines():
        if line.startswith("method call"):
            fields = dict(f.rstrip(";").split("=", 1)
                          for f in line.split() if "=" in f)
            found.append((fields.get("interface"), fields.get("member")))
    return found


def rgb(image):
    return image.convert("RGB").tobytes()


def rgb565(image):
    """image's pixels as a 16-bit screen holds them (5, 6 and 5 bits)."""
    return image.convert("RGB").point(
        [v >> 3 for v in range(256)] + [v >> 2 for v in range(256)] +
        [v >> 3 for v in range(256)]).tobytes()


def matching(s, launch, reference, tries=3, retry_failed=False, pixels=rgb):
    """launch()'s capture (run_tusak's result), checked against reference()
    taken right after it (their pixels(), by default the RGB bytes); the
    pair is taken again (up to tries times) if only the pictures differ, as
    the desktop's clock may have moved on in between, and if retry_failed,
    once if the launch failed."""
    for attempt in range(tries):
        status, notices, files, header = launch()
        if notices and retry_failed:
            retry_failed = False
            print("retried: a launch failed:", notices)
            status, notices, files, header = launch()
        assert (status, notices) == (0, []), (status, notices)
        want = reference()
        try:
            got = files["tusak0000.bmp"]
            assert got is not None and got.size == want.size and \
                pixels(got) == pixels(want), "differs from the reference"
            return got
        except AssertionError:
            if attempt == tries - 1:
                raise
            print("retried: the pictures differed (attempt %d)" % attempt)


def run_desktop(case, row, tusak):
    """A row on a real desktop (GNOME or KDE Plasma, headless)."""
    missing = [n for n in NEEDS[row["desktop"]] if not shutil.which(n)]
    if missing:
        print("skipped: not installed:", " ".join(missing))
        sys.exit(SKIP)
    if row["desktop"] == "plasma6":
        return run_plasma6(tusak)
    if row["desktop"] == "kwin_x11":
        return run_kwin_x11(tusak, row["depth"])
    gnome50 = row["desktop"] == "gnome50"
    s = session.Session(root=session.make_root(
        packages=session.FORKY_GNOME)[0] if gnome50 else None)
    try:
        own = os.path.join(s.dir, "tusak")
        shutil.copy(tusak, own)
        os.chmod(own, 0o755)
        if row["desktop"].startswith("gnome"):
            more = row.get("more", [])
            s.start_gnome(SIZE, timeout=300, more=more)
            if row.get("permission"):
                s.set_permission(row["permission"])
                started = time.monotonic()
                status, notices, files, _ = run_tusak(s, own)
                took = time.monotonic() - started
                # Refused: said at once, and X11 (which Xwayland would
                # serve with a black screen) is not tried.
                check_notices_only(status, notices, files, [
                    s.env["WAYLAND_DISPLAY"] +
                    " offers no screen capture protocol",
                    "desktop portal: screenshot refused (response 2)"])
                assert took < 2, "took %.2f s" % took
                return
            # First, before the reference starts the portal: a cold launch,
            # whose file the portal must not leave behind. GNOME 50's shell
            # serves gnome-screenshot no more: the portal's own picture.
            # Then another, with the portal running.
            for launch in ("cold", "warm"):
                got = matching(s, lambda: run_tusak(s, own),
                               s.portal_screenshot if gnome50
                               else s.gnome_screenshot)
                left = [os.path.join(d, n) for d, _, names in os.walk(s.home)
                        for n in names if n.endswith(".png")]
                assert not left, (launch, left)
            assert len(got.getcolors(1 << 16) or []) > 10, "a blank picture"
            # Every monitor, side by side.
            size = (SIZE[0] + sum(m[0] for m in more),
                    max([SIZE[1]] + [m[1] for m in more]))
            assert got.size == size, (got.size, size)
            print("%d x %d, equal to the reference" % got.size)
            return
        picture = session.pattern((SIZE[0] - 128, SIZE[1] - 128))
        if row["installed"]:
            # As a user installs it: the binary and its desktop entry, which
            # KWin reads from XDG_DATA_DIRS.
            own = install(s, tusak)
        s.start_plasma(SIZE, picture, timeout=300,
                       data_dirs=[os.path.join(s.dir, "prefix", "share")],
                       outputs=row.get("outputs", 1),
                       scale=row.get("scale", 1))
        log = []
        # Plasma's portal fails about one launch in thirty on its own side
        # (libpng "Write Error" in its log): the row retries a failed launch
        # there once, and says so.
        retry = not row["installed"]
        got = matching(s, lambda: watched(s, own, log), lambda: s.spectacle(
            pointer=not row["installed"]), retry_failed=retry)
        seen = calls(s, log[-1])
        kwin = ("org.kde.KWin.ScreenShot2", "CaptureWorkspace") in seen
        portal = ("org.freedesktop.portal.Screenshot", "Screenshot") in seen
        if row["installed"]:
            assert kwin and not portal, seen
            # Every screen, at its pixels.
            outputs, scale = row.get("outputs", 1), row.get("scale", 1)
            size = (SIZE[0] * outputs * scale, SIZE[1] * scale)
            assert got.size == size, (got.size, size)
        else:
            assert portal, seen
    finally:
        s.stop()


def watched(s, tusak, log, env=None):
    """run_tusak with the calls on the bus meanwhile in a log of their own,
    whose name is added to log (and not spectacle's, which asks KWin too):
    they show which way it took."""
    log.append("calls%d.log" % len(log))
    monitor = s.monitor(log[-1])
    try:
        return run_tusak(s, tusak, env)
    finally:
        time.sleep(0.5)  # for dbus-monitor to write what it saw
        monitor.terminate()
        monitor.wait(10)


def run_kwin_x11(tusak, depth):
    """KWin 6 on X11 (Xvfb at depth bits) from the testing archive's root:
    the installed tusak reads its screenshot interface, and its file
    equals spectacle's; a copy is refused. tusak sees a Wayland session
    with no socket behind it and no X11 display, so that nothing but KWin
    can serve it. At 16 bits KWin hands out its scene drawn with OpenGL,
    whose 5 and 6-bit channels are widened by rounding, and spectacle the
    X server's screen, widened by repeating bits: they are equal at the
    screen's own depth."""
    root = session.make_root(packages=session.FORKY_KWIN_X11)[0]
    s = session.Session(root=root)
    try:
        installed = install(s, tusak)
        copy = os.path.join(s.dir, "tusak")
        shutil.copy(tusak, copy)
        os.chmod(copy, 0o755)
        s.start_kwin_x11(SIZE, depth,
                         session.pattern((SIZE[0] - 128, SIZE[1] - 128)),
                         timeout=300,
                         data_dirs=[os.path.join(s.dir, "prefix", "share")])
        env = dict(s.env, WAYLAND_DISPLAY="wayland-gone")
        del env["DISPLAY"]
        check_no_picture(s, copy, "KWin refuses to serve this binary", env)
        log = []
        got = matching(s, lambda: watched(s, installed, log, env),
                       s.spectacle, pixels=rgb565 if depth == 16 else rgb)
        seen = calls(s, log[-1])
        assert ("org.kde.KWin.ScreenShot2", "CaptureWorkspace") in seen, seen
        assert got.size == SIZE, got.size
        colours = len(got.getcolors(1 << 20) or [])
        assert colours > 10, "a blank picture"
        print("%d x %d, %d colours, equal to spectacle's%s" %
              (got.size + (colours, " at 16 bits" if depth == 16 else "")))
    finally:
        s.stop()


def install(s, tusak):
    """tusak installed as a user installs it (cmake --install of its build
    folder) under the session's folder: the installed binary's path."""
    build = os.path.dirname(os.path.abspath(tusak))
    prefix = os.path.join(s.dir, "prefix")
    r = subprocess.run(["cmake", "--install", build, "--prefix", prefix],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    subprocess.run(["chmod", "-R", "a+rX", prefix], check=True)
    return os.path.join(prefix, "bin", "tusak")


def run_plasma6(tusak):
    """KWin 6 (the testing archive's) serves the installed tusak and refuses
    a copy. Without a DRM render node KWin 6 composites with QPainter, and
    its screenshots, made with OpenGL, are all cancelled: then the row
    checks the refusal and its absence only, and says so."""
    root = session.make_root(packages=("kwin-wayland",))[0]
    picture = session.pattern(SIZE)
    s = session.Session(root=root)
    try:
        installed = install(s, tusak)
        copy = os.path.join(s.dir, "tusak")
        shutil.copy(tusak, copy)
        os.chmod(copy, 0o755)
        s.start_kwin_in_root(SIZE, picture, timeout=300,
                             data_dirs=[os.path.join(s.dir, "prefix",
                                                     "share")])
        screencopy = s.env["WAYLAND_DISPLAY"] + \
            " offers no screen capture protocol"
        no_portal = "desktop portal: Screenshot call failed (The name " \
            "org.freedesktop.portal.Desktop was not provided by any " \
            ".service files)"
        # A copy: refused, then no portal on this bus.
        status, notices, files, _ = run_tusak(s, copy)
        check_notices_only(status, notices, files, [
            screencopy,
            "KWin refuses to serve this binary (no desktop entry lists it)",
            no_portal])
        # Installed: served; a picture of the background, or where KWin
        # cannot draw one, its cancellation (not a refusal).
        status, notices, files, _ = run_tusak(s, installed)
        if notices:
            check_notices_only(status, notices, files, [
                screencopy, "KWin: Cancelled", no_portal])
            print("KWin 6 cancels every screenshot here (no OpenGL: %s); "
                  "checked only that it serves the installed tusak" %
                  ("no /dev/dri" if not os.path.exists("/dev/dri") else
                   "see kwin.log"))
        else:
            session.wait_for(lambda: run_tusak(s, installed)[2].get(
                "tusak0000.bmp") == picture, 30, "the background")
    finally:
        s.stop()


def run(case, tusak, release=None):
    row = CASES[case]
    if row.get("desktop"):
        return run_desktop(case, row, tusak)
    picture = session.pattern(SIZE)
    root = session.make_root()[0] if row.get("root") else None
    with session.start(SIZE, picture, root=root,
                       compositor=row.get("compositor", "sway"),
                       xwayland=row.get("xwayland", False)) as s:
        # Where the session's user may run it, whatever the checkout's
        # folder allows.
        own = os.path.join(s.dir, "tusak")
        shutil.copy(tusak, own)
        os.chmod(own, 0o755)
        lay_out(s, row.get("layout"))
        if "cut" in row:
            cut_runs(s, own, row["cut"])
        elif "scripted" in row:
            scripted_run(s, own, row["scripted"])
        elif row.get("silent_bus"):
            silent_bus_run(s, own)
        elif "flipping" in row:
            flipping_run(s, own, row["flipping"])
        elif "kwin" in row:
            kwin_run(s, own, row, picture)
        elif row.get("portal"):
            s.start_portal()
            proxy, env = no_screencopy(s)
            with proxy:
                check_capture(s, own, picture, env)
            # The portal's file was made for this request alone.
            assert not os.path.exists(session.PORTAL_FILE), "portal file left"
        elif row.get("layout") == "transforms":
            second = s.create_output()
            for transform in TRANSFORMS:
                turned = transform.endswith(("90", "270"))
                s.set_output(second, mode=(320, 240), pos=(SIZE[0], 0),
                             transform=transform, picture=session.pattern(
                                 (240, 320) if turned else (320, 240),
                                 mark=(255, 0, 0)))
                try:
                    check_capture(s, own, s.grim("ppm"),
                                  protocol=row.get("protocol"))
                except AssertionError as e:
                    raise AssertionError("transform %s: %s" % (transform, e))
        elif row.get("remode"):
            remode_runs(s, own, row["remode"], row.get("plug", False))
        else:
            env = dict(s.env, **row.get("env", {}))
            proxy = None
            options = sum((["--hide-global", g] for g in row.get("hide", [])),
                          row.get("proxy", []))
            if options:
                listen = os.path.join(s.runtime, "wayland-hidden")
                proxy = Proxy(listen, os.path.join(
                    s.runtime, s.env["WAYLAND_DISPLAY"]), *options,
                    workdir=s.workdir(), run_as=s.as_user, env=s.env)
                env = dict(env, WAYLAND_DISPLAY="wayland-hidden")
            argv = (["prlimit", "--cpu=%d" % row["cpu"]] if "cpu" in row
                    else []) + list(row.get("argv", ()))
            try:
                if row.get("why"):
                    check_no_picture(s, own, row["why"].format(
                        env["WAYLAND_DISPLAY"]), env, row.get("limit"), argv)
                    if row.get("limit") and proxy:  # and the pools' memory
                        pool = asked(proxy)[1] / 2 ** 20
                        assert pool < row["limit"][1], "a %d MB pool" % pool
                elif row.get("copy_fails"):
                    check_copy_fails(s, own, env, proxy, row)
                else:
                    want = {"picture": lambda: picture,
                            "grim": lambda: s.grim("ppm"),
                            "outputs": lambda: outputs_reference(s),
                            "black": lambda: Image.new("RGB", row["size"])}[
                                row["reference"]]()
                    check_capture(s, own, want, env, row.get("protocol"),
                                  argv=argv, ignore=row.get("ignore"))
                    if "--shrink-fds" in options:  # refused: sealed
                        report = proxy.reports()[0]
                        assert report["sealed"] and not report["shrunk"], \
                            report
                    if row.get("valgrind"):
                        if not release or not os.path.exists(release):
                            raise AssertionError(
                                "this row needs the optimised build "
                                "(--release, cmake --preset linux)")
                        check_valgrind(s, release, want, env,
                                       row.get("ignore"))
            finally:
                if proxy:
                    proxy.stop()


if __name__ == "__main__":
    args = sys.argv[1:]
    if args == ["--list"]:
        print(";".join(CASES))
    else:
        release = None
        if args[2] == "--release":
            release = args[3]
            del args[2:4]
        run(args[2], tusak=args[1], release=release)
        print("launches: %s s" % " ".join("%.2f" % t for t in LAUNCHES))
        print("passed:", args[2])
