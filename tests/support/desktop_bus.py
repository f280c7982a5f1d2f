#!/usr/bin/python3
# Stands in for logind and the notification service on a bus of its own. argv[1] is a folder:
# "address" appears there once both names are owned, and "events" holds a line per call, sorted:
# "inhibit <what>|<who>|<why>|<mode>", "release <why>" once every copy of that inhibitor is
# closed, "notify <app>|<summary>|<body>" (line ends as \n). SIGUSR1 announces a wake from sleep;
# SIGTERM ends the services and the bus.
import os, signal, subprocess, sys
import dbus, dbus.bus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib

folder = sys.argv[1]
daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"], stdout=subprocess.PIPE, text=True)
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
address = daemon.stdout.readline().strip()
bus = dbus.bus.BusConnection(address)

events = []
def record(line):
    events.append(line.replace("\n", "\\n") + "\n")
    open(os.path.join(folder, "events"), "w").write("".join(sorted(events)))

class Login(dbus.service.Object):
    # The caller gets the write end of a pipe: ours hangs up when the last copy of it closes.
    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        record(f"inhibit {what}|{who}|{why}|{mode}")
        ours, theirs = os.pipe()
        GLib.io_add_watch(ours, GLib.IO_HUP, lambda *_: record(f"release {why}") or os.close(ours))
        handed, _ = dbus.types.UnixFd(theirs), os.close(theirs)
        return handed

    @dbus.service.signal("org.freedesktop.login1.Manager", signature="b")
    def PrepareForSleep(self, start):
        pass

class Notices(dbus.service.Object):
    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        record(f"notify {app}|{summary}|{body}")
        return 1

names = [dbus.service.BusName(name, bus) for name in ("org.freedesktop.login1", "org.freedesktop.Notifications")]
login, _ = Login(bus, "/org/freedesktop/login1"), Notices(bus, "/org/freedesktop/Notifications")
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, lambda: login.PrepareForSleep(False) or True)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
open(os.path.join(folder, "address"), "w").write(address)
loop.run()
daemon.terminate()
daemon.wait()
