"""A Unix-socket proxy between display clients (X11, Wayland) and their
servers, as a library: serve() runs it (unix_proxy.py is its command line),
Proxy starts one in a process of its own for a test.

Each client that connects gets its own connection to the target and the
bytes go both ways unchanged, with any file descriptors passed along
(SCM_RIGHTS) in the same message as the bytes they came with, unless the
options cut or stall the server's side, or shrink the files the client
passes, or a Wayland filter (wire.py) reads the messages."""
import contextlib, json, os, shutil, signal, socket, subprocess, sys, \
    threading, time

from wire import Wayland

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
    workdir, and who runs copies of the proxy's files from there: the
    checkout may sit in a folder only its owner can enter)."""

    def __init__(self, listen, target, *options, workdir, run_as=None,
                 env=None, timeout=10):
        self.ready = os.path.join(workdir, "proxy.ready")
        self.report = os.path.join(workdir, "proxy.report")
        for f in (self.ready, self.report):
            if os.path.exists(f):
                os.unlink(f)
        here = os.path.dirname(os.path.abspath(__file__))
        script = os.path.join(here, "unix_proxy.py")
        if run_as:
            for name in ("unix_proxy.py", "proxy.py", "wire.py"):
                shutil.copyfile(os.path.join(here, name),
                                os.path.join(workdir, name))
                os.chmod(os.path.join(workdir, name), 0o644)
            script = os.path.join(workdir, "unix_proxy.py")
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


def serve(args):
    """Listens at args.listen until stopped (SIGTERM) or, with args.once,
    until the first client has gone; args as unix_proxy.py parses them."""
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
