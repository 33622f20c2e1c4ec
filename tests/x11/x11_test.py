#!/usr/bin/env python3
"""tusak on X11, one table row per case.

Each row runs tusak (or the probe) in a fresh directory, once or as the row
says, against its own Xvfb showing a known picture, or with no reachable
display, and checks the exit status, the notices on standard error, the files
left, and the pixels against the X server's own dump of the same screen (xwd
-root), read here through the dump's own colormap.
Usage: x11_test.py --list | --tusak PATH --probe PATH CASE
       x11_test.py --segment fill|check  (inside an IPC namespace)
"""
import array, contextlib, ctypes, json, os, random, resource, select, socket
import shutil, stat, struct, subprocess, sys, tempfile, threading, time
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bmpcheck import EMPTY_BMP, NO_BITMAP, STEPS, header_fault, \
    sanitizer_report  # noqa: E402

SIZE = (1023, 767)  # rows need padding at 8 and 16 bits
NO_SHM = ["-extension", "MIT-SHM"]
EARLIER = b"an earlier screenshot"
PROXY = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                     "unix_proxy.py")
SEGMENT = 4 << 20
TIMEOUT = 60  # for any one program; a run takes a second or two
# Run by a user without privileges, whom what is at the first name may
# refuse to open.
AS_NOBODY = dict(depth=24, bits=32, out="tusak0001.bmp", user=[
    "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"])

# depth: Xvfb depth, or "unset"/"unreachable" for no display; cc: Xvfb's
# default visual class (0 StaticGray, 1 GrayScale, 2 StaticColor, 3
# PseudoColor, the default at 8, 4 TrueColor, 5 DirectColor); bits: the
# file's depth, pixels checked; out: the new file; setup: what is at the
# names before the run; user: run as that user; fsize: file size limit;
# window: a window shown over the root; size: the screen's, if not SIZE; probe: probe scenario and its
# expected output; launches: that many launches at once; closed_stderr: a
# pipe with no reader; namespaces: the server and tusak each in an IPC
# namespace of their own; cuts: the connection cut at points of a run;
# stalls: the server falls silent at points of a run; scripted: a server of
# the row's own instead of Xvfb, which answers the connection setup with
# lies, random bytes, or not at all (see SCRIPTS); sh: the shell line that
# launches tusak ("$@"); screen: added to DISPLAY; env: added to the
# launch's; bytes: the file's length; shrink: through a proxy that cuts the
# shared memory short once the server has it.
CASES = {
    "capture_24": dict(depth=24, bits=32),
    "capture_24_noshm": dict(depth=24, bits=32, xvfb=NO_SHM),
    # Rows 16-byte aligned, and the last strip as full as the others.
    "capture_24_whole_strips": dict(depth=24, bits=32, size=(1024, 768)),
    "capture_24_whole_strips_noshm": dict(depth=24, bits=32, size=(1024, 768),
                                          xvfb=NO_SHM),
    "capture_16": dict(depth=16, bits=16),
    "capture_16_noshm": dict(depth=16, bits=16, xvfb=NO_SHM),
    "capture_15": dict(depth=15, bits=16),
    "window_on_top_24": dict(depth=24, bits=32, window=True),
    "window_on_top_24_noshm": dict(depth=24, bits=32, window=True,
                                   xvfb=NO_SHM),
    "capture_8": dict(depth=8, bits=8),
    "capture_8_noshm": dict(depth=8, bits=8, xvfb=NO_SHM),
    "capture_8_staticgray": dict(depth=8, cc=0, bits=8),
    "capture_8_grayscale": dict(depth=8, cc=1, bits=8),
    "capture_8_staticcolor": dict(depth=8, cc=2, bits=8),
    "capture_8_truecolor": dict(depth=8, cc=4, bits=8),
    "capture_8_directcolor": dict(depth=8, cc=5, bits=8),
    "capture_15_directcolor": dict(depth=15, cc=5, bits=32),
    "capture_16_directcolor": dict(depth=16, cc=5, bits=32),
    "capture_24_directcolor": dict(depth=24, cc=5, bits=32),
    "capture_24_directcolor_noshm": dict(depth=24, cc=5, bits=32,
                                         xvfb=NO_SHM),
    "capture_30": dict(depth=30, bits=32),
    "capture_30_directcolor": dict(depth=30, cc=5, bits=32),
    "no_display": dict(depth="unset", notices=NO_BITMAP, empty=True,
                       why=["no X display named (DISPLAY is not set)"]),
    "unreachable_display": dict(depth="unreachable", notices=NO_BITMAP,
                                empty=True, why=["X display {} does not "
                                                 "answer"]),
    "notice_to_closed_pipe": dict(depth="unset", empty=True,
                                  closed_stderr=True),
    "names_taken": dict(depth=24, bits=32, setup="taken",
                        out="tusak0003.bmp"),
    "directory_at_name": dict(depth=24, bits=32, setup="dir",
                              out="tusak0001.bmp"),
    "dangling_symlink": dict(depth=24, bits=32, setup="symlink",
                             out="tusak0001.bmp"),
    "unreadable_file_nobody": dict(AS_NOBODY, setup="unreadable"),
    "dangling_symlink_nobody": dict(AS_NOBODY, setup="symlink"),
    "fifo_at_name_nobody": dict(AS_NOBODY, setup="fifo"),
    "socket_at_name_nobody": dict(AS_NOBODY, setup="socket"),
    "directory_at_name_nobody": dict(AS_NOBODY, setup="dir"),
    "disk_full": dict(depth=16, setup="earlier", fsize=4096,
                      out="tusak0001.bmp", notices=["error"]),
    "overlapping_launches": dict(depth=24, bits=32, launches=20),
    "ipc_namespaces": dict(depth=24, bits=32, namespaces=True),
    "connection_cut": dict(depth=24, cuts=True),
    "connection_cut_noshm": dict(depth=24, cuts=True, xvfb=NO_SHM),
    "connection_stalls": dict(depth=24, stalls=True),
    "connection_stalls_noshm": dict(depth=24, stalls=True, xvfb=NO_SHM),
    "lying_setups": dict(depth="unset", scripted="lies"),
    "random_setups": dict(depth="unset", scripted="random"),
    "silent_server": dict(depth="unset", scripted="silent"),
    "silent_after_setup": dict(depth="unset", scripted="setup_then_silent"),
    # Standard descriptors closed or few: the picture, nothing written into
    # it (no memory for the pixels: the headers alone), or a reason. A screen
    # the display lacks, said; the server's cut of shared memory, refused.
    "stderr_closed": dict(depth=24, bits=32, sh='exec "$@" 2>&-'),
    "standard_fds_closed_no_memory": dict(
        depth=24, sh='exec "$@" <&- >&- 2>&-', bytes=54, env={
            "ASAN_OPTIONS":
                "allocator_may_return_null=1:max_allocation_size_mb=2"}),
    "seven_descriptors": dict(depth=24, bits=32,
                              sh='exec prlimit --nofile=7:7 "$@"'),
    "five_descriptors": dict(depth=24, sh='ulimit -n 5; exec "$@"',
                             notices=NO_BITMAP, empty=True, why=[
                                 "X display {}: no file descriptor is free "
                                 "to connect with"]),
    "no_screen_5": dict(depth=24, screen=".5", notices=NO_BITMAP, empty=True,
                        why=["X display {} has no screen 5"]),
    "screen_minus_1": dict(depth=24, screen=".-1", notices=NO_BITMAP,
                           empty=True, why=["X display {} has no screen -1"]),
    "shm_shrunk_by_server": dict(depth=24, shrink=True),
    "probe_bounds_8": dict(depth=8, probe="bounds", expect="2 767 3"),
    "probe_lines_16": dict(depth=16, probe="lines", expect="5 1 0"),
    "probe_layouts": dict(depth="unset", probe="layouts",
                          expect="b14e b14e b14e 1234 1234 1234 33221100 "
                                 "33221100 33221100 007c"),
    "probe_refused_24": dict(depth=24, probe="refused",
                             expect="0 0 0 0 0 0 0 0 0 0 1 767"),
}


def x_setup(lie=None):
    """A connection setup as a little-endian server sends it: one screen of
    SIZE at depth 24, TrueColor, with two pixmap formats, all 140 bytes of
    it well formed; lie names a field to change after it is put together,
    while the length and the bytes sent stay as they were."""
    w, h = SIZE
    data = bytearray(
        struct.pack("<BxHHH", 1, 11, 0, 33) +
        # release, resource ids, mask, motion buffer, vendor length, request
        # length, screens, formats, byte orders, scanline unit and pad,
        # keycodes
        struct.pack("<IIIIHHBBBBBBBB4x", 1, 0x400000, 0x1FFFFF, 256, 10,
                    65535, 1, 2, 0, 0, 32, 32, 8, 255) +
        b"tusak test\0\0" +
        struct.pack("<BBB5x", 1, 1, 32) + struct.pack("<BBB5x", 24, 32, 32) +
        # root, colormap, white, black, masks, size, mm, maps, visual,
        # backing store, save unders, depth, depths
        struct.pack("<IIIIIHHHHHHIBBBB", 0x100, 0x20, 0xFFFFFF, 0, 0, w, h,
                    270, 203, 1, 1, 0x21, 0, 0, 24, 1) +
        struct.pack("<BxH4x", 24, 1) +
        struct.pack("<IBBHIII4x", 0x21, 4, 8, 256, 0xFF0000, 0xFF00, 0xFF))
    assert len(data) == 140
    where = {"screens": ("B", 28, 255), "formats": ("B", 29, 255),
             "vendor": ("H", 24, 65535), "depths": ("B", 107, 255),
             "visuals": ("H", 110, 65535), "length": ("H", 6, 2),
             "ids": ("I", 16, 1), "request_length": ("H", 26, 64),
             "scanline_unit": ("B", 32, 0), "scanline_pad": ("B", 62, 0)}
    if lie:
        kind, at, value = where[lie]
        struct.pack_into("<" + kind, data, at, value)
    return bytes(data)


# Each scripted server's answers: (what is sent after the client's setup
# request; None for nothing; whether the connection is closed after it;
# the lines that say why no display served, or None for any lines that name
# the display; at most how many seconds the run takes). A setup whose
# counts claim more records than its length carries, or whose fields would
# have libxcb divide by zero, wait on a request, or stop on an assertion, is
# no display; so are a refusal (its reason shown printable only) and random
# bytes; a server that answers nothing, or the setup and then nothing, is
# waited for 5 s.
MALFORMED = ["X display {} sent a malformed connection setup"]
SCRIPTS = {
    "lies": [(x_setup(lie), True, MALFORMED, 3) for lie in (
        "screens", "formats", "vendor", "depths", "visuals", "ids",
        "request_length", "scanline_unit", "scanline_pad")] + [
        # Shorter than its fixed fields: libxcb takes it for no answer.
        (x_setup("length"), True, ["X display {} does not answer"], 3),
        (struct.pack("<BBHHH", 0, 20, 11, 0, 5) + b"\x1b[2Jgone\naway\x07......",
         True, ["X display {} refused the connection: [2Jgone"], 3)],
    "random": [(random.Random(seed).randbytes(300000), True, None, 3)
               for seed in range(8)] + [
        # A good setup, then random bytes where the replies belong: whether
        # the first reply is taken for one before the close is seen is the
        # race of the reads, so the display may serve and fail later.
        (x_setup() + random.Random(seed).randbytes(100000), True, "any", 3)
        for seed in range(8)],
    "silent": [(None, False, ["X display {} does not answer"], 7)],
    "setup_then_silent": [(x_setup(), False,
                           ["X display {} stopped answering"], 7)],
}


@contextlib.contextmanager
def scripted_server(answer, close):
    """A display of a free number whose server reads each client's setup
    request, then sends answer (if any) and closes the connection (if
    close), or else keeps it open for as long as the display lasts."""
    display = free_display()
    path = "/tmp/.X11-unix/X" + display[1:]
    if not os.path.isdir("/tmp/.X11-unix"):  # as an X server makes it
        os.makedirs("/tmp/.X11-unix", exist_ok=True)
        os.chmod("/tmp/.X11-unix", 0o1777)
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(8)
    conns = []

    def reply(conn):
        try:
            conn.settimeout(TIMEOUT)
            request = conn.recv(12, socket.MSG_WAITALL)
            n, d = struct.unpack_from("<HH", request, 6)
            auth = (n + 3) // 4 * 4 + (d + 3) // 4 * 4
            if auth:
                conn.recv(auth, socket.MSG_WAITALL)
            if answer:
                conn.sendall(answer)
            if close:
                conn.shutdown(socket.SHUT_RDWR)
        except OSError:  # the client gave up on it first
            pass

    def accept():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            conns.append(conn)
            threading.Thread(target=reply, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    try:
        yield display
    finally:
        listener.shutdown(socket.SHUT_RDWR)
        listener.close()
        for conn in conns:
            conn.close()
        os.unlink(path)


def run_scripted(script, tusak, env, work):
    path = os.path.join(work, "tusak0000.bmp")
    for i, (answer, close, why, seconds) in enumerate(SCRIPTS[script]):
        with scripted_server(answer, close) as display:
            start = time.monotonic()
            (status, err, _), = launch([tusak], dict(env, DISPLAY=display),
                                       work)
            took = time.monotonic() - start
        said = [line for line in err.splitlines()
                if line.startswith("tusak: ")]
        assert status == 0, (i, status, err)  # no signal, no sanitizer
        assert took < seconds, (i, took, err)
        if why == "any" and not said:
            # Served, then lost: notices of the later steps, and a file of
            # the screen's size holding nothing the server sent: black.
            check_notices(err)
            with Image.open(path) as image:
                assert image.size == SIZE, (i, image.size)
                assert image.convert("RGB").getextrema() == ((0, 0),) * 3, i
            os.remove(path)
            continue
        why = None if why == "any" else why
        assert said and all(line.startswith("tusak: X display %s " % display)
                            for line in said), (i, err)
        check_notices(err, NO_BITMAP,
                      None if why is None else [w.format(display)
                                                for w in why])
        assert open(path, "rb").read() == EMPTY_BMP
        os.remove(path)


def start_xvfb(row):
    r, w = os.pipe()
    visual = ["-cc", str(row["cc"])] if "cc" in row else []
    server = subprocess.Popen(
        (["unshare", "--ipc"] if row.get("namespaces") else []) +
        ["Xvfb", "-displayfd", str(w), "-nolisten", "tcp", "-noreset",
         "-screen", "0",
         "%dx%dx%d" % (SIZE + (row["depth"],))] + visual + row.get("xvfb", []),
        pass_fds=[w], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    with os.fdopen(r) as f:
        number = f.readline().strip() if select.select([f], [], [], 30)[0] \
            else ""
    if not number:
        stop(server)
        raise AssertionError("Xvfb did not start")
    return server, ":" + number


def stop(process):
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def enough_colours(image, grey):
    # Over 100 colours, or over 100 levels of grey on a grey visual: the
    # picture is on the screen and the row compares something.
    return len([c for _, c in image.getcolors(1 << 24)
                if not grey or c[0] == c[1] == c[2]]) > 100


def show_picture(env, workdir, row):
    # Gradients in each channel and a pattern, so a swapped channel, a
    # flipped row order or a shifted row all show.
    w, h = SIZE
    pic = Image.new("RGB", SIZE)
    pic.putdata([(x * 255 // w, y * 255 // h, (x * 7 + y * 13) & 255)
                 for y in range(h) for x in range(w)])
    path = os.path.join(workdir, "picture.png")
    pic.save(path)
    for _ in range(5):  # display's status says nothing: look at the screen
        subprocess.run(["display", "-window", "root", path], env=env,
                       timeout=TIMEOUT)
        if enough_colours(dump(env), row.get("cc") in (0, 1)):
            break
    if not row.get("window"):
        return None
    # A window over the root, showing part of the picture upside down.
    pic.rotate(180).crop((0, 0, 400, 300)).save(path)
    viewer = subprocess.Popen(["display", "-geometry", "+40+30", "-title",
                               "over", path], env=env)
    for _ in range(100):  # until it is drawn and the screen holds still
        time.sleep(0.2)
        if (subprocess.run(["xwininfo", "-name", "over"], env=env,
                           capture_output=True,
                           timeout=TIMEOUT).returncode == 0 and
                dump(env).tobytes() == dump(env).tobytes()):
            return viewer
    stop(viewer)
    raise AssertionError("the window did not show")


def read_xwd(data):
    """An xwd dump (ZPixmap, 8, 16 or 32 bits a pixel) as RGB, each pixel
    through the dump's colormap: an entry per pixel value, or on TrueColor
    and DirectColor, per value of each channel."""
    f = struct.unpack_from(">25I", data)
    hsize, w, h, order, bpp, stride, visual, ncolors = (
        f[i] for i in (0, 4, 5, 7, 11, 12, 13, 19))
    assert f[1:3] == (7, 2) and bpp in (8, 16, 32), f
    entries = [struct.unpack_from(">IHHH", data, hsize + 12 * i)
               for i in range(ncolors)]
    start = memoryview(data)[hsize + 12 * ncolors:]
    pixels = array.array({8: "B", 16: "H", 32: "I"}[bpp], b"".join(
        start[y * stride:y * stride + w * bpp // 8] for y in range(h)))
    if order != (sys.byteorder == "big"):  # 1: most significant byte first
        pixels.byteswap()
    # xwd's entry i holds value i of every channel: keyed by the entry's
    # own value of the channel, as wider channels wrap the narrower.
    masks = f[14:17] if visual >= 4 else ((1 << bpp) - 1,) * 3
    bands = []
    for k, mask in enumerate(masks):
        shift = (mask & -mask).bit_length() - 1
        table = {(e[0] & mask) >> shift: e[1 + k] >> 8 for e in entries}
        bands.append(Image.frombytes("L", (w, h), bytes(
            table[(p & mask) >> shift] for p in pixels)))
    return Image.merge("RGB", bands)


def dump(env):
    """The X server's own picture of the screen, as RGB."""
    return read_xwd(subprocess.run(["xwd", "-root", "-silent"], env=env,
                                   capture_output=True, check=True,
                                   timeout=TIMEOUT).stdout)


def free_display():
    # From a number of this process's own, so rows running side by side do
    # not pick the same one.
    n = 1000 + os.getpid() % 30000
    while os.path.exists("/tmp/.X11-unix/X%d" % n):
        n += 1
    return ":%d" % n


def check_bmp(path, bits, reference):
    data = open(path, "rb").read()
    fault = header_fault(data, SIZE[0], SIZE[1], bits, len(data))
    assert not fault, fault
    shot = Image.open(path).convert("RGB")
    if bits == 16:  # 5 bits a channel
        shot, reference = (im.point(lambda v: v >> 3)
                           for im in (shot, reference))
    assert shot.tobytes() == reference.tobytes(), "pixels differ from xwd"
    out = subprocess.run(["identify", "-format", "%w %h", path],
                         capture_output=True, text=True,
                         timeout=TIMEOUT).stdout
    assert out == "%d %d" % SIZE, out


def make(setup, work):
    """Puts at the names what a row's directory holds before the run."""
    path = os.path.join(work, "tusak0000.bmp")
    for i in range({"taken": 3, "earlier": 1, "unreadable": 1}.get(setup, 0)):
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


def state(path):
    """The kind, mode, owner, time and content of what is at a name."""
    st = os.lstat(path)
    mode = st.st_mode
    content = (os.readlink(path) if stat.S_ISLNK(mode) else
               sorted(os.listdir(path)) if stat.S_ISDIR(mode) else
               open(path, "rb").read() if stat.S_ISREG(mode) else None)
    return mode, st.st_uid, st.st_mtime_ns, content


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


def check_notices(err, notices=None, why=None):
    """Standard error holds those notices, or when None, one or more of
    STEPS in their order; before them, the lines that say why no display
    served (those given, when given)."""
    lines, steps = err.splitlines(), iter(STEPS)
    said = [line for line in lines if line.startswith("tusak: ")]
    assert lines[:len(said)] == said, err
    if why is not None:
        assert said == ["tusak: " + w for w in why], err
    lines = lines[len(said):]
    if notices is not None:
        assert lines == ["Error: " + n for n in notices], err
    else:  # each line found further on in the steps
        assert lines and all(line in ("Error: " + s for s in steps)
                             for line in lines), err


def segment(action):
    """Fills the IPC namespace's first System V segment with a pattern (made
    then, and kept after this process ends), or checks it still holds it."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
    libc.shmat.restype = ctypes.c_void_p
    libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    pattern = bytes(range(256)) * (SEGMENT // 256)
    # In a fresh namespace the first id is 0, as a client's first segment
    # in another fresh namespace would be.
    shmid = libc.shmget(0, SEGMENT, 0o1600) if action == "fill" else 0
    addr = libc.shmat(shmid, None, 0)
    assert shmid == 0 and addr not in (None, ctypes.c_void_p(-1).value)
    if action == "fill":
        ctypes.memmove(addr, pattern, SEGMENT)
    else:
        assert ctypes.string_at(addr, SEGMENT) == pattern, "segment written"
    libc.shmdt(ctypes.c_void_p(addr))


def segments_of(pid):
    """The System V segments that process made and left."""
    with open("/proc/sysvipc/shm") as f:
        return [line for line in f.readlines()[1:]
                if line.split()[4] == str(pid)]


def through_proxy(tusak, env, work, cut=None, stall=None, options=()):
    """One launch through a proxy to the display that ends the connection
    after cut bytes from the server, or passes on no more after stall, or
    as options say; the launch's (status, stderr, pid) and the proxy's
    count of the bytes."""
    listen = free_display()
    proxy = subprocess.Popen(
        [sys.executable, PROXY, "/tmp/.X11-unix/X" + listen[1:],
         "/tmp/.X11-unix/X" + env["DISPLAY"][1:], "--once"] +
        (["--cut", str(cut)] if cut is not None else []) +
        (["--stall", str(stall)] if stall is not None else []) +
        list(options),
        stdout=subprocess.PIPE, text=True)
    try:
        assert select.select([proxy.stdout], [], [], TIMEOUT)[0] and \
            proxy.stdout.readline() == "ready\n", "the proxy did not start"
        result, = launch([tusak], dict(env, DISPLAY=listen), work)
        return result, json.loads(proxy.communicate(timeout=TIMEOUT)[0])
    finally:
        if proxy.poll() is None:
            stop(proxy)


def setup_length(env):
    """The length of the display's setup reply."""
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(TIMEOUT)
        s.connect("/tmp/.X11-unix/X" + env["DISPLAY"][1:])
        s.sendall(struct.pack("<cxHHHHxx", b"l", 11, 0, 0, 0))
        return 8 + 4 * struct.unpack("<6xH", s.recv(8, socket.MSG_WAITALL))[0]


def cut_connection(tusak, env, work):
    setup = setup_length(env)
    result, counts = through_proxy(tusak, env, work)
    assert result[:2] == (0, ""), result
    whole = counts["s2c"]
    # None of it, part of the setup, all of it, the first reply after it,
    # half the run, the fetch's last strips, all but a few bytes.
    for cut in (0, 20, setup, setup + 32, (setup + whole) // 2, whole - 200,
                whole - 5):
        (status, err, pid), counts = through_proxy(tusak, env, work, cut)
        assert counts["cut"] and counts["s2c"] == cut, (cut, counts)
        assert status == 0, (cut, status, err)
        check_notices(err)
        assert not segments_of(pid), (cut, segments_of(pid))
        path = os.path.join(work, "tusak0000.bmp")
        data = open(path, "rb").read()
        assert data[:2] == b"BM" and len(data) == struct.unpack_from(
            "<I", data, 2)[0], (cut, len(data))
        os.remove(path)


def stall_connection(tusak, env, work):
    """The server stops answering at points of a run: tusak waits for it at
    most 5 s, once, then goes on as with a broken connection."""
    setup = setup_length(env)
    result, counts = through_proxy(tusak, env, work)
    assert result[:2] == (0, ""), result
    whole = counts["s2c"]
    # Right after the setup, after the first reply, half the run, the
    # fetch's last strips.
    for stall in (setup, setup + 32, (setup + whole) // 2, whole - 100):
        start = time.monotonic()
        (status, err, pid), counts = through_proxy(tusak, env, work,
                                                   stall=stall)
        took = time.monotonic() - start
        assert counts["stalled"] and counts["s2c"] == stall, (stall, counts)
        assert status == 0, (stall, status, err)
        assert 4.5 < took < 7.5, (stall, took, err)
        check_notices(err)
        path = os.path.join(work, "tusak0000.bmp")
        data = open(path, "rb").read()
        assert data[:2] == b"BM" and len(data) == struct.unpack_from(
            "<I", data, 2)[0], (stall, len(data))
        os.remove(path)


def run(case, tusak, probe):
    global SIZE
    row = CASES[case]
    SIZE = row.get("size", SIZE)
    depth = row["depth"]
    work = tempfile.mkdtemp(prefix="tusak-x11-")
    assets = tempfile.mkdtemp(prefix="tusak-x11-assets-")  # not in work
    env = dict(os.environ)
    server = viewer = None
    if depth == "unset":
        env.pop("DISPLAY", None)
    elif depth == "unreachable":
        env["DISPLAY"] = free_display()
    else:
        server, env["DISPLAY"] = start_xvfb(row)
    try:
        if server:
            viewer = show_picture(env, assets, row)
        if row.get("cc") == 5 and depth > 8:
            # The picture's viewer leaves the DirectColor colormap about
            # the identity, which raw channel values would match too.
            out = subprocess.run([probe, "ramps"], env=env, text=True,
                                 capture_output=True, timeout=TIMEOUT)
            assert out.returncode == 0 and int(out.stdout) > 0, out
        if "probe" in row:
            result = subprocess.run([probe, row["probe"]], cwd=work, env=env,
                                    capture_output=True, text=True,
                                    timeout=TIMEOUT)
            assert result.returncode == 0, result.stderr
            assert not sanitizer_report(result.stderr), result.stderr
            assert result.stdout.strip() == row["expect"], result.stdout
            return
        if row.get("cuts"):
            cut_connection(tusak, env, work)
            return
        if row.get("stalls"):
            stall_connection(tusak, env, work)
            return
        if "scripted" in row:
            run_scripted(row["scripted"], tusak, env, work)
            return
        if row.get("shrink"):  # refused: the file is sealed
            result, counts = through_proxy(tusak, env, work,
                                           options=["--shrink-fds"])
            assert result[:2] == (0, "") and counts["sealed"], (result, counts)
            check_bmp(os.path.join(work, "tusak0000.bmp"), 32, dump(env))
            return
        make(row.get("setup"), work)
        before = {n: state(os.path.join(work, n)) for n in os.listdir(work)}
        if row.get("namespaces"):
            namespace = ["nsenter", "--ipc=/proc/%d/ns/ipc" % server.pid,
                         sys.executable, __file__, "--segment"]
            subprocess.run(namespace + ["fill"], check=True, timeout=TIMEOUT)
        if "user" in row:
            os.chmod(work, 0o777)
            # A copy that user may run, wherever the checkout is.
            os.chmod(assets, 0o755)
            own = os.path.join(assets, "tusak")
            shutil.copyfile(tusak, own)
            os.chmod(own, 0o755)
            tusak = own
        command = row.get("user", []) + (
            ["unshare", "--ipc"] if row.get("namespaces") else []) + (
            ["sh", "-c", row["sh"], "sh"] if "sh" in row else []) + [tusak]
        if "screen" in row:  # no pixels to compare then
            env = dict(env, DISPLAY=env["DISPLAY"] + row["screen"])
        env = dict(env, **row.get("env", {}))
        stderr = subprocess.PIPE
        if row.get("closed_stderr"):  # a notice meets a pipe nobody reads
            reader, stderr = os.pipe()
            os.close(reader)
        count = row.get("launches", 1)
        results = launch(command, env, work, count, row.get("fsize"), stderr)
        if stderr != subprocess.PIPE:
            os.close(stderr)
        for status, err, _ in results:
            assert status == 0, (status, err)
            if err is not None:
                check_notices(err, row.get("notices", []),
                              [w.format(env.get("DISPLAY"))
                               for w in row.get("why", [])])

        outs = ["tusak%04d.bmp" % i for i in range(count)] if count > 1 \
            else [row.get("out", "tusak0000.bmp")]
        assert set(os.listdir(work)) == set(before) | set(outs), \
            os.listdir(work)
        # Nothing at a name passed over changes, nor anything through it.
        assert {n: state(os.path.join(work, n)) for n in before} == before
        if row.get("empty"):
            assert open(os.path.join(work, outs[0]), "rb").read() == EMPTY_BMP
        if "bytes" in row:
            size = os.path.getsize(os.path.join(work, outs[0]))
            assert size == row["bytes"], size
        if "fsize" in row:  # headers whole, pixels cut at the limit
            data = open(os.path.join(work, outs[0]), "rb").read()
            assert len(data) == row["fsize"], len(data)
            fault = header_fault(data, SIZE[0], SIZE[1], 16)
            assert not fault, fault
        if row.get("namespaces"):
            subprocess.run(namespace + ["check"], check=True,
                           timeout=TIMEOUT)
        if "bits" in row:
            reference = dump(env)
            assert enough_colours(reference, row.get("cc") in (0, 1)), \
                "no picture"
            for out in outs:
                check_bmp(os.path.join(work, out), row["bits"], reference)
    finally:
        if viewer:
            viewer.kill()
            viewer.wait()
        if server:
            stop(server)
        subprocess.run(["rm", "-rf", work, assets])


if __name__ == "__main__":
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
    elif sys.argv[1] == "--segment":
        segment(sys.argv[2])
    else:
        run(sys.argv[5], tusak=sys.argv[2], probe=sys.argv[4])
        print("passed:", sys.argv[5])
