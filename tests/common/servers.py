"""The servers a test starts around tusak: an Xvfb screen and a D-Bus
session bus, each through the caller's popen (as its user, with its log),
and their ends."""
import os, select, subprocess, time


def start_xvfb(popen, size, depth, options=(), timeout=30):
    """Xvfb on a free display of size pixels at depth bits, started by
    popen(argv, pass_fds=...): (the process, its display's name)."""
    r, w = os.pipe()
    try:
        # -noreset: a server that resets when its last client leaves writes
        # its number again, to a pipe nobody reads, and dies of it.
        proc = popen(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp",
                      "-noreset", "-screen", "0", "%dx%dx%d" % (
                          tuple(size) + (depth,))] + list(options),
                     pass_fds=(w,))
        os.close(w)
        w = None
        # The number, then a newline in a write of its own: read up to the
        # newline, or Xvfb dies writing it to a closed pipe.
        number, end = b"", time.monotonic() + timeout
        while not number.endswith(b"\n") and select.select(
                [r], [], [], max(0, end - time.monotonic()))[0]:
            part = os.read(r, 16)
            if not part:
                break
            number += part
    finally:
        os.close(r)
        if w is not None:
            os.close(w)
    if not number.strip().isdigit():
        stop(proc)
        raise RuntimeError("Xvfb did not start")
    return proc, ":" + number.decode().strip()


def start_bus(popen, path, config=None, timeout=30):
    """A D-Bus session bus listening at path, started by popen(argv), once
    it listens. With config (a file to write, readable by the bus's user),
    a bus that activates nothing and lets dbus-monitor see every call."""
    argv = ["dbus-daemon", "--nofork", "--nopidfile"]
    if config:
        with open(config, "w") as f:
            f.write("<busconfig><type>session</type>"
                    "<listen>unix:path=%s</listen><auth>EXTERNAL</auth>"
                    "<policy context='default'><allow send_destination='*' "
                    "eavesdrop='true'/><allow eavesdrop='true'/>"
                    "<allow own='*'/></policy></busconfig>\n" % path)
        os.chmod(config, 0o644)
        argv += ["--config-file", config]
    else:
        argv += ["--session", "--address=unix:path=" + path]
    proc = popen(argv)
    end = time.monotonic() + timeout
    while not os.path.exists(path):
        if proc.poll() is not None or time.monotonic() > end:
            raise RuntimeError("the bus at %s did not start" % path)
        time.sleep(0.05)
    return proc


def stop(process, timeout=10):
    """Ends process: asked first, then killed."""
    process.terminate()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
