"""Puts a frozen and an answering window on a private Wine desktop and runs hungscan.exe there."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from winedesk import WineDesktop, windows_path  # noqa: E402


def main():
    hungscan, scene, work = sys.argv[1:4]
    with WineDesktop(work) as desk:
        print("Private display %s, Wine prefix %s" % (desk.display, desk.prefix))
        desk.start_scene(scene, ["frozen:" + b"Frozen - Demo Editor".hex(),
                                 "answer:" + b"Answering - Demo Viewer".hex()])
        print("Opened two windows owned by %s:" % windows_path(scene))
        print('  "Frozen - Demo Editor"    its thread never reads a message again')
        print('  "Answering - Demo Viewer" its thread answers at once')
        print("Running: wine %s" % hungscan)
        print("-" * 72, flush=True)
        interactive = sys.stdin.isatty()
        proc = desk.start(hungscan, stdin=None if interactive else subprocess.DEVNULL)
        # The scanner writes straight to this terminal; on a terminal it waits for Enter.
        for chunk in iter(lambda: os.read(proc.stdout.fileno(), 4096), b""):
            os.write(sys.stdout.fileno(), chunk)
        status = proc.wait(timeout=600)
        print("\n" + "-" * 72)
        print("hungscan.exe exited with status %d" % status)
        return status


if __name__ == "__main__":
    sys.exit(main())
