"""The journal's native protocol as a test receives it: a datagram socket of the test's own,
mounted where libsystemd looks for it in a mount namespace of the program's (unshare -m, as
root, the way CI runs)."""

import os
import shutil
import socket
import struct


def usable():
    return os.geteuid() == 0 and shutil.which("unshare") is not None


def entry(datagram):
    """One entry of the native protocol: KEY=VALUE lines, or KEY, a 64-bit length and the bytes."""
    fields, rest = {}, datagram
    while rest:
        line, sep, after = rest.partition(b"\n")
        if b"=" in line:
            key, _, value = line.partition(b"=")
            fields[key.decode()] = value.decode()
            rest = after
        else:
            size = struct.unpack("<Q", after[:8])[0]
            fields[line.decode()] = after[8:8 + size].decode()
            rest = after[8 + size + 1:]
    return fields


def in_namespace(journal_dir, argv):
    """argv with the journal's socket folder mounted where libsystemd looks for it."""
    script = ('mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal && '
              'mount --bind "$0" /run/systemd/journal && exec "$@"')
    return ["unshare", "-m", "sh", "-c", script, journal_dir, *argv]


def listen(test, folder):
    """The journal's socket in folder, closed when the test ends."""
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind(os.path.join(folder, "socket"))
    receiver.settimeout(0.2)
    test.addCleanup(receiver.close)
    return receiver


def received(receiver):
    """Every entry sent so far, in order."""
    entries = []
    while True:
        try:
            entries.append(entry(receiver.recv(65536)))
        except socket.timeout:
            return entries
