"""--log on Linux against the journal's own protocol: a datagram socket of the test's at
/run/systemd/journal/socket, in a mount namespace of hungscan's own (unshare -m, as root, the
way CI runs), and a real program frozen, resumed, frozen and killed while a watch runs."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from transcript import group  # noqa: E402
from desktop import kill, read_line  # noqa: E402
from xdesk import XDesktop  # noqa: E402
import journal  # noqa: E402

HUNGSCAN = os.environ.get("HUNGSCAN_X11_EXE", "")
SCENE = os.environ.get("HUNGSCAN_XSCENE_EXE", "")

MESSAGE_IDS = {
    "unresponsive": "4128b61b83814022970b35a92fb60330",
    "responding": "d7e5d309e0fc4dfe83c9862936ba6c7a",
    "gone": "1ab80c7b161c453eba79e32b12b0278b",
    "still": "1257447fdae34924b56c412d60e33672",
}
PRIORITIES = {"unresponsive": "4", "still": "4", "responding": "5", "gone": "5"}


@unittest.skipUnless(journal.usable(), "needs root for a mount namespace")
class Journal(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="hungscan-journal-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def test_a_watch_records_every_event_with_its_fields(self):
        receiver = journal.listen(self, self.folder)
        with XDesktop() as desk:
            program = desk.start_scene(SCENE, [group("answer", b"Editor \xc3\xa9")])
            desk.start_scene(SCENE, [group("frozen", b"Frozen to the end")])
            watch = desk.start(journal.in_namespace(self.folder, [HUNGSCAN, "--watch=1", "--log", "--why"]))
            read_line(watch.stdout, 10)
            steps = ((1.5, signal.SIGSTOP), (2.5, signal.SIGCONT), (2.5, signal.SIGSTOP), (2.5, signal.SIGKILL))
            for pause, sent in steps:
                time.sleep(pause)
                os.kill(program.pid, sent)
            time.sleep(2.5)
            watch.stdin.write(b"\n")
            watch.stdin.flush()
            status, out, err = desk.finish(watch, None, 20)
        entries = journal.received(receiver)
        self.assertEqual(status, 0, err)
        events = [(e["HUNGSCAN_EVENT"], e.get("HUNGSCAN_CAPTION")) for e in entries]
        self.assertEqual([c for c in events if c[1] == "Editor \u00e9"],
                         [("unresponsive", "Editor \u00e9"), ("responding", "Editor \u00e9"),
                          ("unresponsive", "Editor \u00e9"), ("gone", "Editor \u00e9")], events)
        self.assertEqual(events.count(("still", "Frozen to the end")), 1, events)
        path = os.path.realpath(SCENE)
        for e in entries:
            kind = e["HUNGSCAN_EVENT"]
            with self.subTest(event=kind, caption=e.get("HUNGSCAN_CAPTION")):
                self.assertEqual((e["PRIORITY"], e["MESSAGE_ID"], e["SYSLOG_IDENTIFIER"]),
                                 (PRIORITIES[kind], MESSAGE_IDS[kind], "hungscan"))
                self.assertEqual((e["HUNGSCAN_PATH"], e["OBJECT_PID"]), (path, e["HUNGSCAN_TID"]))
                self.assertRegex(e["HUNGSCAN_WINDOW"], r"^[1-9][0-9]*$")
                self.assertIn(e["HUNGSCAN_CAPTION"] + " | " + path, e["MESSAGE"])
                self.assertNotIn("HUNGSCAN_PROGRAM", e)
                if kind == "unresponsive":
                    self.assertNotIn("HUNGSCAN_SECONDS", e)
                else:
                    self.assertRegex(e["HUNGSCAN_SECONDS"], r"^[0-9]+$")
                    self.assertRegex(e["MESSAGE"], r" after %s s: " % e["HUNGSCAN_SECONDS"])
                if kind in ("unresponsive", "still"):
                    self.assertRegex(e["HUNGSCAN_WHY"], r"^(suspended|waiting|busy)")
                    self.assertTrue(e["MESSAGE"].endswith(" | why: " + e["HUNGSCAN_WHY"]))
                else:
                    self.assertNotIn("HUNGSCAN_WHY", e)
        print("\n".join(str(sorted(e.items())) for e in entries[:2]), file=sys.stderr)

    def test_without_a_journal_log_is_refused_at_start(self):
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen")])
            for argv in ([HUNGSCAN, "--log"], [HUNGSCAN, "--watch", "--log"]):
                status, out, err = desk.run(journal.in_namespace(self.folder, argv))
                with self.subTest(argv=argv):
                    self.assertEqual((status, out), (1, b""))
                    self.assertEqual(err, b"hungscan: cannot write to the system log: the journal cannot be "
                                          b"written (No such file or directory)\n")


if __name__ == "__main__":
    unittest.main()
