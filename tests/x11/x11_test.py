#!/usr/bin/python3
"""tusak on X11, a table row per case.

Each row runs tusak (or the probe) in a fresh directory, once or as the row
says, against its own Xvfb showing a known picture, or with no reachable
display, or a server of its own that does not behave (hostile.py), and
checks the exit status, the notices on standard error, the files left, and
the pixels against the X server's own dump of the same screen (xwd.py).
"""
import os, subprocess, sys, tempfile
from dataclasses import dataclass

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE] + [os.path.join(HERE, os.pardir, d)
                         for d in ("common", "peers")]
import hostile  # noqa: E402
from bmp import EMPTY_BMP, header_fault  # noqa: E402
from launch import TIMEOUT, launch, make, state  # noqa: E402
from notices import NO_BITMAP, sanitizer_report, split  # noqa: E402
from pixels import differs  # noqa: E402
from rows import Kind, main  # noqa: E402
from servers import start_xvfb, stop  # noqa: E402
from user import runnable  # noqa: E402
from xwd import dump, enough_colours, show_picture  # noqa: E402

NO_SHM = ("-extension", "MIT-SHM")


@dataclass(frozen=True)
class Row:
    kind: str = "capture"       # what it does: a key of KINDS
    depth: int = 24             # Xvfb's depth
    display: str = "xvfb"       # or "unset" (no DISPLAY), "unreachable"
    cc: int = None              # Xvfb's default visual class: 0 StaticGray,
    #                             1 GrayScale, 2 StaticColor, 3 PseudoColor
    #                             (the default at 8), 4 TrueColor, 5
    #                             DirectColor
    bits: int = 0               # the file's depth, its pixels checked
    xvfb: tuple = ()            # Xvfb's other options
    size: tuple = (1023, 767)   # the screen's (rows padded at 8 and 16 bits)
    setup: str = ""             # what is at the names before (launch.make)
    nobody: bool = False        # run by a user without privileges, whom
    #                             what is at the first name may refuse
    fsize: int = 0              # the file size limit
    window: bool = False        # a window shown over the root
    launches: int = 1           # that many at once
    namespaces: bool = False    # the server and tusak each in an IPC
    #                             namespace of their own
    closed_stderr: bool = False  # a pipe with no reader
    argv: tuple = ()            # the command tusak's is appended to
    screen: str = ""            # added to DISPLAY (no pixels compared)
    length: int = 0             # the file's: its headers, no pixels
    notices: tuple = ()         # the notices of each launch
    why: tuple = ()             # the lines before them ({} the display)
    args: tuple = ()            # the kind's own: the probe's scenario and
    #                             its output; the scripted servers' script


@dataclass(frozen=True)
class Where:
    """What a row's kind runs in."""
    work: str     # the row's directory
    assets: str   # files of the row's own, not in work
    env: dict     # the environment, DISPLAY the row's
    tusak: str
    probe: str
    server: object  # the Xvfb process, or None


def run_capture(row, t):
    """Launches of tusak (after the names are laid out): each exits 0 with
    the row's lines; nothing at a name passed over changes, nor anything
    through it; the new files are the next free names, empty without a
    display, cut at the size limit, else equal to xwd's picture."""
    taken = make(row.setup, t.work)
    before = {n: state(os.path.join(t.work, n)) for n in os.listdir(t.work)}
    namespace = ["nsenter", "--ipc=/proc/%d/ns/ipc" % t.server.pid,
                 sys.executable, __file__, "--segment"] if t.server else []
    if row.namespaces:
        subprocess.run(namespace + ["fill"], check=True, timeout=TIMEOUT)
    tusak, user = t.tusak, []
    if row.nobody:
        os.chmod(t.work, 0o777)
        # A copy that user may run, wherever the checkout is.
        os.chmod(t.assets, 0o755)
        tusak = runnable(t.tusak, t.assets)
        user = ["setpriv", "--reuid=nobody", "--regid=nogroup",
                "--clear-groups"]
    command = user + ["unshare", "--ipc"] * row.namespaces + \
        list(row.argv) + [tusak]
    env = dict(t.env, DISPLAY=t.env["DISPLAY"] + row.screen) if row.screen \
        else t.env
    stderr = subprocess.PIPE
    if row.closed_stderr:  # a notice meets a pipe nobody reads
        reader, stderr = os.pipe()
        os.close(reader)
    results = launch(command, env, t.work, row.launches, row.fsize or None,
                     stderr)
    if stderr != subprocess.PIPE:
        os.close(stderr)
    for status, err, _ in results:
        assert status == 0, (status, err)
        if err is not None:
            split(err.splitlines(), row.notices,
                  [w.format(env.get("DISPLAY")) for w in row.why])
    outs = ["tusak%04d.bmp" % i for i in range(taken, taken + row.launches)]
    assert set(os.listdir(t.work)) == set(before) | set(outs), \
        os.listdir(t.work)
    assert {n: state(os.path.join(t.work, n)) for n in before} == before
    data = open(os.path.join(t.work, outs[0]), "rb").read()
    if not t.server or list(row.notices) == NO_BITMAP:
        assert data == EMPTY_BMP
    assert not row.length or len(data) == row.length, len(data)
    if row.fsize:  # headers whole, pixels cut at the limit
        assert len(data) == row.fsize, len(data)
        fault = header_fault(data, *row.size, 16)
        assert not fault, fault
    if row.namespaces:
        subprocess.run(namespace + ["check"], check=True, timeout=TIMEOUT)
    if row.bits:
        reference = dump(t.env)
        assert enough_colours(reference, row.cc in (0, 1)), "no picture"
        for out in outs:
            check_bmp(os.path.join(t.work, out), row, reference)


def check_bmp(path, row, reference):
    """Headers as written, pixels as xwd's (at 16 bits, 5 a channel), and
    ImageMagick reads the file whole."""
    data = open(path, "rb").read()
    fault = header_fault(data, *row.size, row.bits, len(data)) or \
        differs(Image.open(path), reference, shift=3 if row.bits == 16 else 0)
    assert not fault, "%s: %s" % (path, fault)
    out = subprocess.run(["identify", "-format", "%w %h", path],
                         capture_output=True, text=True,
                         timeout=TIMEOUT).stdout
    assert out == "%d %d" % row.size, out


def run_shrunk(row, t):
    """Through a proxy that cuts the shared memory short once the server
    has it: refused (tusak seals it), and the picture whole."""
    result, counts = hostile.through_proxy(t, "--shrink-fds")
    assert result[:2] == (0, "") and counts["sealed"], (result, counts)
    check_bmp(os.path.join(t.work, "tusak0000.bmp"), row, dump(t.env))


def sh(line):
    """A shell that runs line, tusak's command line its arguments."""
    return ("sh", "-c", line, "sh")


def run_probe(row, t):
    """The probe's scenario: the line it prints."""
    result = subprocess.run([t.probe, row.args[0]], cwd=t.work, env=t.env,
                            capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    assert not sanitizer_report(result.stderr), result.stderr
    assert result.stdout.strip() == row.args[1], result.stdout


KINDS = {"capture": Kind(run_capture), "probe": Kind(run_probe),
         "cuts": Kind(hostile.run_breaks),
         "stalls": Kind(lambda row, t: hostile.run_breaks(row, t, True)),
         "scripted": Kind(hostile.run_scripted), "shrunk": Kind(run_shrunk)}
NOBODY = dict(bits=32, nobody=True)
ROWS = {
    "capture_24": Row(bits=32),
    "capture_24_noshm": Row(bits=32, xvfb=NO_SHM),
    # Rows 16-byte aligned, and the last strip as full as the others.
    "capture_24_whole_strips": Row(bits=32, size=(1024, 768)),
    "capture_24_whole_strips_noshm": Row(bits=32, size=(1024, 768),
                                         xvfb=NO_SHM),
    "capture_16": Row(depth=16, bits=16),
    "capture_16_noshm": Row(depth=16, bits=16, xvfb=NO_SHM),
    "capture_15": Row(depth=15, bits=16),
    "window_on_top_24": Row(bits=32, window=True),
    "window_on_top_24_noshm": Row(bits=32, window=True, xvfb=NO_SHM),
    "capture_8": Row(depth=8, bits=8),
    "capture_8_noshm": Row(depth=8, bits=8, xvfb=NO_SHM),
    "capture_8_staticgray": Row(depth=8, cc=0, bits=8),
    "capture_8_grayscale": Row(depth=8, cc=1, bits=8),
    "capture_8_staticcolor": Row(depth=8, cc=2, bits=8),
    "capture_8_truecolor": Row(depth=8, cc=4, bits=8),
    "capture_8_directcolor": Row(depth=8, cc=5, bits=8),
    "capture_15_directcolor": Row(depth=15, cc=5, bits=32),
    "capture_16_directcolor": Row(depth=16, cc=5, bits=32),
    "capture_24_directcolor": Row(cc=5, bits=32),
    "capture_24_directcolor_noshm": Row(cc=5, bits=32, xvfb=NO_SHM),
    "capture_30": Row(depth=30, bits=32),
    "capture_30_directcolor": Row(depth=30, cc=5, bits=32),
    "no_display": Row(display="unset", notices=NO_BITMAP,
                      why=("no X display named (DISPLAY is not set)",)),
    "unreachable_display": Row(display="unreachable", notices=NO_BITMAP,
                               why=("X display {} does not answer",)),
    "notice_to_closed_pipe": Row(display="unset", closed_stderr=True),
    "names_taken": Row(bits=32, setup="taken"),
    "directory_at_name": Row(bits=32, setup="dir"),
    "dangling_symlink": Row(bits=32, setup="symlink"),
    "unreadable_file_nobody": Row(setup="unreadable", **NOBODY),
    "dangling_symlink_nobody": Row(setup="symlink", **NOBODY),
    "fifo_at_name_nobody": Row(setup="fifo", **NOBODY),
    "socket_at_name_nobody": Row(setup="socket", **NOBODY),
    "directory_at_name_nobody": Row(setup="dir", **NOBODY),
    "disk_full": Row(depth=16, setup="earlier", fsize=4096,
                     notices=("error",)),
    "overlapping_launches": Row(bits=32, launches=20),
    "ipc_namespaces": Row(bits=32, namespaces=True),
    "connection_cut": Row("cuts"),
    "connection_cut_noshm": Row("cuts", xvfb=NO_SHM),
    "connection_stalls": Row("stalls"),
    "connection_stalls_noshm": Row("stalls", xvfb=NO_SHM),
    "lying_setups": Row("scripted", display="unset", args=("lies",)),
    "random_setups": Row("scripted", display="unset", args=("random",)),
    "silent_server": Row("scripted", display="unset", args=("silent",)),
    "silent_after_setup": Row("scripted", display="unset",
                              args=("setup_then_silent",)),
    # Standard descriptors closed or few: the picture, nothing written into
    # it (no memory for the pixels: the headers alone), or a reason. A
    # screen the display lacks, said; the server's cut of shared memory,
    # refused.
    "stderr_closed": Row(bits=32, argv=sh('exec "$@" 2>&-')),
    "standard_fds_closed_no_memory": Row(length=54, argv=sh(
        "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=2 "
        'exec "$@" <&- >&- 2>&-')),
    "seven_descriptors": Row(bits=32, argv=("prlimit", "--nofile=7:7")),
    "five_descriptors": Row(argv=sh('ulimit -n 5; exec "$@"'),
                            notices=NO_BITMAP, why=(
                                "X display {}: no file descriptor is free "
                                "to connect with",)),
    "no_screen_5": Row(screen=".5", notices=NO_BITMAP,
                       why=("X display {} has no screen 5",)),
    "screen_minus_1": Row(screen=".-1", notices=NO_BITMAP,
                          why=("X display {} has no screen -1",)),
    "shm_shrunk_by_server": Row("shrunk", bits=32),
    "probe_bounds_8": Row("probe", depth=8, args=("bounds", "2 767 3")),
    "probe_lines_16": Row("probe", depth=16, args=("lines", "5 1 0")),
    "probe_layouts": Row("probe", display="unset", args=(
        "layouts", "b14e b14e b14e 1234 1234 1234 33221100 33221100 "
        "33221100 007c")),
    "probe_refused_24": Row("probe", args=("refused",
                                           "0 0 0 0 0 0 0 0 0 0 1 767")),
}


def run(args, names):
    for name in names:
        row = ROWS[name]
        work = tempfile.mkdtemp(prefix="tusak-x11-")
        assets = tempfile.mkdtemp(prefix="tusak-x11-assets-")  # not in work
        env = dict(os.environ)
        server = viewer = None
        if row.display == "unset":
            env.pop("DISPLAY", None)
        elif row.display == "unreachable":
            env["DISPLAY"] = hostile.free_display()
        else:
            server, env["DISPLAY"] = start_xvfb(
                lambda argv, **kw: subprocess.Popen(
                    ["unshare", "--ipc"] * row.namespaces + argv,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                    **kw), row.size, row.depth, (
                    ["-cc", str(row.cc)] if row.cc is not None else []) +
                list(row.xvfb))
        try:
            if server:
                viewer = show_picture(env, assets, row.size,
                                      row.cc in (0, 1), row.window)
            if row.cc == 5 and row.depth > 8:
                # The picture's viewer leaves the DirectColor colormap about
                # the identity, which raw channel values would match too.
                out = subprocess.run([args.probe, "ramps"], env=env,
                                     text=True, capture_output=True,
                                     timeout=TIMEOUT)
                assert out.returncode == 0 and int(out.stdout) > 0, out
            KINDS[row.kind].run(row, Where(work, assets, env, args.tusak,
                                           args.probe, server))
        finally:
            if viewer:
                viewer.kill()
                viewer.wait()
            if server:
                stop(server)
            subprocess.run(["rm", "-rf", work, assets])
        print("passed:", name)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--segment"]:  # inside an IPC namespace
        sys.exit(hostile.segment(sys.argv[2]))
    sys.exit(main(__doc__, lambda args: {
        name: (KINDS[row.kind].limit, ("x11", row.kind))
        for name, row in ROWS.items()}, run, [
            (["--tusak"], dict(help="the build under test")),
            (["--probe"], dict(help="the probe of the X11 layer"))]))
