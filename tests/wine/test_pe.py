"""What the built hungscan.exe is, read from the file: a 32-bit console program with ASLR and
DEP, stripped, that imports only DLLs every Windows has and carries an asInvoker manifest; and
the ZIP that Windows users download, when it has been made (cpack)."""

import os
import re
import subprocess
import unittest
import xml.etree.ElementTree as ET
import zipfile

EXE = os.environ.get("HUNGSCAN_EXE", "")
ZIP = os.environ.get("HUNGSCAN_ZIP", "")
OBJDUMP = os.environ.get("HUNGSCAN_OBJDUMP") or "i686-w64-mingw32-objdump"

IMAGE_FILE_MACHINE_I386 = "i386"
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
SUBSYSTEM_WINDOWS_CUI = 3
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "psapi.dll", "msvcrt.dll"}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


def objdump(*flags):
    return subprocess.run([OBJDUMP, *flags, EXE], capture_output=True, text=True, check=True,
                          timeout=60).stdout


class Executable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(EXE):
            raise RuntimeError("HUNGSCAN_EXE does not name a file: %r" % EXE)
        cls.headers = objdump("-p")
        cls.file_header = objdump("-f")

    def field(self, name):
        match = re.search(r"^%s\s+(\S+)" % name, self.headers, re.M)
        self.assertIsNotNone(match, name)
        return int(match.group(1), 16)

    def test_is_a_32_bit_console_program(self):
        self.assertIn("file format pei-i386", self.file_header)
        self.assertIn("architecture: %s" % IMAGE_FILE_MACHINE_I386, self.file_header)
        self.assertEqual(self.field("Magic"), 0x10B)  # PE32, not PE32+
        self.assertEqual(self.field("Subsystem"), SUBSYSTEM_WINDOWS_CUI)

    def test_has_aslr_and_dep(self):
        flags = self.field("DllCharacteristics")
        self.assertTrue(flags & DYNAMIC_BASE, hex(flags))
        self.assertTrue(flags & NX_COMPAT, hex(flags))
        # ASLR moves the image only if it can be relocated.
        self.assertIn("HAS_RELOC", self.file_header)

    def test_imports_only_system_dlls(self):
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.headers)}
        self.assertTrue(dlls, "no imports found")
        self.assertLessEqual(dlls, SYSTEM_DLLS)

    def test_is_stripped(self):
        self.assertIn("no symbols", objdump("-t"))

    def test_carries_one_asinvoker_manifest(self):
        listing = subprocess.run(["wrestool", "-l", EXE], capture_output=True, text=True,
                                 check=True, timeout=60).stdout
        manifests = [line for line in listing.splitlines() if "--type=24" in line]
        self.assertEqual(len(manifests), 1, listing)
        self.assertIn("--name=1", manifests[0])

        raw = subprocess.run(["wrestool", "--raw", "-x", "-t", "24", "-n", "1", EXE],
                             capture_output=True, check=True, timeout=60).stdout
        root = ET.fromstring(raw)
        self.assertEqual(root.tag, ASM_V1 + "assembly")
        levels = root.findall(".//%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                              % (ASM_V3, ASM_V3, ASM_V3, ASM_V3))
        self.assertEqual(len(levels), 1, raw)
        self.assertEqual(levels[0].get("level"), "asInvoker")
        self.assertEqual(levels[0].get("uiAccess"), "false")


if __name__ == "__main__":
    unittest.main(verbosity=2)


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
            self.assertIn(b"Vista", archive.read(folder + "README.txt"))
