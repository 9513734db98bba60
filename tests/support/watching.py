"""A watch run against a real program: frozen, resumed, frozen again and killed while the watch
runs, then Enter. What the watch wrote of that program's window, and how long each phase lasted."""

import re
import time

from desktop import read_line

LINE = re.compile(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (Unresponsive|Responding again|Gone|Still unresponsive)"
                  rb"(?: after (\d+) s)?: (.*?)\r?$")
HEADER = b"Watching for unresponsive windows every 1 s. Press Enter to stop."
# Each phase long enough for a scan to see it on either platform; a frozen Wine thread costs a
# second per window until Wine deems it hung.
PHASE = 6


def events(transcript, caption):
    """(event, seconds or None) for each line about the window with this caption."""
    found = []
    for line in transcript.splitlines():
        match = LINE.match(line)
        if match and (match.group(3) == caption or match.group(3).startswith(caption + b" | ")):
            seconds = match.group(2)
            found.append((match.group(1), int(seconds) if seconds is not None else None))
    return found


def hang_come_and_go(proc, freeze, resume, kill):
    """Plays the hang on a started watch; returns (status, output, phase lengths in seconds)."""
    head = read_line(proc.stdout, 30)
    if not head.startswith(HEADER):
        raise AssertionError("no watch header: %r" % head)
    time.sleep(1.5)  # a scan or two of the program answering
    started = time.monotonic()
    freeze()
    time.sleep(PHASE)
    resume()
    frozen = time.monotonic() - started
    time.sleep(PHASE)
    started = time.monotonic()
    freeze()
    time.sleep(PHASE)
    kill()
    killed = time.monotonic() - started
    time.sleep(PHASE / 2)
    proc.stdin.write(b"\n")
    proc.stdin.flush()
    out, err = proc.communicate(timeout=30)
    # Output to a pipe leaves the screen blank: how to stop is said on standard error, and
    # nothing else is.
    if err.rstrip(b"\r\n") != b"hungscan: watching every 1 s; press Enter to stop":
        raise AssertionError("standard error: %r" % err)
    return proc.returncode, head + out, (frozen, killed)


def check(test, out, caption, phases):
    """The four lines in order, each duration within a couple of seconds of the real one."""
    seen = events(out, caption)
    test.assertEqual([event for event, _ in seen], [b"Unresponsive", b"Responding again", b"Unresponsive", b"Gone"],
                     out.decode(errors="replace"))
    for (_, seconds), real in zip(seen[1::2], phases):
        test.assertLessEqual(abs(seconds - real), 2.5, (seen, phases))
    test.assertTrue(out.rstrip().endswith(b"Done."), out[-100:])
