"""A private X desktop for tests: its own Xvfb display, optionally a window manager.

Every process started here is recorded and ended by its id on close, whatever happened; every
wait is bounded.
"""

import os
import subprocess
import tempfile
import time

from winedesk import kill, read_line, start_xvfb


class XDesktop:
    def __init__(self, window_manager=False, tcp=False):
        self.window_manager = window_manager
        self.tcp = tcp
        self.xvfb = None
        self.display = None
        self.processes = []
        self.home = None

    def open(self):
        try:
            # Over TCP the server cannot vouch for a client's process; -ac lets the test's clients
            # in without a cookie (the machine has no network beyond loopback).
            extra = ("-listen", "tcp", "-ac") if self.tcp else ("-nolisten", "tcp")
            self.xvfb, self.display = start_xvfb(*extra)
            if self.window_manager:
                self._start_window_manager()
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        for proc in self.processes:
            kill(proc)
        self.processes = []
        if self.xvfb is not None:
            kill(self.xvfb)
            self.xvfb = None
        if self.home is not None:
            self.home.cleanup()
            self.home = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()

    def env(self, display=None):
        env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "XAUTHORITY")}
        env["DISPLAY"] = display or self.display
        if self.home is not None:
            env["HOME"] = self.home.name
        return env

    def start(self, argv, user=None, display=None, stdin=subprocess.PIPE, env=None):
        if user is not None:
            argv = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups", "--", *argv]
        proc = subprocess.Popen(argv, env=env if env is not None else self.env(display), stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        self.processes.append(proc)
        return proc

    def run(self, argv, user=None, env=None, timeout=120):
        """Runs to the end with input at end of file; returns (status, stdout, stderr)."""
        proc = self.start(argv, user=user, stdin=subprocess.DEVNULL, env=env)
        try:
            out, err = proc.communicate(timeout=timeout)
        finally:
            kill(proc)
            self.processes.remove(proc)
        return proc.returncode, out, err

    def start_scene(self, scene, groups, user=None, display=None, timeout=60):
        proc = self.start([scene, *groups], user=user, display=display)
        line = read_line(proc.stdout, timeout)
        if line.strip() != b"ready":
            raise RuntimeError("scene did not come up: %r %r" % (line, proc.stderr.read1(4096)))
        return proc

    def _start_window_manager(self):
        # Its own HOME, so no user configuration comes into play.
        self.home = tempfile.TemporaryDirectory(prefix="hungscan-wm-")
        self.start(["openbox", "--sm-disable"], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            check = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env(),
                                   capture_output=True, timeout=10)
            if b"window id" in check.stdout:
                return
            time.sleep(0.1)
        raise RuntimeError("the window manager did not come up")
