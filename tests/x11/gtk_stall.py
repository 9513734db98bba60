"""A real GTK 3 window whose main loop stops serving it half a second after it starts: it
computes without pause ("spin") or sleeps ("sleep"). Run with Debian's python3 (python3-gi).

    gtk_stall.py spin|sleep TITLE
"""

import sys
import time

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

mode, title = sys.argv[1], sys.argv[2]
window = Gtk.Window(title=title)
window.show_all()


def stall():
    if mode == "spin":
        while True:
            pass
    time.sleep(3600)


GLib.timeout_add(500, stall)
Gtk.main()
