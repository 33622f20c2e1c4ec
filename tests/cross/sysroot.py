#!/usr/bin/python3
"""Debian 12 sysroots of other architectures, for the cross builds and for
running what they build under QEMU's user mode (qemu-s390x -L ROOT ...).

A sysroot is the target's packages unpacked, nothing installed: apt with a
state of its own (the target as its only architecture, an empty dpkg
status, the host's mirror) downloads them with their dependencies, and
dpkg-deb -x unpacks each. The host's dpkg never hears of the architecture,
so an index of the mirror's that is broken for it (seen: armhf's and
i386's security indexes) breaks nothing else. Made once under
/var/cache/tusak-tests/, outside every checkout, by one maker at a time,
and reused while it holds every package asked for.

Usage: sysroot.py ARCH [PACKAGE...]   (prints the sysroot's path)
"""
import fcntl, glob, os, shutil, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "common"))
from roots import CACHE, host_mirror  # noqa: E402

# What the Linux program and the gtests build against and run with.
BUILD = ("libc6-dev", "libstdc++6", "libgcc-s1", "libxcb1-dev",
         "libxcb-shm0-dev", "libwayland-dev", "wayland-protocols",
         "libsystemd-dev", "libpng-dev", "libgtest-dev")
# A compositor of that machine's byte order, its background and grim.
DESKTOP = ("sway", "swaybg", "grim")
TRIPLETS = {"s390x": "s390x-linux-gnu", "armhf": "arm-linux-gnueabihf"}
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def path(arch):
    return os.path.join(CACHE, "sysroot-" + arch)


def relative_links(root):
    """Absolute links (libfoo.so -> /lib/...) made relative, so that the
    linker and QEMU follow them within the sysroot, not on the host."""
    for top, dirs, files in os.walk(root):
        for name in dirs + files:
            link = os.path.join(top, name)
            if os.path.islink(link) and os.readlink(link).startswith("/"):
                target = root + os.readlink(link)
                os.unlink(link)
                os.symlink(os.path.relpath(target, top), link)


def make(arch, packages=BUILD, log=None):
    """The sysroot of arch holding packages (and what they depend on):
    its path. Made as root."""
    root = path(arch)
    done = os.path.join(root, ".tusak-packages")
    out = open(log, "a") if log else sys.stderr
    os.makedirs(CACHE, exist_ok=True)
    with open(root + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one maker at a time
        try:
            with open(done) as f:
                have = f.read().split()
        except OSError:
            have = []
        if set(packages) <= set(have):
            return root
        want = sorted(set(packages) | set(have))
        started = time.monotonic()
        apt_dir = root + ".apt"
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(apt_dir, ignore_errors=True)
        for d in ("lists/partial", "archives/partial", "parts"):
            os.makedirs(os.path.join(apt_dir, d))
        open(os.path.join(apt_dir, "status"), "w").close()
        # The release and its updates: the security suite's indexes for
        # other architectures are the ones the mirror serves broken.
        mirror = host_mirror()
        with open(os.path.join(apt_dir, "sources.list"), "w") as f:
            for suite in ("bookworm", "bookworm-updates"):
                f.write("deb [arch=%s signed-by=%s] %s %s main\n" %
                        (arch, KEYRING, mirror, suite))
        apt = ["apt-get", "-q", "-o", "APT::Architecture=" + arch,
               "-o", "APT::Architectures=" + arch,
               "-o", "Dir::State=" + apt_dir,
               "-o", "Dir::State::status=" + apt_dir + "/status",
               "-o", "Dir::Cache=" + apt_dir,
               "-o", "Dir::Etc::SourceList=" + apt_dir + "/sources.list",
               "-o", "Dir::Etc::SourceParts=" + apt_dir + "/parts",
               "-o", "Dir::Etc::Preferences=" + apt_dir + "/preferences",
               "-o", "Dir::Etc::PreferencesParts=" + apt_dir + "/parts",
               "-o", "Acquire::Languages=none",
               "-o", "APT::Install-Recommends=false",
               "-o", "Debug::NoLocking=true"]
        run = dict(check=True, timeout=1800, stdin=subprocess.DEVNULL,
                   stdout=out, stderr=out)
        for attempt in range(3):  # a mirror part way through a sync
            try:
                subprocess.run(apt + ["update"], **run)
                break
            except subprocess.CalledProcessError:
                if attempt == 2:
                    raise
                time.sleep(20)
        subprocess.run(apt + ["-y", "--download-only", "install"] + want,
                       **run)
        os.makedirs(root)
        debs = sorted(glob.glob(os.path.join(apt_dir, "archives", "*.deb")))
        for deb in debs:
            subprocess.run(["dpkg-deb", "-x", deb, root], **run)
        relative_links(root)
        # pkgconf names the scanner in the sysroot: the host's, which runs
        # here, in place of the target's.
        scanner = os.path.join(root, "usr/bin/wayland-scanner")
        os.makedirs(os.path.dirname(scanner), exist_ok=True)
        if os.path.lexists(scanner):
            os.unlink(scanner)
        os.symlink("/usr/bin/wayland-scanner", scanner)
        shutil.rmtree(apt_dir)
        with open(done, "w") as f:
            f.write("\n".join(want) + "\n")
        out.flush()
        print("made %s: %d packages in %.0f s" % (
            root, len(debs), time.monotonic() - started), file=out)
        return root


if __name__ == "__main__":
    print(make(sys.argv[1], tuple(sys.argv[2:]) or BUILD))
