"""Debian roots for newer software than the host's, outside any checkout so
that every clone shares them: each made once, by the first test that needs
it, one maker at a time, and grown by the packages later rows ask for."""
import fcntl, glob, os, re, shutil, subprocess, sys
from dataclasses import dataclass

CACHE = "/var/cache/tusak-tests"


@dataclass(frozen=True)
class Root:
    suite: str               # the Debian release
    base: tuple = ()         # what every user of the root gets
    unstable: tuple = ()     # what only unstable (pinned low) still has
    archs: tuple = ()        # foreign architectures
    script: str = ""         # debootstrap's, where Debian 12 names it not


ROOTS = {
    # Debian testing: current compositors (wayfire has left testing).
    "forky": Root("forky", base=("sway", "grim", "labwc", "swaybg",
                                 "wlr-randr", "xwayland", "cage"),
                  unstable=("wayfire",),
                  script="/usr/share/debootstrap/scripts/sid"),
    # Debian 13, for Wine 10 (wine32 is an i386 package).
    "trixie": Root("trixie", archs=("i386",)),
}
# The testing root's desktops, added by the rows that run them: GNOME 50
# with its portal (python3-gi for the portal's own picture), and KWin 6 on
# X11 with spectacle (both abort without libxcb-cursor0; Mesa's llvmpipe
# draws for KWin).
FORKY_GNOME = ("gnome-shell", "mutter", "xdg-desktop-portal",
               "xdg-desktop-portal-gnome", "gsettings-desktop-schemas",
               "dconf-gsettings-backend", "dconf-service", "python3-gi")
FORKY_KWIN_X11 = ("kwin-x11", "kde-spectacle", "libxcb-cursor0",
                  "libgl1-mesa-dri", "libegl-mesa0")
# Inside a root: its own proc, sys and dev while a command runs, and the
# host's /tmp at the same path, so that a session's runtime directory and
# pictures are one on both sides (and the command starts in the same
# directory). The mounts live in a private mount namespace: they go with
# the last process in it, even when it is killed.
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
    return next((u for u in found if u.rstrip("/").endswith("/debian")),
                "http://deb.debian.org/debian")


def make_root(name, packages=(), log=None):
    """The root ROOTS[name] at CACHE/name holding its base and packages,
    made once and reused while it holds them all: (its path, the names
    installed). Made as root; a gigabyte or more."""
    spec, root = ROOTS[name], os.path.join(CACHE, name)
    want = set(spec.base) | set(packages) | \
        set("unstable:" + p for p in spec.unstable)
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
    os.makedirs(CACHE, exist_ok=True)
    with open(root + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one maker at a time
        if want <= set(have()):
            return root, have()
        if not have():  # never finished: made again from nothing
            shutil.rmtree(root, ignore_errors=True)
            mirror = host_mirror()
            sh(["debootstrap", "--variant=minbase", spec.suite, root,
                mirror] + ([spec.script] if spec.script else []))
            files = {
                # The archive's Release may be older than its Valid-Until.
                "etc/apt/apt.conf.d/90tusak-tests":
                    'Acquire::Check-Valid-Until "false";\n'
                    'Acquire::Check-Date "false";\n'
                    'APT::Install-Recommends "false";\n',
                # No service starts while packages are installed.
                "usr/sbin/policy-rc.d": "#!/bin/sh\nexit 101\n"}
            if spec.unstable:
                files["etc/apt/sources.list"] = "deb %s %s main\n" \
                    "deb %s sid main\n" % (mirror, spec.suite, mirror)
                files["etc/apt/preferences.d/90tusak-tests"] = \
                    "Package: *\nPin: release n=sid\nPin-Priority: 50\n"
            for path, text in files.items():
                with open(os.path.join(root, path), "w") as f:
                    f.write(text)
            os.chmod(os.path.join(root, "usr/sbin/policy-rc.d"), 0o755)
            for arch in spec.archs:
                sh(in_root(root, ["dpkg", "--add-architecture", arch]))
            os.makedirs(os.path.dirname(done), exist_ok=True)
            with open(done, "w") as f:
                f.write("base\n")
        env = ["env", "DEBIAN_FRONTEND=noninteractive"]
        sh(in_root(root, env + ["apt-get", "-q", "update"]))
        sh(in_root(root, env + [
            "apt-get", "-q", "-y", "-o", "DPkg::Lock::Timeout=600",
            "--no-install-recommends", "install"] + sorted(
                p.split(":", 1)[1] + "/sid" if p.startswith("unstable:")
                else p for p in want)))
        # The downloaded packages are not needed again (some 400 MB).
        sh(in_root(root, ["apt-get", "clean"]))
        with open(done, "w") as f:
            f.write("\n".join(["base"] + sorted(
                (set(have()) | want) - {"base"})) + "\n")
        return root, have()
