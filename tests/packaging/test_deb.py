"""The Debian package as Debian's own tools see it, and the program it installs at work.

Needs HUNGSCAN_PACKAGE_DIR and HUNGSCAN_VERSION in the environment (CTest sets them); the
package must have been made first (cpack --preset linux-release).
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from transcript import LF, parse  # noqa: E402
from xdesk import XDesktop  # noqa: E402

PACKAGE_DIR = os.environ.get("HUNGSCAN_PACKAGE_DIR", "")
VERSION = os.environ.get("HUNGSCAN_VERSION", "")


def tool(*argv):
    return subprocess.run(argv, capture_output=True, timeout=240, check=True, env=dict(os.environ, LC_ALL="C.UTF-8"))


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        arch = tool("dpkg", "--print-architecture").stdout.decode().strip()
        cls.arch = arch
        cls.deb = os.path.join(PACKAGE_DIR, "hungscan_%s_%s.deb" % (VERSION, arch))
        if not os.path.isfile(cls.deb):
            raise RuntimeError("no package at %s: run cpack --preset linux-release first" % cls.deb)
        cls.root = tempfile.TemporaryDirectory(prefix="hungscan-deb-")
        cls.addClassCleanup(cls.root.cleanup)
        tool("dpkg-deb", "-x", cls.deb, cls.root.name)

    def test_contents(self):
        listing = tool("dpkg-deb", "-c", self.deb).stdout.decode()
        files = {line.split()[-1] for line in listing.splitlines() if not line.startswith("d")}
        self.assertEqual(files, {"./usr/bin/hungscan", "./usr/share/man/man1/hungscan.1.gz",
                                 "./usr/share/doc/hungscan/copyright", "./usr/share/doc/hungscan/changelog.gz",
                                 "./usr/lib/systemd/user/hungscan-watch.service"})
        self.assertRegex(listing, r"-rwxr-xr-x root/root .* \./usr/bin/hungscan\n")

    def test_control_fields(self):
        fields = {}
        for name in ("Package", "Version", "Architecture", "Maintainer", "Section", "Depends", "Description"):
            fields[name] = tool("dpkg-deb", "-f", self.deb, name).stdout.decode().strip()
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"], fields["Section"]),
                         ("hungscan", VERSION, self.arch, "x11"))
        self.assertRegex(fields["Maintainer"], r"^[^<]+ <[^@>]+@[^>]+>$")
        self.assertTrue(fields["Description"].startswith("list the windows whose programs do not answer\n "))
        # Computed from the binary: each library it links, with a version from its symbols file.
        depends = {re.match(r"[a-z0-9.+-]+", d.strip()).group(0): d.strip() for d in fields["Depends"].split(",")}
        for library in ("libc6", "libstdc++6", "libxcb1", "libxcb-res0"):
            with self.subTest(library=library):
                self.assertIn(library, depends)
                self.assertRegex(depends[library], r"\(>= [0-9]")
        # The platform speaks X through XCB alone.
        self.assertFalse({"libx11-6", "libxmu6", "libxres1", "libxcb-icccm4"} & set(depends), depends)

    def test_lintian_finds_no_error_and_the_binary_hardened(self):
        # -I shows the informational tags too, among them the hardening ones.
        lint = subprocess.run(["lintian", "-I", "--fail-on", "error", self.deb], capture_output=True, timeout=240)
        report = lint.stdout.decode() + lint.stderr.decode()
        self.assertEqual(lint.returncode, 0, report)
        self.assertNotRegex(report, r"(?m)^E: ", report)
        self.assertNotRegex(report, r"hardening-no-(bindnow|fortify-functions|relro)", report)

    def test_the_watch_service_is_a_valid_user_unit(self):
        unit = os.path.join(self.root.name, "usr/lib/systemd/user/hungscan-watch.service")
        text = open(unit).read()
        # systemd checks that ExecStart's program is there: the one the package unpacked, here.
        with tempfile.TemporaryDirectory(prefix="hungscan-unit-") as folder:
            os.chmod(folder, 0o700)
            copy = os.path.join(folder, "hungscan-watch.service")
            with open(copy, "w") as out:
                out.write(text.replace("/usr/bin/hungscan", os.path.join(self.root.name, "usr/bin/hungscan")))
            verify = subprocess.run(["systemd-analyze", "--user", "--man=no", "verify", copy], capture_output=True,
                                    timeout=60, env=dict(os.environ, XDG_RUNTIME_DIR=folder))
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, b""))
        self.assertIn("ExecStart=/usr/bin/hungscan --watch --why --log\n", text)
        for key in ("PartOf", "After", "WantedBy"):
            self.assertIn("%s=graphical-session.target\n" % key, text)

    def test_man_page_renders_without_warnings(self):
        page = os.path.join(self.root.name, "usr/share/man/man1/hungscan.1.gz")
        man = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, timeout=60,
                             env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
        self.assertEqual((man.returncode, man.stderr), (0, b""))
        text = re.sub(rb".\x08", b"", man.stdout).decode()
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OUTPUT", "EXIT STATUS", "LIMITS", "EXAMPLES"):
            self.assertRegex(text, r"(?m)^%s$" % section)

    def test_every_example_runs_as_copied(self):
        # The man page's examples as man shows them (their lines indented as examples, a line
        # ending in "|" continued by the next) and README.md's command lines for the installed
        # program, each run by the shell as a user pasting it would, on a desktop with a frozen
        # GTK program. Standard input gives one Enter, as a user at the end of a scan or watch.
        page = os.path.join(self.root.name, "usr/share/man/man1/hungscan.1.gz")
        man = subprocess.run(["man", "-l", page], capture_output=True, timeout=60, check=True,
                             env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
        rendered = re.sub(rb".\x08", b"", man.stdout).decode()
        section = rendered.split("\nEXAMPLES\n")[1].split("\nSEE ALSO\n")[0]
        examples = []
        for line in section.splitlines():
            if line.startswith(" " * 14):
                if examples and examples[-1].endswith("|"):
                    examples[-1] += "\n" + line
                else:
                    examples.append(line.strip())
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md"), encoding="utf-8") as readme:
            blocks = re.findall(r"(?ms)^```sh\n(.*?)^```", readme.read())
        examples += [line for block in blocks for line in block.splitlines() if line.startswith("hungscan")]
        self.assertGreaterEqual(len(examples), 8, examples)
        with XDesktop() as desk, tempfile.TemporaryDirectory(prefix="hungscan-examples-") as home:
            env = dict(desk.env(), HOME=home, NO_AT_BRIDGE="1",
                       PATH=os.path.join(self.root.name, "usr/bin") + os.pathsep + os.environ["PATH"])
            zenity = desk.start(["zenity", "--info", "--title", "Packaged probe", "--text", "frozen"], env=env,
                                stdin=subprocess.DEVNULL)
            desk.await_windows([b"Packaged probe"])
            os.killpg(zenity.pid, signal.SIGSTOP)
            for example in examples:
                with self.subTest(example=example):
                    # The man page scans "another display": this desktop's.
                    command = example.replace("DISPLAY=:1 ", "DISPLAY=%s " % desk.display)
                    run = subprocess.run(["sh", "-c", command], input=b"\n", capture_output=True, timeout=60,
                                         cwd=home, env=env, start_new_session=True)
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertRegex(run.stderr, rb"^(hungscan: watching every \d+ s; press Enter to stop\n)?$")
                    if "jq" in example:
                        self.assertRegex(run.stdout, rb"(?m)^suspended[ \t]/usr/bin/zenity$")

    def test_installed_program_finds_a_frozen_window(self):
        # A real GTK program, frozen for real, found by the binary as the package installs it.
        program = os.path.join(self.root.name, "usr/bin/hungscan")
        with XDesktop() as desk, tempfile.TemporaryDirectory(prefix="hungscan-home-") as home:
            env = dict(desk.env(), HOME=home, NO_AT_BRIDGE="1")
            zenity = desk.start(["zenity", "--info", "--title", "Packaged probe", "--text", "frozen"], env=env,
                                stdin=subprocess.DEVNULL)
            desk.await_windows([b"Packaged probe"])
            os.killpg(zenity.pid, signal.SIGSTOP)
            status, out, err = desk.run([program])
            self.assertEqual((status, err), (0, b""))
            self.assertIn((b"Packaged probe", b"/usr/bin/zenity"), parse(out, LF))


if __name__ == "__main__":
    unittest.main(verbosity=2)
