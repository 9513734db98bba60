"""Times hungscan against the probe-only baseline on a private desktop: the Windows build on
Wine, or the Linux build on X11.

    bench.py HUNGSCAN BASELINE SCENE WORK_DIR [N H S] [--runs K] [--platform wine|x11]

One private desktop is grown step by step: N answering windows on one thread, then H windows
on one frozen thread (on Wine, one that Wine already deems hung, plus that thread's hidden
"Default IME" window, also hung; X11 has no such state, so there each costs the whole probe
timeout), then S windows on threads of their own that answer only after 1500 ms. At
each step runs of the two programs alternate and medians are reported; then the scan is timed
on desktops of 100, 500 and 2000 answering windows. The last line is `ratio=R n=N h=H s=S` for
the scene asked for. Exits 1 when a target is missed.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from winedesk import WineDesktop  # noqa: E402
from xdesk import XDesktop  # noqa: E402

PROBE_TIMEOUT_MS = 1000
SLOW_ANSWER_MS = 1500
# Wine deems a thread hung once it has not asked for messages for about five seconds.
DEEMED_HUNG_AFTER_S = 6


def scene_groups(n, h, s):
    groups = []
    if n:
        groups.append("answer*%d:%s" % (n, b"Bench answering".hex()))
    if h:
        groups.append("frozen*%d:%s" % (h, b"Bench frozen".hex()))
    groups += ["slow=%d:%s" % (SLOW_ANSWER_MS, (b"Bench slow %d" % i).hex()) for i in range(s)]
    return groups


def timed_run(desk, exe):
    """Wall time (ms), peak resident memory (KiB) and standard output of one run."""
    start = time.monotonic()
    if isinstance(desk, WineDesktop):
        proc = desk.start(exe, stdin=subprocess.DEVNULL)
    else:
        proc = desk.start([exe], stdin=subprocess.DEVNULL)
    out = proc.stdout.read()
    proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = (time.monotonic() - start) * 1000
    proc.returncode = os.waitstatus_to_exitcode(status)
    desk.processes.remove(proc)
    proc.stdout.close()
    proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError("%s exited with %d" % (exe, proc.returncode))
    return elapsed, usage.ru_maxrss, out


def add_scene(desk, args, n, h, s):
    scene = desk.start_scene(args.scene, scene_groups(n, h, s), timeout=300)
    if h and args.platform == "wine":
        time.sleep(DEEMED_HUNG_AFTER_S)
    return scene


def unavoidable_wait_ms(platform, h, s):
    # On X11 a frozen window is never known to be hung ahead of the probe.
    return (s + (h if platform == "x11" else 0)) * PROBE_TIMEOUT_MS


def measure(desk, args, n, h, s):
    """Medians over alternating runs on the desktop as it is now."""
    timed_run(desk, args.hungscan)  # warm-up: page cache, Wine's first-run work
    timed_run(desk, args.baseline)
    scan, base, rss = [], [], []
    for _ in range(args.runs):
        ms, peak, out = timed_run(desk, args.hungscan)
        scan.append(ms)
        rss.append(peak)
        blocks = out.count(b"Unresponsive Window:")
        ms, _, counts = timed_run(desk, args.baseline)
        base.append(ms)
        probed, failed = map(int, re.search(rb"probed=(\d+) failed=(\d+)", counts).groups())
        if blocks != failed:
            raise RuntimeError("hungscan reported %d windows, the baseline saw %d fail" % (blocks, failed))
    return {
        "n": n, "h": h, "s": s, "probed": probed, "failed": failed,
        "scan": statistics.median(scan), "base": statistics.median(base),
        "rss": max(rss), "wait": unavoidable_wait_ms(args.platform, h, s),
    }


def clear(desk, scenes):
    for scene in scenes:
        scene.kill()
        scene.wait(timeout=30)
        desk.processes.remove(scene)
    time.sleep(0.5)  # let the server forget the scene's windows


def row(label, m):
    per_window = (m["scan"] - m["wait"]) / max(m["probed"], 1)
    return ("%-16s %5d %4d %3d %8d %12.0f %12.0f %6.3f %8d %11.3f %9.1f" % (
        label, m["n"], m["h"], m["s"], m["probed"], m["scan"], m["base"], m["scan"] / m["base"],
        m["wait"], per_window, m["rss"] / 1024))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("hungscan")
    parser.add_argument("baseline")
    parser.add_argument("scene")
    parser.add_argument("work")
    parser.add_argument("scene_size", nargs="*", type=int, help="N H S (default 500 10 2)")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--platform", choices=("wine", "x11"), default="wine")
    args = parser.parse_args()
    # Frozen windows cost a whole second each on X11: fewer of them by default there.
    defaults = [500, 10, 2] if args.platform == "wine" else [500, 2, 2]
    n, h, s = (args.scene_size + defaults[len(args.scene_size):])[:3]

    print("%-16s %5s %4s %3s %8s %12s %12s %6s %8s %11s %9s" % (
        "scene", "N", "H", "S", "probed", "hungscan ms", "baseline ms", "ratio", "wait ms",
        "ms/window", "peak MiB"))
    results = {}
    with (WineDesktop(args.work) if args.platform == "wine" else XDesktop()) as desk:
        # One desktop, grown step by step, so each step's cost is not lost in the differences
        # between one Wine session and the next.
        scenes = [add_scene(desk, args, n, 0, 0)]
        results["answering only"] = measure(desk, args, n, 0, 0)
        print(row("answering only", results["answering only"]), flush=True)
        if h:
            scenes.append(add_scene(desk, args, 0, h, 0))
        results["no slow"] = measure(desk, args, n, h, 0)
        print(row("+ deemed hung" if args.platform == "wine" else "+ frozen", results["no slow"]), flush=True)
        if s:
            scenes.append(add_scene(desk, args, 0, 0, s))
        results["asked"] = measure(desk, args, n, h, s)
        print(row("+ slow (asked)", results["asked"]), flush=True)
        clear(desk, scenes)

        growth = []
        for size in (100, 500, 2000):
            scene = add_scene(desk, args, size, 0, 0)
            growth.append(measure(desk, args, size, 0, 0))
            clear(desk, [scene])
            print(row("growth", growth[-1]), flush=True)

    asked, no_slow, answering = results["asked"], results["no slow"], results["answering only"]
    hung_cost = no_slow["scan"] - answering["scan"]
    slow_cost = asked["scan"] - no_slow["scan"]
    rss = [m["rss"] for m in growth]
    rss_spread = (max(rss) - min(rss)) / min(rss)
    checks = [
        ("hungscan within 1.10x of the baseline", asked["scan"] / asked["base"] <= 1.10,
         "%.3fx" % (asked["scan"] / asked["base"])),
        ("H deemed-hung windows add under 50 ms", hung_cost < 50, "%+.0f ms for %d" % (hung_cost, h))
        if args.platform == "wine" else
        ("H frozen windows add H x 1000 ms within 5%",
         h == 0 or abs(hung_cost - h * PROBE_TIMEOUT_MS) <= 0.05 * h * PROBE_TIMEOUT_MS,
         "%+.0f ms for %d (expected %d)" % (hung_cost, h, h * PROBE_TIMEOUT_MS)),
        ("S slow windows add S x 1000 ms within 5%",
         s == 0 or abs(slow_cost - s * PROBE_TIMEOUT_MS) <= 0.05 * s * PROBE_TIMEOUT_MS,
         "%+.0f ms for %d (expected %d)" % (slow_cost, s, s * PROBE_TIMEOUT_MS)),
        ("peak memory flat in N within 5%", rss_spread <= 0.05,
         "%.1f%% from N=100 to N=2000" % (rss_spread * 100)),
    ]
    print()
    print("platform: %s" % args.platform)
    for what, ok, detail in checks:
        print("%-45s %-4s %s" % (what, "met" if ok else "MISSED", detail))
    print("ratio=%.3f n=%d h=%d s=%d" % (asked["scan"] / asked["base"], n, h, s))
    return 0 if all(ok for _, ok, _ in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
