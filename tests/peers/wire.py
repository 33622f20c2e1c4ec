"""The Wayland wire as the proxy (unix_proxy.py) reads it, both ways: it
drops hidden globals, rewrites events, answers and counts requests, notes
the event at which to shrink the client's files, and tells of many outputs
where the server has one, knowing each object's interface from the request
that made it."""
import struct

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
    """A message is [object id u32][size << 16 | opcode u32][arguments], in
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
        # The event before which the client's files are cut short.
        self.shrink_at = rule(shrink_at + "=")[0][::2] if shrink_at else None
        self.shrink_now = False   # it has come
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
            return event(obj, (op, struct.pack("<%dI" % len(values),
                                               *values)))
        return None if (iface, op) == ("wl_output", 0) else m  # geometry
