"""What the private test desktops share: an Xvfb display of their own, picked free, and a record
of every process started on them, each ended by its id on close, whatever happened. Every wait
is bounded."""

import os
import select
import signal
import subprocess
import sys
import threading
import time


class PrivateDesktop:
    def __init__(self, display=None):
        self.xvfb = None
        # Given a display, the desktop shares it and leaves it running; else it starts its own.
        self.display = display
        self.processes = []

    def xvfb_options(self):
        return ("-nolisten", "tcp")

    def open(self):
        try:
            if self.display is None:
                self.xvfb, self.display = start_xvfb(*self.xvfb_options())
            self.prepare()
        except BaseException:
            self.close()
            raise
        return self

    def prepare(self):
        """What a kind of desktop sets up once its display is there."""

    def before_display_closes(self):
        """What a kind of desktop ends once its processes have been ended."""

    def close(self):
        for proc in self.processes:
            kill(proc)
        self.processes = []
        if self.display is not None:
            self.before_display_closes()
        if self.xvfb is not None:
            terminate(self.xvfb)
            self.xvfb = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()

    def spawn(self, argv, env, stdin):
        # Each in a process group of its own, so ending it ends whatever it started.
        group = ({"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP} if sys.platform == "win32"
                 else {"start_new_session": True})
        proc = subprocess.Popen(argv, env=env, stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, **group)
        self.processes.append(proc)
        return proc

    def finish(self, proc, stdin_data, timeout):
        """Waits for a process to end; returns (status, stdout, stderr)."""
        try:
            out, err = proc.communicate(stdin_data, timeout=timeout)
        finally:
            kill(proc)
            self.processes.remove(proc)
        return proc.returncode, out, err

    def await_windows(self, names, timeout=60):
        """Waits until a window whose name begins with each of these exists on the display."""
        env = dict(os.environ, DISPLAY=self.display)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            tree = subprocess.run(["xwininfo", "-root", "-tree"], env=env, capture_output=True, timeout=10).stdout
            if all(b'"' + name in tree for name in names):
                return
            time.sleep(0.2)
        raise RuntimeError("windows did not come up: %r" % (names,))

    def await_ready(self, proc, timeout):
        """Waits for a scene program to say its windows exist."""
        line = read_line(proc.stdout, timeout)
        if line.strip() != b"ready":
            raise RuntimeError("scene did not come up: %r" % line)
        return proc


def start_xvfb(*extra):
    """A private X server on a display nobody uses: (process, ":N")."""
    # -displayfd lets the server pick the display and tell us which.
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", *extra],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        number = read_line(pipe, 20).strip()
    if not number.isdigit():
        terminate(xvfb)
        raise RuntimeError("Xvfb did not report a display")
    return xvfb, ":" + number.decode()


def read_line(stream, timeout):
    """One line from a pipe, or what came before the timeout ran out."""
    if sys.platform == "win32":
        return _in_time(stream.readline, timeout)
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
    if sys.platform == "win32":
        return _in_time(lambda: stream.read1(65536), timeout)
    fd = stream.fileno()
    if not select.select([fd], [], [], max(timeout, 0))[0]:
        return b""
    return os.read(fd, 65536)


def _in_time(read, timeout):
    """Windows cannot wait on a pipe with select: read on a thread, give up at the timeout."""
    result = []
    reader = threading.Thread(target=lambda: result.append(read()), daemon=True)
    reader.start()
    reader.join(max(timeout, 0))
    return result[0] if result else b""


def terminate(proc, grace=5):
    """Asks a server to end, so it removes its socket and lock file; ends it by force after the
    grace period. A stopped server is continued, or it could not act on the request."""
    if proc.poll() is None:
        for sig in (signal.SIGTERM, signal.SIGCONT):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                pass
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            pass
    kill(proc)


def kill(proc):
    """Ends a process and its group by id, and closes the test's ends of its pipes."""
    if proc.poll() is None:
        if sys.platform == "win32":
            subprocess.run(["taskkill", "/F", "/T", "/PID", str(proc.pid)], capture_output=True, timeout=30)
        else:
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
