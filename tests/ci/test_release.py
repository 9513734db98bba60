"""The release files as scripts/package makes them from clean clones of the last commit: two
clones in different folders, packed at different times with different clocks, umasks and
file times, give the same SHA256SUMS; and a clone whose project version is changed ships that
version in every file, with no trace of the old one.

Tests the committed state (HEAD) of HUNGSCAN_SOURCE, not uncommitted edits. Slow (three
release builds), so CTest runs it alone.
"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pe import PeFile  # noqa: E402

SOURCE = os.environ.get("HUNGSCAN_SOURCE") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
OBJDUMP = shutil.which(os.environ.get("HUNGSCAN_OBJDUMP") or "i686-w64-mingw32-objdump")
RT_MANIFEST = 24
RT_VERSION = 16
# Not the project's version: a clone set to it must ship it everywhere.
OTHER_VERSION = "7.8.9"


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, timeout=900, **kwargs)


def project_version(clone):
    with open(os.path.join(clone, "CMakeLists.txt")) as build_file:
        return re.search(r"^\s*VERSION ([0-9.]+)$", build_file.read(), re.M).group(1)


class Clones(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="hungscan-release-")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)

    def clone(self, relative):
        clone = os.path.join(self.work, relative)
        os.makedirs(os.path.dirname(clone), exist_ok=True)
        run(["git", "clone", "--quiet", "--no-hardlinks", SOURCE, clone])
        return clone

    def package(self, clone, umask=0o022, **env):
        environment = dict(os.environ, HUNGSCAN_SKIP_DEPS="1", **env)
        result = subprocess.run(["bash", "scripts/package"], cwd=clone, env=environment, capture_output=True,
                                timeout=900, umask=umask)
        self.assertEqual(result.returncode, 0, (result.stdout + result.stderr).decode(errors="replace")[-4000:])
        return os.path.join(clone, "dist")


class Reproducible(Clones):
    def test_two_clones_give_the_same_release(self):
        first = self.package(self.clone("a"))
        # Elsewhere, later, with other file times, another zone and a looser umask.
        second_clone = self.clone("another/deeper/folder")
        for root, dirs, files in os.walk(second_clone):
            dirs[:] = [d for d in dirs if d != ".git"]
            for name in files:
                os.utime(os.path.join(root, name), (1262304000, 1262304000))
        second = self.package(second_clone, umask=0o002, TZ="Asia/Tokyo")
        with open(os.path.join(first, "SHA256SUMS"), "rb") as a, open(os.path.join(second, "SHA256SUMS"), "rb") as b:
            sums = a.read()
            self.assertEqual(sums, b.read())
        version = project_version(second_clone)
        listed = sorted(line.split()[-1] for line in sums.decode().splitlines())
        self.assertEqual(listed, ["hungscan-%s-win32.zip" % version, "hungscan_%s_amd64.deb" % version])
        # The checksums are of the files beside them.
        run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=second)
        # The linker's time stamp would have differed; binutils reads none (0).
        if OBJDUMP:
            exe = os.path.join(second_clone, "build", "mingw-x86", "hungscan.exe")
            headers = run([OBJDUMP, "-p", exe], env=dict(os.environ, TZ="UTC")).stdout.decode()
            self.assertRegex(headers, r"(?m)^Time/Date\s+Thu Jan  1 00:00:00 1970$")


class Versions(Clones):
    def test_every_shipped_file_states_the_project_version(self):
        clone = self.clone("bumped")
        old = project_version(clone)
        self.assertNotEqual(old, OTHER_VERSION)
        with open(os.path.join(clone, "CMakeLists.txt")) as f:
            text = f.read()
        with open(os.path.join(clone, "CMakeLists.txt"), "w") as f:
            f.write(re.sub(r"(?m)^(\s*VERSION )[0-9.]+$", r"\g<1>" + OTHER_VERSION, text, count=1))
        dist = self.package(clone)
        new = OTHER_VERSION
        zip_path = os.path.join(dist, "hungscan-%s-win32.zip" % new)
        deb = os.path.join(dist, "hungscan_%s_amd64.deb" % new)
        shipped = {}
        with zipfile.ZipFile(zip_path) as archive:
            for name in archive.namelist():
                shipped["zip:" + name] = archive.read(name)
        root = os.path.join(self.work, "deb-root")
        run(["dpkg-deb", "-x", deb, root])
        for folder, _, files in os.walk(root):
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                shipped["deb:" + os.path.relpath(os.path.join(folder, name), root)] = \
                    gzip.decompress(data) if name.endswith(".gz") else data

        folder = "zip:hungscan-%s-win32/" % new
        exe = os.path.join(self.work, "shipped.exe")
        with open(exe, "wb") as out:
            out.write(shipped[folder + "hungscan.exe"])
        pe = PeFile(exe)
        version_info = pe.resources(RT_VERSION)[0][2]
        ms, ls = (int.from_bytes(version_info[version_info.find((0xFEEF04BD).to_bytes(4, "little")) + k:][:4],
                                 "little") for k in (8, 12))
        program = os.path.join(root, "usr/bin/hungscan")
        statements = [
            ("deb control Version", run(["dpkg-deb", "-f", deb, "Version"]).stdout.decode().strip(), new),
            ("VERSIONINFO numbers", "%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16), new),
            ("VERSIONINFO FileVersion", re.search("FileVersion\x00+([^\x00]*)", version_info.decode("utf-16-le",
                                                  errors="replace")).group(1), new),
            ("manifest", re.search(rb'assemblyIdentity[^>]* version="([^"]*)"', pe.resources(RT_MANIFEST)[0][2])
             .group(1).decode(), new + ".0"),
            ("README.txt", shipped[folder + "README.txt"].split(b"\r\n")[0].decode(), "hungscan " + new),
            ("man page", re.search(rb'(?m)^\.TH \S+ \S+ \S+ "hungscan ([^"]*)"',
                                   shipped["deb:usr/share/man/man1/hungscan.1.gz"]).group(1).decode(), new),
            ("changelog entry", re.match(rb"hungscan \(([^)]*)\)",
                                         shipped["deb:usr/share/doc/hungscan/changelog.gz"]).group(1).decode(), new),
            ("--version", run([program, "--version"]).stdout.decode(), None),
        ]
        for what, stated, expected in statements:
            with self.subTest(what):
                if expected is None:
                    self.assertIn(new, stated)
                else:
                    self.assertEqual(stated, expected)
        # And nothing shipped still states the version it was changed from.
        stale = [name for name, data in shipped.items() if old.encode() in data
                 or old.encode("utf-16-le") in data]
        self.assertEqual(stale, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
