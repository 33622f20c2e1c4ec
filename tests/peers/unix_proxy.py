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

The proxy itself is proxy.py (tests start one with proxy.Proxy), its
Wayland filter wire.py.
"""
import argparse, sys

from proxy import serve


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
    serve(p.parse_args())


if __name__ == "__main__":
    sys.exit(main())
