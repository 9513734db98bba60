"""Puts a frozen and an answering window on a private desktop and runs hungscan there: the
Windows build on Wine, then the Linux build on X11."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from transcript import group  # noqa: E402
from winedesk import WineDesktop, windows_path  # noqa: E402
from xdesk import XDesktop  # noqa: E402

SCENE = [group("frozen", b"Frozen - Demo Editor"), group("answer", b"Answering - Demo Viewer")]


def describe(owner, command):
    print('Opened two windows owned by %s:' % owner)
    print('  "Frozen - Demo Editor"    its thread never reads a message again')
    print('  "Answering - Demo Viewer" its thread answers at once')
    print("Running: %s" % command)
    print("-" * 72, flush=True)


def relay(proc):
    """Passes the scanner's output through; on a terminal the scanner waits for Enter."""
    for chunk in iter(lambda: os.read(proc.stdout.fileno(), 4096), b""):
        os.write(sys.stdout.fileno(), chunk)
    status = proc.wait(timeout=600)
    print("\n" + "-" * 72)
    print("exit status %d\n" % status, flush=True)
    return status


def main():
    hungscan_exe, scene_exe, work, hungscan_x11, xscene = sys.argv[1:6]
    stdin = None if sys.stdin.isatty() else subprocess.DEVNULL
    with WineDesktop(work) as desk:
        print("== Windows build on Wine (private display %s, prefix %s)" % (desk.display, desk.prefix))
        desk.start_scene(scene_exe, SCENE)
        describe(windows_path(scene_exe), "wine " + hungscan_exe)
        status = relay(desk.start(hungscan_exe, stdin=stdin))
    with XDesktop() as desk:
        print("== Linux build on X11 (private display %s)" % desk.display)
        desk.start_scene(xscene, SCENE)
        describe(os.path.realpath(xscene), hungscan_x11)
        status |= relay(desk.start([hungscan_x11], stdin=stdin))
    return status


if __name__ == "__main__":
    sys.exit(main())
