"""A relay in front of a real X display, on a display of its own: every chunk the server sends is
handed to the client a fixed time after it arrived (true latency, not a throughput limit), the
link is closed right after the server's greeting, or the server's replies are rewritten (a
server that says more than it sends)."""

import os
import queue
import select
import socket
import struct
import threading
import time

SOCKET_DIR = "/tmp/.X11-unix"


def free_display():
    for number in range(600, 700):
        if not os.path.exists("%s/X%d" % (SOCKET_DIR, number)) and not os.path.exists("/tmp/.X%d-lock" % number):
            return number
    raise RuntimeError("no free display number")


class Relay:
    """rewrite: called with the major opcode of each request that has a reply and the reply's
    bytes (a bytearray, header and all), which it may change in place; returns whether it did.
    The server's greeting comes first, with None for the opcode. The relay then speaks the
    protocol (little-endian clients only) to pair replies with their requests; rewritten counts
    the replies changed."""

    def __init__(self, target_display, delay=0.0, close_after_greeting=False, rewrite=None):
        self.target = "%s/X%s" % (SOCKET_DIR, target_display.lstrip(":"))
        self.delay = delay
        self.close_after_greeting = close_after_greeting
        self.rewrite = rewrite
        self.rewritten = 0
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
            if self.rewrite is not None:
                link = Link(client, server, users=2)
                opcodes = {}  # by the 16 bits of sequence number a reply carries
                threading.Thread(target=self._requests, args=(client, server, opcodes, link), daemon=True).start()
                threading.Thread(target=self._replies, args=(server, client, opcodes, link), daemon=True).start()
                continue
            link = Link(client, server, users=3 if self.delay else 2)
            threading.Thread(target=self._pump, args=(client, server, 0.0, False, link), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, self.delay, self.close_after_greeting, link),
                             daemon=True).start()

    def _pump(self, source, sink, delay, greeting_only, link):
        """Copies one direction; with a delay, each chunk leaves that long after it came."""
        greeting = b""
        late = queue.Queue()
        if delay:
            threading.Thread(target=self._deliver, args=(late, sink, link), daemon=True).start()
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
                link.leave(source)
            else:
                link.leave(source, sink)

    def _requests(self, client, server, opcodes, link):
        """Passes the client's requests on, noting each one's opcode under its sequence number."""
        try:
            head = receive(client, 12)
            if head[:1] != b"l":
                raise ValueError("a big-endian client")
            name, data = struct.unpack("<HH", head[6:10])
            server.sendall(head + receive(client, pad(name) + pad(data)))
            sequence = 0
            while True:
                request = receive(client, 4)
                length = struct.unpack("<H", request[2:4])[0]
                if length == 0:  # BIG-REQUESTS: the length follows, in 32 bits
                    request += receive(client, 4)
                    length = struct.unpack("<I", request[4:8])[0]
                request += receive(client, 4 * length - len(request))
                sequence = (sequence + 1) & 0xFFFF
                opcodes[sequence] = request[0]
                server.sendall(request)
        except (EOFError, OSError, ValueError):
            pass
        link.leave(client, server)

    def _replies(self, server, client, opcodes, link):
        """Passes the server's greeting, events and errors on, and its replies as rewritten."""
        try:
            greeting = bytearray(receive(server, 8))
            greeting += receive(server, 4 * struct.unpack("<H", greeting[6:8])[0])
            if self.rewrite(None, greeting):
                self.rewritten += 1
            client.sendall(bytes(greeting))
            while True:
                message = bytearray(receive(server, 32))
                kind = message[0] & 0x7F
                if kind in (1, 35):  # a reply, a generic event: more than 32 bytes
                    message += receive(server, 4 * struct.unpack("<I", message[4:8])[0])
                if kind == 1:
                    opcode = opcodes.pop(struct.unpack("<H", message[2:4])[0], None)
                    if opcode is not None and self.rewrite(opcode, message):
                        self.rewritten += 1
                client.sendall(bytes(message))
        except (EOFError, OSError):
            pass
        link.leave(server, client)

    @staticmethod
    def _deliver(late, sink, link):
        while True:
            due, chunk = late.get()
            time.sleep(max(0.0, due - time.monotonic()))
            if chunk is None:
                break
            try:
                sink.sendall(chunk)
            except OSError:
                break
        link.leave(sink)


class Link:
    """A client's two sockets, shared by the threads that serve it. A thread that is done shuts
    its ends down, which wakes the others; only the last one closes them. A socket closed under
    a thread still using it lets that thread shut down or read whatever socket the system hands
    the number to next: the program's next connection, cut before its greeting."""

    def __init__(self, *ends, users):
        self.ends = ends
        self.users = users
        self.lock = threading.Lock()

    def leave(self, *ends):
        for end in ends:
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        with self.lock:
            self.users -= 1
            last = self.users == 0
        if last:
            for end in self.ends:
                end.close()


def pad(size):
    return (size + 3) & ~3


def receive(end, size):
    data = b""
    while len(data) < size:
        chunk = end.recv(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data
