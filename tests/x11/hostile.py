"""X servers that do not behave: scripted ones that answer the connection
setup with lies, random bytes, or not at all; and a real one behind a proxy
(peers/unix_proxy.py) that cuts the connection, or falls silent, at points
of a run. tusak must end, in time, with its file and the right lines."""
import contextlib, ctypes, os, random, socket, struct, threading, time

from PIL import Image

from bmp import EMPTY_BMP
from launch import TIMEOUT, launch
from notices import NO_BITMAP, split
from proxy import Proxy

SEGMENT = 4 << 20
MALFORMED = ["X display {} sent a malformed connection setup"]


def x_setup(size, lie=None):
    """A connection setup as a little-endian server sends it: one screen of
    size at depth 24, TrueColor, with two pixmap formats, all 140 bytes of
    it well formed; lie names a field to change after it is put together,
    while the length and the bytes sent stay as they were."""
    w, h = size
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


def scripts(size):
    """Each scripted server's answers: (what is sent after the client's
    setup request, None for nothing; whether the connection is closed after
    it; the lines that say why no display served, None for any lines that
    name the display, "any" for a display that may also serve; at most how
    many seconds the run takes). A setup whose counts claim more records
    than its length carries, or whose fields would have libxcb divide by
    zero, wait on a request, or stop on an assertion, is no display; so are
    a refusal (its reason shown printable only) and random bytes; a server
    that answers nothing, or the setup and then nothing, is waited for 5 s."""
    return {
        "lies": [(x_setup(size, lie), True, MALFORMED, 3) for lie in (
            "screens", "formats", "vendor", "depths", "visuals", "ids",
            "request_length", "scanline_unit", "scanline_pad")] + [
            # Shorter than its fixed fields: libxcb takes it for no answer.
            (x_setup(size, "length"), True, ["X display {} does not answer"],
             3),
            (struct.pack("<BBHHH", 0, 20, 11, 0, 5) +
             b"\x1b[2Jgone\naway\x07......", True,
             ["X display {} refused the connection: [2Jgone"], 3)],
        "random": [(random.Random(seed).randbytes(300000), True, None, 3)
                   for seed in range(8)] + [
            # A good setup, then random bytes where the replies belong:
            # whether the first reply is taken for one before the close is
            # seen is the race of the reads, so the display may serve and
            # fail later.
            (x_setup(size) + random.Random(seed).randbytes(100000), True,
             "any", 3) for seed in range(8)],
        "silent": [(None, False, ["X display {} does not answer"], 7)],
        "setup_then_silent": [(x_setup(size), False,
                               ["X display {} stopped answering"], 7)]}


def free_display():
    # From a number of this process's own, so rows running side by side do
    # not pick the same one.
    n = 1000 + os.getpid() % 30000
    while os.path.exists("/tmp/.X11-unix/X%d" % n):
        n += 1
    return ":%d" % n


def socket_of(display):
    return "/tmp/.X11-unix/X" + display[1:]


@contextlib.contextmanager
def scripted_server(answer, close):
    """A display of a free number whose server reads each client's setup
    request, then sends answer (if any) and closes the connection (if
    close), or else keeps it open for as long as the display lasts."""
    display = free_display()
    if not os.path.isdir("/tmp/.X11-unix"):  # as an X server makes it
        os.makedirs("/tmp/.X11-unix", exist_ok=True)
        os.chmod("/tmp/.X11-unix", 0o1777)
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(socket_of(display))
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
        os.unlink(socket_of(display))


def run_scripted(row, t):
    path = os.path.join(t.work, "tusak0000.bmp")
    for i, (answer, close, why, seconds) in enumerate(
            scripts(row.size)[row.args[0]]):
        with scripted_server(answer, close) as display:
            start = time.monotonic()
            (status, err, _), = launch([t.tusak], dict(t.env,
                                                       DISPLAY=display),
                                       t.work)
            took = time.monotonic() - start
        said = [line for line in err.splitlines()
                if line.startswith("tusak: ")]
        assert status == 0, (i, status, err)  # no signal, no sanitizer
        assert took < seconds, (i, took, err)
        if why == "any" and not said:
            # Served, then lost: notices of the later steps, and a file of
            # the screen's size holding nothing the server sent: black.
            split(err.splitlines())
            with Image.open(path) as image:
                assert image.size == row.size, (i, image.size)
                assert image.convert("RGB").getextrema() == ((0, 0),) * 3, i
            os.remove(path)
            continue
        why = None if why == "any" else why
        assert said and all(line.startswith("tusak: X display %s " % display)
                            for line in said), (i, err)
        split(err.splitlines(), NO_BITMAP,
              None if why is None else [w.format(display) for w in why])
        assert open(path, "rb").read() == EMPTY_BMP
        os.remove(path)


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


def through_proxy(t, *options):
    """One launch through a proxy to the display with options (--cut N:
    the connection ends after N bytes from the server; --stall N: no more
    passed on after them): its (status, stderr, pid), the proxy's counts."""
    listen = free_display()
    with Proxy(socket_of(listen), socket_of(t.env["DISPLAY"]), "--once",
               *options, workdir=t.assets, timeout=TIMEOUT) as proxy:
        result, = launch([t.tusak], dict(t.env, DISPLAY=listen), t.work)
        return result, proxy.reports(timeout=TIMEOUT)[0]


def setup_length(env):
    """The length of the display's setup reply."""
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(TIMEOUT)
        s.connect(socket_of(env["DISPLAY"]))
        s.sendall(struct.pack("<cxHHHHxx", b"l", 11, 0, 0, 0))
        return 8 + 4 * struct.unpack("<6xH", s.recv(8, socket.MSG_WAITALL))[0]


def run_breaks(row, t, stall=False):
    """The connection cut at points of a run, or the server silent from
    them on (stall: tusak waits for it at most 5 s, once, then goes on as
    with a broken connection): each launch ends with notices and a whole
    file, and (cut) leaves no shared memory segment behind."""
    setup = setup_length(t.env)
    result, counts = through_proxy(t)
    assert result[:2] == (0, ""), result
    whole = counts["s2c"]
    # Cut: at none of it, part of the setup, all of it, the first reply
    # after it, half the run, the fetch's last strips, all but a few
    # bytes. Stalled: right after the setup, after the first reply, half
    # the run, the fetch's last strips.
    points = (setup, setup + 32, (setup + whole) // 2, whole - 100) if \
        stall else (0, 20, setup, setup + 32, (setup + whole) // 2,
                    whole - 200, whole - 5)
    for at in points:
        start = time.monotonic()
        (status, err, pid), counts = through_proxy(
            t, "--stall" if stall else "--cut", str(at))
        took = time.monotonic() - start
        assert counts["stalled" if stall else "cut"] and \
            counts["s2c"] == at, (at, counts)
        assert status == 0, (at, status, err)
        assert not stall or 4.5 < took < 7.5, (at, took, err)
        split(err.splitlines())
        assert stall or not segments_of(pid), (at, segments_of(pid))
        path = os.path.join(t.work, "tusak0000.bmp")
        data = open(path, "rb").read()
        assert data[:2] == b"BM" and len(data) == struct.unpack_from(
            "<I", data, 2)[0], (at, len(data))
        os.remove(path)
