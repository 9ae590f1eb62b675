"""A minimal RESP2/RESP3 client for the server tests.

Speaks raw bytes over one TCP socket: ``call`` sends a multibulk request and
reads its reply; ``send`` and ``read_reply`` let tests pipeline or send
malformed input; ``call_raw`` returns the exact bytes of one reply. Replies
decode to plain values:

- simple string -> ``str``          - error   -> ``Err`` (returned, not raised)
- integer       -> ``int``          - bulk    -> ``bytes``
- null bulk     -> ``None``         - array   -> ``list`` (null array: ``None``)

and, after a connection switched to RESP3 with HELLO 3:

- null ``_``    -> ``None``         - map ``%``    -> ``dict``
- set ``~``     -> ``Set3`` (a list in wire order, to tell it from an array)
- double ``,``  -> ``float``        - boolean ``#`` -> ``bool``

The handshake helpers at the end open a connection the way client libraries
in use today do (HELLO 3 with or without a fallback, or AUTH), so tests can
follow each handshake with the same traffic.

Every socket has a timeout, so a reply that never comes fails the test
instead of hanging it.
"""

import socket
from dataclasses import dataclass

TIMEOUT = 10.0


@dataclass(frozen=True)
class Err:
    text: str


class Set3(list):
    """A RESP3 set reply, in the order it came on the wire."""


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

    def send_until_refused(self, data):
        """Sends data the server may refuse part-way: once it has replied
        and closed, the rest of a large send meets a broken pipe or a reset,
        and what it sent stays readable."""
        try:
            self.sock.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def call(self, *args):
        self.send(encode(*args))
        return self.read_reply()

    def call_raw(self, *args):
        """The exact bytes of the reply to one request."""
        self.send(encode(*args))
        return self.read_raw_reply()

    def read_raw_reply(self):
        """The exact bytes of the next reply (read through read_reply)."""
        self._raw = []
        try:
            self.read_reply()
        finally:
            raw, self._raw = b"".join(self._raw), None
        return raw

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionClosed()
        self.buf += chunk

    _raw = None  # while read_raw_reply runs: the consumed pieces

    def _line(self):
        while b"\r\n" not in self.buf:
            self._fill()
        line, _, self.buf = self.buf.partition(b"\r\n")
        if self._raw is not None:
            self._raw.append(line + b"\r\n")
        return line

    def _exact(self, n):
        while len(self.buf) < n:
            self._fill()
        data, self.buf = self.buf[:n], self.buf[n:]
        if self._raw is not None:
            self._raw.append(data)
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
            return None if n < 0 else [self.read_reply() for _ in range(n)]
        if kind == b"_":
            assert rest == b"", line
            return None
        if kind == b"%":
            pairs = [(self.read_reply(), self.read_reply()) for _ in range(int(rest))]
            return dict(pairs)
        if kind == b"~":
            return Set3(self.read_reply() for _ in range(int(rest)))
        if kind == b",":
            return float(rest)
        if kind == b"#":
            assert rest in (b"t", b"f"), line
            return rest == b"t"
        raise AssertionError(f"not a RESP reply line: {line!r}")

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


# ---- handshakes ---------------------------------------------------------------
#
# Each returns the protocol the connection speaks afterwards (2 or 3) and
# fails the test when the server answers what no client would accept.


def read_until_close(sock):
    """Everything until the server closes; (bytes, whether it was a reset)."""
    data = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            return data, True
        if not chunk:
            return data, False
        data += chunk


def hello_args(protover, password):
    args = ["HELLO", str(protover)]
    if password is not None:
        args += ["AUTH", "default", password]
    return args


def handshake_hello3(k, password=None):
    """HELLO 3 [AUTH default pw] with no fallback: RESP3 or a failed test."""
    props = k.call(*hello_args(3, password))
    assert isinstance(props, dict), props
    assert props[b"proto"] == 3 and props[b"server"] == b"mevora", props
    return 3


def handshake_hello_fallback(k, password=None, protover=3):
    """HELLO protover [AUTH default pw]; on "unknown command" or NOPROTO,
    AUTH pw (when there is a password) and RESP2."""
    reply = k.call(*hello_args(protover, password))
    if isinstance(reply, Err):
        assert reply.text.startswith(("ERR unknown command", "NOPROTO")), reply
        return handshake_auth(k, password)
    assert isinstance(reply, dict if protover == 3 else list), reply
    return protover


def handshake_auth(k, password=None):
    """AUTH pw (when there is a password), then RESP2."""
    if password is not None:
        assert k.call("AUTH", password) == "OK"
    return 2


HANDSHAKES = {
    "hello3": handshake_hello3,
    "hello-fallback": handshake_hello_fallback,
    "hello-noproto-fallback": lambda k, password=None: handshake_hello_fallback(k, password, protover=4),
    "auth": handshake_auth,
}


def set_client_info(k, lib_name="mevora-tests", lib_ver="1.0"):
    """What clients send right after the handshake."""
    assert k.call("CLIENT", "SETINFO", "LIB-NAME", lib_name) == "OK"
    assert k.call("CLIENT", "SETINFO", "LIB-VER", lib_ver) == "OK"


def ordinary_traffic(k, protocol, prefix="t:"):
    """A mix of everyday commands whose decoded replies must match the
    protocol the handshake settled on."""
    key = prefix + "k"
    assert k.call("PING") == "PONG"
    assert k.call("SET", key, "v", "EX", 100) == "OK"
    assert k.call("GET", key) == b"v"
    assert k.call("GET", prefix + "missing") is None
    assert k.call("SETNX", key, "w") == 0
    assert k.call("SET", key, "w", "GET", "KEEPTTL") == b"v"
    assert 0 < k.call("TTL", key) <= 100
    assert k.call("INCR", prefix + "n") == 1
    assert k.call("MGET", key, prefix + "missing") == [b"w", None]
    assert k.call("HSET", prefix + "h", "f", "1", "g", "2") == 2
    hash_reply = k.call("HGETALL", prefix + "h")
    assert k.call("SADD", prefix + "s", "a", "b") == 2
    set_reply = k.call("SMEMBERS", prefix + "s")
    if protocol == 3:
        assert hash_reply == {b"f": b"1", b"g": b"2"}
        assert isinstance(set_reply, Set3) and sorted(set_reply) == [b"a", b"b"]
    else:
        assert dict(zip(hash_reply[::2], hash_reply[1::2])) == {b"f": b"1", b"g": b"2"}
        assert type(set_reply) is list and sorted(set_reply) == [b"a", b"b"]
    assert k.call("GETDEL", key) == b"w"
    assert k.call("UNLINK", prefix + "n", prefix + "h", prefix + "s") == 3
    assert k.call("EXISTS", key) == 0


def library_helpers(k, protocol, prefix="u:"):
    """What the everyday helpers of a client library send: a scan iteration
    (SCAN with MATCH and COUNT until the cursor is 0), type, rename, absolute
    expiry, float counters, hash field counters and reading the server's
    settings."""
    names = [prefix + "k%d" % i for i in range(30)]
    assert k.call("MSET", *[x for n in names for x in (n, "v")]) == "OK"
    cursor, seen = b"0", set()
    for _ in range(1000):
        cursor, keys = k.call("SCAN", cursor, "MATCH", prefix + "k*", "COUNT", 7)
        seen.update(keys)
        if cursor == b"0":
            break
    assert seen == {n.encode() for n in names}
    assert k.call("TYPE", names[0]) == "string"
    assert k.call("TYPE", prefix + "missing") == "none"
    assert k.call("RENAME", names[0], prefix + "renamed") == "OK"
    assert k.call("RENAME", names[0], prefix + "x") == Err("ERR no such key")
    assert k.call("EXPIREAT", prefix + "renamed", 4_000_000_000) == 1
    assert k.call("EXPIRETIME", prefix + "renamed") == 4_000_000_000
    assert k.call("INCRBYFLOAT", prefix + "f", "2.5") == b"2.5"
    h = prefix + "h"
    assert k.call("HINCRBY", h, "views", 3) == 3
    assert k.call("HINCRBYFLOAT", h, "score", "1.5") == b"1.5"
    assert k.call("HMGET", h, "views", "nope") == [b"3", None]
    assert k.call("HEXISTS", h, "views") == 1
    settings = k.call("CONFIG", "GET", "maxmemory*")
    if protocol == 2:
        settings = dict(zip(settings[::2], settings[1::2]))
    assert settings == {b"maxmemory": b"0", b"maxmemory-policy": b"noeviction"}
    assert k.call("DEL", prefix + "renamed", prefix + "f", h, *names[1:]) == 32


def transactional_pipeline(k, protocol, prefix="p:"):
    """What a client's default pipeline sends: MULTI, the commands, EXEC,
    all in one write (a cache backend's set_many: MSET plus an expiry per
    key), with every reply read afterwards."""
    a, b = prefix + "a", prefix + "b"
    replies = k.pipeline(
        ("MULTI",),
        ("MSET", a, "1", b, "2"),
        ("EXPIRE", a, 100),
        ("EXPIRE", b, 100),
        ("INCR", a),
        ("HSET", prefix + "h", "f", "v"),
        ("HGETALL", prefix + "h"),
        ("GET", prefix + "missing"),
        ("EXEC",),
    )
    assert replies[0] == "OK"
    assert replies[1:8] == ["QUEUED"] * 7
    hash_reply = {b"f": b"v"} if protocol == 3 else [b"f", b"v"]
    assert replies[8] == ["OK", 1, 1, 2, 1, hash_reply, None]
    assert k.call("MGET", a, b) == [b"2", b"2"]
    assert 0 < k.call("TTL", b) <= 100


def watch_increment(k, key):
    """One optimistic increment: WATCH, GET, MULTI, SET to the value read
    plus one, EXEC; retried while a concurrent change aborts it. Returns the
    number of attempts."""
    attempts = 0
    while True:
        attempts += 1
        assert k.call("WATCH", key) == "OK"
        value = int(k.call("GET", key) or 0)
        assert k.call("MULTI") == "OK"
        assert k.call("SET", key, value + 1) == "QUEUED"
        if k.call("EXEC") is not None:  # None: the null array, a watched key changed
            return attempts


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
