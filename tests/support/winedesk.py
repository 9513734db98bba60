"""A private Wine desktop for tests, with its own Xvfb display and 32-bit prefix.

Every process started here is recorded and ended by its id on close, whatever happened; every
wait is bounded.
"""

import fcntl
import os
import select
import signal
import subprocess
import time

WINE_ENV = {
    "WINEARCH": "win32",
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


class WineDesktop:
    def __init__(self, work_dir):
        self.work_dir = os.path.abspath(work_dir)
        self.prefix = os.path.join(self.work_dir, "wineprefix")
        self.xvfb = None
        self.display = None
        self.processes = []

    # -- lifetime -------------------------------------------------------------------------

    def open(self):
        try:
            self._start_xvfb()
            self._ensure_prefix()
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        for proc in self.processes:
            kill(proc)
        self.processes = []
        if self.display is not None:
            self._wineserver("-k")
            self._wineserver("-w", timeout=15)
        if self.xvfb is not None:
            kill(self.xvfb)
            self.xvfb = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()

    # -- running programs -----------------------------------------------------------------

    def env(self):
        env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "WINELOADERNOEXEC")}
        env.update(WINE_ENV)
        env["WINEPREFIX"] = self.prefix
        env["DISPLAY"] = self.display
        return env

    def start(self, exe, args=(), stdin=subprocess.PIPE):
        proc = subprocess.Popen(["wine", exe, *args], env=self.env(), stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)
        self.processes.append(proc)
        return proc

    def run(self, exe, args=(), stdin_data=None, timeout=60):
        """Runs to the end; returns (status, stdout bytes, stderr bytes)."""
        stdin = subprocess.DEVNULL if stdin_data is None else subprocess.PIPE
        proc = self.start(exe, args, stdin=stdin)
        try:
            out, err = proc.communicate(stdin_data, timeout=timeout)
        finally:
            kill(proc)
            self.processes.remove(proc)
        return proc.returncode, out, err

    def start_scene(self, scene_exe, groups, timeout=60):
        """Starts the scene program and waits until all its windows exist."""
        proc = self.start(scene_exe, groups)
        line = read_line(proc.stdout, timeout)
        if line.strip() != b"ready":
            raise RuntimeError("scene did not come up: %r" % line)
        return proc

    # -- internals ------------------------------------------------------------------------

    def _start_xvfb(self):
        self.xvfb, self.display = start_xvfb()

    def _ensure_prefix(self):
        os.makedirs(self.work_dir, exist_ok=True)
        # One prefix per build folder, made once; parallel test runs wait for each other here.
        with open(os.path.join(self.work_dir, "wineprefix.lock"), "w") as lock:
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


def start_xvfb(*extra):
    """A private X server on a display nobody uses: (process, ":N")."""
    # -displayfd lets the server pick the display and tell us which.
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", *(extra or ("-nolisten", "tcp"))],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        number = read_line(pipe, 20).strip()
    if not number.isdigit():
        kill(xvfb)
        raise RuntimeError("Xvfb did not report a display")
    return xvfb, ":" + number.decode()


def read_line(stream, timeout):
    """One line from a pipe, or what came before the timeout ran out."""
    deadline = time.monotonic() + timeout
    data = b""
    fd = stream.fileno()
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1)
        if not chunk:
            break
        data += chunk
    return data


def read_some(stream, timeout):
    """Whatever a pipe holds once it has anything, or b"" at the timeout or its end."""
    fd = stream.fileno()
    if not select.select([fd], [], [], max(timeout, 0))[0]:
        return b""
    return os.read(fd, 65536)


def kill(proc):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass
