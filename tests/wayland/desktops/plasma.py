"""KDE Plasma's KWin, headless: Debian 12's Plasma 5.27 (a scene in an X11
window on its Xwayland), and from the testing root KWin 6 on Wayland (its
background drawn by swaybg) and on X11 (Xvfb, OpenGL on Mesa's llvmpipe);
spectacle's picture for reference; the calls on the bus that show which
way tusak took; and the rows on them."""
import os, time

from desktops import Desktop, tool_picture
from launch import check_no_picture, matching, rgb, run_tusak
from pixels import pattern, same
from roots import FORKY_KWIN_X11
from servers import start_xvfb
from session import Failed, wait_for

SIZE = (1024, 768)
KWIN = ("org.kde.KWin", "/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2")
CAPTURE = ("org.kde.KWin.ScreenShot2", "CaptureWorkspace")
SCREENSHOT = ("org.freedesktop.portal.Screenshot", "Screenshot")
# A scene that leaves room for a title bar (a picture larger than the room
# left would get a panning window of its own).
SCENE = pattern((SIZE[0] - 128, SIZE[1] - 128))


def kde_env(s, version, **more):
    """KDE's session variables; the installed tusak's share (s.install)
    before /usr/share in XDG_DATA_DIRS, where KWin finds desktop entries."""
    s.env.update(XDG_CURRENT_DESKTOP="KDE", KDE_SESSION_VERSION=version,
                 XDG_DATA_DIRS=os.path.join(s.dir, "prefix", "share") +
                 ":/usr/local/share:/usr/share", **more)


def kwin_copy(s, path):
    """A copy of a kwin_wayland binary, which carries a file capability
    that exec refuses where the bounding set lacks it: a copy has none."""
    return s.copy(path, "kwin_wayland")


def show_scene(s, scene, timeout, viewer=True, **kw):
    """The scene in an X11 window at 0,0 (ImageMagick's display, started
    here if viewer), once it is drawn and holds still."""
    if viewer:
        s.popen(viewer_argv(s, scene), log="display.log", **kw)
    wait_for(lambda: b"IsViewable" in s.run(
        ["xwininfo", "-name", "scene"], timeout=timeout, **kw).stdout,
        timeout, "the scene's window to show", interval=0.5)
    last = [None]

    def still():
        shot = spectacle(s)
        settled = last[0] is not None and same(shot, last[0])
        last[0] = shot
        return settled
    wait_for(still, timeout, "the scene to hold still", interval=0.2)


def viewer_argv(s, scene):
    return ["display", "-geometry", "+0+0", "-borderwidth", "0", "-title",
            "scene", s.put("scene.png", scene)]


def start_plasma(s, size, scene, outputs=1, scale=1, timeout=300):
    """KWin 5, headless, on outputs screens of size side by side at scale,
    with Xwayland, showing the scene (a Pillow image) in an X11 window."""
    kde_env(s, "5")
    # Plasma's portal saves into ~/Pictures first; no animations.
    config = os.path.join(s.home, ".config")
    for d in (os.path.join(s.home, "Pictures"), config):
        os.makedirs(d, exist_ok=True)
        s.chown(d)
    with open(os.path.join(config, "kdeglobals"), "w") as f:
        f.write("[KDE]\nAnimationDurationFactor=0\n")
    s.chown(os.path.join(config, "kdeglobals"))
    s.start_bus()
    # KWin starts the scene's viewer once Xwayland runs, as one word.
    viewer = os.path.join(s.dir, "scene.sh")
    with open(viewer, "w") as f:
        f.write("#!/bin/sh\nexec %s\n" % " ".join(viewer_argv(s, scene)))
    os.chmod(viewer, 0o755)
    proc = s.popen([kwin_copy(s, "/usr/bin/kwin_wayland"), "--virtual",
                    "--width", str(size[0]), "--height", str(size[1]),
                    "--output-count", str(outputs), "--scale", "%g" % scale,
                    "--xwayland", "--no-lockscreen", "--no-global-shortcuts",
                    "--no-kactivities", viewer], log="kwin.log")
    s.env["WAYLAND_DISPLAY"] = s.wayland_socket(proc, "kwin_wayland",
                                                "kwin.log", timeout)

    def display():
        if proc.poll() is not None:
            raise Failed("kwin_wayland exited: " + s.log("kwin.log"))
        return s.member_env("DISPLAY")
    x = wait_for(display, timeout, "the viewer (kwin.log)", interval=0.5)
    for path, interface in [("/Screenshot", "org.kde.kwin.Screenshot"),
                            KWIN[1:]]:
        wait_for(lambda: s.serves("org.kde.KWin", path, interface), timeout,
                 "KWin's %s on the bus" % interface, interval=0.5)
    show_scene(s, scene, timeout, viewer=False, env=dict(s.env, DISPLAY=x))
    return scene


def start_kwin6(s, row, timeout=300):
    """KWin 6 from the session's root, headless, on a virtual screen of
    SIZE, its background the pattern (swaybg, from the host, as a
    layer-shell surface). The bus activates nothing (no portal, which the
    root does not hold)."""
    kde_env(s, "6")
    s.start_bus(quiet=True)
    proc = s.popen([kwin_copy(s, os.path.join(s.root, "usr/bin/kwin_wayland")),
                    "--virtual", "--width", str(SIZE[0]), "--height",
                    str(SIZE[1]), "--no-lockscreen", "--no-global-shortcuts",
                    "--no-kactivities"], log="kwin.log", host=False)
    way = s.wayland_socket(proc, "kwin_wayland", "kwin.log", timeout)
    wait_for(lambda: s.serves(*KWIN, timeout=5), timeout,
             "KWin's ScreenShot2 (kwin.log)", interval=0.5)
    s.env["WAYLAND_DISPLAY"] = way
    picture = pattern(SIZE)
    s.popen(["swaybg", "-i", s.put("bg.png", picture), "-m", "stretch"],
            log="swaybg.log")
    wait_for(lambda: "Found config" in s.log("swaybg.log"), timeout,
             "swaybg (swaybg.log)")
    return picture


def start_kwin_x11(s, row, timeout=300):
    """KWin 6 on X11 from the session's root: kwin_x11 on an Xvfb screen of
    SIZE at the row's depth, compositing with OpenGL (Mesa's llvmpipe),
    showing the scene. The bus activates nothing."""
    kde_env(s, "6", XDG_SESSION_TYPE="x11")
    s.start_bus(quiet=True)
    s.env["DISPLAY"] = start_xvfb(lambda argv, **kw: s.popen(
        argv, log="xvfb.log", **kw), SIZE, row.depth, timeout=timeout)[1]
    proc = s.popen(["kwin_x11", "--replace"], log="kwin.log", host=False)

    def compositing(what="active"):
        if proc.poll() is not None:
            raise Failed("kwin_x11 exited: " + s.log("kwin.log"))
        return s.call("org.kde.KWin", "/Compositor",
                      "org.freedesktop.DBus.Properties.Get",
                      "org.kde.kwin.Compositing", what)
    wait_for(lambda: s.serves(*KWIN, timeout=5) and
             compositing() == "(<true>,)", timeout,
             "KWin to composite (kwin.log)", interval=0.5)
    kind = compositing("compositingType")
    if "gl" not in (kind or ""):
        raise Failed("KWin composites with %s, not OpenGL" % kind)
    show_scene(s, SCENE, timeout)
    return SCENE


def spectacle(s, pointer=False):
    """spectacle's picture of the whole desktop, taken in the background
    without a notification (the session's root's spectacle if it has
    one); with the pointer if pointer."""
    path = os.path.join(s.workdir(), "reference.png")
    return tool_picture(s, ["spectacle", "-b", "-n", "-f"] + ["-p"] * pointer
                        + ["-o", path], path, host=False)


def watched(s, tusak, seen, env=None):
    """run_tusak's result; in seen, the method calls on the bus meanwhile,
    by a dbus-monitor of its own (not spectacle's, which asks KWin too):
    (interface, member) pairs, which show which way it took."""
    log = "calls%d.log" % len(s.procs)
    monitor = s.popen(["dbus-monitor", "--session", "type='method_call'"],
                      log=log)
    wait_for(lambda: "NameAcquired" in s.log(log) or "member=Hello" in
             s.log(log) or monitor.poll() is not None, 30, "dbus-monitor")
    try:
        return run_tusak(s, tusak, env)
    finally:
        time.sleep(0.5)  # for dbus-monitor to write what it saw
        monitor.terminate()
        monitor.wait(10)
        seen[:] = []
        for line in s.log(log, 10 ** 7).splitlines():
            if line.startswith("method call"):
                fields = dict(f.rstrip(";").split("=", 1)
                              for f in line.split() if "=" in f)
                seen.append((fields.get("interface"), fields.get("member")))


def run_served(s, row, ctx):
    """The installed tusak reads KWin's own interface and never asks the
    portal: every screen, at its pixels, equal to spectacle's."""
    seen = []
    got = matching(s, lambda: watched(s, s.installed, seen),
                   lambda: spectacle(s))
    assert CAPTURE in seen and SCREENSHOT not in seen, seen
    size = (SIZE[0] * len(row.outputs or (SIZE,)) * row.scale,
            SIZE[1] * row.scale)
    assert got.size == size, (got.size, size)


def run_fallback(s, row, ctx):
    """A copy that is not installed (no desktop entry) goes through the
    portal. Plasma's portal fails about one launch in thirty on its own
    side (libpng "Write Error" in its log): a failed launch is retried
    there once, and said."""
    seen = []
    matching(s, lambda: watched(s, s.tusak, seen), lambda: spectacle(s, True),
             retry_failed=True)
    assert SCREENSHOT in seen, seen


def run_kwin6(s, row, ctx):
    """KWin 6 serves the installed tusak and refuses a copy. Without a DRM
    render node KWin 6 composites with QPainter, and its screenshots, made
    with OpenGL, are all cancelled: then the row checks the refusal and
    its absence only, and says so."""
    screencopy = s.env["WAYLAND_DISPLAY"] + \
        " offers no screen capture protocol"
    no_portal = "desktop portal: Screenshot call failed (The name " \
        "org.freedesktop.portal.Desktop was not provided by any .service " \
        "files)"
    # A copy: refused, then no portal on this bus.
    check_no_picture(s, s.tusak, [
        screencopy, "KWin refuses to serve this binary (no desktop entry "
        "lists it)", no_portal], exact=True)
    # Installed: served; a picture of the background, or where KWin cannot
    # draw one, its cancellation (not a refusal).
    result = run_tusak(s, s.installed)
    if result[1]:
        check_no_picture(s, s.installed, [screencopy, "KWin: Cancelled",
                                          no_portal], exact=True,
                         result=result)
        print("KWin 6 cancels every screenshot here (no OpenGL: %s); "
              "checked only that it serves the installed tusak" %
              ("no /dev/dri" if not os.path.exists("/dev/dri") else
               "see kwin.log"))
    else:
        wait_for(lambda: run_tusak(s, s.installed)[2].get(
            "tusak0000.bmp") == ctx.picture, 30, "the background")


def rgb565(image):
    """image's pixels as a 16-bit screen holds them (5, 6 and 5 bits)."""
    return image.convert("RGB").point(
        [v >> 3 for v in range(256)] + [v >> 2 for v in range(256)] +
        [v >> 3 for v in range(256)]).tobytes()


def run_pixels(s, row, ctx):
    """The installed tusak, sent to KWin 6 on X11 by a Wayland session
    with no socket behind it and no X11 display (so that nothing but KWin
    can serve it), reads its screenshot interface, and its file equals
    spectacle's; a copy is refused. At 16 bits KWin hands out its scene
    drawn with OpenGL, whose 5 and 6-bit channels are widened by rounding,
    and spectacle the X server's screen, widened by repeating bits: they
    are equal at the screen's own depth."""
    env = dict(s.env, WAYLAND_DISPLAY="wayland-gone")
    del env["DISPLAY"]
    check_no_picture(s, s.tusak, "KWin refuses to serve this binary", env)
    seen = []
    got = matching(s, lambda: watched(s, s.installed, seen, env),
                   lambda: spectacle(s),
                   pixels=rgb565 if row.depth == 16 else rgb)
    assert CAPTURE in seen, seen
    assert got.size == SIZE, got.size
    colours = len(got.getcolors(1 << 20) or [])
    assert colours > 10, "a blank picture"
    print("%d x %d, %d colours, equal to spectacle's%s" % (
        got.size + (colours, " at 16 bits" if row.depth == 16 else "")))


DESKTOPS = {
    "plasma": Desktop(lambda s, row: start_plasma(
        s, SIZE, SCENE, len(row.outputs or (SIZE,)), row.scale), spectacle,
        limit=600, family="plasma",
                      needs=("kwin_wayland", "spectacle", "Xwayland",
                             "display", "xwininfo", "dbus-monitor",
                             "/usr/lib/x86_64-linux-gnu/libexec/"
                             "xdg-desktop-portal-kde")),
    "plasma6": Desktop(start_kwin6, spectacle, root=("kwin-wayland",),
                       limit=900, family="plasma",
                       needs=("swaybg", "debootstrap", "dbus-daemon")),
    "kwin_x11": Desktop(start_kwin_x11, spectacle, root=FORKY_KWIN_X11,
                        limit=900, family="plasma",
                        needs=("debootstrap", "dbus-daemon", "Xvfb",
                               "display", "xwininfo", "dbus-monitor")),
}
