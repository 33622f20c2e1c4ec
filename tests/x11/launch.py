"""Launches of tusak on X11, held and let go at once; and what is at the
names in a row's directory before and after them."""
import os, resource, socket, stat, subprocess

from notices import sanitizer_report

TIMEOUT = 60  # for any one program; a run takes a second or two
EARLIER = b"an earlier screenshot"


def launch(command, env, work, count=1, fsize=None, stderr=subprocess.PIPE):
    """Starts count launches, each held at a shell's read of one pipe, and
    lets them go at once; their (status, stderr, pid)."""
    go_r, go_w = os.pipe()
    runs = []
    try:
        with open(go_w, "wb"):  # its closing ends every read
            for _ in range(count):
                runs.append(subprocess.Popen(
                    ["sh", "-c", 'read _; exec "$@"', "sh"] + command,
                    cwd=work, env=env, stdin=go_r, stdout=subprocess.DEVNULL,
                    stderr=stderr, text=True, preexec_fn=fsize and (
                        lambda: resource.setrlimit(resource.RLIMIT_FSIZE,
                                                   (fsize, fsize)))))
        errs = [p.communicate(timeout=TIMEOUT)[1] for p in runs]
        for err in errs:
            report = sanitizer_report(err)
            assert not report, "a sanitizer's report:\n" + report
        return [(p.returncode, err, p.pid) for p, err in zip(runs, errs)]
    finally:
        os.close(go_r)
        for p in runs:
            if p.poll() is None:
                p.kill()
                p.wait()


def make(setup, work):
    """Puts at the names what a row's directory holds before the run: how
    many names it takes."""
    path = os.path.join(work, "tusak0000.bmp")
    taken = {"taken": 3, "earlier": 1, "unreadable": 1}.get(setup, 0)
    for i in range(taken):
        open(os.path.join(work, "tusak%04d.bmp" % i), "wb").write(EARLIER)
    if setup == "unreadable":
        os.chmod(path, 0)
    elif setup == "dir":
        os.mkdir(path)
    elif setup == "symlink":
        os.symlink("target.bmp", path)
    elif setup == "fifo":
        os.mkfifo(path)
    elif setup == "socket":
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(path)
    return taken or int(bool(setup))


def state(path):
    """The kind, mode, owner, time and content of what is at a name."""
    st = os.lstat(path)
    mode = st.st_mode
    content = (os.readlink(path) if stat.S_ISLNK(mode) else
               sorted(os.listdir(path)) if stat.S_ISDIR(mode) else
               open(path, "rb").read() if stat.S_ISREG(mode) else None)
    return mode, st.st_uid, st.st_mtime_ns, content
