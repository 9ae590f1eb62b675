"""A minimal RESP2 client for the server tests.

Speaks raw bytes over one TCP socket: ``call`` sends a multibulk request and
reads its reply; ``send`` and ``read_reply`` let tests pipeline or send
malformed input. Replies decode to plain values:

- simple string -> ``str``          - error   -> ``Err`` (returned, not raised)
- integer       -> ``int``          - bulk    -> ``bytes``
- null bulk     -> ``None``         - array   -> ``list``
- null array    -> ``None``

Every socket has a timeout, so a reply that never comes fails the test
instead of hanging it.
"""

import socket
from dataclasses import dataclass

TIMEOUT = 10.0


@dataclass(frozen=True)
class Err:
    text: str


class ConnectionClosed(Exception):
    """The server closed the connection before a whole reply arrived."""


def encode(*args):
    """A multibulk request; str arguments are UTF-8 encoded, ints written in decimal."""
    out = [b"*%d\r\n" % len(args)]
    for a in args:
        if isinstance(a, str):
            a = a.encode()
        elif isinstance(a, int):
            a = str(a).encode()
        out.append(b"$%d\r\n%s\r\n" % (len(a), a))
    return b"".join(out)


class Client:
    def __init__(self, port, host="127.0.0.1", timeout=TIMEOUT):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.buf = b""

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        self.sock.sendall(data)

    def call(self, *args):
        self.send(encode(*args))
        return self.read_reply()

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionClosed()
        self.buf += chunk

    def _line(self):
        while b"\r\n" not in self.buf:
            self._fill()
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line

    def _exact(self, n):
        while len(self.buf) < n:
            self._fill()
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def read_reply(self):
        line = self._line()
        kind, rest = line[:1], line[1:]
        if kind == b"+":
            return rest.decode()
        if kind == b"-":
            return Err(rest.decode())
        if kind == b":":
            return int(rest)
        if kind == b"$":
            n = int(rest)
            if n < 0:
                return None
            data = self._exact(n + 2)
            assert data[-2:] == b"\r\n", data[-2:]
            return data[:-2]
        if kind == b"*":
            n = int(rest)
            if n < 0:
                return None
            return [self.read_reply() for _ in range(n)]
        raise AssertionError(f"not a RESP2 reply line: {line!r}")

    def pipeline(self, *commands):
        """Sends every command (a tuple of arguments) at once, then reads
        their replies in order."""
        self.send(b"".join(encode(*c) for c in commands))
        return [self.read_reply() for _ in commands]

    def read_all_until_close(self):
        """Every byte the server sends until it closes (a reset counts as a close)."""
        data, self.buf = self.buf, b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                return data
            if not chunk:
                return data
            data += chunk

    def is_closed_by_server(self):
        """True once the server has closed: EOF (or a reset) with nothing unread."""
        return self.read_all_until_close() == b""


SERVER_THREAD_NAMES = ("mevora-accept", "mevora-conn")


def thread_names():
    """The names of this process's threads (Linux: /proc/self/task/*/comm)."""
    import glob

    names = []
    for path in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(path) as f:
                names.append(f.read().strip())
        except OSError:  # the thread ended meanwhile
            pass
    return names


def server_threads():
    """Names of the server threads (accept and connection) still alive."""
    return [n for n in thread_names() if n in SERVER_THREAD_NAMES]
