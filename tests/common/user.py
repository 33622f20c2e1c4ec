"""The suites' unprivileged user (sway refuses root; some rows need a user
whom a file may refuse), and copies of programs that it may run wherever
the checkout is (perhaps a folder only its owner can enter)."""
import os, pwd, shutil, subprocess

USER = "tusak-test"


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


def runnable(path, folder, name=None, mode=0o755):
    """A copy of path in folder (as name) that anyone may read and run."""
    copy = os.path.join(folder, name or os.path.basename(path))
    shutil.copyfile(path, copy)
    os.chmod(copy, mode)
    return copy
