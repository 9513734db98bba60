"""Where the Windows build's end-to-end tests run it. On Windows, on the desktop the tests run
on; anywhere else, on Wine, with a private display and prefix. This is the one place that
chooses: everything else in the tests is the same on both."""

import sys

ON_WINDOWS = sys.platform == "win32"

if ON_WINDOWS:
    from nativedesk import NativeDesktop as _Desktop, native_path as windows_path  # noqa: F401
    # The system's own programs, 64-bit, started as they are.
    PROGRAM_KINDS = [("win64", None)]
else:
    from winedesk import WINE64, WineDesktop as _Desktop, windows_path  # noqa: F401
    # Wine's own programs in a 32-bit prefix, and in a 64-bit one through the 64-bit loader.
    PROGRAM_KINDS = [("win32", "wine"), ("win64", WINE64)]


def windows_desktop(work_dir, arch="win32"):
    """A desktop for the Windows build; arch picks Wine's prefix and means nothing on Windows,
    where the system is what it is."""
    return _Desktop(work_dir, arch)
