"""A real GTK or Qt window on a Wayland display, on the accessibility bus (GTK by itself, Qt 6
with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1). Its main loop stops serving it on SIGUSR1: it computes
without pause ("spin") or sleeps ("sleep"); "answer" never stalls (SIGSTOP freezes any of them
for real). Run with Debian's python3 (python3-gi, python3-pyqt6).

    wayland_app.py 3|4|qt6 answer|spin|sleep TITLE [NAME]
"""

import signal
import sys
import time

version, mode, title = sys.argv[1], sys.argv[2], sys.argv[3]


def stall():
    if mode == "spin":
        while True:
            pass
    time.sleep(3600)


if version == "qt6":
    from PyQt6.QtCore import QTimer
    from PyQt6.QtWidgets import QApplication, QWidget

    app = QApplication(sys.argv[:1])
    # Python sees a signal only when it runs: a timer lets it in, then the loop is stalled.
    signal.signal(signal.SIGUSR1, lambda *_: mode != "answer" and QTimer.singleShot(0, stall))
    tick = QTimer()
    tick.timeout.connect(lambda: None)
    tick.start(50)
    window = QWidget()
    window.setWindowTitle(title)
    window.show()
    sys.exit(app.exec())

import gi  # noqa: E402

gi.require_version("Gtk", version + ".0")
from gi.repository import GLib, Gtk  # noqa: E402

if len(sys.argv) > 4:
    GLib.set_prgname(sys.argv[4])
    GLib.set_application_name(sys.argv[4])


def on_usr1():
    if mode != "answer":
        GLib.idle_add(stall)
    return True


GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, on_usr1)
window = Gtk.Window(title=title)
if version == "3":
    window.show_all()
    Gtk.main()
else:
    window.present()
    loop = GLib.MainLoop()
    window.connect("close-request", lambda *_: loop.quit())
    loop.run()
