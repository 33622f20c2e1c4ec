#!/usr/bin/python3
"""A Unix-socket proxy between display clients (X11, Wayland) and servers.

    unix_proxy.py LISTEN TARGET [--cut N | --stall N] [--hide-global NAME]...
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
--once           exit once the first client has gone
--ready FILE     created once LISTEN accepts connections ("ready" is also
                 printed on standard output)
--report FILE    one JSON line per connection, appended when it ends:
                 {"conn", "c2s", "s2c", "fds_c2s", "fds_s2c", "cut",
                  "stalled", "hidden"}; also printed on standard output

Tests may import it and start one with Proxy(...).
"""
import argparse, json, os, shutil, signal, socket, struct, subprocess, \
    sys, threading, time

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


class Wayland:
    """Reads the Wayland wire format both ways to drop hidden globals.

    A message is [object id u32][size << 16 | opcode u32][arguments], in
    the host's byte order (little-endian here)."""

    def __init__(self, hidden):
        self.hidden = set(hidden)
        self.registries = set()   # ids of the client's wl_registry objects
        self.names = set()        # global names hidden so far
        self.dropped = []
        self.pending = {True: b"", False: b""}

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

    def client(self, data):
        """Notes new registries; the client's bytes go on unchanged."""
        for m in self.messages(True, data):
            obj, op = struct.unpack_from("<IH", m)
            if obj == 1 and op == 1:  # wl_display.get_registry(new_id)
                self.registries.add(struct.unpack_from("<I", m, 8)[0])
        return data

    def server(self, data):
        """The server's bytes less the hidden globals' events."""
        keep = []
        for m in self.messages(False, data):
            obj, op = struct.unpack_from("<IH", m)
            if obj in self.registries and op == 0:  # global(name, iface, v)
                name, length = struct.unpack_from("<II", m, 8)
                iface = m[16:16 + length - 1].decode()
                if iface in self.hidden:
                    self.names.add(name)
                    self.dropped.append(iface)
                    continue
            elif obj in self.registries and op == 1:  # global_remove(name)
                if struct.unpack_from("<I", m, 8)[0] in self.names:
                    continue
            keep.append(m)
        return b"".join(keep)


class Connection:
    def __init__(self, number, client, args):
        self.number, self.client, self.args = number, client, args
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.connect(address(args.target))
        self.count = {"c2s": 0, "s2c": 0, "fds_c2s": 0, "fds_s2c": 0}
        self.cut = False
        self.stalled = False
        self.wayland = Wayland(args.hide_global) if args.hide_global \
            else None
        self.lock = threading.Lock()
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
                if to_client and self.stalled:  # passed on no more
                    for fd in fds:
                        os.close(fd)
                    fds = []
                    continue
                if self.wayland:
                    data = self.wayland.server(data) if to_client \
                        else self.wayland.client(data)
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

    def run(self):
        other = threading.Thread(target=self.pump, daemon=True,
                                 args=(self.server, self.client, True))
        other.start()
        self.pump(self.client, self.server, False)
        other.join()
        self.client.close()
        self.server.close()
        line = json.dumps(dict(self.count, conn=self.number, cut=self.cut,
                               stalled=self.stalled,
                               hidden=self.wayland.dropped
                               if self.wayland else []))
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
