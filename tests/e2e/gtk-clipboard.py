#!/usr/bin/python3
"""A GTK3 program on the clipboard, for the desktop tests.

gtk-clipboard.py get         prints the clipboard's text (nothing when there is none)
gtk-clipboard.py window      shows a window and, once it has the focus, says "ready" and
                             answers a line on standard input at a time: "get FILE" writes
                             the clipboard's text to FILE, "set FILE" puts FILE's text on
                             it; "done" after each
--keyboard (first) makes a virtual keyboard through GNOME's remote desktop interface:
mutter gives a window the focus, and with it the clipboard, only on a seat with one.
"""
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, Gio, GLib, Gtk  # noqa: E402


def virtual_keyboard():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION)
    name = "org.gnome.Mutter.RemoteDesktop"

    def call(path, interface, method, args=None):
        return bus.call_sync(name, path, name + interface, method, args, None,
                             Gio.DBusCallFlags.NONE, 5000, None)

    # The session lives as long as this connection does.
    session = call("/org/gnome/Mutter/RemoteDesktop", "", "CreateSession").unpack()[0]
    call(session, ".Session", "Start")
    for pressed in (True, False):  # the left shift key
        call(session, ".Session", "NotifyKeyboardKeycode", GLib.Variant("(ub)", (42, pressed)))
    return bus


def answer(clipboard, line):
    command, _, path = line.strip().partition(" ")
    if command == "get":
        text = clipboard.wait_for_text()
        with open(path, "wb") as out:
            out.write(text.encode() if text is not None else b"")
    elif command == "set":
        with open(path, "rb") as source:
            clipboard.set_text(source.read().decode(), -1)
    print("done", flush=True)


def main():
    args = sys.argv[1:]
    keep = virtual_keyboard() if args[:1] == ["--keyboard"] else None
    args = [a for a in args if a != "--keyboard"]
    clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
    if args == ["get"]:
        text = clipboard.wait_for_text()
        sys.stdout.write(text or "")
        return
    window = Gtk.Window(title="clipboard")
    window.set_default_size(200, 100)
    def focused(*_):
        window.disconnect(focus)  # once
        print("ready", flush=True)

    def line_ready(source, _condition):
        line = source.readline()
        if not line:
            Gtk.main_quit()
            return False
        answer(clipboard, line)
        return True

    focus = window.connect("focus-in-event", focused)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, line_ready)
    Gtk.main()
    del keep


main()
