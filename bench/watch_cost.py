"""What a long watch costs: CPU time and resident memory of `hungscan --watch` on a private
desktop of N answering windows (the benchmark's scene), optionally with windows that come and go
all the time.

    watch_cost.py --platform x11|wine HUNGSCAN SCENE WORK_DIR [--n 500] [--minutes 5] [--churn]

Samples the watch's CPU time and resident memory every 30 s, then ends it with Enter. Prints
the share of one core it used, its resident memory after the first sample and at the end, its
peak, and (on Wine) what the Wine server spent meanwhile. Exits 1 when the share is 1% or more
or the memory grew more than 5% after the first sample.
"""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from winedesk import WineDesktop  # noqa: E402
from xdesk import XDesktop  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def memory_kib(pid):
    values = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(value.split()[0])
    return values["VmRSS"], values["VmHWM"]


def wine_servers(prefix):
    """The Wine server of this prefix (others may run on the machine)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % entry) as comm, open("/proc/%s/environ" % entry, "rb") as environ:
                if comm.read().strip().startswith("wineserver") and \
                        b"WINEPREFIX=" + prefix.encode() + b"\0" in environ.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("hungscan")
    parser.add_argument("scene")
    parser.add_argument("work")
    parser.add_argument("--platform", choices=("x11", "wine"), required=True)
    parser.add_argument("--n", type=int, default=500)
    parser.add_argument("--minutes", type=float, default=5)
    parser.add_argument("--churn", action="store_true")
    args = parser.parse_args()

    groups = ["answer*%d:%s" % (args.n, b"Bench answering".hex())]
    if args.churn:
        groups += ["churn*10:%s" % b"Churn".hex(), "churn*10:%s" % b"Churn".hex()]
    desk = WineDesktop(args.work) if args.platform == "wine" else XDesktop()
    with desk:
        desk.start_scene(args.scene, groups, timeout=300)
        if args.platform == "wine":
            watch = desk.start(args.hungscan, ["--watch"])
        else:
            watch = desk.start([args.hungscan, "--watch"])
        time.sleep(5)  # start-up is not what a long watch costs
        servers = wine_servers(desk.prefix) if args.platform == "wine" else []
        server_start = sum(cpu_seconds(pid) for pid in servers)
        start, cpu_start = time.monotonic(), cpu_seconds(watch.pid)
        samples = []
        while time.monotonic() - start < args.minutes * 60:
            time.sleep(30)
            samples.append((time.monotonic() - start, cpu_seconds(watch.pid), *memory_kib(watch.pid)))
            print("%7.0f s  cpu %7.2f s  rss %6d KiB  peak %6d KiB" % samples[-1], flush=True)
        elapsed, cpu_end = time.monotonic() - start, cpu_seconds(watch.pid)
        server_cpu = sum(cpu_seconds(pid) for pid in servers) - server_start
        watch.stdin.write(b"\n")
        watch.stdin.flush()
        out, err = watch.communicate(timeout=60)
        desk.processes.remove(watch)

    share = 100 * (cpu_end - cpu_start) / elapsed
    first, last = samples[0][2], samples[-1][2]
    growth = 100 * (last - first) / first
    print("platform=%s n=%d minutes=%.1f churn=%s status=%d stderr=%d bytes lines=%d" % (
        args.platform, args.n, elapsed / 60, args.churn, watch.returncode, len(err), out.count(b"\n")))
    print("cpu: %.2f s of %.0f s = %.3f%% of one core" % (cpu_end - cpu_start, elapsed, share))
    if servers:
        print("wineserver meanwhile: %.2f s = %.3f%% of one core" % (server_cpu, 100 * server_cpu / elapsed))
    print("rss: %d KiB after 30 s, %d KiB at the end (%+.1f%%), peak %d KiB" % (first, last, growth, samples[-1][3]))
    return 0 if share < 1 and growth <= 5 and watch.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
