"""build/linux/hungscan on a headless Wayland session (weston, its own session bus, no X display)
among real GTK 3, GTK 4 and Qt 6 programs on the accessibility bus: answering, spinning, sleeping
and stopped, and a GTK 4 program kept off the bus, which only the compositor's socket shows. A
session bus that cannot start the accessibility bus. And an X11 session, which must not touch
the accessibility bus.

Needs HUNGSCAN_X11_EXE in the environment (CTest sets it), weston, at-spi2-core, python3-gi,
python3-pyqt6 and qt6-wayland.
"""

import json
import os
import re
import shutil
import signal
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import journal  # noqa: E402
import watching  # noqa: E402
from desktop import read_line  # noqa: E402
from waylanddesk import WaylandDesktop  # noqa: E402
from xdesk import XDesktop  # noqa: E402

HUNGSCAN = os.environ.get("HUNGSCAN_X11_EXE", "")
APP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wayland_app.py")
PYTHON = "/usr/bin/python3"  # Debian's, with python3-gi

# (GTK version, how its loop stalls, title, how it is frozen, what --why says)
FROZEN = [
    ("3", "spin", "hungscan wl spinning", signal.SIGUSR1, "busy"),
    ("4", "sleep", "hungscan wl sleeping", signal.SIGUSR1, "waiting"),
    ("3", "answer", "hungscan wl stopped", signal.SIGSTOP, "suspended"),
    ("qt6", "sleep", "hungscan wl qt sleeping", signal.SIGUSR1, "waiting"),
]
QT = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}
# The stopped one was started from a desktop entry, as a launcher starts it: its entry names it.
ENTRY_NAME = "hungscan wl stopped (from its desktop entry)"


def unprobed(*procs):
    """The line that names programs no probe can reach."""
    names = [b"%s (pid %d)" % (os.path.basename(os.readlink("/proc/%d/exe" % p.pid)).encode(), p.pid) for p in procs]
    return b"hungscan: cannot check these Wayland programs (not on the accessibility bus): " + b", ".join(names) + b"\n"


class WaylandSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(HUNGSCAN):
            raise RuntimeError("HUNGSCAN_X11_EXE does not name a file: %r" % HUNGSCAN)
        cls.desk = WaylandDesktop("hungscan-wl-%d" % os.getpid()).open()
        cls.addClassCleanup(cls.desk.close)
        qt = dict(cls.desk.env(), **QT)
        cls.answering = [cls.desk.start([PYTHON, APP, version, "answer", "hungscan wl answering"], env=qt)
                         for version in ("4", "qt6")]
        entry = os.path.join(cls.desk.runtime, "stopped.desktop")
        with open(entry, "w") as f:
            f.write("[Desktop Action New]\nName=Not this one\n[Desktop Entry]\nType=Application\nName=%s\n" % ENTRY_NAME)
        cls.frozen = [cls.desk.start([PYTHON, APP, version, mode, title],
                                     env=dict(qt, GIO_LAUNCHED_DESKTOP_FILE=entry) if mode == "answer" else qt)
                      for version, mode, title, _, _ in FROZEN]
        # On the compositor's socket, but kept off the accessibility bus.
        cls.hidden = cls.desk.start([PYTHON, APP, "4", "answer", "hungscan wl hidden"],
                                    env=dict(cls.desk.env(), GTK_A11Y="none"))
        cls.desk.await_registered(len(cls.answering) + len(FROZEN))
        time.sleep(0.5)
        for proc, (_, _, _, sig, _) in zip(cls.frozen, FROZEN):
            os.kill(proc.pid, sig)
        time.sleep(0.5)

    def test_the_frozen_programs_are_reported_in_one_limit_and_the_answering_one_is_not(self):
        started = time.monotonic()
        status, out, err = self.desk.run([HUNGSCAN, "--why"])
        took = time.monotonic() - started
        self.assertEqual((status, err), (0, unprobed(self.hidden)))
        blocks = out.split(b"\nUnresponsive Window:\n")[1:]
        self.assertEqual(len(blocks), len(FROZEN), out)
        for proc, (_, _, title, _, why) in zip(self.frozen, FROZEN):
            # Met frozen, it never named its window: the block names the program, not a title.
            block = next(b for b in blocks if title.encode() in b)
            self.assertTrue(block.startswith(b" Program: "), block)
            self.assertIn(b"(no window title known)\n Path: /usr/bin/python3", block)
            self.assertIn(b" Why: " + why.encode(), block)
        self.assertNotIn(b"answering", out)
        self.assertLess(took, 1.8)

    def test_records_say_no_caption_and_name_the_program(self):
        status, out, err = self.desk.run([HUNGSCAN, "--json"])
        records = [json.loads(line) for line in out.splitlines()]
        found = {r["pid"]: r for r in records if r["event"] == "unresponsive"}
        self.assertEqual(sorted(found), sorted(p.pid for p in self.frozen), out)
        for proc, (_, _, title, _, why) in zip(self.frozen, FROZEN):
            record = found[proc.pid]
            self.assertIsNone(record["caption"])
            self.assertIn(title, record["program"])
            if why == "suspended":
                self.assertEqual(record["program"], ENTRY_NAME)
            self.assertEqual((record["tid"], record["why"]), (proc.pid, why))
            self.assertTrue(record["path"].startswith("/usr/bin/python3"), record)
        self.assertEqual(records[-1]["status"], 0)

    @unittest.skipUnless(journal.usable(), "needs root for a mount namespace")
    def test_the_system_log_names_a_program_met_frozen_as_the_report_does(self):
        folder = tempfile.mkdtemp(prefix="hungscan-wl-journal-")
        self.addCleanup(shutil.rmtree, folder, True)
        receiver = journal.listen(self, folder)
        status, out, err = self.desk.run(journal.in_namespace(folder, [HUNGSCAN, "--log"]))
        self.assertEqual(status, 0, err)
        found = {int(e["OBJECT_PID"]): e for e in journal.received(receiver)}
        self.assertEqual(sorted(found), sorted(p.pid for p in self.frozen), found)
        for proc, (_, _, title, _, _) in zip(self.frozen, FROZEN):
            e, path = found[proc.pid], os.readlink("/proc/%d/exe" % proc.pid)
            # No title is known: none is logged as one, and the name the report gives tells it.
            self.assertNotIn("HUNGSCAN_CAPTION", e)
            self.assertIn(title, e["HUNGSCAN_PROGRAM"])
            self.assertIn(b" Program: %s (no window title known)\n" % e["HUNGSCAN_PROGRAM"].encode(), out)
            self.assertEqual(e["MESSAGE"], "Unresponsive: program %s (no window title known) | %s"
                             % (e["HUNGSCAN_PROGRAM"], path))

    def test_a_watch_names_a_program_that_froze_by_the_title_it_showed(self):
        proc = self.desk.start([PYTHON, APP, "3", "answer", "hungscan wl watched"])
        self.desk.await_registered(1 + len(self.answering) + len(FROZEN))
        watch = self.desk.start([HUNGSCAN, "--watch=1"], stdin=-1)
        try:
            read_line(watch.stdout, 10)
            time.sleep(2.5)  # scans that learn its title while it answers
            os.kill(proc.pid, signal.SIGSTOP)
            time.sleep(3)
            os.kill(proc.pid, signal.SIGCONT)
            time.sleep(3)
            watch.stdin.write(b"\n")
            watch.stdin.flush()
            out, _ = watch.communicate(timeout=30)
        finally:
            os.kill(proc.pid, signal.SIGCONT)
        seen = [event for event, _ in watching.events(out, b"hungscan wl watched")]
        self.assertEqual(seen, [b"Unresponsive", b"Responding again"], out.decode(errors="replace"))
        # The ones met frozen never showed a title: the watch names their programs, as the report does.
        for _, _, title, _, _ in FROZEN:
            self.assertRegex(out, rb"(?m) Unresponsive: program [^\n]*%s[^\n]* \(no window title known\) \| "
                                  rb"/usr/bin/python3" % re.escape(title.encode()))


class MergedAndErrorReplies(unittest.TestCase):
    def test_each_program_is_probed_once_and_an_error_reply_is_an_answer(self):
        # GTK 3 programs of an X display in the Wayland session (as under XWayland), on its
        # accessibility bus too; and applications whose root answers every call with an error.
        with WaylandDesktop("hungscan-wl-merge-%d" % os.getpid()) as wayland, XDesktop() as desk:
            env = dict(wayland.env(), GDK_BACKEND="x11", DISPLAY=desk.display)
            x11 = [(wayland.start([PYTHON, APP, "3", mode, title], env=env), sig, title)
                   for mode, sig, title in (("answer", None, "hungscan x answering"),
                                            ("sleep", signal.SIGUSR1, "hungscan x sleeping"),
                                            ("answer", signal.SIGSTOP, "hungscan x stopped"))]
            errors = [wayland.start([PYTHON, APP, "error", name])
                      for name in ("org.freedesktop.DBus.Error.Failed", "org.freedesktop.DBus.Error.UnknownMethod")]
            wayland.await_registered(len(x11) + len(errors))
            desk.await_windows([title.encode() for _, _, title in x11])
            for proc, sig, _ in x11:
                if sig is not None:
                    os.kill(proc.pid, sig)
            time.sleep(0.5)
            status, out, err = wayland.run([HUNGSCAN], env=dict(wayland.env(), DISPLAY=desk.display))
        self.assertEqual((status, err), (0, b""), out)
        # The frozen ones by their X11 windows alone (GTK's unmapped leader window is one of
        # them), no application block at all.
        blocks = out.split(b"\nUnresponsive Window:\n")[1:]
        self.assertTrue(blocks and all(b.startswith(b" Caption: ") for b in blocks), out)
        for _, sig, title in x11:
            self.assertEqual(out.count(title.encode()), 0 if sig is None else 1, out)


class BusGoneMidScan(unittest.TestCase):
    def test_the_scan_ends_well_formed_with_the_reason(self):
        # The accessibility bus's daemon is killed while the scan waits out a stopped program.
        for options, ending in (([], rb"\n!! Error \(EnumWindows\)\n\n\nDone\.$"),
                                (["--json"], rb'"event":"done".*"status":1\}\n$')):
            with self.subTest(options=options), WaylandDesktop("hungscan-wl-gone-%d" % os.getpid()) as wayland:
                apps = [wayland.start([PYTHON, APP, "3", "answer", title]) for title in ("hungscan wl a", "hungscan wl b")]
                wayland.await_registered(len(apps))
                bus = wayland.accessibility_bus()
                daemon = re.findall(r"^u (\d+)", wayland.busctl(
                    "call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "GetConnectionUnixProcessID", "s", "org.freedesktop.DBus", bus=bus))
                os.kill(apps[0].pid, signal.SIGSTOP)
                scan = wayland.start([HUNGSCAN, *options])
                deadline = time.monotonic() + 5
                while time.monotonic() < deadline and "%d " % scan.pid not in wayland.busctl("list", bus=bus):
                    time.sleep(0.02)
                time.sleep(0.3)  # its probes are out, the stopped one's unanswered
                self.assertIsNone(scan.poll())
                os.kill(int(daemon[0]), signal.SIGKILL)
                status, out, err = wayland.finish(scan, None, 30)
                self.assertEqual(status, 1, out)
                self.assertRegex(out, ending)
                self.assertEqual(err, b"hungscan: cannot list the windows: no accessibility bus: it closed\n")


class NoAccessibilityBus(unittest.TestCase):
    def test_the_reason_is_said_and_the_programs_on_the_socket_named(self):
        # A session bus with no service files: it cannot start the accessibility bus.
        with WaylandDesktop("hungscan-wl-nobus-%d" % os.getpid(), activatable=False) as wayland, \
                XDesktop() as desk:
            app = wayland.start([PYTHON, APP, "3", "answer", "hungscan wl unregistered"])
            named = unprobed(app)
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and named not in wayland.run([HUNGSCAN])[2]:
                time.sleep(0.2)
            reason = rb"no accessibility bus: [^\n]*org\.a11y\.Bus[^\n]*\n"
            for display, status, line in ((None, 1, rb"hungscan: cannot list the windows: " + reason),
                                          (desk.display, 0, rb"hungscan: cannot check the Wayland programs: " + reason)):
                with self.subTest(display=display):
                    env = dict(wayland.env(), **({"DISPLAY": display} if display else {}))
                    got, out, err = wayland.run([HUNGSCAN], env=env)
                    self.assertEqual((got, b"!! Error (EnumWindows)" in out), (status, status == 1), out)
                    self.assertRegex(err, b"^" + line + re.escape(named) + b"$")


class X11Session(unittest.TestCase):
    def test_an_x11_session_makes_no_accessibility_call(self):
        # The X session shares the Wayland desktop's session bus: a call would start the
        # accessibility bus on it.
        with WaylandDesktop("hungscan-wl-x-%d" % os.getpid()) as wayland, XDesktop() as desk:
            env = dict(desk.env(), DBUS_SESSION_BUS_ADDRESS=wayland.env()["DBUS_SESSION_BUS_ADDRESS"])
            for extra in ({}, {"DISPLAY": ":355"}):
                status, out, _ = desk.run([HUNGSCAN], env=dict(env, **extra))
                self.assertIn(b"Done.", out)
            reply = wayland.busctl("call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "NameHasOwner", "s", "org.a11y.Bus")
            self.assertEqual(reply.strip(), "b false")


if __name__ == "__main__":
    unittest.main()
