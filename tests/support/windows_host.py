"""Where the Windows build's end-to-end tests run it. On Windows, on the desktop the tests run
on; anywhere else, on Wine, with a private display and prefix. This is the one place that
chooses: everything else in the tests is the same on both."""

import sys

from transcript import TEXT_INPUT

ON_WINDOWS = sys.platform == "win32"

if ON_WINDOWS:
    import ctypes
    from nativedesk import NativeDesktop as _Desktop, native_path as windows_path  # noqa: F401
    # The system's own programs, 64-bit, started as they are.
    PROGRAM_KINDS = [("win64", None)]
    # A classic Win32 program that Windows 10, Windows 11 and Wine all carry (Windows 11's
    # notepad.exe hands over to the Store Notepad and exits), and the caption of its window.
    CLASSIC_CAPTION = b"About Windows"
    # Captions with bytes above 0x7F mean what the tests think only in code page 1252.
    ANSI_IS_1252 = ctypes.windll.kernel32.GetACP() == 1252
else:
    from winedesk import WINE64, WineDesktop as _Desktop, windows_path  # noqa: F401
    # Wine's own programs in a 32-bit prefix, and in a 64-bit one through the 64-bit loader.
    PROGRAM_KINDS = [("win32", "wine"), ("win64", WINE64)]
    CLASSIC_CAPTION = b"About Wine"  # followed by Wine's version
    ANSI_IS_1252 = True  # the tests' Wine runs in the C locale

CLASSIC_PROGRAM = "winver.exe"
CLASSIC_PATH = b"c:\\windows\\system32\\winver.exe"  # as compared: in lower case


def windows_desktop(work_dir, arch="win32"):
    """A desktop for the Windows build; arch picks Wine's prefix and means nothing on Windows,
    where the system is what it is."""
    return _Desktop(work_dir, arch)


def judged(blocks, paths):
    """The blocks a test may judge. On Wine, every block: the desktop holds only what the test
    started, so anything else is a fault. On a real desktop, other programs' windows (the
    shell's, the runner's) may fail the probe too: only blocks of the programs the test started,
    known by their paths (compared in lower case), are judged; the others are logged. A frozen
    thread there may own a text input window ("MSCTFIME UI") as well as its "Default IME" one:
    such blocks are accepted wherever they come, and logged."""
    if not ON_WINDOWS:
        return blocks
    wanted = {path.lower() for path in paths}
    ours = [block for block in blocks
            if block[1] is not None and block[1].lower() in wanted and block[0] != TEXT_INPUT]
    for block in blocks:
        if block not in ours:
            print("not the test's, not judged: %r" % (block,), file=sys.stderr)
    return ours
