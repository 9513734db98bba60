"""A private Wine desktop for tests: its own Xvfb display and its own prefix, 32-bit unless asked
for a 64-bit one."""

import fcntl
import os
import signal
import subprocess

from desktop import PrivateDesktop

# Wine's own 64-bit loader: /usr/bin/wine picks the 32-bit one whenever it is installed.
WINE64 = "/usr/lib/wine/wine64"

WINE_ENV = {
    "WINEDEBUG": "-all",
    # No Mono or Gecko installers: there is nothing to fetch them from, and nothing needs them.
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    # The ANSI code page follows the locale; fix it so caption bytes mean the same every run.
    "LC_ALL": "C",
    "LANG": "C",
}


def windows_path(unix_path):
    """The path a Wine process sees for a Linux file: drive Z: is the Linux root."""
    return "Z:" + os.path.realpath(unix_path).replace("/", "\\")


class WineDesktop(PrivateDesktop):
    def __init__(self, work_dir, arch="win32", display=None):
        super().__init__(display)
        self.work_dir = os.path.abspath(work_dir)
        self.arch = arch
        self.prefix = os.path.join(self.work_dir, "wineprefix" if arch == "win32" else "wineprefix-" + arch)

    def prepare(self):
        self._ensure_prefix()

    def before_display_closes(self):
        self._wineserver("-k")
        self._wineserver("-w", timeout=15)

    def env(self):
        env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "WINELOADERNOEXEC")}
        env.update(WINE_ENV)
        env["WINEARCH"] = self.arch
        env["WINEPREFIX"] = self.prefix
        env["DISPLAY"] = self.display
        return env

    def command(self, exe, args=(), loader="wine"):
        return [loader, exe, *args]

    def start(self, exe, args=(), stdin=subprocess.PIPE, loader="wine"):
        return self.spawn(self.command(exe, args, loader), self.env(), stdin)

    def processes_of(self, launcher, word):
        """The processes started from a launcher whose command line holds the word: Wine runs a
        program in a process of its own, beside the loader that was started."""
        pids = []
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                    if os.getsid(int(entry)) == launcher.pid and word in cmdline.read().lower():
                        pids.append(int(entry))
            except OSError:
                pass  # gone meanwhile
        return pids

    def freeze(self, pids):
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)

    def resume(self, pids):
        for pid in pids:
            os.kill(pid, signal.SIGCONT)

    def kill_processes(self, pids):
        for pid in pids:
            os.kill(pid, signal.SIGKILL)

    def run(self, exe, args=(), stdin_data=None, timeout=60):
        """Runs to the end; returns (status, stdout bytes, stderr bytes)."""
        stdin = subprocess.DEVNULL if stdin_data is None else subprocess.PIPE
        return self.finish(self.start(exe, args, stdin=stdin), stdin_data, timeout)

    def start_scene(self, scene_exe, groups, timeout=60):
        """Starts the scene program and waits until all its windows exist."""
        return self.await_ready(self.start(scene_exe, groups), timeout)

    def _ensure_prefix(self):
        os.makedirs(self.work_dir, exist_ok=True)
        # One prefix per build folder, made once; parallel test runs wait for each other here.
        with open(self.prefix + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            done = os.path.join(self.prefix, ".hungscan-ready")
            if os.path.exists(done):
                return
            subprocess.run(["wineboot", "-i"], env=self.env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180,
                           check=True)
            # The registry reaches the disk when the server ends; end it now rather than
            # waiting for it to time out.
            self._wineserver("-k")
            self._wineserver("-w", timeout=60)
            open(done, "w").close()

    def _wineserver(self, flag, timeout=30):
        try:
            subprocess.run(["wineserver", flag], env=self.env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
        except subprocess.TimeoutExpired:
            pass
