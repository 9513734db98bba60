"""build/linux/hungscan among real programs that nobody here wrote: a GTK 3 program (zenity), a
Qt 5 program (qt5ct), Wine's notepad and one that takes no part in pings (xterm), with no window
manager and under openbox. Each desktop is scanned three times: all running, all frozen with
SIGSTOP, all resumed.

Needs HUNGSCAN_X11_EXE and HUNGSCAN_WINE_WORK (for Wine's prefix) in the environment (CTest
sets them).
"""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import watching  # noqa: E402
from transcript import LF, banner, parse, trailer  # noqa: E402
from winedesk import WineDesktop  # noqa: E402
from xdesk import XDesktop  # noqa: E402

HUNGSCAN = os.environ.get("HUNGSCAN_X11_EXE", "")
WINE_WORK = os.environ.get("HUNGSCAN_WINE_WORK", "")
NOTHING_HUNG = banner(LF) + trailer(LF)

# (program, caption of the window the user sees, command line); None: cannot be probed.
PROGRAMS = [
    (b"/usr/bin/zenity", b"hungscan GTK 3 probe",
     ["zenity", "--info", "--title", "hungscan GTK 3 probe", "--text", "A real GTK 3 window"]),
    (b"/usr/bin/qt5ct", b"Qt5 Configuration Tool", ["qt5ct"]),
    (None, b"hungscan xterm probe", ["xterm", "-T", "hungscan xterm probe"]),
    # Started by Wine, below: the process X knows is Wine's loader.
    (b"/usr/lib/wine/wine", b"Untitled - Notepad", None),
]


class RealPrograms(unittest.TestCase):
    window_manager = False

    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(HUNGSCAN):
            raise RuntimeError("HUNGSCAN_X11_EXE does not name a file: %r" % HUNGSCAN)
        cls.desk = XDesktop(window_manager=cls.window_manager).open()
        cls.addClassCleanup(cls.desk.close)
        home = tempfile.TemporaryDirectory(prefix="hungscan-apps-")
        cls.addClassCleanup(home.cleanup)
        env = cls.desk.env()
        # Their own HOME, no accessibility bus, and Qt on X11 whatever the session would pick.
        env.update(HOME=home.name, XDG_CONFIG_HOME=home.name, NO_AT_BRIDGE="1", QT_QPA_PLATFORM="xcb")
        cls.programs = [cls.desk.start(argv, env=env, stdin=subprocess.DEVNULL)
                        for _, _, argv in PROGRAMS if argv is not None]
        # Wine on the same display, with a 32-bit prefix of its own.
        cls.wine = WineDesktop(WINE_WORK, display=cls.desk.display).open()
        cls.addClassCleanup(cls.wine.close)
        cls.notepad = cls.wine.start("notepad.exe", stdin=subprocess.DEVNULL)
        cls.desk.await_windows([caption for _, caption, _ in PROGRAMS])
        time.sleep(1)  # let each toolkit finish mapping and settle into its event loop

    def scan(self):
        status, out, err = self.desk.run([HUNGSCAN])
        self.assertEqual((status, err), (0, b""))
        return out

    def signal_all(self, sig):
        for proc in self.programs:
            os.killpg(proc.pid, sig)  # every process of the program
        for pid in self.wine.processes_of(self.notepad, b""):  # and all that Wine started for it
            os.kill(pid, sig)

    def test_running_frozen_resumed(self):
        self.assertEqual(self.scan(), NOTHING_HUNG, "programs that answer were reported")

        self.signal_all(signal.SIGSTOP)
        try:
            blocks = parse(self.scan(), LF)
        finally:
            self.signal_all(signal.SIGCONT)
        for path, caption, _ in PROGRAMS:
            with self.subTest(caption=caption):
                # Helper windows (GTK's leader window) freeze with their program and may be
                # listed as well; the window the user sees must be listed once.
                expected = 0 if path is None else 1
                self.assertEqual(blocks.count((caption, path)), expected, blocks)
        frozen_paths = {path for path, _, _ in PROGRAMS if path is not None}
        self.assertTrue(all(path in frozen_paths for _, path in blocks), blocks)

        time.sleep(1)  # resumed programs answer what queued up while they were stopped
        self.assertEqual(self.scan(), NOTHING_HUNG, "resumed programs were still reported")


class RealProgramsUnderOpenbox(RealPrograms):
    window_manager = True


class Verdicts(unittest.TestCase):
    """Why real GTK programs do not answer: a main loop that computes, one that sleeps, and one
    stopped with SIGSTOP. --why says busy, waiting (with the kernel's wait channel) and
    suspended; --json says the same in its records."""

    STALL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gtk_stall.py")

    def test_busy_waiting_and_stopped_gtk_programs(self):
        with XDesktop() as desk, tempfile.TemporaryDirectory(prefix="hungscan-apps-") as home:
            env = desk.env()
            env.update(HOME=home, XDG_CONFIG_HOME=home, NO_AT_BRIDGE="1")
            # Debian's own python3, which has the GTK bindings.
            for mode in ("spin", "sleep"):
                desk.start(["/usr/bin/python3", self.STALL, mode, "hungscan " + mode], env=env,
                           stdin=subprocess.DEVNULL)
            stopped = desk.start(PROGRAMS[0][2], env=env, stdin=subprocess.DEVNULL)
            desk.await_windows([b"hungscan spin", b"hungscan sleep", PROGRAMS[0][1]])
            time.sleep(1.5)  # past the stall, and the stopped program's last answer
            os.killpg(stopped.pid, signal.SIGSTOP)
            try:
                status, out, err = desk.run([HUNGSCAN, "--why"])
                records = desk.run([HUNGSCAN, "--json"])
            finally:
                os.killpg(stopped.pid, signal.SIGCONT)
        self.assertEqual((status, err), (0, b""))
        verdicts = dict(re.findall(rb" Caption: ([^\n]*)\n Path: [^\n]*\n Why: ([^\n]*)\n", out))
        self.assertRegex(verdicts.get(b"hungscan spin", b""), rb"^busy, \d+% of a core$", out)
        self.assertRegex(verdicts.get(b"hungscan sleep", b""), rb"^waiting \(\w+\)$", out)
        self.assertEqual(verdicts.get(PROGRAMS[0][1]), b"suspended", out)
        self.assertEqual(records[0], 0)
        lines = [json.loads(line) for line in records[1].decode("utf-8").splitlines()]
        whys = {r["caption"]: r["why"] for r in lines if r["event"] == "unresponsive"}
        self.assertEqual((whys.get("hungscan spin"), whys.get("hungscan sleep"), whys.get(PROGRAMS[0][1].decode())),
                         ("busy", "waiting", "suspended"), lines)
        self.assertEqual(lines[-1]["event"], "done")


class WatchRealProgram(unittest.TestCase):
    def test_watch_sees_a_gtk_window_hang_recover_hang_and_go(self):
        caption = PROGRAMS[0][1]
        with XDesktop() as desk, tempfile.TemporaryDirectory(prefix="hungscan-apps-") as home:
            env = desk.env()
            env.update(HOME=home, XDG_CONFIG_HOME=home, NO_AT_BRIDGE="1")
            zenity = desk.start(PROGRAMS[0][2], env=env, stdin=subprocess.DEVNULL)
            desk.await_windows([caption])
            time.sleep(1)
            watch = desk.start([HUNGSCAN, "--watch=1"])
            status, out, phases = watching.hang_come_and_go(
                watch, lambda: os.killpg(zenity.pid, signal.SIGSTOP), lambda: os.killpg(zenity.pid, signal.SIGCONT),
                lambda: os.killpg(zenity.pid, signal.SIGKILL))
            desk.processes.remove(watch)
        self.assertEqual(status, 0)
        watching.check(self, out, caption, phases)


if __name__ == "__main__":
    unittest.main(verbosity=2)
