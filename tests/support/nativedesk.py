"""The Windows build's tests on Windows itself: the programs run straight on the user's desktop,
with no Wine, no prefix and no private display. Processes are still recorded and ended by id."""

import ctypes
import os
import subprocess
import time

from desktop import PrivateDesktop

THREAD_SUSPEND_RESUME = 0x0002


class NativeDesktop(PrivateDesktop):
    def __init__(self, work_dir=None, arch=None):
        super().__init__()

    def open(self):
        return self  # the desktop the tests are run on

    def env(self):
        return dict(os.environ)

    def command(self, exe, args=(), loader=None):
        return [exe, *args]

    def start(self, exe, args=(), stdin=subprocess.PIPE, loader=None):
        return self.spawn(self.command(exe, args), self.env(), stdin)

    def run(self, exe, args=(), stdin_data=None, timeout=60):
        stdin = subprocess.DEVNULL if stdin_data is None else subprocess.PIPE
        return self.finish(self.start(exe, args, stdin=stdin), stdin_data, timeout)

    def start_scene(self, scene_exe, groups, timeout=60):
        return self.await_ready(self.start(scene_exe, groups), timeout)

    def await_windows(self, names, timeout=60):
        find = ctypes.windll.user32.FindWindowA
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if all(find(None, name) for name in names):
                return
            time.sleep(0.2)
        raise RuntimeError("windows did not come up: %r" % (names,))

    def processes_of(self, launcher, word):
        return [launcher.pid]  # started directly: the launcher is the program

    def _window_threads(self, pids):
        """The threads that own the processes' top-level windows."""
        user32 = ctypes.windll.user32
        threads = set()
        pid = ctypes.c_ulong()

        @ctypes.WINFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
        def each(hwnd, _):
            thread = user32.GetWindowThreadProcessId(ctypes.c_void_p(hwnd), ctypes.byref(pid))
            if pid.value in pids:
                threads.add(thread)
            return 1

        user32.EnumWindows(each, None)
        if not threads:
            raise OSError("no window of processes %r" % (pids,))
        return threads

    def _each_thread(self, pids, call):
        kernel32 = ctypes.windll.kernel32
        for thread in self._window_threads(pids):
            handle = kernel32.OpenThread(THREAD_SUSPEND_RESUME, False, thread)
            if not handle:
                raise OSError("cannot open thread %d" % thread)
            try:
                getattr(kernel32, call)(handle)
            finally:
                kernel32.CloseHandle(handle)

    # A hang is a GUI thread that stops taking messages: suspend that thread. Suspending the
    # whole process would look like the system's own freeze of a paused app, which is not a hang.
    def freeze(self, pids):
        self._each_thread(pids, "SuspendThread")

    def resume(self, pids):
        self._each_thread(pids, "ResumeThread")

    def kill_processes(self, pids):
        for pid in pids:
            subprocess.run(["taskkill", "/F", "/PID", str(pid)], capture_output=True, timeout=30)


def native_path(path):
    return os.path.realpath(path)
