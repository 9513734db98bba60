"""build/linux/hungscan on a real X server: frozen, late, answering and non-pinging clients,
with no window manager and under a reparenting one, owners it may not inspect, a client the
server cannot vouch for, windows that come and go, and no display at all.

Needs HUNGSCAN_X11_EXE and HUNGSCAN_XSCENE_EXE in the environment (CTest sets them).
"""

import collections
import fcntl
import json
import os
import pty
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from transcript import HOSTILE, LF, banner, group, parse, shown, trailer  # noqa: E402
from desktop import kill, read_line  # noqa: E402
from xdesk import XDesktop  # noqa: E402
from xrelay import Relay  # noqa: E402

HUNGSCAN = os.environ.get("HUNGSCAN_X11_EXE", "")
SCENE = os.environ.get("HUNGSCAN_XSCENE_EXE", "")
ENUM_SEAM = os.environ.get("HUNGSCAN_ENUM_SEAM_EXE", "")

ERROR = b"!! Error (OpenProcess)"
LONG_NAME = bytes(b"0123456789abcdefghij"[i % 20] for i in range(2000))
UTF8_NAME = "Grüße, 世界 ✓".encode("utf-8")
# Its last character straddles the 1023-byte cut: it goes whole, not in part.
UTF8_LONG_NAME = b"u" * 1021 + "世界".encode("utf-8")
# NEL (a C1 control), LINE SEPARATOR and PARAGRAPH SEPARATOR end lines for some readers.
LINE_BREAKING_NAME = "one\u0085two\u2028three\u2029four\u00a0five".encode("utf-8")
# Not UTF-8: a stray continuation byte, a lead byte without its follower, an overlong form.
INVALID_UTF8_NAME = b"bad \x80 \xe4\xb8 \xc0\xaf name"
NOBODY = 65534
ANOTHER_USER = 65533


def transcript(blocks):
    out = banner(LF)
    for caption, tail in blocks:
        out += LF + b"Unresponsive Window:" + LF + b" Caption: " + caption + LF
        if tail is not None:
            out += (tail if tail == ERROR else b" Path: " + tail) + LF
    return out + trailer(LF)


def setUpModule():
    for name, path in (("HUNGSCAN_X11_EXE", HUNGSCAN), ("HUNGSCAN_XSCENE_EXE", SCENE)):
        if not os.path.isfile(path):
            raise RuntimeError("%s does not name a file: %r" % (name, path))


class Scene(unittest.TestCase):
    """Every kind of window, on a desktop of its own; one scan, read by each test."""

    window_manager = False

    @classmethod
    def setUpClass(cls):
        cls.desk = XDesktop(window_manager=cls.window_manager).open()
        # Runs even when the rest of the set-up fails.
        cls.addClassCleanup(cls.desk.close)
        # Groups are created in this order, so each stacks above the one before.
        groups = [
            group("answer", b"Answering"),
            group("frozen", b"Frozen"),
            group("slow=1500", b"Answers after 1500 ms"),
            group("slow=300", b"Answers after 300 ms"),
            group("noping", b"Takes no part in pings"),
            group("frozen", b"Twin one", b"Twin two"),
            group("frozen", b""),
            group("frozen", LONG_NAME),
            group("frozen", UTF8_NAME),
            group("frozen", UTF8_LONG_NAME),
            group("frozen", HOSTILE + UTF8_NAME),
            group("frozen", LINE_BREAKING_NAME),
            group("frozen", INVALID_UTF8_NAME),
        ]
        cls.desk.start_scene(SCENE, groups)
        if cls.window_manager:
            cls.desk.await_managed(sum(len(g.split(":")) - 1 for g in groups))
        cls.path = os.path.realpath(SCENE).encode()
        cls.status, cls.out, cls.err = cls.desk.run([HUNGSCAN])

    def expected_top_down(self):
        captions = [INVALID_UTF8_NAME, "one?two?three?four\u00a0five".encode("utf-8"), shown(HOSTILE) + UTF8_NAME,
                    UTF8_LONG_NAME[:1021], UTF8_NAME, LONG_NAME[:1023], b"", b"Twin two", b"Twin one",
                    b"Answers after 1500 ms", b"Frozen"]
        return [(c, self.path) for c in captions]

    def test_run_ends_cleanly(self):
        self.assertEqual((self.status, self.err), (0, b""))

    def test_unanswered_windows_are_reported_with_the_owner_path(self):
        self.assertEqual(collections.Counter(parse(self.out, LF)), collections.Counter(self.expected_top_down()))

    def test_records_give_captions_as_the_windows_have_them(self):
        # The report's windows, as records: text that is not UTF-8 replaced, every control
        # character escaped, every line an object a strict parser reads.
        status, out, err = self.desk.run([HUNGSCAN, "--json"])
        self.assertEqual((status, err), (0, b""))
        records = [json.loads(line) for line in out.decode("utf-8").split("\n") if line]
        captions = collections.Counter(r["caption"] for r in records if r["event"] == "unresponsive")
        names = [INVALID_UTF8_NAME, LINE_BREAKING_NAME, HOSTILE + UTF8_NAME, UTF8_LONG_NAME, UTF8_NAME,
                 LONG_NAME[:1023], b"", b"Twin two", b"Twin one", b"Answers after 1500 ms", b"Frozen"]
        # Python's decoder replaces as Unicode recommends: each maximal ill-formed part once.
        expected = [name.decode("utf-8", errors="replace") for name in names]
        self.assertEqual(captions, collections.Counter(expected))
        self.assertEqual(records[-1], {"event": "done", "time": records[-1]["time"], "windows": records[-1]["windows"],
                                       "unresponsive": len(expected), "status": 0})
        for raw in out.split(b"\n"):
            self.assertFalse(set(raw) & (set(range(0x20)) | {0x7F}), raw)  # nothing acts on a terminal

    def test_scans_back_to_back_judge_alike(self):
        # The late answers to one scan's pings arrive while the next scan waits for its own.
        for run in range(2):
            status, out, err = self.desk.run([HUNGSCAN])
            with self.subTest(run=run):
                self.assertEqual((status, err), (0, b""))
                self.assertEqual(collections.Counter(parse(out, LF)), collections.Counter(self.expected_top_down()))


class NoWindowManager(Scene):
    def test_exact_transcript_top_of_the_stack_first(self):
        self.assertEqual(self.out, transcript(self.expected_top_down()))


class ReparentingWindowManager(Scene):
    # The window manager restacks as it pleases; the blocks are the same.
    window_manager = True


class ForeignOwners(unittest.TestCase):
    @unittest.skipUnless(os.geteuid() == 0, "switching users needs root")
    def test_owner_of_another_user_cannot_be_opened(self):
        # Both programs must be reachable by the two users, wherever the build folder lies.
        with tempfile.TemporaryDirectory(prefix="hungscan-users-") as folder, XDesktop() as desk:
            os.chmod(folder, 0o755)
            scene = shutil.copy(SCENE, folder)
            scanner = shutil.copy(HUNGSCAN, folder)
            desk.start_scene(scene, [group("frozen", b"Someone else's")], user=NOBODY)
            status, out, err = desk.run([scanner], user=ANOTHER_USER)
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(out, transcript([(b"Someone else's", ERROR)]))

    def test_owner_is_the_process_the_server_names(self):
        # A local client is named by the server, whatever its window claims: no claim, or the
        # pid of another process (the scene's parent, this test).
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen+nopid", b"Claims no process")])
            desk.start_scene(SCENE, [group("frozen+liar", b"Claims another process")])
            status, out, err = desk.run([HUNGSCAN])
            path = os.path.realpath(SCENE).encode()
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(out, transcript([(b"Claims another process", path), (b"Claims no process", path)]))

    def test_why_judges_the_window_thread_not_its_process(self):
        # The scene's main thread, the one the window names, waits on its input while two more
        # of its threads compute: the window's thread waits, and its share is its own.
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("spin", b"Beside computing threads"), group("spin", b"Second")])
            status, out, err = desk.run([HUNGSCAN, "--why", "--json"])
        self.assertEqual((status, err), (0, b""))
        records = [json.loads(line) for line in out.decode("utf-8").splitlines()]
        verdicts = {(r["why"], r["cpu"] < 10) for r in records if r["event"] == "unresponsive"}
        self.assertEqual(verdicts, {("waiting", True)}, records)

    def test_forged_answers_do_not_hide_a_frozen_window(self):
        # A client that answers in other windows' names, with stamps near the one it was sent.
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen"), group("forge", b"Forger")])
            status, out, err = desk.run([HUNGSCAN])
        self.assertEqual((status, out, err), (0, transcript([(b"Frozen", os.path.realpath(SCENE).encode())]), b""))

    def test_watch_tells_a_window_nobody_owns_from_its_successor(self):
        # A remote client's window has no local owner to tell it apart. It stops answering; its
        # program goes while the watch waits, and another takes the window id at once: the
        # first is gone, the second is a window of its own (which answers).
        with XDesktop(tcp=True) as desk:
            remote = "127.0.0.1" + desk.display
            old = desk.start_scene(SCENE, [group("frozen+foreign", b"Remote")], display=remote)
            watch = desk.start([HUNGSCAN, "--watch=2"])
            head = read_line(watch.stdout, 10) + read_line(watch.stdout, 10)
            self.assertIn(b" Unresponsive: Remote | !! Error (OpenProcess)", head)
            kill(old)
            desk.processes.remove(old)
            desk.start_scene(SCENE, [group("answer+foreign", b"Remote")], display=remote)
            time.sleep(3)  # the next scan
            watch.stdin.write(b"\n")
            watch.stdin.flush()
            status, out, err = desk.finish(watch, None, 10)
        self.assertEqual(status, 0)
        self.assertRegex(out, rb"(?m)^[-0-9]+ [:0-9]+ Gone after \d+ s: Remote \| !! Error \(OpenProcess\)$")
        self.assertNotIn(b"Responding again", out)
        self.assertNotIn(b"Still unresponsive", out)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "needs root for a pid namespace")
    def test_another_pid_namespace_names_no_owner_and_says_so(self):
        # As in a container with the X socket mounted: the server's pids are not this /proc's.
        # Inside, the frozen program's number belongs to nobody, or to another program.
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen on the host")])
            for args in ([], ["--why", "--json"]):
                status, out, err = desk.run(["unshare", "--pid", "--fork", "--mount-proc", HUNGSCAN, *args])
                with self.subTest(args=args):
                    self.assertEqual((status, err), (0, b"hungscan: owners cannot be named: the display's programs "
                                                        b"run in another pid namespace: no path or verdict can be "
                                                        b"read\n"))
                    if args:
                        record = json.loads(out.splitlines()[0])
                        self.assertEqual((record["pid"], record["path"], record["why"]), (0, None, "unknown"))
                    else:
                        self.assertEqual(out, transcript([(b"Frozen on the host", ERROR)]))

    def test_client_over_tcp_is_vouched_for_only_by_its_own_host_name(self):
        with XDesktop(tcp=True) as desk:
            remote = "127.0.0.1" + desk.display
            desk.start_scene(SCENE, [group("frozen", b"Says it runs here")], display=remote)
            desk.start_scene(SCENE, [group("frozen+foreign", b"Says it runs elsewhere")], display=remote)
            status, out, err = desk.run([HUNGSCAN])
            self.assertEqual((status, err), (0, b""))
            self.assertEqual(out, transcript([(b"Says it runs elsewhere", ERROR),
                                              (b"Says it runs here", os.path.realpath(SCENE).encode())]))


class Churn(unittest.TestCase):
    def test_windows_destroyed_during_the_scan(self):
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen"), group("churn*10", b"Churn"),
                                     group("churn*10", b"Churn")])
            path = os.path.realpath(SCENE).encode()
            stray = 0
            for run in range(10):
                status, out, err = desk.run([HUNGSCAN])
                with self.subTest(run=run):
                    self.assertEqual((status, err), (0, b""))
                    blocks = collections.Counter(parse(out, LF))
                    self.assertEqual(blocks.pop((b"Frozen", path)), 1)
                    stray += sum(blocks.values())
            # What is left is the instant between the existence check and the report.
            self.assertLessEqual(stray, 2, "blocks for windows destroyed during the scan")


    def test_window_id_reused_while_its_ping_was_out(self):
        # The frozen program is killed while the scan waits for its answer and started again at
        # once, answering now: the server hands its new window the old id. The window that did
        # not answer is gone; the one that has its id answers for itself. Under a window manager
        # the frame goes with its client; a stopped one keeps the frame of a client that went.
        # A window moved out of the root's children before it goes (as a window manager starting
        # takes it into a frame) is no longer one the root's selection hears of.
        rows = ((False, False, False, 0), (False, False, False, 1), (False, False, False, 2),
                (False, False, True, 0), (False, False, True, 1), (True, False, False, 0),
                (True, False, False, 1), (True, True, False, 0), (True, True, False, 1))
        for window_manager, stopped, moved, run in rows:
            with XDesktop(window_manager=window_manager) as desk:
                frozen = desk.start_scene(SCENE, [group("frozen+moves" if moved else "frozen", b"Killed while pinged")])
                if stopped:
                    desk.await_managed(1)
                    desk.window_manager_process.send_signal(signal.SIGSTOP)
                proc = desk.start([HUNGSCAN], stdin=subprocess.DEVNULL)
                read_line(proc.stdout, 10)  # the banner: the pings leave next
                time.sleep(0.2)
                if moved:
                    frozen.stdin.write(b"\n")
                    frozen.stdin.flush()
                    time.sleep(0.1)
                kill(frozen)
                desk.processes.remove(frozen)
                desk.start_scene(SCENE, [group("answer", b"Successor")])
                status, out, err = desk.finish(proc, None, 20)
                if stopped:
                    desk.window_manager_process.send_signal(signal.SIGCONT)
                with self.subTest(window_manager=window_manager, stopped=stopped, moved=moved, run=run):
                    self.assertEqual((status, banner(LF) + out, err), (0, banner(LF) + trailer(LF), b""))

    def test_window_manager_restarted_while_pings_are_out(self):
        # A restart destroys every frame and makes new ones; the clients live on, the frozen one
        # still frozen: every scan reports it, and a watch keeps one hang with one clock.
        with XDesktop(window_manager=True) as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen throughout")])
            desk.await_managed(1)
            expected = transcript([(b"Frozen throughout", os.path.realpath(SCENE).encode())])
            for run, args in ((0, []), (1, []), (2, ["--json"])):
                proc = desk.start([HUNGSCAN, *args], stdin=subprocess.DEVNULL)
                if args:
                    time.sleep(0.4)  # records have no banner; the pings are out by then
                else:
                    read_line(proc.stdout, 10)
                    time.sleep(0.2)
                desk.restart_window_manager()
                status, out, err = desk.finish(proc, None, 20)
                out = (banner(LF) if not args else b"") + out
                with self.subTest(run=run, args=args):
                    self.assertEqual((status, err), (0, b""))
                    if args:
                        events = [json.loads(line)["event"] for line in out.splitlines()]
                        self.assertEqual((events.count("unresponsive"), events[-1]), (1, "done"))
                    else:
                        self.assertEqual(out, expected)
            watch = desk.start([HUNGSCAN, "--watch=1"])
            read_line(watch.stdout, 10)
            read_line(watch.stdout, 10)
            for _ in range(2):
                desk.restart_window_manager()
                time.sleep(1.5)
            watch.stdin.write(b"\n")
            watch.stdin.flush()
            status, out, err = desk.finish(watch, None, 20)
        self.assertEqual(status, 0)
        self.assertNotIn(b"Gone", out)
        self.assertNotIn(b"Unresponsive:", out)
        self.assertRegex(out, rb"Still unresponsive after [3-9] s: Frozen throughout")

    def test_a_record_names_the_window_by_its_x_id_after_the_id_is_reused(self):
        # Between two scans of a watch, the frozen program goes and a frozen successor takes its
        # window id: both records name that id, which is all a reader can look the window up by.
        with XDesktop() as desk:
            first = desk.start_scene(SCENE, [group("frozen", b"First")])
            watch = desk.start([HUNGSCAN, "--watch=1", "--json"])
            records = []

            def read_until(event, caption):
                while (event, caption) not in [(r["event"], r.get("caption")) for r in records]:
                    records.append(json.loads(read_line(watch.stdout, 10)))
            read_until("unresponsive", "First")
            kill(first)
            desk.processes.remove(first)
            desk.start_scene(SCENE, [group("frozen", b"Second")])
            read_until("unresponsive", "Second")
            read_until("gone", "First")
            watch.stdin.write(b"\n")
            watch.stdin.flush()
            desk.finish(watch, None, 20)
        named = {(record["event"], record.get("caption")): record.get("window") for record in records}
        self.assertEqual(named[("unresponsive", "Second")], named[("unresponsive", "First")], records)
        self.assertEqual(named[("gone", "First")], named[("unresponsive", "First")])


COULD_NOT_LOOK = banner(LF) + LF + b"!! Error (EnumWindows)" + LF + trailer(LF)
WATCHING = b"hungscan: watching every %s s; press Enter to stop" + LF


def why(reason):
    return b"hungscan: cannot list the windows: " + reason + LF


GONE = why(b"the display went away")
NO_ANSWER = why(b"no answer from the display within 5 s")


def cookie_file(folder, name, display, cookie):
    path = os.path.join(folder, name)
    subprocess.run(["xauth", "-q", "-f", path, "add", display, "MIT-MAGIC-COOKIE-1", cookie],
                   check=True, timeout=10, capture_output=True)
    return path


class NoDisplay(unittest.TestCase):
    """Displays that cannot be used: none named, none there, a link that closes right after the
    server's greeting, and a server that refuses the client's cookie. Each time the scan says it
    could not look, and one line on standard error says why."""

    def test_without_a_display_the_scan_says_it_could_not_look(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        with XDesktop() as desk:
            status, out, err = desk.run([HUNGSCAN], env=env)
            nobody = dict(env, DISPLAY=":%d" % (int(desk.display[1:]) + 1000))
            missing = desk.run([HUNGSCAN], env=nobody)
        self.assertEqual((status, out, err), (1, COULD_NOT_LOOK, why(b"DISPLAY is not set")))
        self.assertEqual(missing, (1, COULD_NOT_LOOK, why(b'cannot connect to display "%s"' % nobody["DISPLAY"].encode())))

    def test_link_closed_after_the_greeting(self):
        with XDesktop() as desk, Relay(desk.display, close_after_greeting=True) as relay:
            status, out, err = desk.run([HUNGSCAN], env=desk.env(relay.display), timeout=30)
        self.assertEqual((status, out, err), (1, COULD_NOT_LOOK, GONE))

    def test_cookie_missing_or_wrong(self):
        refused = why(b"the display refused the connection (authorization)")
        with tempfile.TemporaryDirectory(prefix="hungscan-auth-") as folder:
            server = cookie_file(folder, "server", ":0", "00112233445566778899aabbccddeeff")
            with XDesktop(auth=server) as desk:
                wrong = cookie_file(folder, "wrong", desk.display, "ffeeddccbbaa99887766554433221100")
                right = cookie_file(folder, "right", desk.display, "00112233445566778899aabbccddeeff")
                for what, authority, expected, reason in (
                        ("none", os.path.join(folder, "absent"), COULD_NOT_LOOK, refused),
                        ("wrong", wrong, COULD_NOT_LOOK, refused),
                        ("right", right, banner(LF) + trailer(LF), b"")):
                    with self.subTest(cookie=what):
                        env = dict(desk.env(), XAUTHORITY=authority)
                        status, out, err = desk.run([HUNGSCAN], env=env, timeout=30)
                        self.assertEqual((out, err), (expected, reason))
                        self.assertEqual(status, 0 if expected != COULD_NOT_LOOK else 1)

    def test_a_wayland_session_is_named_as_a_blind_spot(self):
        with XDesktop() as desk:
            env = {k: v for k, v in desk.env().items() if k != "DBUS_SESSION_BUS_ADDRESS"}
            status, out, err = desk.run([HUNGSCAN], env=dict(env, WAYLAND_DISPLAY="wayland-0"))
        self.assertEqual((status, out), (0, banner(LF) + trailer(LF)))
        # No compositor's socket either: no program is there to be named.
        self.assertEqual(err, b"hungscan: cannot check the Wayland programs: no accessibility bus: no session bus "
                              b"(DBUS_SESSION_BUS_ADDRESS is not set)\n")


class SlowLink(unittest.TestCase):
    def test_every_reply_late_the_scan_still_judges_right(self):
        # 10 ms on every reply, as over ssh -X: each reply is waited for on its own, so a big
        # desktop is not taken for a lost server, and the frozen window is found.
        with XDesktop() as desk, Relay(desk.display, delay=0.010) as relay:
            desk.start_scene(SCENE, [group("answer*600", b"Answering"), group("frozen", b"Frozen")], timeout=120)
            started = time.monotonic()
            status, out, err = desk.run([HUNGSCAN], env=desk.env(relay.display), timeout=60)
            took = time.monotonic() - started
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(out, transcript([(b"Frozen", os.path.realpath(SCENE).encode())]))
        self.assertLess(took, 5)

    def test_windows_outside_the_ping_protocol_cost_no_round_trip_each(self):
        # What the listing learned of each window's protocols is what its probe uses.
        with XDesktop() as desk, Relay(desk.display, delay=0.010) as relay:
            desk.start_scene(SCENE, [group("noping*150", b"Takes no part")], timeout=120)
            started = time.monotonic()
            status, out, err = desk.run([HUNGSCAN], env=desk.env(relay.display), timeout=60)
            took = time.monotonic() - started
        self.assertEqual((status, out, err), (0, banner(LF) + trailer(LF), b""))
        self.assertLess(took, 1.0)


GET_PROPERTY, QUERY_TREE = 20, 15


def claims_more(opcode, field, value, when):
    """Rewrites the replies to one request for which when(reply) holds: the count in field (a
    struct format and an offset) claims value, far more than the reply carries."""
    code, offset = field

    def rewrite(op, reply):
        if op != opcode or not when(reply):
            return False
        struct.pack_into(code, reply, offset, value)
        return True
    return rewrite


def value_len(reply):
    return struct.unpack_from("<I", reply, 16)[0]


def parent(reply):
    return struct.unpack_from("<I", reply, 12)[0]


TEXT_PROPERTY = claims_more(GET_PROPERTY, ("<I", 16), 0x100000, lambda r: r[1] == 8 and value_len(r) > 0)
LIST_PROPERTY = claims_more(GET_PROPERTY, ("<I", 16), 0x100000, lambda r: r[1] == 32 and value_len(r) > 0)
ROOT_CHILDREN = claims_more(QUERY_TREE, ("<H", 16), 0xFFFF, lambda r: parent(r) == 0)
WINDOW_CHILDREN = claims_more(QUERY_TREE, ("<H", 16), 0xFFFF, lambda r: parent(r) != 0)
GREETING = claims_more(None, ("<H", 24), 0xFFFF, lambda r: True)  # the vendor's name: what comes after it
MALFORMED = b"the display sent a malformed reply"


class MalformedReplies(unittest.TestCase):
    def test_counts_beyond_the_reply_are_failed_calls(self):
        # A server whose replies claim more than they carry. Each such reply is a failed call:
        # for its window, or for the scan when it lists the root window's children. Nothing is
        # read past a reply (the build under test is the sanitized one).
        path = os.path.realpath(SCENE).encode()
        empty = (0, banner(LF) + trailer(LF), b"")
        rows = (
            # No name and no host name can be read; the server still names the owner.
            ("text property", False, TEXT_PROPERTY, (0, transcript([(b"", path)]), b""),
             [("unresponsive", ""), ("done", 0)]),
            # No window's protocols can be read: none can be probed.
            ("list property", False, LIST_PROPERTY, empty, [("done", 0)]),
            ("root window's children", False, ROOT_CHILDREN, (1, COULD_NOT_LOOK, why(MALFORMED)),
             [("error", MALFORMED.decode()), ("done", 1)]),
            ("greeting", False, GREETING, (1, COULD_NOT_LOOK, why(MALFORMED)),
             [("error", MALFORMED.decode()), ("done", 1)]),
            # Without a window manager each top-level window stands for itself.
            ("top-level window's children", False, WINDOW_CHILDREN, (0, transcript([(b"Frozen", path)]), b""),
             [("unresponsive", "Frozen"), ("done", 0)]),
            # A frame whose client cannot be looked for stands for itself, outside the protocol.
            ("frame's children", True, WINDOW_CHILDREN, empty, [("done", 0)]),
        )
        for window_manager in (False, True):
            with XDesktop(window_manager=window_manager) as desk:
                desk.start_scene(SCENE, [group("frozen", b"Frozen"), group("answer", b"Answering"),
                                         group("noping", b"Takes no part")])
                if window_manager:
                    desk.await_managed(3)
                for what, _, rewrite, expected, records in (r for r in rows if r[1] == window_manager):
                    with self.subTest(reply=what), Relay(desk.display, rewrite=rewrite) as relay:
                        env = desk.env(relay.display)
                        self.assertEqual(desk.run([HUNGSCAN], env=env, timeout=30), expected)
                        status, out, err = desk.run([HUNGSCAN, "--json"], env=env, timeout=30)
                        self.assertEqual((status, err), expected[::2])
                        summary = [(r["event"], r.get("caption", r.get("reason", r.get("status"))))
                                   for r in map(json.loads, out.splitlines())]
                        self.assertEqual(summary, records)
                        self.assertGreater(relay.rewritten, 0)


class Desktops(unittest.TestCase):
    def test_enumeration_result_as_on_windows(self):
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("answer", b"One", b"Two", b"Three")])
            status, out, err = desk.run([ENUM_SEAM])
        self.assertEqual((status, out, err), (0, b"all=1 calls=3\nstopped=0 calls=1\n", b""))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "naming the host needs root")
    def test_records_name_the_host_however_long(self):
        # Windows' names stop at 15 characters; a Linux host's need not.
        host = "a-host-name-longer-than-windows-allows"
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen")])
            status, out, err = desk.run(["unshare", "--uts", "sh", "-c", 'hostname "$0" && exec "$1" --json',
                                         host, HUNGSCAN])
        self.assertEqual((status, err), (0, b""))
        records = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([(r["event"], r.get("host")) for r in records], [("unresponsive", host), ("done", None)])

    def test_a_closed_desktop_leaves_no_socket_or_lock_file(self):
        with XDesktop() as desk:
            number = desk.display[1:]
            socket = "/tmp/.X11-unix/X" + number
            files = [f for f in (socket, "/tmp/.X%s-lock" % number) if os.path.exists(f)]
            self.assertIn(socket, files)
        self.assertFalse([f for f in files if os.path.exists(f)])


    def test_a_latin1_name_reaches_the_report_as_utf8(self):
        # WM_NAME of type STRING is Latin-1: raw, its C1 controls (0x80-0x9F) act on a Latin-1
        # terminal, and its upper half is broken characters to a UTF-8 one.
        name = b"caf\xe9 \x85next \x9b[2J \xff\xa0end"
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", name)])
            listing = subprocess.run(["xwininfo", "-root", "-children"], env=desk.env(), capture_output=True,
                                     timeout=10, check=True).stdout
            for window in re.findall(rb"(?m)^\s+(0x[0-9a-f]+) ", listing):
                subprocess.run(["xprop", "-id", window, "-remove", "_NET_WM_NAME"], env=desk.env(), timeout=10,
                               check=True)
            text = desk.run([HUNGSCAN])
            status, out, err = desk.run([HUNGSCAN, "--json"])
        shown = "caf\u00e9 ?next ?[2J \u00ff\u00a0end".encode("utf-8")
        self.assertEqual(text, (0, transcript([(shown, os.path.realpath(SCENE).encode())]), b""))
        self.assertEqual((status, err), (0, b""))
        captions = [json.loads(line).get("caption") for line in out.splitlines()]
        self.assertEqual(captions, [name.decode("latin-1"), None])

class StandardStreams(unittest.TestCase):
    def test_started_without_standard_streams(self):
        # Without the fix the X connection takes the free descriptor, and the final read waits
        # on the X socket for as long as the desktop stays quiet.
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen")])
            expected = transcript([(b"Frozen", os.path.realpath(SCENE).encode())])
            for redirection in ("<&-", "2>&-", "<&- 2>&-"):
                with self.subTest(redirection):
                    proc = subprocess.run(["sh", "-c", 'exec "$0" ' + redirection, HUNGSCAN], env=desk.env(),
                                          stdin=subprocess.DEVNULL, capture_output=True, timeout=20,
                                          start_new_session=True)
                    self.assertEqual((proc.returncode, proc.stdout), (0, expected))


    def test_report_redirected_from_a_terminal_says_how_to_end_the_wait(self):
        # A terminal for standard input; the report into a pipe, or onto that terminal.
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen")])
            expected = transcript([(b"Frozen", os.path.realpath(SCENE).encode())])
            for redirection, args, err in (("", [], b"hungscan: press Enter to exit\n"),
                                           ("", ["--why"], b"hungscan: press Enter to exit\n"),
                                           (">&0", [], b"")):
                with self.subTest(redirection=redirection, args=args):
                    master, terminal = pty.openpty()
                    try:
                        proc = desk.start(["sh", "-c", 'exec "$0" "$@" ' + redirection, HUNGSCAN] + args,
                                          stdin=terminal)
                        os.close(terminal)
                        terminal = -1
                        seen, deadline = b"", time.monotonic() + 20
                        source = proc.stdout.fileno() if not redirection else master
                        while not seen.endswith(trailer(LF)) and time.monotonic() < deadline:
                            if select.select([source], [], [], max(deadline - time.monotonic(), 0))[0]:
                                seen += os.read(source, 65536).replace(b"\r\n", b"\n")
                        self.assertTrue(seen.endswith(trailer(LF)), seen)
                        self.assertEqual(read_line(proc.stderr, 5) if err else b"", err)
                        self.assertIsNone(proc.poll(), "ended before Enter")
                        os.write(master, b"\n")
                        status, out, rest = desk.finish(proc, None, 10)
                    finally:
                        os.close(master)
                        if terminal >= 0:
                            os.close(terminal)
                    self.assertEqual((status, rest), (0, b""))
                    if not args and not redirection:
                        self.assertEqual(seen + out, expected)


class ServerLost(unittest.TestCase):
    """The test's own X server killed or frozen, before the scan and while it waits on frozen
    windows: the scan ends as one whose enumeration failed, and nothing hangs."""

    CASES = [  # (signal, when, the longest the scan may take in seconds, what standard error says)
        (signal.SIGKILL, "before", 3, None),  # the socket file is left: nobody answers at it
        (signal.SIGKILL, "during", 3, GONE),
        (signal.SIGSTOP, "before", 5 + 3, NO_ANSWER),     # the server's greeting is waited for 5 s
        (signal.SIGSTOP, "during", 1 + 5 + 3, NO_ANSWER),  # a probe's second, then 5 s for one reply
    ]

    def test_server_killed_or_frozen(self):
        for sig, when, limit, reason in self.CASES:
            with self.subTest(signal=sig.name, when=when), XDesktop() as desk:
                desk.start_scene(SCENE, [group("frozen*3", b"Frozen")])
                if when == "before":
                    os.kill(desk.xvfb.pid, sig)
                started = time.monotonic()
                proc = desk.start([HUNGSCAN], stdin=subprocess.DEVNULL)
                head = b""
                if when == "during":
                    head = read_line(proc.stdout, 10)  # the banner: the probes are under way
                    time.sleep(0.3)
                    os.kill(desk.xvfb.pid, sig)
                status, out, err = desk.finish(proc, None, 30)
                self.assertLess(time.monotonic() - started, limit)
                out = head + out
                tail = LF + b"!! Error (EnumWindows)" + LF + trailer(LF)
                self.assertTrue(out.endswith(tail), out)
                # Blocks written before the loss stay, and stay well formed.
                parse(out[:-len(tail)] + trailer(LF), LF)
                self.assertEqual((status, err), (1, reason or why(b'cannot connect to display "%s"' % desk.display.encode())))

    def test_watch_ends_when_the_server_goes(self):
        # However long the interval, and while a scan's verdicts are sampled (its probe's second,
        # then a quarter of one): the listener sees the loss, and the watch ends then, its last
        # scan one that could not list the windows.
        for args, sample in ((["--watch=1"], None), (["--watch=3600"], None), (["--watch=1", "--why"], 1.12)):
            with self.subTest(args=args), XDesktop() as desk:
                desk.start_scene(SCENE, [group("frozen", b"Frozen")])
                proc = desk.start([HUNGSCAN] + args, stdin=subprocess.DEVNULL)
                head = read_line(proc.stdout, 10)
                if sample is None:
                    head += read_line(proc.stdout, 10)
                    self.assertIn(b" Unresponsive: Frozen | ", head)
                else:
                    time.sleep(sample)
                os.kill(desk.xvfb.pid, signal.SIGKILL)
                started = time.monotonic()
                status, out, err = desk.finish(proc, None, 10)
                self.assertLess(time.monotonic() - started, 3)
                self.assertRegex(head + out, rb"\n[-0-9]+ [:0-9]+ !! Error \(EnumWindows\)\n\n"
                                             rb"([-0-9]+ [:0-9]+ Still unresponsive after \d+ s: Frozen \| [^\n]*\n)?\nDone\.\n$")
                self.assertEqual((status, err), (1, WATCHING % args[0][8:].encode() + GONE))

    def test_big_desktop_server_killed_or_frozen_at_random_moments(self):
        # Thousands of windows: the loss comes while requests are still being sent and replies
        # read. Whenever it comes, the scan ends by itself, in one piece, and says nothing on
        # standard error; if the scan was over before, its transcript is whole.
        rng = random.Random(os.environ.get("HUNGSCAN_SEED", "x11-faults"))
        for run in range(6):
            sig = (signal.SIGKILL, signal.SIGSTOP)[run % 2]
            delay = rng.uniform(0.0, 0.3)
            with self.subTest(run=run, signal=sig.name, delay=round(delay, 3)), XDesktop() as desk:
                desk.start_scene(SCENE, [group("answer*3000", b"Answering"), group("frozen", b"Frozen")],
                                 timeout=180)
                started = time.monotonic()
                proc = desk.start([HUNGSCAN], stdin=subprocess.DEVNULL)
                time.sleep(delay)
                os.kill(desk.xvfb.pid, sig)
                status, out, err = desk.finish(proc, None, 30)
                self.assertLess(time.monotonic() - started, 1 + 5 + 3)
                self.assertIn(err, (b"", GONE, NO_ANSWER))
                self.assertIn(status, (0, 1), "ended by a signal")
                tail = LF + b"!! Error (EnumWindows)" + LF + trailer(LF)
                if status == 1:
                    self.assertTrue(out.endswith(tail), out[-200:])
                    parse(out[:-len(tail)] + trailer(LF), LF)
                else:
                    parse(out, LF)


class WatchEnds(unittest.TestCase):
    """A watch never runs on with nobody to hear it, and a stall is not a loss."""

    OUTPUTS = [  # (standard output, the reason given for it)
        ("read once, then closed", b"Broken pipe"),  # as "| head -n 1" does
        ("/dev/full", b"No space left on device"),
        ("closed", b"Bad file descriptor"),
    ]

    def test_output_gone_or_full_ends_the_watch(self):
        # Nothing more is written while no window changes: a quiet watch, records or lines,
        # notices by itself, and says why it ended.
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("answer", b"Answering")])
            for args in (["--watch=1"], ["--watch=1", "--json"]):
                for output, reason in self.OUTPUTS:
                    with self.subTest(args=args, output=output):
                        started = time.monotonic()
                        if output == "read once, then closed":
                            proc = desk.start([HUNGSCAN] + args, stdin=subprocess.DEVNULL)
                            first = read_line(proc.stdout, 10)
                            self.assertTrue(first.startswith((b"Watching", b'{"event":"watching",')), first)
                            proc.stdout.close()
                            started = time.monotonic()
                            status, _, err = desk.finish(proc, None, 10)
                        else:
                            with open(output if output != "closed" else os.devnull, "wb") as sink:
                                proc = subprocess.run(
                                    ["sh", "-c", 'exec "$0" "$@"' + (" >&-" if output == "closed" else ""),
                                     HUNGSCAN] + args, env=desk.env(), stdin=subprocess.DEVNULL, stdout=sink,
                                    stderr=subprocess.PIPE, timeout=10, start_new_session=True)
                            status, err = proc.returncode, proc.stderr
                        self.assertLess(time.monotonic() - started, 3)
                        self.assertEqual((status, err), (1, WATCHING % b"1" + b"hungscan: cannot write the report: "
                                                         + reason + LF))

    BLOCKED = [  # (signals a second apart, how the watch ends, the longest it may take after the last)
        ((signal.SIGTERM, signal.SIGTERM), -signal.SIGTERM, 5),  # a second one ends the process at once
        ((signal.SIGHUP,), 1, 4 + 2),                             # as a closing console: lines or not
        ((signal.SIGHUP, signal.SIGTERM), -signal.SIGTERM, 2),     # a stop under way: at once
    ]

    def test_second_sigterm_ends_a_watch_blocked_on_its_output(self):
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen*12", b"x" * 1000)])
            for signals, ending, limit in self.BLOCKED:
                with self.subTest(signals=[s.name for s in signals]):
                    read_end, write_end = os.pipe()
                    fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ: a page, filled by the first scan
                    try:
                        proc = subprocess.Popen([HUNGSCAN, "--watch=1"], env=desk.env(), stdin=subprocess.PIPE,
                                                stdout=write_end, stderr=subprocess.DEVNULL, start_new_session=True)
                        desk.processes.append(proc)
                        time.sleep(3)
                        for i, sig in enumerate(signals):
                            if i > 0:
                                time.sleep(1)
                                self.assertIsNone(proc.poll(), "a blocked watch ended at the first signal")
                            proc.send_signal(sig)
                        started = time.monotonic()
                        self.assertEqual(proc.wait(timeout=limit), ending)
                        self.assertLess(time.monotonic() - started, limit)
                    finally:
                        os.close(read_end)
                        os.close(write_end)

    def test_hangup_closes_the_watch(self):
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen")])
            proc = desk.start([HUNGSCAN, "--watch=1"])
            head = read_line(proc.stdout, 10) + read_line(proc.stdout, 10)
            proc.send_signal(signal.SIGHUP)
            status, out, err = desk.finish(proc, None, 5)
        lines = (head + out).split(LF)
        self.assertRegex(lines[-4], rb"^[-0-9]+ [:0-9]+ Still unresponsive after \d+ s: Frozen \| ")
        self.assertEqual((lines[-3:], status, err), ([b"", b"Done.", b""], 1, WATCHING % b"1"))

    def test_a_server_held_by_a_grab_is_a_failed_scan_not_the_end(self):
        with XDesktop() as desk:
            desk.start_scene(SCENE, [group("frozen", b"Frozen")])
            proc = desk.start([HUNGSCAN, "--watch=1"])
            self.assertIn(b" Unresponsive: Frozen | ", read_line(proc.stdout, 10) + read_line(proc.stdout, 10))
            desk.start_scene(SCENE, [group("grab=7000", b"Grabbing")])
            time.sleep(12)
            self.assertIsNone(proc.poll(), "the watch ended on a stall")
            proc.stdin.write(b"\n")
            proc.stdin.flush()
            status, out, err = desk.finish(proc, None, 10)
        self.assertEqual((status, err), (0, WATCHING % b"1" + NO_ANSWER))
        self.assertRegex(out, rb"(?m)^[-0-9]+ [:0-9]+ !! Error \(EnumWindows\)$")
        # The frozen window stays known across the stall and the new connection.
        self.assertNotIn(b"Unresponsive: Frozen", out)
        self.assertRegex(out, rb"Still unresponsive after \d+ s: Frozen \| ")


del Scene  # a base, not a test of its own

if __name__ == "__main__":
    unittest.main(verbosity=2)
