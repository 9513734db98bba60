"""hungscan.exe under stress on Wine: a crowded desktop, windows that come and go during the
scan, many runs in a row, and standard streams that are closed or broken. Every run must end by
itself, with status 1 when its report could not be written and 0 otherwise, and every transcript
that can be read must be well formed."""

import collections
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from transcript import IME, group, parse  # noqa: E402
from windows_host import ON_WINDOWS, judged, windows_desktop, windows_path  # noqa: E402


HUNGSCAN = os.environ.get("HUNGSCAN_EXE", "")
SCENE = os.environ.get("HUNGSCAN_SCENE_EXE", "")
WORK = os.environ.get("HUNGSCAN_WINE_WORK", "")

FROZEN = b"Stress frozen"
CHURN = b"Stress churn"
# Wine deems a thread hung once it has not asked for messages for about five seconds.
DEEMED_HUNG_AFTER_S = 6


class Stress(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not (os.path.isfile(HUNGSCAN) and os.path.isfile(SCENE) and WORK):
            raise RuntimeError("HUNGSCAN_EXE, HUNGSCAN_SCENE_EXE and HUNGSCAN_WINE_WORK must be set")
        cls.desk = windows_desktop(WORK).open()
        # Runs even when the rest of the set-up fails.
        cls.addClassCleanup(cls.desk.close)
        cls.scene = cls.desk.start_scene(SCENE, [
            group("answer*2000", b"Stress answering"),
            group("frozen", FROZEN),
            group("churn*10", CHURN),
            group("churn*10", CHURN),
        ], timeout=300)
        cls.path = windows_path(SCENE).encode()
        time.sleep(DEEMED_HUNG_AFTER_S)

    def check_blocks(self, blocks):
        """The frozen thread's two windows, and otherwise only churning windows caught in the
        instant between their last check and their report."""
        counts = collections.Counter(judged(blocks, [self.path]))
        self.assertEqual(counts.pop((FROZEN, self.path)), 1)
        self.assertEqual(counts.pop((IME, self.path)), 1)
        for caption, _ in counts:
            self.assertIn(caption, (CHURN, b"", IME))
        return sum(counts.values())

    def test_fifty_runs_in_a_row_on_a_crowded_changing_desktop(self):
        stray = 0
        for run in range(50):
            status, out, err = self.desk.run(HUNGSCAN, timeout=120)
            with self.subTest(run=run):
                self.assertEqual((status, err), (0, b""))
                stray += self.check_blocks(parse(out))
        # Reporting windows that were merely destroyed gives dozens of such blocks over these runs;
        # what is left is the instant between the existence check and the report.
        self.assertLessEqual(stray, 2, "blocks for windows destroyed during the scan")

    def run_with_shell_redirection(self, redirection):
        proc = subprocess.run(["sh", "-c", 'exec "$0" "$@" ' + redirection, *self.desk.command(HUNGSCAN)],
                              env=self.desk.env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
                              start_new_session=True)
        return proc.returncode, proc.stdout, proc.stderr

    @unittest.skipIf(ON_WINDOWS, "starting a program without a standard handle needs a POSIX shell")
    def test_closed_streams(self):
        # A report that could not be written is not a success. With both streams closed, Wine
        # (measured: 8.0) hands the program a standard output of its own making, which takes
        # the report: either status is then the program's honest answer.
        for what, redirection, expected in (("standard output closed", ">&-", (1,)),
                                            ("standard input closed", "<&-", (0,)),
                                            ("both closed", ">&- <&-", (0, 1))):
            with self.subTest(what):
                status, out, _ = self.run_with_shell_redirection(redirection)
                self.assertIn(status, expected)
                if b"Checking" in out:
                    self.check_blocks(parse(out))

    def test_reader_of_the_output_gone(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            proc = subprocess.run(self.desk.command(HUNGSCAN), env=self.desk.env(), stdin=subprocess.DEVNULL,
                                  stdout=write_end, stderr=subprocess.PIPE, timeout=120,
                                  start_new_session=True)
        finally:
            os.close(write_end)
        self.assertEqual(proc.returncode, 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
