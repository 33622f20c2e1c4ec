#!/usr/bin/python3
"""A desktop portal that answers Screenshot calls as a test scripts it, on
the session bus of DBUS_SESSION_BUS_ADDRESS (python3-dbus, python3-gi).

    scripted_portal.py [--write SRC] [--uri PATH] [--made-at REAL]
                       [--request-path token|other]
                       [--answer-first] [--never-reply]

Each call to org.freedesktop.portal.Screenshot.Screenshot copies SRC's bytes
to PATH when --write is given (else PATH is handed back as it is), or to
REAL, the file PATH names through a link, and then answers with a Response
signal (success, uri file://PATH) sent to the caller alone, as
xdg-desktop-portal does.

--request-path token  the request's path is built from the caller's unique
                      name and its handle_token (newer portals; default)
--request-path other  a path of the portal's own, named only in the call's
                      reply (older portals)
--answer-first        the Response is sent before the call's reply
--never-reply         the call is never replied to, nor answered
Prints "ready" once the portal's name is owned.
"""
import argparse, shutil, sys, urllib.parse

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.portal.Desktop"
OBJECT = "/org/freedesktop/portal/desktop"
REQUESTS = "/org/freedesktop/portal/desktop/request/"


class Portal(dbus.service.Object):
    def __init__(self, bus, args):
        super().__init__(bus, OBJECT)
        self.bus, self.args, self.count = bus, args, 0

    @dbus.service.method("org.freedesktop.portal.Screenshot",
                         in_signature="sa{sv}", out_signature="o",
                         sender_keyword="sender",
                         async_callbacks=("reply", "error"))
    def Screenshot(self, parent_window, options, sender, reply, error):
        self.count += 1
        if self.args.never_reply:
            return
        if self.args.request_path == "token":
            path = REQUESTS + "%s/%s" % (sender[1:].replace(".", "_"),
                                         options.get("handle_token", "t"))
        else:
            path = REQUESTS + "elsewhere/%d" % self.count
        if self.args.write:
            shutil.copyfile(self.args.write,
                            self.args.made_at or self.args.uri)
        if self.args.answer_first:
            self.respond(sender, path)
            reply(dbus.ObjectPath(path))
        else:
            reply(dbus.ObjectPath(path))
            self.respond(sender, path)

    def respond(self, sender, path):
        message = dbus.lowlevel.SignalMessage(
            path, "org.freedesktop.portal.Request", "Response")
        message.set_destination(sender)
        uri = "file://" + urllib.parse.quote(self.args.uri)
        message.append(dbus.UInt32(0), dbus.Dictionary(
            {"uri": dbus.String(uri)}, signature="sv"), signature="ua{sv}")
        self.bus.send_message(message)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--write")
    parser.add_argument("--uri", default="/tmp/out.png")
    parser.add_argument("--made-at")
    parser.add_argument("--request-path", choices=["token", "other"],
                        default="token")
    parser.add_argument("--answer-first", action="store_true")
    parser.add_argument("--never-reply", action="store_true")
    args = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, args)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del portal, name


if __name__ == "__main__":
    sys.exit(main())
