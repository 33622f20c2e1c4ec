"""The kinds of rows on the desktop portal and KWin's interface, tusak's
connection hiding the compositor's capture protocols (as on GNOME or KDE):
the real portal; a scripted one that hands back files of the row's making;
a session bus that never answers; a scripted KWin."""
import os, pwd, re, socket, subprocess, threading, time
from dataclasses import dataclass

from PIL import Image

import pngs
from compositor_runs import HIDE_EXT, HIDE_WLR, proxied
from desktops.wlroots import SIZE
from desktops.portal import PORTAL_FILE, start_portal, start_scripted_kwin, \
    start_scripted_portal
from launch import check_capture, check_no_picture, run_tusak
from notices import NO_BITMAP, split
from pixels import differs, pattern
from session import wait_for

# The scripted peers' pictures: not the desktop's, so that the file shows
# it was read.
SCRIPTED_SIZE = (320, 200)
# A bus or portal that says nothing is given up after 5 s; the run may take
# a little longer on a busy machine, never sd-bus's own 25-90 s.
SILENT_LIMIT = 7.5
# The formats KWin may hand out (QImage::Format numbers).
KWIN_FORMATS = [4, 5, 6, 13, 16, 17, 18, 19, 20, 21, 22, 25, 26, 27, 29]


@dataclass(frozen=True)
class Scenario:
    """A scripted portal's answer, and what tusak must make of it."""
    uri: str = "fresh"    # the file it names: see named()
    write: object = None  # what it writes there first: (picture, path) -> None
    options: tuple = ()   # its other options (peers/scripted_portal.py)
    said: str = ""        # a why line, as a pattern ({} the file's name)
    alone: bool = False   # stderr holds that line alone (or nothing)
    notices: tuple = None  # the notices that follow (None: any of a run's)
    got: str = "none"     # the file: "picture", "written", "rows", "none",
    #                       or "any"
    left: str = ""        # the named file after: "same", "gone" or unsaid
    outputs: bool = True  # a compositor tells tusak of its outputs


SCENARIOS = {
    # A picture of the user's, from yesterday, handed back as it is: read,
    # and left as it was, with a word on why it stays; a link to it: not
    # followed, not removed.
    "existing": Scenario("old", said=r"desktop portal: {} left in place: "
                         "older than the request", alone=True,
                         got="picture", left="same"),
    "link": Scenario("link", said=r"desktop portal: cannot open {} \(a "
                     r"symbolic link\)", left="same"),
    # Another user's file where the portal writes, in a shared folder.
    "planted": Scenario("planted", said=r"desktop portal: {} refused: it "
                        "belongs to another user", left="same"),
    "16-bit": Scenario(write=pngs.png16, alone=True, got="written",
                       left="gone"),
    # The rows that came, each whole, and no more; a word on the rest.
    "truncated": Scenario(write=pngs.truncated, alone=True, got="rows",
                          left="gone", said=r"desktop portal: the picture is "
                          r"incomplete \(.+\); (\d+) of %d rows came" %
                          SCRIPTED_SIZE[1]),
    "bomb": Scenario(write=pngs.bomb, alone=True, got="rows", said=(
        r"desktop portal: the picture is incomplete \(.+\); (\d+) of %d "
        r"rows came" % pngs.BOMB), outputs=False),
    # The bomb's claim, where a compositor told its outputs: refused. Text
    # chunks that inflate to 2.4 GB: read past (in the CPU time the row
    # bounds).
    "beyond-outputs": Scenario(write=pngs.bomb, notices=NO_BITMAP, said=(
        r"desktop portal: the picture, %d x %d pixels, is larger than the "
        r"desktop's outputs \(%d x %d\)" % ((pngs.BOMB,) * 2 + SIZE))),
    "text-bomb": Scenario(write=pngs.text_bomb, alone=True, got="picture",
                          left="gone"),
    # An older portal's own request path, its answer sent even before the
    # call's reply.
    "other-path": Scenario(write=lambda pic, path: pic.save(path),
                           options=("--request-path", "other",
                                    "--answer-first"), alone=True,
                           got="picture", left="gone"),
    "never-replies": Scenario(options=("--never-reply",), got="any", said=(
        r"desktop portal: Screenshot call failed.*")),
    # A fresh text file of the user's named as the picture: left alone.
    "not-png": Scenario("notes", write=pngs.notes, said=r"desktop portal: "
                        "{}: not a PNG file", notices=NO_BITMAP, left="same"),
    "huge": Scenario(write=pngs.huge, said=r"desktop portal: the picture, "
                     r"32767 x 32767 pixels, is larger than a BMP file holds",
                     notices=NO_BITMAP),
}


def named(s, uri, picture):
    """The file a scripted portal names: a fresh one in a shared folder
    (like /tmp: anyone may write), another user's planted there, the
    user's picture from yesterday, a link to it, or the user's notes."""
    shared = os.path.join(s.dir, "shared")
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    pictures = os.path.join(s.home, "Pictures")
    path = {"fresh": os.path.join(shared, "out.png"),
            "planted": os.path.join(shared, "out.png"),
            "old": os.path.join(pictures, "holiday 1.png"),
            "link": os.path.join(pictures, "latest.png"),
            "notes": os.path.join(s.home, "notes.txt")}[uri]
    if uri == "planted":
        pattern(SCRIPTED_SIZE, mark=(255, 0, 255)).save(path)
        nobody = pwd.getpwnam("nobody")
        os.chown(path, nobody.pw_uid, nobody.pw_gid)
        os.chmod(path, 0o666)
    elif uri in ("old", "link"):
        os.mkdir(pictures)
        old = os.path.join(pictures, "holiday 1.png")
        picture.save(old)
        os.utime(old, (time.time() - 86400,) * 2)
        if uri == "link":
            os.symlink(old, path)
        s.chown(pictures, old, path)
    return path


def state(path):
    """What is at path: its type and time, and the bytes it leads to."""
    if not os.path.lexists(path):
        return None
    st = os.lstat(path)
    with open(path, "rb") as f:
        return st.st_mode, st.st_mtime_ns, f.read()


def run_scripted(s, row, ctx):
    """tusak against a scripted portal that answers as the row's scenario
    says."""
    sc = SCENARIOS[row.args[0]]
    picture = pattern(SCRIPTED_SIZE, mark=(0, 255, 0))
    path = named(s, sc.uri, picture)
    args = ["--uri", path] + list(sc.options)
    src = os.path.join(s.dir, "portal-src.png")
    if sc.write:
        sc.write(picture, src)
        args += ["--write", src]
    before = state(path)
    start_scripted_portal(s, *args)
    proxy, env = proxied(s, row, *HIDE_EXT, *HIDE_WLR)
    if not sc.outputs:
        env["WAYLAND_DISPLAY"] = "wayland-gone"
    with proxy:
        status, lines, files, _ = run_tusak(s, s.tusak, env, argv=row.argv,
                                            limit=row.limit)
    assert (status, list(files)) == (0, ["tusak0000.bmp"]), (status, files)
    got = files["tusak0000.bmp"]
    said = sc.said and "tusak: " + sc.said.format(re.escape(path))
    if sc.alone:
        assert len(lines) == bool(said), lines
        found = said and re.fullmatch(said, lines[0])
        assert found or not said, (said, lines)
    else:
        why, _ = split(lines, sc.notices)
        found = next(filter(None, (re.fullmatch(said, w) for w in why)), 0)
        assert found, (said, why)
    if sc.got == "rows":
        w, h = (pngs.BOMB,) * 2 if sc.write is pngs.bomb else picture.size
        kept = int(found.group(1))
        assert got and got.size == (w, kept), (got and got.size, kept)
        want = Image.frombytes("RGB", (w, 4), b"".join(
            r[1:] for r in pngs.BOMB_ROWS)) if sc.write is pngs.bomb else \
            picture.crop((0, 0, w, kept))
        assert not differs(got, want), "the rows differ"
        # Half the stored rows came; libpng reads in blocks of 8 KB.
        assert sc.write is pngs.bomb or h // 2 - 12 <= kept <= h // 2, \
            (kept, h)
    elif sc.got in ("picture", "written"):
        want = picture if sc.got == "picture" else Image.open(src)
        assert want.mode == "RGB", want.mode  # Pillow's 8 bits of 16
        fault = differs(got, want)
        assert not fault, fault
    elif sc.got == "none":
        assert got is None, "a picture from %s" % path
    after = state(path)
    if sc.left == "same":  # as it was, or as the portal wrote it
        assert after and after[2] == (before or state(src))[2] and \
            before in (None, after), "the file named changed"
    elif sc.left == "gone":
        assert after is None, "the portal's file left"


def run_flipping(s, row, ctx):
    """Launches (as many as the row says) against a scripted portal that
    names its file through another user's link (peers/flipping_user.py),
    flipped without pause between the portal's folder and one of the
    user's with a text file of that name: each reads one, removes only the
    portal's, and leaves the user's."""
    picture = pattern(SCRIPTED_SIZE, mark=(0, 255, 0))
    shared = os.path.join(s.dir, "shared")
    portal, notes = (os.path.join(s.home, n) for n in ("portal", "notes"))
    for d in (shared, portal, notes):
        os.mkdir(d)
    os.chmod(shared, 0o1777)
    with open(os.path.join(notes, "out.png"), "w") as f:
        f.write("milk, bread\n")
    s.chown(portal, notes, f.name)
    flipper = subprocess.Popen([
        "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
        "/usr/bin/python3", s.copy("flipping_user.py"),
        os.path.join(shared, "pics"), portal, notes])
    try:
        wait_for(lambda: os.path.islink(shared + "/pics"), 10, "the link")
        start_scripted_portal(
            s, "--uri", shared + "/pics/out.png", "--made-at",
            portal + "/out.png", "--write", s.put("portal-src.png", picture))
        proxy, env = proxied(s, row, *HIDE_EXT, *HIDE_WLR)
        with proxy:
            runs = [run_tusak(s, s.tusak, env)[:3] for _ in range(row.args[0])]
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


def run_portal(s, row, ctx):
    """The real portal: the desktop, and its file made for this request
    alone, gone."""
    start_portal(s)
    proxy, env = proxied(s, row, *HIDE_EXT, *HIDE_WLR)
    with proxy:
        check_capture(s, s.tusak, ctx.picture, env)
    assert not os.path.exists(PORTAL_FILE), "portal file left"


def run_silent_bus(s, row, ctx):
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
    proxy, env = proxied(s, row, *HIDE_EXT, *HIDE_WLR)
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + path
    try:
        with proxy:
            status, lines, files, _ = run_tusak(s, s.tusak, env,
                                                limit=(SILENT_LIMIT, None))
    finally:
        listener.close()
        for c in held:
            c.close()
    assert held, "tusak never connected to the bus"
    assert status == 0, status
    why, _ = split(lines)
    assert "tusak: session bus: no answer within 5 s" in why, why
    assert list(files) == ["tusak0000.bmp"], list(files)


def run_kwin(s, row, ctx, then=None):
    """tusak against a scripted KWin (the row's options), in every format
    it may use unless the row names one; when then is "portal", with the
    desktop portal running too, which serves when KWin fails, unsaid; when
    "none", no picture and the row's reason."""
    picture = pattern(row.outputs[0] if row.outputs else SCRIPTED_SIZE,
                      mark=(0, 255, 0))
    formats = [4] if "--formats" in row.args or then == "none" else \
        KWIN_FORMATS
    if then == "portal":
        start_portal(s)
    start_scripted_kwin(s, s.put("kwin-src.png", picture), "--formats",
                        ",".join(map(str, formats)), *row.args)
    proxy, env = proxied(s, row, *HIDE_EXT, *HIDE_WLR)
    with proxy:
        if then == "none":
            check_no_picture(s, s.tusak, row.why, env, row.limit)
            return
        for i, fmt in enumerate(formats):
            try:
                check_capture(s, s.tusak, ctx.picture if then else picture,
                              env, limit=row.limit or (SILENT_LIMIT, None))
            except AssertionError as e:
                raise AssertionError("format %d: %s" % (fmt, e))
            calls = s.log("kwin.log").count("call ")
            assert calls == i + 1, "KWin asked %d times" % calls
