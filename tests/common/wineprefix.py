"""Wine for the suites: the host's or a root's, and prefixes made afresh
with a virtual desktop of a screen's size, ended and removed whole."""
import glob, os, shutil, subprocess, tempfile

from roots import in_root

TIMEOUT = 120  # seconds for any one step; nothing waits longer


def wine_commands(root=None):
    """The argv starts of wine and wineserver: the host's (PATH first), or
    those of the Wine installed in root, run there. Each is looked for where
    Debian's packages have kept it (wine32 alone puts neither on PATH)."""
    def find(name, places):
        if not root and shutil.which(name):
            return [shutil.which(name)]
        for place in places:
            for path in sorted(glob.glob((root or "/") + place)):
                # (In a root, /usr/bin's are links to its own alternatives.)
                if os.path.lexists(path) if root else \
                        os.path.isfile(path) and os.access(path, os.X_OK):
                    path = "/" + os.path.relpath(path, root or "/")
                    return in_root(root, [path]) if root else [path]
        raise RuntimeError("no %s in %s" % (name, root or "this system"))
    lib = ["/usr/lib/wine/", "/usr/lib/i386-linux-gnu/wine/",
           "/usr/lib/i386-linux-gnu/wine/i386-unix/"]
    return (find("wine", ["/usr/bin/wine"] + [d + "wine" for d in lib]),
            find("wineserver", ["/usr/bin/wineserver"] + [
                d + n for n in ("wineserver", "wineserver32") for d in lib]))


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def stop_wine(server, env):
    """Ends every process of the prefix and its server, and waits for that."""
    subprocess.run(server + ["-k"], env=env, timeout=TIMEOUT)
    subprocess.run(server + ["-w"], env=env, timeout=TIMEOUT)


def remove_prefix(env):
    """The prefix of a stopped Wine, and the folder its server kept its
    socket in: Debian's Wine makes that in TMPDIR, as wine-XXXXXX/server-
    and the prefix's device and inode."""
    try:
        st = os.stat(env["WINEPREFIX"])
    except FileNotFoundError:
        return
    server = "server-%x-%x" % (st.st_dev, st.st_ino)
    for d in glob.glob(os.path.join(tempfile.gettempdir(), "wine-*", server)):
        shutil.rmtree(d, ignore_errors=True)
        try:
            os.rmdir(os.path.dirname(d))
        except OSError:
            pass
    shutil.rmtree(env["WINEPREFIX"], ignore_errors=True)


def make_prefix(wine, server, env, size, log):
    """A fresh prefix whose default desktop is virtual: there Wine shows the
    screen to programs, and `wine` returns the program's exit status."""
    if os.path.exists(env["WINEPREFIX"]):
        stop_wine(server, env)
        remove_prefix(env)
    subprocess.run(wine + ["wineboot", "-i"], env=env, timeout=300,
                   check=True, stdout=log, stderr=log)
    reg = os.path.join(env["WINEPREFIX"], "desktop.reg")
    with open(reg, "w") as f:
        f.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"
                "\"Desktop\"=\"Default\"\n\n"
                "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n"
                "\"Default\"=\"%dx%d\"\n" % tuple(size))
    subprocess.run(wine + ["regedit", "/S", win_path(reg)], env=env,
                   timeout=TIMEOUT, check=True, stdout=log, stderr=log)
    # The desktop is made anew when the next session starts.
    subprocess.run(server + ["-w"], env=env, timeout=TIMEOUT, check=True)
