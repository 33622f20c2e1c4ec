"""A session of the test user for a desktop: a private runtime directory
and home, the environment its clients need, its processes (as the user, in
the session's root unless on the host), and their end, with whatever they
left. The desktops (desktops/) start in one; the rows run tusak in it.

    s = Session(root)
    try:
        wlroots.start_sway(s, (1024, 768), picture)
        s.run([s.copy(tusak)], cwd=s.workdir())
    finally:
        s.stop()
"""
import os, signal, shutil, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(TESTS, "common"), os.path.join(TESTS, "peers")]
from roots import in_root  # noqa: E402
from servers import start_bus  # noqa: E402
from user import USER, ensure_user, runnable  # noqa: E402

PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
MARK = "TUSAK_TEST_SESSION"  # in every process of a session, to find them


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


class Session:
    def __init__(self, root=None, tusak=None):
        self.user = ensure_user()
        # The desktop and its tools run inside root (roots.make_root), tusak
        # and the proxies on the host.
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
        self.chown(self.dir, self.runtime, self.home)
        self.env = {"PATH": PATH, "HOME": self.home, "USER": USER,
                    "LOGNAME": USER, "LANG": "C.UTF-8",
                    "XDG_RUNTIME_DIR": self.runtime,
                    "XDG_CURRENT_DESKTOP": "sway",
                    "XDG_SESSION_TYPE": "wayland", MARK: self.dir}
        self.procs = []
        self.pictures = {}  # output name -> its background picture
        self.cleanups = []  # what stop() does once the processes are gone
        self._count = 0
        # The build under test, and a copy of its tusak the user may run.
        self.build = tusak and os.path.dirname(os.path.abspath(tusak))
        self.tusak = tusak and self.copy(tusak)
        self.installed = None  # its installed copy, once install() has run

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

    def chown(self, *paths):
        for p in paths:
            os.lchown(p, self.user.pw_uid, self.user.pw_gid)

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
        self.chown(d)
        return d

    def put(self, name, picture):
        """Save a Pillow image where the user can read it; its path."""
        path = os.path.join(self.dir, name)
        picture.save(path)
        os.chmod(path, 0o644)
        return path

    def copy(self, path, name=None):
        """A copy of a program (tusak, or a script of tests/peers by its
        name) that the user may run, whatever the checkout's folder allows."""
        if os.sep not in path:
            path = os.path.join(TESTS, "peers", path)
        return runnable(path, self.dir, name)

    def install(self):
        """tusak installed as a user installs it (cmake --install of its
        build folder) under the session's folder: the installed binary."""
        prefix = os.path.join(self.dir, "prefix")
        r = subprocess.run(["cmake", "--install", self.build, "--prefix",
                            prefix], capture_output=True, text=True,
                           timeout=120)
        assert r.returncode == 0, r.stdout + r.stderr
        subprocess.run(["chmod", "-R", "a+rX", prefix], check=True)
        self.installed = os.path.join(prefix, "bin", "tusak")
        return self.installed

    def log(self, name, tail=2000):
        try:
            with open(os.path.join(self.dir, name), errors="replace") as f:
                return f.read()[-tail:]
        except OSError:
            return ""

    def call(self, dest, path, method, *args, timeout=10):
        """A D-Bus method call on the session bus with gdbus, as the user:
        its reply as gdbus prints it, or None if it failed."""
        r = self.run(["gdbus", "call", "--session", "--timeout",
                      str(timeout), "--dest", dest, "--object-path", path,
                      "--method", method] + list(args), timeout=timeout + 5)
        return r.stdout.decode().strip() if r.returncode == 0 else None

    def serves(self, dest, path, interface, timeout=10):
        """Whether dest's object at path offers interface."""
        return interface in (self.call(
            dest, path, "org.freedesktop.DBus.Introspectable.Introspect",
            timeout=timeout) or "")

    def start_bus(self, system=False, quiet=False, host=True, timeout=60,
                  **extra_env):
        """A private session bus (and, if system, a stand-in system bus:
        gnome-shell dies without one where /run/systemd/seats exists); the
        services it activates inherit the environment, and come from the
        session's root unless host. A quiet bus activates nothing and shows
        every call to dbus-monitor. Sets self.env."""
        self.env = dict(self.env, **extra_env)
        for name in ("bus", "system_bus")[:1 + system]:
            path = os.path.join(self.runtime, name)
            self.env["DBUS_%s_BUS_ADDRESS" % ("SYSTEM" if "_" in name else
                                             "SESSION")] = "unix:path=" + path
            start_bus(lambda argv: self.popen(
                argv, log=name + ".log", env=self.env, host=host), path,
                quiet and os.path.join(self.dir, "bus.conf"), timeout)
        # The document portal, which a bus may start, leaves its FUSE mount.
        doc = os.path.join(self.runtime, "doc")
        self.cleanups.append(lambda: os.path.ismount(doc) and subprocess.run(
            ["umount", "-l", doc], capture_output=True, timeout=10))
        return self.env

    def wayland_socket(self, proc, what, log, timeout):
        """The name of the session's Wayland socket once there is one,
        while proc, which makes it, runs."""
        def found():
            if proc.poll() is not None:
                raise Failed("%s exited: %s" % (what, self.log(log)))
            return next((n for n in sorted(os.listdir(self.runtime))
                         if n.startswith("wayland-") and
                         not n.endswith(".lock")), None)
        return wait_for(found, timeout, "%s's socket (see %s)" % (what, log),
                        interval=0.2)

    def member_env(self, name):
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
        for cleanup in self.cleanups:
            cleanup()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
