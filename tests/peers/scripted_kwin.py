#!/usr/bin/python3
"""KWin's screenshot interface (org.kde.KWin.ScreenShot2) as a test scripts
it, on the session bus of DBUS_SESSION_BUS_ADDRESS (python3-dbus,
python3-gi): CaptureWorkspace writes the picture SRC into the caller's pipe
in a QImage format and answers with its size, stride and format.

    scripted_kwin.py SRC [--formats N,N,...] [--pad BYTES] [--write-first]
                     [--refuse] [--short] [--stream-after | --hold-open]
                     [--stream-no-reply] [--size WxH] [--stride N]
                     [--type T]

--formats     the QImage format of each call in turn (default 5, ARGB32)
--pad         bytes of padding after each row (the stride grows by them)
--write-first the pixels are all written before the call's reply (a caller
              that reads only after the reply never gets it)
--refuse      the call is refused as KWin refuses a program it does not know
--short       the last row's last pixel is never written
--stream-after  after the pixels, bytes without end (until stopped)
--hold-open   the pipe is never closed after the pixels
--stream-no-reply  never answers; the pixels, then bytes without end
--size, --stride, --type  what the reply says in place of the truth
Options other than include-cursor false and native-resolution true are
refused. Prints "ready" once the name is owned, then "call N" per call.
"""
import argparse, os, struct, threading

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib
from PIL import Image

NAME = "org.kde.KWin"
OBJECT = "/org/kde/KWin/ScreenShot2"
INTERFACE = "org.kde.KWin.ScreenShot2"


def ten(c):
    return c << 2 | c >> 6


def encode(pixel, fmt):
    """One pixel (r, g, b) in QImage format fmt's bytes."""
    r, g, b = pixel
    if fmt in (4, 5, 6):
        return bytes((b, g, r, 255))
    if fmt in (16, 17, 18):
        return bytes((r, g, b, 255))
    if fmt == 13:
        return bytes((r, g, b))
    if fmt == 29:
        return bytes((b, g, r))
    if fmt in (21, 22):  # red in the high bits
        return struct.pack("<I", 3 << 30 | ten(r) << 20 | ten(g) << 10 |
                           ten(b))
    if fmt in (19, 20):
        return struct.pack("<I", 3 << 30 | ten(b) << 20 | ten(g) << 10 |
                           ten(r))
    if fmt in (25, 26, 27):
        return struct.pack("<4H", r * 257, g * 257, b * 257, 65535)
    return bytes((r, g, b, 255))  # a format the caller must refuse


class KWin(dbus.service.Object):
    def __init__(self, bus, args):
        super().__init__(bus, OBJECT)
        self.args, self.count = args, 0
        self.held = []  # pipes kept open (--hold-open)
        self.picture = Image.open(args.src).convert("RGB")
        self.formats = [int(f) for f in args.formats.split(",")]

    def pixels(self, fmt):
        w, h = self.picture.size
        data = list(self.picture.getdata())
        rows = []
        for y in range(h):
            rows.append(b"".join(encode(p, fmt)
                                 for p in data[y * w:(y + 1) * w]) +
                        b"\xee" * self.args.pad)
        stride = len(rows[0])
        whole = b"".join(rows)
        if self.args.short:
            whole = whole[:-self.args.pad - len(encode((0, 0, 0), fmt))]
        return whole, stride

    @dbus.service.method(INTERFACE, in_signature="a{sv}h",
                         out_signature="a{sv}",
                         async_callbacks=("reply", "error"))
    def CaptureWorkspace(self, options, pipe, reply, error):
        fd = pipe.take()
        self.count += 1
        print("call", self.count, flush=True)
        fmt = self.formats[(self.count - 1) % len(self.formats)]
        if self.args.refuse:
            os.close(fd)
            error(dbus.DBusException(
                "The process is not authorized to take a screenshot",
                name=INTERFACE + ".Error.NoAuthorized"))
            return
        if dict(options) != {"include-cursor": False,
                             "native-resolution": True}:
            os.close(fd)
            error(dbus.DBusException("unexpected options %r" % options,
                                     name=INTERFACE + ".Error.Options"))
            return
        data, stride = self.pixels(fmt)
        w, h = self.picture.size
        if self.args.size:
            w, h = map(int, self.args.size.split("x"))
        results = {"type": self.args.type, "width": dbus.UInt32(w),
                   "height": dbus.UInt32(h),
                   "stride": dbus.UInt32(self.args.stride or stride),
                   "format": dbus.UInt32(fmt), "scale": dbus.Double(1.0),
                   "screen": "Virtual-0"}
        endless = self.args.stream_after or self.args.stream_no_reply

        def write():
            try:
                os.set_blocking(fd, True)
                view = memoryview(data)
                while view or endless:
                    view = view or memoryview(b"\xee" * 65536)
                    view = view[os.write(fd, view):]
            except OSError:
                pass
            if self.args.hold_open:
                self.held.append(fd)
            else:
                os.close(fd)
        if self.args.stream_no_reply:
            threading.Thread(target=write, daemon=True).start()
        elif self.args.write_first:
            write()  # blocks until the caller has read it all
            reply(results)
        else:
            reply(results)
            threading.Thread(target=write, daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("src")
    parser.add_argument("--formats", default="5")
    parser.add_argument("--pad", type=int, default=0)
    parser.add_argument("--write-first", action="store_true")
    parser.add_argument("--refuse", action="store_true")
    parser.add_argument("--short", action="store_true")
    parser.add_argument("--stream-after", action="store_true")
    parser.add_argument("--hold-open", action="store_true")
    parser.add_argument("--stream-no-reply", action="store_true")
    parser.add_argument("--size")
    parser.add_argument("--stride", type=int)
    parser.add_argument("--type", default="raw")
    args = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    kwin = KWin(bus, args)
    name = dbus.service.BusName(NAME, bus)  # owned while it is referenced
    print("ready", flush=True)
    GLib.MainLoop().run()
    return kwin, name


if __name__ == "__main__":
    main()
