"""What the built hungscan.exe is, read from the file: a 32-bit console program with ASLR and
DEP, stripped, that imports only DLLs every Windows has and carries an asInvoker manifest; and
the ZIP that Windows users download, when it has been made (cpack). The file is read with the
project's own PE reader, which runs on Windows too; where binutils' objdump is at hand (the
cross build), it reads the file as well, and the two must agree."""

import os
import re
import shutil
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pe import IMAGE_FILE_RELOCS_STRIPPED, PeFile  # noqa: E402

EXE = os.environ.get("HUNGSCAN_EXE", "")
ZIP = os.environ.get("HUNGSCAN_ZIP", "")
OBJDUMP = shutil.which(os.environ.get("HUNGSCAN_OBJDUMP") or "i686-w64-mingw32-objdump")

IMAGE_FILE_MACHINE_I386 = 0x014C
PE32 = 0x10B
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
SUBSYSTEM_WINDOWS_CUI = 3
RT_MANIFEST = 24
RT_VERSION = 16
# The project's version, as its build file states it.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")) as build_file:
    VERSION = re.search(r"^\s*VERSION ([0-9.]+)$", build_file.read(), re.M).group(1)
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "psapi.dll", "msvcrt.dll", "advapi32.dll"}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


class Executable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(EXE):
            raise RuntimeError("HUNGSCAN_EXE does not name a file: %r" % EXE)
        cls.pe = PeFile(EXE)

    def test_is_a_32_bit_console_program(self):
        self.assertEqual((self.pe.machine, self.pe.magic, self.pe.subsystem),
                         (IMAGE_FILE_MACHINE_I386, PE32, SUBSYSTEM_WINDOWS_CUI))

    def test_has_aslr_and_dep(self):
        flags = self.pe.dll_characteristics
        self.assertTrue(flags & DYNAMIC_BASE, hex(flags))
        self.assertTrue(flags & NX_COMPAT, hex(flags))
        # ASLR moves the image only if it can be relocated.
        self.assertFalse(self.pe.characteristics & IMAGE_FILE_RELOCS_STRIPPED)

    def test_imports_only_system_dlls(self):
        dlls = {name.lower() for name in self.pe.imported_dlls()}
        self.assertTrue(dlls, "no imports found")
        self.assertLessEqual(dlls, SYSTEM_DLLS)

    def test_is_stripped(self):
        self.assertEqual((self.pe.symbol_table, self.pe.symbol_count), (0, 0))

    def test_carries_one_asinvoker_manifest(self):
        manifests = self.pe.resources(RT_MANIFEST)
        self.assertEqual([name for name, _, _ in manifests], [1])  # the process's own manifest
        root = ET.fromstring(manifests[0][2])
        self.assertEqual(root.tag, ASM_V1 + "assembly")
        levels = root.findall(".//%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                              % (ASM_V3, ASM_V3, ASM_V3, ASM_V3))
        self.assertEqual(len(levels), 1, manifests[0][2])
        self.assertEqual(levels[0].get("level"), "asInvoker")
        self.assertEqual(levels[0].get("uiAccess"), "false")

    def test_carries_its_version_for_explorer(self):
        versions = self.pe.resources(RT_VERSION)
        self.assertEqual(len(versions), 1)
        data = versions[0][2]
        # VS_FIXEDFILEINFO: its signature, then the structure version, then the file version.
        fixed = data.find((0xFEEF04BD).to_bytes(4, "little"))
        self.assertGreater(fixed, 0)
        ms, ls = (int.from_bytes(data[fixed + k:fixed + k + 4], "little") for k in (8, 12))
        self.assertEqual("%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16), VERSION)
        text = data.decode("utf-16-le", errors="replace")
        for name, value in (("ProductName", "hungscan"), ("FileVersion", VERSION),
                            ("LegalCopyright", "MIT License")):
            with self.subTest(name):
                self.assertRegex(text, name + "\x00+[^\x00]*" + re.escape(value))

    @unittest.skipUnless(OBJDUMP, "no objdump for this toolchain")
    def test_objdump_reads_the_file_alike(self):
        headers = subprocess.run([OBJDUMP, "-p", EXE], capture_output=True, text=True, check=True,
                                 timeout=60).stdout
        self.assertEqual(sorted(re.findall(r"DLL Name: (\S+)", headers)), sorted(self.pe.imported_dlls()))
        self.assertEqual(int(re.search(r"^DllCharacteristics\s+(\S+)", headers, re.M).group(1), 16),
                         self.pe.dll_characteristics)
        symbols = subprocess.run([OBJDUMP, "-t", EXE], capture_output=True, text=True, check=True,
                                 timeout=60).stdout
        self.assertIn("no symbols", symbols)


@unittest.skipUnless(os.path.isfile(ZIP), "no ZIP made yet (cpack)")
class ZipForWindowsUsers(unittest.TestCase):
    def test_holds_the_program_its_readme_and_licence_in_one_folder(self):
        with zipfile.ZipFile(ZIP) as archive:
            names = {n for n in archive.namelist() if not n.endswith("/")}
            folder = os.path.basename(ZIP)[:-len(".zip")] + "/"
            self.assertEqual(names, {folder + n for n in ("hungscan.exe", "README.txt", "LICENSE.txt")})
            with open(EXE, "rb") as exe:
                self.assertEqual(archive.read(folder + "hungscan.exe"), exe.read())
            for text in ("README.txt", "LICENSE.txt"):
                with self.subTest(text):
                    data = archive.read(folder + text)
                    # Notepad's line ends, nothing but ASCII, and the text is there.
                    self.assertNotIn(b"\n", data.replace(b"\r\n", b""))
                    self.assertNotIn(b"\r", data.replace(b"\r\n", b""))
                    self.assertTrue(data.isascii())
                    self.assertGreater(data.count(b"\r\n"), 15)
            self.assertIn(b"MIT License", archive.read(folder + "LICENSE.txt"))
            readme = archive.read(folder + "README.txt")
            self.assertIn(b"Vista", readme)
            # The project's version, not a copy of it that could go stale.
            self.assertTrue(readme.startswith(b"hungscan " + VERSION.encode() + b"\r\n"), readme[:40])
            self.assertNotIn(b"@", readme)


if __name__ == "__main__":
    unittest.main(verbosity=2)
