#!/usr/bin/python3
"""The desktop portal's own screenshot, taken without asking: prints the
URI of its file once the request answers (a bare gdbus call returns before
the picture is written). Runs with the desktop's own python3-gi.
Usage: portal_screenshot.py [TIMEOUT_S]"""
import sys

from gi.repository import Gio, GLib

PORTAL = ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")
TOKEN = "tusak_reference"

bus = Gio.bus_get_sync(Gio.BusType.SESSION)
# The request's path is known before the call: listened to first, so that
# an early answer is not missed.
sender = bus.get_unique_name()[1:].replace(".", "_")
request = "%s/request/%s/%s" % (PORTAL[1], sender, TOKEN)
loop = GLib.MainLoop()
answer = []


def response(_bus, _sender, _path, _interface, _signal, params):
    answer.append(params.unpack())
    loop.quit()


bus.signal_subscribe(PORTAL[0], "org.freedesktop.portal.Request", "Response",
                     request, None, Gio.DBusSignalFlags.NONE, response)
timeout = int(sys.argv[1]) if len(sys.argv) > 1 else 60
bus.call_sync(PORTAL[0], PORTAL[1], "org.freedesktop.portal.Screenshot",
              "Screenshot",
              GLib.Variant("(sa{sv})", ("", {
                  "handle_token": GLib.Variant("s", TOKEN),
                  "interactive": GLib.Variant("b", False)})),
              GLib.VariantType("(o)"), Gio.DBusCallFlags.NONE,
              timeout * 1000, None)
GLib.timeout_add_seconds(timeout, loop.quit)
loop.run()
if not answer:
    sys.exit("no answer within %d s" % timeout)
code, results = answer[0]
if code != 0 or "uri" not in results:
    sys.exit("refused: response %d %r" % (code, results))
print(results["uri"])
