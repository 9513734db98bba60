"""A private X desktop for tests: its own Xvfb display, optionally a window manager."""

import os
import subprocess
import tempfile
import time

from desktop import PrivateDesktop


class XDesktop(PrivateDesktop):
    def __init__(self, window_manager=False, tcp=False, auth=None):
        super().__init__()
        self.window_manager = window_manager
        self.tcp = tcp
        self.auth = auth  # an authority file: only clients with one of its cookies get in
        self.home = None
        self.window_manager_process = None

    def xvfb_options(self):
        # Over TCP the server cannot vouch for a client's process; -ac lets the test's clients
        # in without a cookie (the machine has no network beyond loopback).
        options = ("-listen", "tcp", "-ac") if self.tcp else ("-nolisten", "tcp")
        # By default the server starts over whenever its last client leaves, cutting off whoever
        # is connecting just then (a test's second connection, a window manager polled for by
        # short-lived clients). A real desktop always has clients, so it never does.
        options += ("-noreset",)
        return options + (("-auth", self.auth) if self.auth else ())

    def prepare(self):
        if self.window_manager:
            self._start_window_manager()

    def close(self):
        super().close()
        if self.home is not None:
            self.home.cleanup()
            self.home = None

    def env(self, display=None):
        env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "XAUTHORITY")}
        env["DISPLAY"] = display or self.display
        if self.home is not None:
            env["HOME"] = self.home.name
        return env

    def start(self, argv, user=None, display=None, stdin=subprocess.PIPE, env=None):
        if user is not None:
            argv = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups", "--", *argv]
        return self.spawn(argv, env if env is not None else self.env(display), stdin)

    def run(self, argv, user=None, env=None, timeout=120):
        """Runs to the end with input at end of file; returns (status, stdout, stderr)."""
        return self.finish(self.start(argv, user=user, stdin=subprocess.DEVNULL, env=env), None, timeout)

    def start_scene(self, scene, groups, user=None, display=None, timeout=60):
        return self.await_ready(self.start([scene, *groups], user=user, display=display), timeout)

    def await_managed(self, count, timeout=60):
        """Waits until the window manager manages at least count client windows: a window it is
        still taking into a frame is in neither place a scan looks."""
        deadline = time.monotonic() + timeout
        listing = b""
        while time.monotonic() < deadline:
            listing = subprocess.run(["xprop", "-root", "_NET_CLIENT_LIST"], env=self.env(),
                                     capture_output=True, timeout=10).stdout
            if listing.count(b"0x") >= count:
                return
            time.sleep(0.1)
        manager = self.window_manager_process
        raise RuntimeError("the window manager did not take %d windows in (it %s; %r)" % (
            count, "runs" if manager is not None and manager.poll() is None else "is not running", listing))

    def restart_window_manager(self):
        """Every frame destroyed and made anew, the clients left as they are."""
        subprocess.run(["openbox", "--restart"], env=self.env(), capture_output=True, timeout=10)

    def _start_window_manager(self):
        # Its own HOME, so no user configuration comes into play.
        self.home = tempfile.TemporaryDirectory(prefix="hungscan-wm-")
        self.window_manager_process = self.start(["openbox", "--sm-disable"], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            check = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env(),
                                   capture_output=True, timeout=10)
            if b"window id" in check.stdout:
                return
            time.sleep(0.1)
        raise RuntimeError("the window manager did not come up")
