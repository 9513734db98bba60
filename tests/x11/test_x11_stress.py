"""build/linux/hungscan under stress on X11: a crowded desktop, windows that come and go during
the scan, many runs in a row, and standard streams that are closed or broken. Every run must end
by itself, with status 1 when its report could not be written and 0 otherwise, and every
transcript that can be read must be well formed."""

import collections
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from transcript import LF, group, parse  # noqa: E402
from xdesk import XDesktop  # noqa: E402

HUNGSCAN = os.environ.get("HUNGSCAN_X11_EXE", "")
SCENE = os.environ.get("HUNGSCAN_XSCENE_EXE", "")
FROZEN = b"Stress frozen"


class Stress(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not (os.path.isfile(HUNGSCAN) and os.path.isfile(SCENE)):
            raise RuntimeError("HUNGSCAN_X11_EXE and HUNGSCAN_XSCENE_EXE must name files")
        cls.desk = XDesktop().open()
        # Runs even when the rest of the set-up fails.
        cls.addClassCleanup(cls.desk.close)
        cls.desk.start_scene(SCENE, [
            group("answer*2000", b"Stress answering"),
            group("frozen", FROZEN),
            group("churn*10", b"Stress churn"),
            group("churn*10", b"Stress churn"),
        ], timeout=300)
        cls.path = os.path.realpath(SCENE).encode()

    def strays(self, out):
        """Blocks beyond the frozen window: churning windows caught in the instant between
        their last check and their report."""
        blocks = collections.Counter(parse(out, LF))
        self.assertEqual(blocks.pop((FROZEN, self.path)), 1)
        return sum(blocks.values())

    def test_fifty_runs_in_a_row_on_a_crowded_changing_desktop(self):
        stray = 0
        for run in range(50):
            status, out, err = self.desk.run([HUNGSCAN])
            with self.subTest(run=run):
                self.assertEqual((status, err), (0, b""))
                stray += self.strays(out)
        self.assertLessEqual(stray, 2, "blocks for windows destroyed during the scan")

    def test_closed_streams(self):
        # A report that could not be written is not a success, and says why.
        cannot = b"hungscan: cannot write the report: Bad file descriptor\n"
        for what, redirection, status, err in (("standard output closed", ">&-", 1, cannot),
                                               ("standard input closed", "<&-", 0, b""),
                                               ("both closed", ">&- <&-", 1, cannot)):
            with self.subTest(what):
                proc = subprocess.run(["sh", "-c", 'exec "$0" ' + redirection, HUNGSCAN],
                                      env=self.desk.env(), stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=120, start_new_session=True)
                self.assertEqual((proc.returncode, proc.stderr), (status, err))
                if proc.stdout:
                    self.strays(proc.stdout)

    def test_reader_of_the_output_gone(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            proc = subprocess.run([HUNGSCAN], env=self.desk.env(), stdin=subprocess.DEVNULL,
                                  stdout=write_end, stderr=subprocess.PIPE, timeout=120,
                                  start_new_session=True)
        finally:
            os.close(write_end)
        self.assertEqual((proc.returncode, proc.stderr), (1, b"hungscan: cannot write the report: Broken pipe\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
