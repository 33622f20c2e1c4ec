"""The desktop portal stack on a session's desktop: the real one (D-Bus,
PipeWire, xdg-desktop-portal with its wlr backend), or scripted stand-ins
for it and for KWin (tests/peers); its own picture of the desktop; and
its teardown, the file it leaves."""
import os
import urllib.parse

from PIL import Image

from session import Failed, wait_for

# xdg-desktop-portal-wlr always writes its screenshot here, over the last one.
PORTAL_FILE = "/tmp/out.png"
PORTAL = ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")
BACKEND = "org.freedesktop.impl.portal.desktop.wlr"
DBUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus")


def start_portal(s, timeout=30):
    """A private session bus with PipeWire and the portals activated on
    it; returns the environment for portal clients (also s.env)."""
    # xdg-desktop-portal-wlr can only rewrite a file of its own there.
    if os.path.lexists(PORTAL_FILE):
        if os.lstat(PORTAL_FILE).st_uid != s.user.pw_uid:
            raise Failed(PORTAL_FILE + " belongs to someone else")
        os.unlink(PORTAL_FILE)
    s.cleanups.append(lambda: remove_portal_file(s))
    s.start_bus(timeout=timeout)  # its services inherit its environment
    s.popen(["pipewire"], log="pipewire.log")
    wait_for(lambda: any(n.startswith("pipewire-0")
                         for n in os.listdir(s.runtime)), timeout, "pipewire")
    # xdg-desktop-portal-wlr can miss a call that comes while it starts up
    # (until another one wakes it), which stalls the portal's own start for
    # D-Bus's 25 s timeout; so it is started first, and pinged (short
    # calls, retried) until it answers.
    s.call(*DBUS, "org.freedesktop.DBus.StartServiceByName", BACKEND, "0",
           timeout=timeout)
    wait_for(lambda: s.call(BACKEND, PORTAL[1],
                            "org.freedesktop.DBus.Peer.Ping",
                            timeout=1) is not None,
             timeout, "xdg-desktop-portal-wlr (see bus.log)")
    # The next call activates the portal; it answers once its backends are
    # found, with no Screenshot if none offers it.
    wait_for(lambda: portal_version(s), timeout,
             "the portal to offer Screenshot (see bus.log)", interval=0.5)
    return s.env


def remove_portal_file(s):
    try:
        if os.stat(PORTAL_FILE).st_uid == s.user.pw_uid:
            os.unlink(PORTAL_FILE)
    except OSError:
        pass


def portal_version(s):
    """The Screenshot portal's version, or None if it has none."""
    out = s.call(*PORTAL, "org.freedesktop.DBus.Properties.Get",
                 "org.freedesktop.portal.Screenshot", "version")
    return out and int(out.split()[1].rstrip(">,)"))


def start_peer(s, name, args, log, ready, timeout=30):
    """tests/peers/NAME.py with args, as the session's user on its session
    bus (a private one, started if there is none), its output in log, once
    ready() says so."""
    if "DBUS_SESSION_BUS_ADDRESS" not in s.env:
        s.start_bus(timeout=timeout)
    s.popen(["/usr/bin/python3", s.copy(name + ".py")] + list(args), log=log)
    wait_for(ready, timeout, "%s (see %s)" % (name, log))


def start_scripted_portal(s, *args):
    """scripted_portal.py with args, once it owns the portal's name."""
    start_peer(s, "scripted_portal", args, "portal.log", lambda: s.call(
        *DBUS, "org.freedesktop.DBus.NameHasOwner", PORTAL[0],
        timeout=2) == "(true,)")


def start_scripted_kwin(s, src, *args):
    """scripted_kwin.py handing out the picture file src (with args), once
    it owns KWin's name."""
    start_peer(s, "scripted_kwin", [src] + list(args), "kwin.log",
               lambda: "ready" in s.log("kwin.log"))


def set_permission(s, answer):
    """Stores the desktop portal's screenshot permission for programs
    outside a sandbox ('yes' or 'no'), as the dialog would."""
    if s.call("org.freedesktop.impl.portal.PermissionStore",
              "/org/freedesktop/impl/portal/PermissionStore",
              "org.freedesktop.impl.portal.PermissionStore.SetPermission",
              "screenshot", "true", "screenshot", "", "['%s']" % answer,
              timeout=30) is None:
        raise Failed("the permission store did not answer")


def portal_screenshot(s, timeout=60):
    """The desktop portal's own picture of the desktop (Pillow image),
    taken without asking by portal_screenshot.py with the session's root's
    python3-gi; its file is removed."""
    r = s.run(["python3", s.copy("portal_screenshot.py"), str(timeout)],
              timeout=timeout + 10, host=False)
    uri = r.stdout.decode().strip()
    if r.returncode or not uri.startswith("file://"):
        raise RuntimeError("the portal's screenshot failed: %r" % r.stderr)
    path = urllib.parse.unquote(uri[len("file://"):])
    image = Image.open(path)
    image.load()
    os.unlink(path)
    return image
