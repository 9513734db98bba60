"""A relay in front of a real X display, on a display of its own: every chunk the server sends is
handed to the client a fixed time after it arrived (true latency, not a throughput limit), or
the link is closed right after the server's greeting."""

import os
import queue
import select
import socket
import threading
import time

SOCKET_DIR = "/tmp/.X11-unix"


def free_display():
    for number in range(600, 700):
        if not os.path.exists("%s/X%d" % (SOCKET_DIR, number)) and not os.path.exists("/tmp/.X%d-lock" % number):
            return number
    raise RuntimeError("no free display number")


class Relay:
    def __init__(self, target_display, delay=0.0, close_after_greeting=False):
        self.target = "%s/X%s" % (SOCKET_DIR, target_display.lstrip(":"))
        self.delay = delay
        self.close_after_greeting = close_after_greeting
        self.number = free_display()
        self.display = ":%d" % self.number
        self.path = "%s/X%d" % (SOCKET_DIR, self.number)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(16)
        self.closed = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.closed.set()
        self.listener.close()
        if os.path.exists(self.path):
            os.unlink(self.path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _accept(self):
        while not self.closed.is_set():
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            server.connect(self.target)
            threading.Thread(target=self._pump, args=(client, server, 0.0, False), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, self.delay, self.close_after_greeting),
                             daemon=True).start()

    def _pump(self, source, sink, delay, greeting_only):
        """Copies one direction; with a delay, each chunk leaves that long after it came."""
        greeting = b""
        late = queue.Queue()
        if delay:
            threading.Thread(target=self._deliver, args=(late, sink), daemon=True).start()
        try:
            while not self.closed.is_set():
                if not select.select([source], [], [], 0.5)[0]:
                    continue
                chunk = source.recv(65536)
                if not chunk:
                    break
                if greeting_only:
                    greeting += chunk
                    # The greeting is 8 bytes and then as many 4-byte units as bytes 6-7 say.
                    if len(greeting) >= 8:
                        size = 8 + 4 * int.from_bytes(greeting[6:8], "little")
                        if len(greeting) >= size:
                            sink.sendall(greeting[:size])
                            break
                    continue
                if delay:
                    late.put((time.monotonic() + delay, chunk))
                else:
                    sink.sendall(chunk)
        except OSError:
            pass
        finally:
            if delay:
                # The delivering side closes the sink, once it has sent what came before.
                late.put((time.monotonic() + delay, None))
                close(source)
            else:
                close(source, sink)

    @staticmethod
    def _deliver(late, sink):
        while True:
            due, chunk = late.get()
            time.sleep(max(0.0, due - time.monotonic()))
            if chunk is None:
                break
            try:
                sink.sendall(chunk)
            except OSError:
                break
        close(sink)


def close(*ends):
    for end in ends:
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        end.close()
