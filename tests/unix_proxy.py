#!/usr/bin/python3
"""A Unix-socket proxy between display clients (X11, Wayland) and servers.

    unix_proxy.py LISTEN TARGET [--cut N | --stall N] [--hide-global NAME]...
                  [--rewrite RULE]... [--answer RULE]... [--count MESSAGE]...
                  [--max-pool BYTES] [--shrink-fds [EVENT]] [--outputs N,W,H]
                  [--once] [--ready FILE] [--report FILE]

Each client that connects to LISTEN gets its own connection to TARGET and
the bytes go both ways unchanged, with any file descriptors passed along
(SCM_RIGHTS) in the same message as the bytes they came with. A path that
starts with @ is in the abstract namespace (as X servers also listen).

--cut N          after exactly N bytes from the server have reached the
                 client, close both sides (the client sees its display go)
--stall N        after exactly N bytes from the server have reached the
                 client, pass on nothing more from the server and keep both
                 sides open (the client sees its display stop answering)
--hide-global I  Wayland: the client never hears of the global interface I
                 (wl_registry.global and global_remove dropped); repeatable
--rewrite RULE   Wayland: the server's event IFACE[#N].EVENT (of every
                 object of that interface, or of the Nth the client made)
                 reaches the client as [EVENT2:]V,V... instead: that event,
                 or EVENT2, with those 32-bit arguments; repeatable
                 (zxdg_output_v1#2.logical_position=2147483600,0)
--answer RULE    Wayland: the client's request IFACE.REQUEST is not passed
                 on; the proxy answers it at once with EVENT:V,... on the
                 same object (ext_image_copy_capture_frame_v1.capture=
                 failed:0); repeatable
--count MESSAGE  Wayland: counts the client's requests IFACE.REQUEST
                 (wl_shm.create_pool); repeatable
--max-pool BYTES Wayland: a client that asks for a larger shm pool is cut
                 off then (the compositor would keep such pools alive
                 while their buffers are: a machine's memory)
--shrink-fds [IFACE.EVENT]
                 the files the client passes are cut to 0 bytes at its
                 next message (X11: the server has mapped them), or just
                 before that Wayland event reaches it (...frame_v1.ready)
--outputs N,W,H  Wayland: the client hears of N outputs of W x H pixels
                 instead of the server's one, placed from right to left in
                 their order: each is the server's output under another
                 name, its events rewritten, and its screencopy frames are
                 answered ready at once (their buffers left as they are)
--once           exit once the first client has gone
--ready FILE     created once LISTEN accepts connections ("ready" is also
                 printed on standard output)
--report FILE    one JSON line per connection, appended when it ends:
                 {"conn", "c2s", "s2c", "fds_c2s", "fds_s2c", "cut",
                  "stalled", "hidden", "counted", "rewritten", "pool": the
                  largest shm pool asked for, "shrunk", "sealed": the files
                  cut and those that refused}; also printed on standard
                 output

Tests may import it and start one with Proxy(...).
"""
import argparse, contextlib, json, os, shutil, signal, socket, \
    struct, subprocess, sys, threading, time

CHUNK = 65536
MAX_FDS = 253  # the kernel's limit for one message


def address(path):
    return "\0" + path[1:] if path.startswith("@") else path


def recv(sock):
    """(bytes, fds) of one message; b"" at the end of the stream."""
    data, fds, flags, _ = socket.recv_fds(sock, CHUNK, MAX_FDS)
    if flags & socket.MSG_CTRUNC:
        raise OSError("file descriptors lost in transit")
    return data, fds


def send(sock, data, fds):
    """All of data, with fds riding on its first byte; fds are closed."""
    try:
        sent = socket.send_fds(sock, [data], fds) if fds else 0
        if sent < len(data):
            sock.sendall(data[sent:])
    finally:
        for fd in fds:
            os.close(fd)


# The messages a rewrite, an answer or a count may name, by opcode, and the
# requests that make their objects (the new object's id is the first
# argument).
EVENTS = {
    "zxdg_output_v1": ["logical_position", "logical_size", "done", "name",
                       "description"],
    "ext_image_copy_capture_session_v1": [
        "buffer_size", "shm_format", "dmabuf_device", "dmabuf_format", "done",
        "stopped"],
    "ext_image_copy_capture_frame_v1": ["transform", "damage",
                                        "presentation_time", "ready",
                                        "failed"],
    "wl_output": ["geometry", "mode", "done", "scale"],
    "zwlr_screencopy_frame_v1": ["buffer", "flags", "ready", "failed",
                                 "damage", "linux_dmabuf", "buffer_done"]}
REQUESTS = {
    "wl_shm": ["create_pool", "release"],
    "zxdg_output_manager_v1": ["destroy", "get_xdg_output"],
    "ext_image_copy_capture_manager_v1": [
        "create_session", "create_pointer_cursor_session", "destroy"],
    "ext_image_copy_capture_session_v1": ["create_frame", "destroy"],
    "ext_image_copy_capture_frame_v1": ["destroy", "attach_buffer",
                                        "damage_buffer", "capture"],
    "zwlr_screencopy_manager_v1": ["capture_output", "capture_output_region",
                                   "destroy"]}
MAKES = {
    "zxdg_output_manager_v1.get_xdg_output": "zxdg_output_v1",
    "ext_image_copy_capture_manager_v1.create_session":
        "ext_image_copy_capture_session_v1",
    "ext_image_copy_capture_session_v1.create_frame":
        "ext_image_copy_capture_frame_v1",
    "zwlr_screencopy_manager_v1.capture_output": "zwlr_screencopy_frame_v1",
    "zwlr_screencopy_manager_v1.capture_output_region":
        "zwlr_screencopy_frame_v1"}
# Global names of --outputs' aliases: far above any server's own.
ALIAS = 0x70000000


def rule(text, messages=EVENTS):
    """IFACE[#N].MESSAGE=[EVENT:]V,V... as ((IFACE, N or None, the
    message's opcode in messages), (the opcode of the event sent, its
    argument bytes))."""
    target, value = text.split("=", 1)
    iface, message = target.rsplit(".", 1)
    iface, _, nth = iface.partition("#")
    event, _, args = value.rpartition(":")
    args = b"".join(struct.pack("<i" if int(v) < 0 else "<I", int(v))
                    for v in args.split(",") if v)
    return ((iface, int(nth) if nth else None,
             messages[iface].index(message)),
            (EVENTS[iface].index(event or message), args))


def event(obj, rule):
    opcode, args = rule
    return struct.pack("<IHH", obj, opcode, 8 + len(args)) + args


class Wayland:
    """Reads the Wayland wire format both ways: drops hidden globals,
    rewrites events, answers and counts requests, knowing each object's
    interface from the request that made it.

    A message is [object id u32][size << 16 | opcode u32][arguments], in
    the host's byte order (little-endian here)."""

    def __init__(self, hidden, rewrites=(), answers=(), counts=(),
                 max_pool=None, shrink_at=None, outputs=None):
        self.hidden = set(hidden)
        self.rules = dict(map(rule, rewrites))
        self.answers = dict(rule(a, REQUESTS) for a in answers)
        self.counted = dict.fromkeys(counts, 0)
        self.kinds = {1: ("wl_display", 1)}  # id: (interface, Nth made)
        self.made = {}            # interface: how many the client made
        self.names = set()        # global names hidden so far
        self.dropped = []
        self.rewritten = 0
        self.pool = 0             # bytes of the largest shm pool
        self.max_pool = max_pool
        self.shrink_at = rule(shrink_at + "=")[0][::2] if shrink_at else None
        self.shrink_now = False   # the event to shrink at has come
        self.pending = {True: b"", False: b""}
        self.outputs = outputs    # (N, W, H) of --outputs
        self.alias = {}           # object id: the number of its output
        self.real = None          # the server's output's global name

    def messages(self, from_client, data):
        """Complete messages in data (partial ones wait for more)."""
        buf = self.pending[from_client] + data
        out = []
        while len(buf) >= 8:
            size = struct.unpack_from("<I", buf, 4)[0] >> 16
            if size < 8:
                raise ValueError("malformed Wayland message")
            if len(buf) < size:
                break
            out.append(buf[:size])
            buf = buf[size:]
        self.pending[from_client] = buf
        return out

    def make(self, new, iface):
        self.made[iface] = self.made.get(iface, 0) + 1
        self.kinds[new] = (iface, self.made[iface])

    def client(self, data):
        """Notes the objects made and counts requests: (the client's
        messages to pass on, the proxy's answers to the rest)."""
        keep, answers = [], []
        for m in self.messages(True, data):
            obj, op = struct.unpack_from("<IH", m)
            iface = self.kinds.get(obj, ("",))[0]
            if iface == "wl_display" and op == 1:  # get_registry(new_id)
                self.make(struct.unpack_from("<I", m, 8)[0], "wl_registry")
            elif iface == "wl_registry" and op == 0:  # bind(u, s, u, new_id)
                name, length = struct.unpack_from("<II", m, 8)
                new = struct.unpack_from("<I", m, len(m) - 4)[0]
                self.make(new, m[16:16 + length - 1].decode())
                if self.outputs and name >= ALIAS:  # the server's output
                    self.alias[new] = name - ALIAS
                    m = m[:8] + struct.pack("<I", self.real) + m[12:]
            elif obj in self.alias and (iface, op) == (
                    "zwlr_screencopy_frame_v1", 0):
                # copy(buffer): done, as far as the client can tell.
                answers.append(event(obj, (2, bytes(12))))
                continue
            elif op < len(REQUESTS.get(iface, [])):
                name = iface + "." + REQUESTS[iface][op]
                if name in MAKES:  # (new_id, ..., output)
                    new = struct.unpack_from("<I", m, 8)[0]
                    self.make(new, MAKES[name])
                    of = struct.unpack_from("<I", m, len(m) - 4)[0]
                    if of in self.alias:
                        self.alias[new] = self.alias[of]
                if name in self.counted:
                    self.counted[name] += 1
                if name == "wl_shm.create_pool":  # (new_id, fd, size)
                    self.pool = max(self.pool,
                                    struct.unpack_from("<i", m, 12)[0])
                    if self.max_pool is not None and \
                            self.pool > self.max_pool:
                        raise ValueError("cut off: a pool of %d bytes"
                                         % self.pool)
                if (iface, None, op) in self.answers:
                    answers.append(event(obj, self.answers[iface, None, op]))
                    continue
            keep.append(m)
        return b"".join(keep), b"".join(answers)

    def server(self, data):
        """The server's bytes less the hidden globals' events, and with the
        events rewritten."""
        keep = []
        for m in self.messages(False, data):
            obj, op = struct.unpack_from("<IH", m)
            iface, nth = self.kinds.get(obj, ("", 0))
            rewrite = self.rules.get((iface, nth, op)) or \
                self.rules.get((iface, None, op))
            if obj in self.alias:
                m = self.aliased(obj, iface, op, m)
                if m is None:
                    continue
            elif rewrite:
                self.rewritten += 1
                m = event(obj, rewrite)
            elif (iface, op) == self.shrink_at:
                self.shrink_now = True
            elif iface == "wl_registry" and op == 0:  # global(name, iface, v)
                name, length = struct.unpack_from("<II", m, 8)
                offered = m[16:16 + length - 1].decode()
                if self.outputs and offered == "wl_output":
                    self.real = name
                    keep += [m[:8] + struct.pack("<I", ALIAS + k) + m[12:]
                             for k in range(self.outputs[0])]
                    continue
                if offered in self.hidden:
                    self.names.add(name)
                    self.dropped.append(offered)
                    continue
            elif iface == "wl_registry" and op == 1:  # global_remove(name)
                if struct.unpack_from("<I", m, 8)[0] in self.names:
                    continue
            keep.append(m)
        return b"".join(keep)


    def aliased(self, obj, iface, op, m):
        """Event m of an output's alias (or of its xdg-output or frame) as
        output number k of --outputs tells it; None: dropped."""
        n, w, h = self.outputs
        k = self.alias[obj]
        args = {("wl_output", 1): (3, w, h, 60000),  # mode: current
                ("wl_output", 3): (1,),              # scale
                ("zxdg_output_v1", 0): ((n - 1 - k) * w, 0),
                ("zxdg_output_v1", 1): (w, h),
                ("zwlr_screencopy_frame_v1", 0): (1, w, h, 4 * w)}  # XRGB
        if (iface, op) in args:
            values = args[iface, op]
            return event(obj, (op, struct.pack("<%dI" % len(values), *values)))
        return None if (iface, op) == ("wl_output", 0) else m  # geometry


class Connection:
    def __init__(self, number, client, args):
        self.number, self.client, self.args = number, client, args
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.connect(address(args.target))
        self.count = {"c2s": 0, "s2c": 0, "fds_c2s": 0, "fds_s2c": 0,
                      "shrunk": 0, "sealed": 0}
        self.to_shrink = []  # copies of the client's descriptors
        self.cut = False
        self.stalled = False
        self.wayland = Wayland(args.hide_global, args.rewrite, args.answer,
                               args.count, args.max_pool, args.shrink_fds,
                               args.outputs) \
            if args.hide_global or args.rewrite or args.answer or \
            args.count or args.max_pool is not None or args.shrink_fds \
            or args.outputs else None
        self.lock = threading.Lock()
        self.sending = threading.Lock()  # to the client, from both pumps
        self.closed = False

    def close(self):
        with self.lock:
            if self.closed:
                return
            self.closed = True
        # shutdown wakes the other direction's recvmsg.
        for s in (self.client, self.server):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def pump(self, src, dst, to_client):
        key = "s2c" if to_client else "c2s"
        fds = []
        try:
            while True:
                data, new = recv(src)
                fds += new
                if not data:
                    break
                if not to_client and self.args.shrink_fds is not None:
                    if not self.args.shrink_fds:  # at the client's next
                        self.shrink()
                    self.to_shrink += [os.dup(fd) for fd in new]
                if to_client and self.stalled:  # passed on no more
                    for fd in fds:
                        os.close(fd)
                    fds = []
                    continue
                if self.wayland and to_client:
                    data = self.wayland.server(data)
                    if self.wayland.shrink_now:
                        self.wayland.shrink_now = False
                        self.shrink()
                elif self.wayland:
                    data, answers = self.wayland.client(data)
                    if answers:
                        with self.sending:
                            self.client.sendall(answers)
                if self.wayland:
                    if not data:
                        continue  # fds wait for the next bytes sent
                limit = self.args.cut
                if to_client and limit is not None:
                    room = limit - self.count[key]
                    if len(data) >= room:
                        data, self.cut = data[:room], True
                if to_client and self.args.stall is not None:
                    room = max(self.args.stall - self.count[key], 0)
                    if len(data) >= room:
                        data, self.stalled = data[:room], True
                if data:
                    self.count[key] += len(data)
                    self.count["fds_" + key] += len(fds)
                    with self.sending if to_client else \
                            contextlib.nullcontext():
                        send(dst, data, fds)
                    fds = []
                if self.cut:
                    break
        except (OSError, ValueError) as e:
            if not self.closed:
                print("connection %d: %s" % (self.number, e),
                      file=sys.stderr, flush=True)
        finally:
            for fd in fds:
                os.close(fd)
            self.close()

    def shrink(self):
        for fd in self.to_shrink:
            try:
                os.ftruncate(fd, 0)
                self.count["shrunk"] += 1
            except PermissionError:  # F_SEAL_SHRINK
                self.count["sealed"] += 1
            os.close(fd)
        self.to_shrink = []

    def run(self):
        other = threading.Thread(target=self.pump, daemon=True,
                                 args=(self.server, self.client, True))
        other.start()
        self.pump(self.client, self.server, False)
        other.join()
        self.client.close()
        self.server.close()
        w = self.wayland
        line = json.dumps(dict(self.count, conn=self.number, cut=self.cut,
                               stalled=self.stalled,
                               hidden=w.dropped if w else [],
                               counted=w.counted if w else {},
                               rewritten=w.rewritten if w else 0,
                               pool=w.pool if w else 0))
        print(line, flush=True)
        if self.args.report:
            with open(self.args.report, "a") as f:
                f.write(line + "\n")


class Proxy:
    """This proxy in a process of its own, for tests: started and ready on
    return. Its ready and report files go in workdir; run_as wraps the
    command line (to run it as another user, who must be able to write
    workdir, and who runs a copy of this script from there: the checkout
    may sit in a folder only its owner can enter)."""

    def __init__(self, listen, target, *options, workdir, run_as=None,
                 env=None, timeout=10):
        self.ready = os.path.join(workdir, "proxy.ready")
        self.report = os.path.join(workdir, "proxy.report")
        for f in (self.ready, self.report):
            if os.path.exists(f):
                os.unlink(f)
        script = os.path.abspath(__file__)
        if run_as:
            copy = os.path.join(workdir, os.path.basename(script))
            shutil.copyfile(script, copy)
            os.chmod(copy, 0o644)
            script = copy
        argv = ["/usr/bin/python3", script, listen,
                target, "--ready", self.ready, "--report", self.report] + \
            [str(o) for o in options]
        self.process = subprocess.Popen(
            run_as(argv) if run_as else argv, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        end = time.monotonic() + timeout
        while not os.path.exists(self.ready):
            if self.process.poll() is not None or time.monotonic() > end:
                self.stop()
                raise RuntimeError("the proxy did not start")
            time.sleep(0.02)

    def reports(self, count=1, timeout=10):
        """The reports of the first count connections, waiting (bounded)
        for a connection whose client has gone to be written down."""
        end = time.monotonic() + timeout
        while True:
            try:
                with open(self.report) as f:
                    lines = [json.loads(l) for l in f if l.endswith("\n")]
            except FileNotFoundError:
                lines = []
            if len(lines) >= count:
                return lines
            if time.monotonic() > end:
                raise TimeoutError("no report from the proxy")
            time.sleep(0.02)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("listen")
    p.add_argument("target")
    p.add_argument("--cut", type=int)
    p.add_argument("--stall", type=int)
    p.add_argument("--hide-global", action="append", default=[])
    p.add_argument("--rewrite", action="append", default=[])
    p.add_argument("--answer", action="append", default=[])
    p.add_argument("--count", action="append", default=[])
    p.add_argument("--max-pool", type=int)
    p.add_argument("--shrink-fds", nargs="?", const="")
    p.add_argument("--outputs", type=lambda v: tuple(map(int, v.split(","))))
    p.add_argument("--once", action="store_true")
    p.add_argument("--ready")
    p.add_argument("--report")
    args = p.parse_args()

    def killed(*_):  # still removes its socket, wherever it was
        if not args.listen.startswith("@"):
            try:
                os.unlink(args.listen)
            except OSError:
                pass
        os._exit(0)
    signal.signal(signal.SIGTERM, killed)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    if not args.listen.startswith("@") and os.path.exists(args.listen):
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(args.listen)
            sys.exit("%s: in use by a live server" % args.listen)
        except ConnectionRefusedError:
            os.unlink(args.listen)  # left by a run that died
        finally:
            probe.close()
    listener.bind(address(args.listen))
    listener.listen(16)
    if args.ready:
        open(args.ready, "w").close()
    print("ready", flush=True)
    number = 0
    try:
        while True:
            client, _ = listener.accept()
            number += 1
            try:
                conn = Connection(number, client, args)
            except OSError as e:
                print("target %s: %s" % (args.target, e), file=sys.stderr,
                      flush=True)
                client.close()
                continue
            if args.once:
                conn.run()
                break
            threading.Thread(target=conn.run, daemon=True).start()
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        listener.close()
        if not args.listen.startswith("@"):
            os.unlink(args.listen)


if __name__ == "__main__":
    main()
