"""A private headless Wayland desktop for tests: its own runtime folder, session bus and weston
compositor, no X display. The accessibility bus that the session bus starts on demand, and its
registry, are found through the buses before anything is ended, and ended by id with the rest.
Every wait is bounded."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from desktop import PrivateDesktop, kill, read_line

BUSCTL_TIMEOUT = "--timeout=2"


class WaylandDesktop(PrivateDesktop):
    def __init__(self, socket="hungscan-wl", activatable=True):
        super().__init__(display="")  # no X server of its own
        self.socket = socket
        self.activatable = activatable  # whether the session bus can start the accessibility bus
        self.runtime = None
        self.bus = None
        self.weston = None

    def open(self):
        try:
            self.runtime = tempfile.mkdtemp(prefix="hungscan-wl-")
            os.chmod(self.runtime, 0o700)
            os.mkdir(os.path.join(self.runtime, "home"))
            config = ["--session"] if self.activatable else ["--config-file=" + self._serviceless_config()]
            self.bus = self.spawn(["dbus-daemon", *config, "--nofork", "--print-address=1",
                                   "--address=unix:path=" + os.path.join(self.runtime, "bus")],
                                  self.env(), subprocess.DEVNULL)
            if not read_line(self.bus.stdout, 20).startswith(b"unix:"):
                raise RuntimeError("the session bus did not come up")
            self.weston = self.spawn(["weston", "--backend=headless-backend.so", "--socket=" + self.socket,
                                      "--idle-time=0"], self.env(), subprocess.DEVNULL)
            self._await(lambda: os.path.exists(os.path.join(self.runtime, self.socket)), "weston")
        except BaseException:
            self.close()
            raise
        return self

    def _serviceless_config(self):
        """A session bus's configuration that knows no service to start."""
        os.mkdir(os.path.join(self.runtime, "services"))
        path = os.path.join(self.runtime, "bus.conf")
        with open(path, "w") as f:
            f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"'
                    ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                    "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                    "<servicedir>%s</servicedir><policy context=\"default\"><allow send_destination=\"*\"/>"
                    "<allow own=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n" % os.path.join(self.runtime, "services"))
        return path

    def env(self, display=None):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS",
                            "AT_SPI_BUS_ADDRESS", "NO_AT_BRIDGE", "GTK_A11Y")}
        env.update(XDG_RUNTIME_DIR=self.runtime, WAYLAND_DISPLAY=self.socket,
                   DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(self.runtime, "bus"),
                   GDK_BACKEND="wayland", QT_QPA_PLATFORM="wayland", GSK_RENDERER="cairo",
                   GSETTINGS_BACKEND="memory", HOME=os.path.join(self.runtime, "home"),
                   XDG_CONFIG_HOME=os.path.join(self.runtime, "home"))
        return env

    def start(self, argv, env=None, stdin=subprocess.DEVNULL):
        return self.spawn(argv, env if env is not None else self.env(), stdin)

    def run(self, argv, env=None, timeout=120):
        """Runs to the end with input at end of file; returns (status, stdout, stderr)."""
        return self.finish(self.start(argv, env=env), None, timeout)

    def busctl(self, *args, bus=None):
        address = bus or self.env()["DBUS_SESSION_BUS_ADDRESS"]
        return subprocess.run(["busctl", "--address=" + address, BUSCTL_TIMEOUT, *args],
                              capture_output=True, timeout=10).stdout.decode()

    def accessibility_bus(self):
        """The accessibility bus's address, starting it if need be; None when it cannot start."""
        reply = self.busctl("call", "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress")
        match = re.match(r's "(.*)"', reply)
        return match.group(1) if match else None

    def registered(self):
        """The bus names of the applications the registry lists."""
        bus = self.accessibility_bus()
        if bus is None:
            return []
        reply = self.busctl("call", "org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                            "org.a11y.atspi.Accessible", "GetChildren", bus=bus)
        return re.findall(r'"(:[0-9.]+)"', reply)

    def await_registered(self, count, timeout=30):
        self._await(lambda: len(self.registered()) >= count, "%d applications on the accessibility bus" % count,
                    timeout)

    def _activated_pids(self):
        """The bus launcher and registry, which activation reparented to init."""
        pids = []
        reply = self.busctl("call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "GetConnectionUnixProcessID", "s", "org.a11y.Bus")
        pids += [int(n) for n in re.findall(r"^u (\d+)", reply)]
        match = re.match(r's "(.*)"', self.busctl("call", "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                   "GetAddress")) if pids else None
        if match:
            bus = match.group(1)
            for name in ("org.a11y.atspi.Registry", "org.freedesktop.DBus"):
                reply = self.busctl("call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s", name, bus=bus)
                pids += [int(n) for n in re.findall(r"^u (\d+)", reply)]
        return [pid for pid in pids if pid > 1]

    def close(self):
        activated = []
        if self.bus is not None and self.bus.poll() is None:
            try:
                activated = self._activated_pids()
            except (OSError, subprocess.SubprocessError):
                pass
        for proc in self.processes:
            try:
                os.killpg(proc.pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
            kill(proc)
        self.processes = []
        for pid in activated:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.runtime is not None:
            shutil.rmtree(self.runtime, ignore_errors=True)
            self.runtime = None

    @staticmethod
    def _await(ready, what, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if ready():
                return
            time.sleep(0.1)
        raise RuntimeError("did not come up: " + what)
