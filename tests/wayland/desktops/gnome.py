"""GNOME Shell, headless: Debian 12's GNOME 43 (its reference
gnome-screenshot), and GNOME 50 from the testing root (whose shell serves
gnome-screenshot no more: its reference the portal's own picture); and the
rows on them, through the desktop portal."""
import os, time

from desktops import Desktop, tool_picture
from desktops.portal import portal_screenshot, set_permission
from launch import check_no_picture, matching, run_tusak
from roots import FORKY_GNOME
from session import Failed, wait_for

SIZE = (1024, 768)
# Quiet: a solid background, no animations, no banners, no welcome.
SETTINGS = [("background", "picture-uri", "''"),
            ("background", "picture-uri-dark", "''"),
            ("background", "picture-options", "none"),
            ("background", "color-shading-type", "solid"),
            ("background", "primary-color", "#204a87"),
            ("interface", "enable-animations", "false"),
            ("notifications", "show-banners", "false"),
            ("session", "idle-delay", "uint32 0"),
            ("screensaver", "lock-enabled", "false"),
            ("shell", "welcome-dialog-last-shown-version", "'999'")]


def start_gnome(s, monitors=(SIZE,), timeout=300):
    """GNOME Shell, headless, on a virtual monitor of each size in
    monitors, left to right, quiet and out of the overview, with the
    desktop portal's screenshot permission stored; the shell, its bus and
    its portal from the session's root if it has one."""
    s.env.update(XDG_CURRENT_DESKTOP="GNOME")
    s.start_bus(system=True, host=False)
    for schema, key, value in SETTINGS:
        schema = "org.gnome." + ("shell" if schema == "shell" else
                                 "desktop." + schema)
        r = s.run(["gsettings", "set", schema, key, value], timeout=timeout,
                  host=False)
        if r.returncode:
            raise Failed("gsettings %s %s: %r" % (schema, key, r.stderr))
    set_permission(s, "yes")
    monitors = sum((["--virtual-monitor", "%dx%d" % tuple(m)]
                    for m in monitors), [])
    shell = s.popen(["gnome-shell", "--headless", "--wayland", "--no-x11"] +
                    monitors, log="gnome.log", host=False)

    def started():
        if shell.poll() is not None:
            raise Failed("gnome-shell exited: " + s.log("gnome.log"))
        return "GNOME Shell started" in s.log("gnome.log", 10 ** 6)
    wait_for(started, timeout, "GNOME Shell to start (see gnome.log)",
             interval=0.5)
    way = s.wayland_socket(shell, "gnome-shell", "gnome.log", 10)
    s.env["WAYLAND_DISPLAY"] = way
    # It starts in the overview.
    wait_for(lambda: s.call(
        "org.gnome.Shell", "/org/gnome/Shell",
        "org.freedesktop.DBus.Properties.Set", "org.gnome.Shell",
        "OverviewActive", "<false>") is not None, timeout,
        "the overview to close")
    # The portal, started on demand, must find the desktop.
    s.run(["dbus-update-activation-environment", "WAYLAND_DISPLAY=" + way,
           "XDG_CURRENT_DESKTOP=GNOME"], timeout=timeout, check=True,
          host=False)


def gnome_screenshot(s):
    path = os.path.join(s.workdir(), "reference.png")
    return tool_picture(s, ["gnome-screenshot", "-f", path], path)


def run_portal(s, row, ctx):
    """A cold launch first, before the reference starts the portal, whose
    file the portal must not leave behind; then another, with the portal
    running: each equal to the reference, which shows every monitor."""
    for launch in ("cold", "warm"):
        got = matching(s, lambda: run_tusak(s, s.tusak),
                       lambda: ctx.desktop.tool(s))
        left = [os.path.join(d, n) for d, _, names in os.walk(s.home)
                for n in names if n.endswith(".png")]
        assert not left, (launch, left)
    assert len(got.getcolors(1 << 16) or []) > 10, "a blank picture"
    monitors = row.outputs or (SIZE,)
    size = (sum(m[0] for m in monitors), max(m[1] for m in monitors))
    assert got.size == size, (got.size, size)
    print("%d x %d, equal to the reference" % got.size)


def run_refused(s, row, ctx):
    """With the permission refused: said at once, and X11 (which Xwayland
    would serve with a black screen) is not tried."""
    set_permission(s, "no")
    started = time.monotonic()
    check_no_picture(s, s.tusak, [
        s.env["WAYLAND_DISPLAY"] + " offers no screen capture protocol",
        "desktop portal: screenshot refused (response 2)"], exact=True)
    took = time.monotonic() - started
    assert took < 2, "took %.2f s" % took


DESKTOPS = {
    "gnome": Desktop(lambda s, row: start_gnome(s, row.outputs or (SIZE,)),
                     gnome_screenshot, limit=600, family="gnome",
                     needs=("gnome-shell", "gnome-screenshot",
                            "/usr/libexec/xdg-desktop-portal-gnome")),
    "gnome50": Desktop(lambda s, row: start_gnome(s, row.outputs or (SIZE,)),
                       portal_screenshot, root=FORKY_GNOME,
                       limit=900, needs=("debootstrap", "gdbus"),
                       family="gnome"),
}
