"""A real GTK or Qt window on a Wayland display, on the accessibility bus (GTK by itself, Qt 6
with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1). Its main loop stops serving it on SIGUSR1: it computes
without pause ("spin") or sleeps ("sleep"); "answer" never stalls (SIGSTOP freezes any of them
for real). Run with Debian's python3 (python3-gi, python3-pyqt6).
"error": no toolkit, only an application embedded in the accessibility registry whose every
call is answered with the D-Bus error ERROR.

    wayland_app.py 3|4|qt6 answer|spin|sleep TITLE [NAME]
    wayland_app.py error ERROR
"""

import signal
import sys
import time

version, mode, title = (sys.argv[1:] + [""])[:3]


def stall():
    if mode == "spin":
        while True:
            pass
    time.sleep(3600)


if version == "error":
    from gi.repository import Gio, GLib

    session = Gio.bus_get_sync(Gio.BusType.SESSION)
    address = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                                GLib.VariantType("(s)"), 0, 5000).unpack()[0]
    bus = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)

    def refuse(connection, message, incoming):
        if incoming and message.get_message_type() == Gio.DBusMessageType.METHOD_CALL:
            connection.send_message(message.new_method_error_literal(mode, "refused"), 0)
            return None
        return message

    bus.add_filter(refuse)
    root = "/org/a11y/atspi/accessible/root"
    bus.call_sync("org.a11y.atspi.Registry", root, "org.a11y.atspi.Socket", "Embed",
                  GLib.Variant("((so))", ((bus.get_unique_name(), root),)), None, 0, 5000)
    GLib.MainLoop().run()

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
