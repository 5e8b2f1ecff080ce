#!/usr/bin/python3
"""A stand-in for the desktop's notification service on a private session bus.

Owns org.freedesktop.Notifications, appends every Notify call as one JSON line
to the record file given as the first argument, and prints "ready" once the
name is owned.
"""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IFACE = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.record = record
        self.last_id = 0

    @dbus.service.method(IFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout):
        self.last_id += 1
        entry = {
            "app_name": str(app_name),
            "replaces_id": int(replaces_id),
            "app_icon": str(app_icon),
            "summary": str(summary),
            "body": str(body),
            "actions": [str(a) for a in actions],
            "hints": {str(k): str(v) for k, v in hints.items()},
            "expire_timeout": int(expire_timeout),
        }
        with open(self.record, "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")
        return self.last_id

    @dbus.service.method(IFACE, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["body", "body-markup"]

    @dbus.service.method(IFACE, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("fake-notifications", "larkvale tests", "1.0", "1.2")

    @dbus.service.method(IFACE, in_signature="u", out_signature="")
    def CloseNotification(self, notification_id):
        pass


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service = Notifications(bus, sys.argv[1])
    name = dbus.service.BusName(IFACE, bus, do_not_queue=True)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del service, name


if __name__ == "__main__":
    main()
