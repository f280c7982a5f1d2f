#!/usr/bin/python3
# The desktop's accessibility on a session bus of its own: the bus launcher of at-spi2-core starts
# the accessibility bus and its registry, and this script then listens on it as a screen reader
# does. argv[1] is a folder: "address" appears there once the registry answers, the session bus's
# address, where an application's toolkit finds the accessibility bus. SIGUSR1 asks for the main
# window's list as a reader finds it: "list" is written anew, a line each (a text's own line ends
# kept):
#   found <1 when a window's client area holds a list, else 0>
#   description <the list's description>
#   row <1 selected, else 0><1 focused, else 0> <name>      (one a row)
#   focus <the row that the last focus the reader heard went to, -1 for none or another object>
# SIGTERM ends the reader, the launcher and both buses.
import ctypes, os, signal, subprocess, sys, time

folder = sys.argv[1]

# The buses end with this script, however it ends.
def endWithUs():
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)

# Nothing of the person's own desktop: the launcher would publish the bus on their display, and
# it makes the bus's socket in the runtime folder.
quiet = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "AT_SPI_BUS_ADDRESS")}
quiet["XDG_RUNTIME_DIR"] = folder
session = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"], stdout=subprocess.PIPE,
                           text=True, env=quiet, preexec_fn=endWithUs)
quiet["DBUS_SESSION_BUS_ADDRESS"] = session.stdout.readline().strip()
launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately", "--a11y=1"], env=quiet,
                            preexec_fn=endWithUs)

import dbus
bus = dbus.bus.BusConnection(quiet["DBUS_SESSION_BUS_ADDRESS"])
# Asking before the launcher owns its name would start a second launcher.
while not bus.name_has_owner("org.a11y.Bus") and launcher.poll() is None:
    time.sleep(0.05)
address = bus.call_blocking("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", "", [])
os.environ["AT_SPI_BUS_ADDRESS"] = address

import gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib

Atspi.init()
focus = {"last": None}

def focused(event):
    if event.detail1 == 1:
        focus["last"] = event.source

listener = Atspi.EventListener.new(focused)
listener.register("object:state-changed:focused")

def children(node):
    return [node.get_child_at_index(i) for i in range(node.get_child_count())]

# The first list below node whose parent is a window's client area, depth first.
def findList(node):
    for child in children(node):
        if child.get_role() == Atspi.Role.LIST and node.get_role() == Atspi.Role.FILLER:
            return child
        found = findList(child)
        if found is not None:
            return found
    return None

def flag(node, state):
    return "1" if node.get_state_set().contains(state) else "0"

# Whole, so that a reader of the folder never finds half a file.
def publish(name, text):
    fresh = os.path.join(folder, name + ".new")
    with open(fresh, "w") as out:
        out.write(text)
    os.replace(fresh, os.path.join(folder, name))

def readList():
    lists = [found for found in map(findList, children(Atspi.get_desktop(0))) if found is not None]
    rows = children(lists[0]) if lists else []
    lines = [f"found {int(bool(lists))}", "description " + (lists[0].get_description() if lists else "")]
    lines += [f"row {flag(row, Atspi.StateType.SELECTED)}{flag(row, Atspi.StateType.FOCUSED)} {row.get_name()}"
              for row in rows]
    lines.append(f"focus {next((i for i, row in enumerate(rows) if row == focus['last']), -1)}")
    publish("list", "".join(line + "\n" for line in lines))
    return True

loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, readList)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
publish("address", quiet["DBUS_SESSION_BUS_ADDRESS"])
loop.run()
launcher.terminate()
launcher.wait()
session.terminate()
session.wait()
