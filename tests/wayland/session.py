#!/usr/bin/python3
"""A headless sway desktop for tests, run as an unprivileged user.

sway refuses to run as root, so everything here runs as USER (created on
first use) with a private runtime directory and home. A Session knows the
environment a client needs, runs commands in it, changes outputs and waits
for each change to show, takes reference captures with grim, and can start
the desktop portal stack (D-Bus, PipeWire, xdg-desktop-portal with its wlr
backend) on the same desktop, or a scripted portal (scripted_portal.py).

    with session.start(picture=session.pattern((1024, 768))) as s:
        s.run(["tusak"], cwd=s.workdir())
        reference = s.grim()
"""
import fcntl, glob, io, json, os, pwd, re, select, shutil, signal, \
    subprocess, sys, tempfile, time, urllib.parse
from PIL import Image

USER = "tusak-test"
# xdg-desktop-portal-wlr always writes its screenshot here, over the last one.
PORTAL_FILE = "/tmp/out.png"
PORTAL = ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")
BACKEND = "org.freedesktop.impl.portal.desktop.wlr"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
MARK = "TUSAK_TEST_SESSION"  # in every process of a session, to find them
# The scripted stand-ins, run as the user from copies.
PEERS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))), "peers")

# Current compositors, from Debian's testing archive, in a root of their own
# outside any checkout, so that every clone reuses it.
FORKY = "/var/cache/tusak-tests/forky"
FORKY_PACKAGES = ("sway", "grim", "labwc", "swaybg", "wlr-randr", "xwayland",
                  "cage")
# Today's desktops, added to the root by the rows that run them: GNOME 50
# with its portal (python3-gi for the portal's own picture), and KWin 6 on
# X11 with spectacle (both abort without libxcb-cursor0; Mesa's llvmpipe
# draws for KWin).
FORKY_GNOME = ("gnome-shell", "mutter", "xdg-desktop-portal",
               "xdg-desktop-portal-gnome", "gsettings-desktop-schemas",
               "dconf-gsettings-backend", "dconf-service", "python3-gi")
FORKY_KWIN_X11 = ("kwin-x11", "kde-spectacle", "libxcb-cursor0",
                  "libgl1-mesa-dri", "libegl-mesa0")
# wayfire has left testing: taken from unstable, which is pinned low so
# that nothing else comes from there.
FORKY_UNSTABLE = ("wayfire",)
# Inside a root: its own proc, sys and dev while a command runs, and the
# host's /tmp at the same path, so that a session's runtime directory and
# pictures are one on both sides (and the command starts in the same
# directory). The mounts live in a private mount
# namespace: they go with the last process in it, even when it is killed.
ROOT_SHELL = r"""set -e
r=$1; shift
mount -t proc proc "$r/proc"
mount --rbind /sys "$r/sys"
mount --make-rslave "$r/sys"
mount --rbind /dev "$r/dev"
mount --make-rslave "$r/dev"
mount --bind /tmp "$r/tmp"
exec chroot "$r" /bin/sh -c 'cd "$0" 2>/dev/null || cd /; exec "$@"' "$PWD" "$@"
"""


def ensure_user():
    """The test user's passwd entry, creating the user if missing."""
    try:
        return pwd.getpwnam(USER)
    except KeyError:
        pass
    r = subprocess.run(["useradd", "--system", "--user-group",
                        "--no-create-home", "--home-dir", "/nonexistent",
                        "--shell", "/usr/sbin/nologin", USER],
                       capture_output=True, text=True, timeout=30)
    if r.returncode not in (0, 9):  # 9: created meanwhile by someone else
        raise RuntimeError("useradd failed: " + r.stderr)
    return pwd.getpwnam(USER)


def pattern(size, mark=(255, 255, 255)):
    """A picture where a swapped channel, a flip, a turn or a shifted row
    shows: gradients, diagonal stripes and a square in the top-left corner."""
    w, h = size
    pic = Image.new("RGB", size)
    pic.putdata([mark if x < w // 8 and y < h // 8 else
                 (x * 255 // w, y * 255 // h, (x * 7 + y * 13) & 255)
                 for y in range(h) for x in range(w)])
    return pic


def in_root(root, argv):
    """argv run inside root, with the mounts it needs only while it runs."""
    return ["unshare", "-m", "--propagation", "private", "--", "sh", "-c",
            ROOT_SHELL, "sh", root] + list(argv)


def host_mirror():
    """The Debian mirror the host's own apt sources name."""
    found = []
    for path in ["/etc/apt/sources.list"] + \
            sorted(glob.glob("/etc/apt/sources.list.d/*")):
        try:
            with open(path) as f:
                text = f.read()
        except OSError:
            continue
        found += re.findall(r"^URIs:\s*(\S+)", text, re.M)
        found += re.findall(r"^deb\s+(?:\[[^]]*\]\s+)?(\S+)", text, re.M)
    for uri in found:
        if uri.rstrip("/").endswith("/debian"):
            return uri
    return "http://deb.debian.org/debian"


def make_root(root=FORKY, packages=(), unstable=(), log=None):
    """A Debian testing (forky) root at root with the compositors above and
    any further packages named, made once and reused while it holds them
    all: (root, the names installed). Made as root; about 0.8 GB."""
    want = sorted(set(FORKY_PACKAGES) | set(packages))
    want_unstable = sorted(set(FORKY_UNSTABLE) | set(unstable))
    os.makedirs(os.path.dirname(root), exist_ok=True)
    done = os.path.join(root, "var/lib/tusak-tests/packages")
    out = open(log, "ab") if log else sys.stderr

    def sh(argv, timeout=1800):
        subprocess.run(argv, check=True, timeout=timeout,
                       stdin=subprocess.DEVNULL, stdout=out, stderr=out)

    def have():
        try:
            with open(done) as f:
                return f.read().split()
        except OSError:
            return []
    with open(root + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one maker at a time
        installed = have()
        if set(want) | set("unstable:" + p for p in want_unstable) <= \
                set(installed):
            return root, installed
        if not installed:  # never finished: made again from nothing
            shutil.rmtree(root, ignore_errors=True)
            # Debian 12's debootstrap knows forky by unstable's script.
            sh(["debootstrap", "--variant=minbase", "forky", root,
                host_mirror(), "/usr/share/debootstrap/scripts/sid"])
            mirror = host_mirror()
            files = {
                # The archive's Release may be older than its Valid-Until.
                "etc/apt/apt.conf.d/90tusak-tests":
                    'Acquire::Check-Valid-Until "false";\n'
                    'Acquire::Check-Date "false";\n'
                    'APT::Install-Recommends "false";\n',
                "etc/apt/sources.list":
                    "deb %s forky main\ndeb %s sid main\n" % (mirror, mirror),
                "etc/apt/preferences.d/90tusak-tests":
                    "Package: *\nPin: release n=sid\nPin-Priority: 50\n",
                # No service starts while packages are installed.
                "usr/sbin/policy-rc.d": "#!/bin/sh\nexit 101\n"}
            for name, text in files.items():
                with open(os.path.join(root, name), "w") as f:
                    f.write(text)
            os.chmod(os.path.join(root, "usr/sbin/policy-rc.d"), 0o755)
            os.makedirs(os.path.dirname(done), exist_ok=True)
            with open(done, "w") as f:
                f.write("base\n")
        apt = ["apt-get", "-q", "-y", "-o", "DPkg::Lock::Timeout=600",
               "--no-install-recommends"]
        sh(in_root(root, ["env", "DEBIAN_FRONTEND=noninteractive",
                          "apt-get", "-q", "update"]))
        sh(in_root(root, ["env", "DEBIAN_FRONTEND=noninteractive"] + apt +
                   ["install"] + want +
                   ["%s/sid" % p for p in want_unstable]))
        # The downloaded packages are not needed again (some 400 MB).
        sh(in_root(root, ["apt-get", "clean"]))
        names = set(installed) | set(want) | \
            set("unstable:" + p for p in want_unstable)
        with open(done, "w") as f:
            f.write("\n".join(["base"] + sorted(names - {"base"})) + "\n")
        return root, have()


# Debian 13 (trixie), the current stable release, for Wine 10 (wine32 is an
# i386 package), in a root of its own beside the testing one.
TRIXIE = "/var/cache/tusak-tests/trixie"


def make_trixie_root(root=TRIXIE, packages=(), log=None):
    """A Debian 13 root at root with i386 enabled and packages installed
    (apt's lock wait, no recommends, downloads cleaned), made once and
    reused while it holds them all: (root, the names installed)."""
    done = os.path.join(root, "var/lib/tusak-tests/packages")
    out = open(log, "ab") if log else sys.stderr

    def sh(argv):
        subprocess.run(argv, check=True, timeout=1800,
                       stdin=subprocess.DEVNULL, stdout=out, stderr=out)

    def have():
        try:
            with open(done) as f:
                return f.read().split()
        except OSError:
            return []
    os.makedirs(os.path.dirname(root), exist_ok=True)
    with open(root + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one maker at a time
        if set(packages) <= set(have()):
            return root, have()
        if not have():  # never finished: made again from nothing
            shutil.rmtree(root, ignore_errors=True)
            sh(["debootstrap", "--variant=minbase", "trixie", root,
                host_mirror()])
            with open(os.path.join(root, "usr/sbin/policy-rc.d"), "w") as f:
                f.write("#!/bin/sh\nexit 101\n")  # no service starts
            os.chmod(os.path.join(root, "usr/sbin/policy-rc.d"), 0o755)
            sh(in_root(root, ["dpkg", "--add-architecture", "i386"]))
            os.makedirs(os.path.dirname(done), exist_ok=True)
            with open(done, "w") as f:
                f.write("base\n")
        env = ["env", "DEBIAN_FRONTEND=noninteractive"]
        sh(in_root(root, env + ["apt-get", "-q", "update"]))
        sh(in_root(root, env + ["apt-get", "-q", "-y",
                                "-o", "DPkg::Lock::Timeout=600",
                                "--no-install-recommends", "install"] +
                   sorted(packages)))
        sh(in_root(root, ["apt-get", "clean"]))  # the downloads, not needed
        names = sorted((set(have()) | set(packages)) - {"base"})
        with open(done, "w") as f:
            f.write("\n".join(["base"] + names) + "\n")
        return root, have()

class Failed(Exception):
    """Something that waiting longer will not mend."""


def wait_for(check, timeout, what, interval=0.1):
    """Poll check() until it returns a true value; fail after timeout s.
    A tool that fails meanwhile (grim while outputs change) counts as not
    yet; its last complaint is told if time runs out."""
    end, last = time.monotonic() + timeout, ""
    while True:
        try:
            value = check()
            if value:
                return value
        except (RuntimeError, ValueError) as e:
            last = " (last: %s)" % e
        if time.monotonic() > end:
            raise TimeoutError("gave up after %gs waiting for %s%s" %
                               (timeout, what, last))
        time.sleep(interval)


def same(a, b):
    return a.size == b.size and a.convert("RGB").tobytes() == \
        b.convert("RGB").tobytes()


class Session:
    def __init__(self, root=None):
        self.user = ensure_user()
        # The compositor and its tools run inside root (a made root, see
        # make_root), tusak and the proxies on the host.
        self.root = root
        if root:
            self._enter_root()
        self.dir = tempfile.mkdtemp(prefix="tusak-wl-")
        self.runtime = os.path.join(self.dir, "run")
        self.home = os.path.join(self.dir, "home")
        for d in (self.runtime, self.home):
            os.mkdir(d, 0o700)
        # Traversable by the user, like a home directory would be.
        os.chmod(self.dir, 0o755)
        self._chown(self.dir, self.runtime, self.home)
        self.env = {"PATH": PATH, "HOME": self.home, "USER": USER,
                    "LOGNAME": USER, "LANG": "C.UTF-8",
                    "XDG_RUNTIME_DIR": self.runtime,
                    "XDG_CURRENT_DESKTOP": "sway",
                    "XDG_SESSION_TYPE": "wayland", MARK: self.dir}
        self.procs = []
        self.pictures = {}  # output name -> its background picture
        self._count = 0

    def _enter_root(self):
        """The test user in the root's own account files, as some programs
        look themselves up."""
        u = self.user
        for name, line in (("passwd", "%s:x:%d:%d::/nonexistent:"
                            "/usr/sbin/nologin\n" % (USER, u.pw_uid, u.pw_gid)),
                           ("group", "%s:x:%d:\n" % (USER, u.pw_gid))):
            path = os.path.join(self.root, "etc", name)
            with open(path) as f:
                if any(l.split(":")[0] == USER for l in f):
                    continue
            with open(path, "a") as f:
                f.write(line)

    def _chown(self, *paths):
        for p in paths:
            os.chown(p, self.user.pw_uid, self.user.pw_gid)

    def as_user(self, argv, host=True):
        """argv wrapped to run as the test user, inside the session's root
        unless host. The process is sent SIGTERM when the thread that
        started it ends, so that a test that dies leaves no desktop
        behind."""
        argv = ["setpriv", "--reuid", str(self.user.pw_uid), "--regid",
                str(self.user.pw_gid), "--init-groups",
                "--pdeathsig", "SIGTERM", "--"] + list(argv)
        return argv if host or not self.root else in_root(self.root, argv)

    def popen(self, argv, log=None, host=True, **kw):
        """Start argv as the user in the session (stopped by stop()); in
        the session's root unless host."""
        out = open(os.path.join(self.dir, log), "ab") if log else \
            subprocess.DEVNULL
        try:
            p = subprocess.Popen(self.as_user(argv, host),
                                 env=kw.pop("env", self.env),
                                 stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.STDOUT if log else out,
                                 **kw)
        finally:
            if log:
                out.close()
        self.procs.append(p)
        return p

    def run(self, argv, timeout=30, check=False, host=True, **kw):
        """Run argv as the user in the session (in its root unless host);
        CompletedProcess with stdout and stderr as bytes. Raises
        TimeoutExpired after timeout s."""
        kw.setdefault("capture_output", True)
        kw.setdefault("env", self.env)
        return subprocess.run(self.as_user(argv, host), timeout=timeout,
                              check=check, stdin=subprocess.DEVNULL, **kw)

    def workdir(self):
        """A fresh empty directory the user may write to."""
        self._count += 1
        d = os.path.join(self.dir, "work%d" % self._count)
        os.mkdir(d)
        self._chown(d)
        return d

    def put(self, name, picture):
        """Save a Pillow image where the user can read it; its path."""
        path = os.path.join(self.dir, name)
        picture.save(path)
        os.chmod(path, 0o644)
        return path

    def log(self, name, tail=2000):
        try:
            with open(os.path.join(self.dir, name), errors="replace") as f:
                return f.read()[-tail:]
        except OSError:
            return ""

    # --- sway ---------------------------------------------------------
    def swaymsg(self, *args, timeout=10):
        r = self.run(["swaymsg", "-r"] + list(args), timeout=timeout,
                     host=False)
        reply = json.loads(r.stdout or b"null")
        if r.returncode or reply is None:
            raise RuntimeError("swaymsg %s failed: %r %r" %
                               (args, reply, r.stderr))
        return reply

    def command(self, text):
        """A sway command; raises if sway reports a failure."""
        for result in self.swaymsg(text):
            if not result.get("success"):
                raise RuntimeError("sway: %s: %s" % (text, result))

    def outputs(self):
        """Active outputs by name: sway's get_outputs entries."""
        return {o["name"]: o for o in self.swaymsg("-t", "get_outputs")
                if o.get("active")}

    def create_output(self, timeout=10):
        """Add a headless output; its name once sway shows it active."""
        before = set(self.outputs())
        self.command("create_output")
        new = wait_for(lambda: set(self.outputs()) - before, timeout,
                       "a new output")
        return new.pop()

    def set_output(self, name, mode=None, pos=None, transform=None,
                   scale=None, picture=None, timeout=20):
        """Change an output and wait until sway reports the change and, when
        a picture (a Pillow image) is set as its background and its size is
        the output's size in pixels (grim -o), until grim shows it."""
        words = ["output", name]
        if mode:
            words += ["mode", "%dx%d" % mode]
        if pos:
            words += ["pos", "%d" % pos[0], "%d" % pos[1]]
        if transform:
            words += ["transform", str(transform)]
        if scale:
            words += ["scale", "%g" % scale]
        if picture is not None:
            self.pictures[name] = picture
            # A new file each time: sway does not redraw for the same one.
            self._count += 1
            words += ["bg", self.put("bg-%d.png" % self._count, picture),
                      "fill"]
        self.command(" ".join(words))

        def applied():
            o = self.outputs().get(name)
            return o and all([
                not mode or (o["current_mode"]["width"],
                             o["current_mode"]["height"]) == tuple(mode),
                not pos or (o["rect"]["x"], o["rect"]["y"]) == tuple(pos),
                not transform or o["transform"] == str(transform),
                not scale or o["scale"] == scale]) and o
        o = wait_for(applied, timeout, "output %s to change" % name)
        pic = self.pictures.get(name)
        pixels = (round(o["rect"]["width"] * o["scale"]),
                  round(o["rect"]["height"] * o["scale"]))
        if pic is not None and pic.size == pixels:
            wait_for(lambda: same(self.grim(output=name), pic), timeout,
                     "the background of %s to show" % name, interval=0.2)
        return o

    # --- reference captures -------------------------------------------
    def grim(self, fmt="png", output=None, timeout=20):
        """grim's capture as a Pillow image. fmt "png" keeps gaps between
        outputs transparent; "ppm" makes them black."""
        argv = ["grim", "-t", fmt] + (["-o", output] if output else []) + \
            ["-"]
        r = self.run(argv, timeout=timeout, host=False)
        if r.returncode:
            raise RuntimeError("grim failed: %r" % r.stderr)
        image = Image.open(io.BytesIO(r.stdout))
        image.load()
        return image

    # --- the desktop portal -------------------------------------------
    def start_portal(self, timeout=30, extra_env=None):
        """A private session bus with PipeWire and the portals activated on
        it; returns the environment for portal clients (also self.env)."""
        bus = os.path.join(self.runtime, "bus")
        env = dict(self.env, DBUS_SESSION_BUS_ADDRESS="unix:path=" + bus,
                   **(extra_env or {}))
        # xdg-desktop-portal-wlr can only rewrite a file of its own there.
        if os.path.lexists(PORTAL_FILE):
            if os.lstat(PORTAL_FILE).st_uid != self.user.pw_uid:
                raise Failed(PORTAL_FILE + " belongs to someone else")
            os.unlink(PORTAL_FILE)
        # Services activated by the bus inherit its environment.
        self.popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                    "--address=unix:path=" + bus], log="dbus.log", env=env)
        wait_for(lambda: os.path.exists(bus), timeout, "the session bus")
        self.popen(["pipewire"], log="pipewire.log", env=env)
        wait_for(lambda: any(n.startswith("pipewire-0")
                             for n in os.listdir(self.runtime)),
                 timeout, "pipewire")
        self.env = env
        # xdg-desktop-portal-wlr can miss a call that comes while it starts
        # up (until another one wakes it), which stalls the portal's own
        # start for D-Bus's 25 s timeout; so it is started first, and
        # pinged (short calls, retried) until it answers.
        self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                  "org.freedesktop.DBus.StartServiceByName", BACKEND, "0",
                  timeout=timeout)
        wait_for(lambda: self.call(BACKEND, "/org/freedesktop/portal/desktop",
                                   "org.freedesktop.DBus.Peer.Ping",
                                   timeout=1) is not None,
                 timeout, "xdg-desktop-portal-wlr (see dbus.log)")
        # The next call activates the portal; it answers once its
        # backends are found, with no Screenshot if none offers it.
        wait_for(lambda: self.portal_version(), timeout,
                 "the portal to offer Screenshot (see dbus.log)",
                 interval=0.5)
        return env

    def call(self, dest, path, method, *args, timeout=10):
        """A D-Bus method call on the session bus with gdbus, as the user:
        its reply as gdbus prints it, or None if it failed."""
        r = self.run(["gdbus", "call", "--session", "--timeout",
                      str(timeout), "--dest", dest, "--object-path", path,
                      "--method", method] + list(args), timeout=timeout + 5)
        return r.stdout.decode().strip() if r.returncode == 0 else None

    def portal_version(self):
        """The Screenshot portal's version, or None if it has none."""
        out = self.call(*PORTAL, "org.freedesktop.DBus.Properties.Get",
                        "org.freedesktop.portal.Screenshot", "version")
        return out and int(out.split()[1].rstrip(">,)"))

    def start_bus(self, timeout=60, system=False, host=True, **extra_env):
        """A private session bus (and, if system, a stand-in system bus:
        gnome-shell dies without one where /run/systemd/seats exists);
        services it activates inherit the environment, and come from the
        session's root unless host. Sets self.env."""
        bus = os.path.join(self.runtime, "bus")
        env = dict(self.env, DBUS_SESSION_BUS_ADDRESS="unix:path=" + bus,
                   **extra_env)
        buses = [("bus", bus)]
        if system:
            system_bus = os.path.join(self.runtime, "system_bus")
            env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + system_bus
            buses.append(("system_bus", system_bus))
        for log, path in buses:
            self.popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                        "--address=unix:path=" + path], log=log + ".log",
                       env=env, host=host)
            wait_for(lambda: os.path.exists(path), timeout, "the " + log)
        self.env = env
        return env

    def start_script(self, name, args, log, timeout=30):
        """tests/wayland/NAME.py with args, as the session's user on its
        session bus (a private one, started if there is none); its output
        in log."""
        if "DBUS_SESSION_BUS_ADDRESS" not in self.env:
            self.start_bus(timeout)
        script = os.path.join(self.dir, name + ".py")
        shutil.copy(os.path.join(PEERS, name + ".py"), script)
        os.chmod(script, 0o755)
        self.popen(["/usr/bin/python3", script] + list(args), log=log)

    def start_scripted_portal(self, *args, timeout=30):
        """scripted_portal.py with args, once it owns the portal's name."""
        self.start_script("scripted_portal", args, "portal.log", timeout)
        wait_for(lambda: self.call("org.freedesktop.DBus",
                                   "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus.NameHasOwner",
                                   PORTAL[0], timeout=2) == "(true,)",
                 timeout, "the scripted portal (see portal.log)")

    def start_scripted_kwin(self, src, *args, timeout=30):
        """scripted_kwin.py handing out the picture file src (with args),
        once it owns KWin's name."""
        self.start_script("scripted_kwin", [src] + list(args), "kwin.log",
                          timeout)
        wait_for(lambda: "ready" in self.log("kwin.log"), timeout,
                 "the scripted KWin (see kwin.log)")

    # --- real desktops: GNOME and KDE Plasma ---------------------------
    def set_permission(self, answer):
        """Stores the desktop portal's screenshot permission for programs
        outside a sandbox ('yes' or 'no'), as the dialog would."""
        if self.call("org.freedesktop.impl.portal.PermissionStore",
                     "/org/freedesktop/impl/portal/PermissionStore",
                     "org.freedesktop.impl.portal.PermissionStore."
                     "SetPermission", "screenshot", "true", "screenshot",
                     "", "['%s']" % answer, timeout=30) is None:
            raise Failed("the permission store did not answer")

    def gnome_screenshot(self, timeout=60):
        """gnome-screenshot -f's picture of the desktop (Pillow image)."""
        work = self.workdir()
        path = os.path.join(work, "reference.png")
        r = self.run(["gnome-screenshot", "-f", path], timeout=timeout)
        if r.returncode or not os.path.exists(path):
            raise RuntimeError("gnome-screenshot failed: %r" % r.stderr)
        image = Image.open(path)
        image.load()
        return image

    def portal_screenshot(self, timeout=60):
        """The desktop portal's own picture of the desktop (Pillow image),
        taken without asking by portal_screenshot.py with the session's
        root's python3-gi; its file is removed."""
        script = os.path.join(self.dir, "portal_screenshot.py")
        shutil.copy(os.path.join(PEERS, "portal_screenshot.py"), script)
        os.chmod(script, 0o755)
        r = self.run(["python3", script, str(timeout)], timeout=timeout + 10,
                     host=False)
        uri = r.stdout.decode().strip()
        if r.returncode or not uri.startswith("file://"):
            raise RuntimeError("the portal's screenshot failed: %r" %
                               r.stderr)
        path = urllib.parse.unquote(uri[len("file://"):])
        image = Image.open(path)
        image.load()
        os.unlink(path)
        return image

    def start_gnome(self, size, timeout, more=()):
        """GNOME Shell, headless, on a virtual monitor of size pixels (and
        one of each size in more, to its right), quiet (a solid background,
        no animations, no banners) and out of the overview, with the desktop
        portal's screenshot permission stored; the shell, its bus and its
        portal from the session's root if it has one."""
        self.env.update(XDG_CURRENT_DESKTOP="GNOME")
        self.start_bus(timeout, system=True, host=False)
        for schema, key, value in [
                ("org.gnome.desktop.background", "picture-uri", "''"),
                ("org.gnome.desktop.background", "picture-uri-dark", "''"),
                ("org.gnome.desktop.background", "picture-options", "none"),
                ("org.gnome.desktop.background", "color-shading-type",
                 "solid"),
                ("org.gnome.desktop.background", "primary-color", "#204a87"),
                ("org.gnome.desktop.interface", "enable-animations", "false"),
                ("org.gnome.desktop.notifications", "show-banners", "false"),
                ("org.gnome.desktop.session", "idle-delay", "uint32 0"),
                ("org.gnome.desktop.screensaver", "lock-enabled", "false"),
                ("org.gnome.shell", "welcome-dialog-last-shown-version",
                 "'999'")]:
            r = self.run(["gsettings", "set", schema, key, value],
                         timeout=timeout, host=False)
            if r.returncode:
                raise Failed("gsettings %s %s: %r" % (schema, key, r.stderr))
        self.set_permission("yes")
        monitors = sum((["--virtual-monitor", "%dx%d" % tuple(m)]
                        for m in [size] + list(more)), [])
        shell = self.popen(["gnome-shell", "--headless", "--wayland",
                            "--no-x11"] + monitors, log="gnome.log",
                           host=False)

        def started():
            if shell.poll() is not None:
                raise Failed("gnome-shell exited: " + self.log("gnome.log"))
            return "GNOME Shell started" in self.log("gnome.log", 10 ** 6)
        wait_for(started, timeout, "GNOME Shell to start (see gnome.log)",
                 interval=0.5)
        way = [n for n in os.listdir(self.runtime)
               if n.startswith("wayland-") and not n.endswith(".lock")]
        if not way:
            raise Failed("gnome-shell made no Wayland socket")
        self.env["WAYLAND_DISPLAY"] = way[0]
        # It starts in the overview.
        wait_for(lambda: self.call(
            "org.gnome.Shell", "/org/gnome/Shell",
            "org.freedesktop.DBus.Properties.Set", "org.gnome.Shell",
            "OverviewActive", "<false>") is not None, timeout,
            "the overview to close")
        # The portal, started on demand, must find the desktop.
        self.run(["dbus-update-activation-environment",
                  "WAYLAND_DISPLAY=" + way[0], "XDG_CURRENT_DESKTOP=GNOME"],
                 timeout=timeout, check=True, host=False)

    def start_plasma(self, size, picture, timeout, data_dirs=None,
                     outputs=1, scale=1):
        """KWin (KDE Plasma's compositor), headless, on outputs virtual
        screens side by side of size pixels each at scale, showing picture
        in an X11 window at 0,0 as its scene;
        data_dirs go before /usr/share in XDG_DATA_DIRS (where KWin looks
        for desktop entries)."""
        self.env.update(XDG_CURRENT_DESKTOP="KDE", KDE_SESSION_VERSION="5",
                        XDG_DATA_DIRS=":".join(list(data_dirs or []) +
                                               ["/usr/local/share",
                                                "/usr/share"]))
        # Plasma's portal saves into ~/Pictures first; no animations.
        config = os.path.join(self.home, ".config")
        for d in (os.path.join(self.home, "Pictures"), config):
            os.makedirs(d, exist_ok=True)
            self._chown(d)
        with open(os.path.join(config, "kdeglobals"), "w") as f:
            f.write("[KDE]\nAnimationDurationFactor=0\n")
        self._chown(os.path.join(config, "kdeglobals"))
        self.start_bus(timeout)
        # kwin_wayland carries a file capability that exec refuses where the
        # bounding set lacks it: a copy has none.
        kwin = os.path.join(self.dir, "kwin_wayland")
        shutil.copy("/usr/bin/kwin_wayland", kwin)
        os.chmod(kwin, 0o755)
        # KWin starts the scene's viewer once Xwayland runs, as one word.
        # (A picture larger than the room left by the title bar would get a
        # panning window of its own.)
        viewer = os.path.join(self.dir, "scene.sh")
        with open(viewer, "w") as f:
            f.write("#!/bin/sh\nexec display -geometry +0+0 -borderwidth 0 "
                    "-title scene %s\n" % self.put("scene.png", picture))
        os.chmod(viewer, 0o755)
        proc = self.popen([kwin, "--virtual", "--width", str(size[0]),
                           "--height", str(size[1]), "--output-count",
                           str(outputs), "--scale", "%g" % scale,
                           "--xwayland",
                           "--no-lockscreen", "--no-global-shortcuts",
                           "--no-kactivities", viewer], log="kwin.log")

        def ready():
            if proc.poll() is not None:
                raise Failed("kwin_wayland exited: " + self.log("kwin.log"))
            names = os.listdir(self.runtime)
            way = [n for n in names
                   if n.startswith("wayland-") and not n.endswith(".lock")]
            return way and way[0]
        self.env["WAYLAND_DISPLAY"] = wait_for(
            ready, timeout, "kwin_wayland's socket", interval=0.5)

        def viewable():
            ready()
            display = self._member_env("DISPLAY")
            if not display:
                return False
            r = self.run(["xwininfo", "-name", "scene"], timeout=timeout,
                         env=dict(self.env, DISPLAY=display))
            return b"IsViewable" in r.stdout
        wait_for(viewable, timeout, "the scene's window to show (kwin.log)",
                 interval=0.5)
        for path, interface in [("/Screenshot", "org.kde.kwin.Screenshot"),
                                ("/org/kde/KWin/ScreenShot2",
                                 "org.kde.KWin.ScreenShot2")]:
            wait_for(lambda: interface in (self.call(
                "org.kde.KWin", path,
                "org.freedesktop.DBus.Introspectable.Introspect") or ""),
                timeout, "KWin's %s on the bus" % interface, interval=0.5)
        # Until the window is drawn and holds still.
        last = [None]

        def still():
            shot = self.spectacle()
            settled = last[0] is not None and same(shot, last[0])
            last[0] = shot
            return settled
        wait_for(still, timeout, "the scene to hold still", interval=0.2)
        return proc

    def start_quiet_bus(self, timeout):
        """A private session bus that activates nothing and shows every
        call to dbus-monitor. Sets self.env."""
        bus = os.path.join(self.runtime, "bus")
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w") as f:
            f.write("<busconfig><type>session</type>"
                    "<listen>unix:path=%s</listen><auth>EXTERNAL</auth>"
                    "<policy context='default'><allow send_destination='*' "
                    "eavesdrop='true'/><allow eavesdrop='true'/>"
                    "<allow own='*'/></policy></busconfig>\n" % bus)
        os.chmod(config, 0o644)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self.popen(["dbus-daemon", "--config-file", config, "--nofork",
                    "--nopidfile"], log="bus.log")
        wait_for(lambda: os.path.exists(bus), timeout, "the session bus")

    def start_xvfb(self, size, depth, timeout):
        """An Xvfb screen of size pixels at depth bits, as the user; its
        name in DISPLAY."""
        r, w = os.pipe()
        try:
            self.popen(["Xvfb", "-displayfd", str(w), "-screen", "0",
                        "%dx%dx%d" % (tuple(size) + (depth,)), "-nolisten",
                        "tcp", "-noreset"], log="xvfb.log", pass_fds=(w,))
            os.close(w)
            w = None
            # Read to the newline: Xvfb dies writing it to a closed pipe.
            number, end = b"", time.monotonic() + timeout
            while not number.endswith(b"\n") and select.select(
                    [r], [], [], max(0, end - time.monotonic()))[0]:
                part = os.read(r, 16)
                if not part:
                    break
                number += part
            number = number.decode().strip()
        finally:
            os.close(r)
            if w is not None:
                os.close(w)
        if not number.isdigit():
            raise Failed("Xvfb did not start: " + self.log("xvfb.log"))
        self.env["DISPLAY"] = ":" + number

    def start_kwin_x11(self, size, depth, picture, timeout, data_dirs=()):
        """KWin 6 on X11 from the session's root: kwin_x11 on an Xvfb screen
        of size pixels at depth bits, compositing with OpenGL (Mesa's
        llvmpipe), showing picture in an X11 window at 0,0. data_dirs go
        before the root's /usr/share in XDG_DATA_DIRS. The bus activates
        nothing."""
        self.env.update(XDG_CURRENT_DESKTOP="KDE", KDE_SESSION_VERSION="6",
                        XDG_SESSION_TYPE="x11",
                        XDG_DATA_DIRS=":".join(list(data_dirs) +
                                               ["/usr/local/share",
                                                "/usr/share"]))
        self.start_quiet_bus(timeout)
        self.start_xvfb(size, depth, timeout)
        proc = self.popen(["kwin_x11", "--replace"], log="kwin.log",
                          host=False)

        def composited():
            if proc.poll() is not None:
                raise Failed("kwin_x11 exited: " + self.log("kwin.log"))
            return "ScreenShot2" in (self.call(
                "org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                "org.freedesktop.DBus.Introspectable.Introspect",
                timeout=5) or "") and self.call(
                "org.kde.KWin", "/Compositor",
                "org.freedesktop.DBus.Properties.Get",
                "org.kde.kwin.Compositing", "active") == "(<true>,)"
        wait_for(composited, timeout, "KWin to composite (kwin.log)",
                 interval=0.5)
        kind = self.call("org.kde.KWin", "/Compositor",
                         "org.freedesktop.DBus.Properties.Get",
                         "org.kde.kwin.Compositing", "compositingType")
        if "gl" not in (kind or ""):
            raise Failed("KWin composites with %s, not OpenGL" % kind)
        self.popen(["display", "-geometry", "+0+0", "-borderwidth", "0",
                    "-title", "scene", self.put("scene.png", picture)],
                   log="display.log")
        wait_for(lambda: b"IsViewable" in self.run(
            ["xwininfo", "-name", "scene"], timeout=timeout).stdout,
            timeout, "the scene's window to show", interval=0.5)
        # Until the window is drawn and holds still.
        last = [None]

        def still():
            shot = self.spectacle()
            settled = last[0] is not None and same(shot, last[0])
            last[0] = shot
            return settled
        wait_for(still, timeout, "the scene to hold still", interval=0.2)
        return proc

    def start_kwin_in_root(self, size, picture, timeout, data_dirs=()):
        """KWin from the session's root (Plasma 6, from the testing
        archive), headless, on a virtual screen of size pixels, with
        picture as its background (swaybg, from the host, as a layer-shell
        surface). data_dirs go before the root's /usr/share in
        XDG_DATA_DIRS. The bus activates nothing (no portal, which the
        root does not hold)."""
        self.env.update(XDG_CURRENT_DESKTOP="KDE", KDE_SESSION_VERSION="6",
                        XDG_DATA_DIRS=":".join(list(data_dirs) +
                                               ["/usr/local/share",
                                                "/usr/share"]))
        self.start_quiet_bus(timeout)
        # A copy, for the file capability, of the root's own binary.
        kwin = os.path.join(self.dir, "kwin_wayland")
        shutil.copy(os.path.join(self.root, "usr/bin/kwin_wayland"), kwin)
        os.chmod(kwin, 0o755)
        proc = self.popen([kwin, "--virtual", "--width", str(size[0]),
                           "--height", str(size[1]), "--no-lockscreen",
                           "--no-global-shortcuts", "--no-kactivities"],
                          log="kwin.log", host=False)

        def ready():
            if proc.poll() is not None:
                raise Failed("kwin_wayland exited: " + self.log("kwin.log"))
            way = [n for n in os.listdir(self.runtime)
                   if n.startswith("wayland-") and not n.endswith(".lock")]
            return way and "org.kde.KWin.ScreenShot2" in (self.call(
                "org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                "org.freedesktop.DBus.Introspectable.Introspect",
                timeout=5) or "") and way[0]
        self.env["WAYLAND_DISPLAY"] = wait_for(
            ready, timeout, "KWin and its ScreenShot2 (kwin.log)",
            interval=0.5)
        self.popen(["swaybg", "-i", self.put("bg.png", picture), "-m",
                    "stretch"], log="swaybg.log")
        wait_for(lambda: "Found config" in self.log("swaybg.log"), timeout,
                 "swaybg (swaybg.log)")
        return proc

    def _member_env(self, name):
        """name's value in the environment of a process of the session that
        has it (the one KWin started, for DISPLAY)."""
        key = name.encode() + b"="
        for pid in self._members():
            try:
                with open("/proc/%d/environ" % pid, "rb") as f:
                    for item in f.read().split(b"\0"):
                        if item.startswith(key):
                            return item[len(key):].decode()
            except OSError:
                pass
        return None

    def spectacle(self, pointer=False, timeout=60):
        """spectacle's picture of the whole desktop (Pillow image), taken in
        the background without a notification (the session's root's
        spectacle if it has one); with the pointer if pointer."""
        path = os.path.join(self.workdir(), "reference.png")
        r = self.run(["spectacle", "-b", "-n", "-f"] + (["-p"] if pointer
                                                       else []) +
                     ["-o", path], timeout=timeout, host=False)
        if r.returncode or not os.path.exists(path):
            raise RuntimeError("spectacle failed: %r" % r.stderr)
        image = Image.open(path)
        image.load()
        return image

    def monitor(self, log):
        """dbus-monitor on the session bus, writing to log, once it
        listens."""
        proc = self.popen(["dbus-monitor", "--session", "type='method_call'"],
                          log=log)
        wait_for(lambda: "NameAcquired" in self.log(log) or
                 "member=Hello" in self.log(log) or
                 proc.poll() is not None, 30, "dbus-monitor")
        return proc

    # --- start and stop -----------------------------------------------
    def start_sway(self, size, picture, timeout, xwayland=False):
        self.pictures["HEADLESS-1"] = picture
        config = os.path.join(self.dir, "sway.conf")
        with open(config, "w") as f:
            f.write("xwayland %s\n"
                    "output HEADLESS-1 mode %dx%d pos 0 0 bg %s fill\n" %
                    (("force" if xwayland else "disable",) + size +
                     (self.put("bg-HEADLESS-1.png", picture),)))
            if xwayland:  # where its clients find it
                f.write("exec sh -c 'echo $DISPLAY > %s/display'\n" %
                        self.runtime)
        os.chmod(config, 0o644)
        env = dict(self.env, WLR_BACKENDS="headless", WLR_RENDERER="pixman",
                   WLR_LIBINPUT_NO_DEVICES="1")
        sway = self.popen(["sway", "-c", config], log="sway.log", env=env,
                          host=False)

        def sockets():
            if sway.poll() is not None:
                raise Failed("sway exited: " + self.log("sway.log"))
            names = os.listdir(self.runtime)
            ipc = [n for n in names if n.startswith("sway-ipc.")]
            way = [n for n in names
                   if n.startswith("wayland-") and not n.endswith(".lock")]
            return ipc and way and (ipc[0], way[0])
        ipc, way = wait_for(sockets, timeout, "sway's sockets")
        self.env.update(WAYLAND_DISPLAY=way,
                        SWAYSOCK=os.path.join(self.runtime, ipc))
        # swaybg draws the background a moment after sway starts.
        wait_for(lambda: "HEADLESS-1" in self.outputs() and
                 same(self.grim(), picture), timeout,
                 "the background to show", interval=0.2)
        if xwayland:
            path = os.path.join(self.runtime, "display")
            self.env["DISPLAY"] = wait_for(
                lambda: os.path.exists(path) and open(path).read().strip(),
                timeout, "Xwayland's display")

    def start_wlroots(self, kind, size, picture, timeout):
        """labwc, wayfire or cage, headless, with one output of size pixels
        showing picture (drawn by swaybg; in cage, which has no background
        layer, by ImageMagick's display on its Xwayland)."""
        config = os.path.join(self.dir, "config")
        os.mkdir(config)
        display = os.path.join(self.runtime, "display")
        if kind == "cage":
            argv = ["cage", "--", "sh", "-c",
                    "echo $DISPLAY > %s; exec sleep infinity" % display]
        elif kind == "wayfire":
            # No plugins: nothing but the outputs and the background.
            argv = ["wayfire", "-c", os.path.join(config, "wayfire.ini")]
            with open(argv[-1], "w") as f:
                f.write("[core]\nplugins = \nxwayland = false\n")
        else:
            argv = ["labwc", "-C", config]
        for name in os.listdir(config):
            os.chmod(os.path.join(config, name), 0o644)
        os.chmod(config, 0o755)
        env = dict(self.env, WLR_BACKENDS="headless", WLR_RENDERER="pixman",
                   WLR_LIBINPUT_NO_DEVICES="1", WLR_HEADLESS_OUTPUTS="1")
        proc = self.popen(argv, log="compositor.log", env=env, host=False)

        def socket():
            if proc.poll() is not None:
                raise Failed("%s exited: %s" % (kind,
                                                 self.log("compositor.log")))
            return [n for n in os.listdir(self.runtime)
                    if n.startswith("wayland-") and not n.endswith(".lock")]
        self.env["WAYLAND_DISPLAY"] = wait_for(socket, timeout,
                                               kind + "'s socket")[0]
        mode = "%dx%d" % tuple(size)
        wait_for(lambda: self.run(["wlr-randr", "--output", "HEADLESS-1",
                                   "--custom-mode", mode],
                                  host=False).returncode == 0 and
                 self.grim().size == tuple(size), timeout, "the mode")
        if kind == "cage":
            x = wait_for(lambda: os.path.exists(display) and
                         open(display).read().strip(), timeout,
                         "cage's Xwayland")
            self.popen(["display", "-geometry", "+0+0", "-borderwidth", "0",
                        self.put("bg.png", picture)], log="display.log",
                       env=dict(self.env, DISPLAY=x))
        else:
            self.popen(["swaybg", "-o", "*", "-m", "fill", "-i",
                        self.put("bg.png", picture)], log="swaybg.log",
                       host=False)
        wait_for(lambda: same(self.grim(), picture), timeout,
                 "the background to show", interval=0.2)

    def _members(self):
        """Pids of this session's processes, found by the mark in their
        environment: services the bus activated are not our children."""
        mark = ("%s=%s" % (MARK, self.dir)).encode()
        found = set()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if mark in f.read().split(b"\0"):
                        found.add(int(pid))
            except OSError:
                pass
        return found

    @staticmethod
    def _alive(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    def stop(self, timeout=10):
        """Ends every process of the session, then removes its files."""
        # A process on its way out shows an empty environment, so the pids
        # found are kept and watched until they are gone.
        pids = set()
        for sig in (signal.SIGTERM, signal.SIGKILL):
            pids = {p for p in pids | self._members() if self._alive(p)}
            for pid in pids:
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            for p in self.procs:
                try:
                    p.wait(timeout)
                except subprocess.TimeoutExpired:
                    pass
            try:
                wait_for(lambda: not any(map(self._alive, pids)) and
                         not self._members(), timeout,
                         "the session's processes to end")
                break
            except TimeoutError:
                if sig == signal.SIGKILL:
                    raise
        self.procs = []
        # The document portal leaves its FUSE mount behind.
        doc = os.path.join(self.runtime, "doc")
        if os.path.ismount(doc):
            subprocess.run(["umount", "-l", doc], capture_output=True,
                           timeout=timeout)
        try:
            if os.stat(PORTAL_FILE).st_uid == self.user.pw_uid:
                os.unlink(PORTAL_FILE)
        except OSError:
            pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def start(size=(1024, 768), picture=None, timeout=30, root=None,
          compositor="sway", xwayland=False):
    """A running compositor (sway, or labwc, wayfire or cage) with one
    output HEADLESS-1 of size pixels at 0,0 showing picture (a Pillow image;
    pattern(size) by default); inside root if given (make_root), with
    Xwayland started (DISPLAY in env) if xwayland."""
    if picture and picture.size != tuple(size):
        raise ValueError("the picture must be the output's size")
    s = Session(root)
    try:
        if compositor == "sway":
            s.start_sway(tuple(size), picture or pattern(size), timeout,
                         xwayland)
        else:
            s.start_wlroots(compositor, tuple(size), picture or
                            pattern(size), timeout)
    except BaseException:
        s.stop()
        raise
    return s
