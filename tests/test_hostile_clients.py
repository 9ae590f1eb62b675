"""Hostile clients against a running server on loopback: a thousand
connections at once, clients that announce huge requests and go silent,
random bytes, a reader that takes its replies one byte at a time, one that
stops reading while the server is stopped, and disconnects in the middle of
every part of a request.

Throughout each hostile phase a checker thread runs SET/GET round trips on
its own connection; it must never see an error and must still make progress
when the phase ends. Afterwards the connection threads of the hostile
clients are gone, their descriptors are closed once the next accepted
connection has reaped them, and memory is back near where it started.

Memory is read from /proc/self/status: the server runs in this process.
"""

import errno
import os
import random
import resource
import socket
import struct
import threading
import warnings

import pytest

from resp_client import Client, encode, read_until_close, server_threads, thread_names
from server_checker import WAIT_S, checking, wait_until

MIB = 1 << 20
# Under AddressSanitizer (tools/sanitize/asan_pytest.sh) the memory figures
# are the sanitizer's own: quarantined frees, shadow memory and the mappings
# of its allocator. The footprint checks are skipped there; every other
# check still runs.
UNDER_ASAN = "ASAN_OPTIONS" in os.environ


# ---- process state ----------------------------------------------------------------


def status_bytes(field):
    """A kB figure of /proc/self/status (such as VmRSS), in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise AssertionError(f"no {field} in /proc/self/status")


def writable_mappings():
    """Start address -> size of every writable private mapping that is not a
    file (anonymous memory, the brk heap), from /proc/self/maps."""
    out = {}
    with open("/proc/self/maps") as f:
        for line in f:
            parts = line.split()
            path = parts[5] if len(parts) > 5 else ""
            if not parts[1].startswith("rw") or (path and not path.startswith("[")):
                continue
            lo, hi = (int(x, 16) for x in parts[0].split("-"))
            out[lo] = hi - lo
    return out


def largest_mapping_growth(before):
    """The most any one writable mapping grew (or measures, if new) since
    before. Reserving memory shows here even if it is never touched."""
    after = writable_mappings()
    return max((size - before.get(lo, 0) for lo, size in after.items()), default=0)


def thread_stack_size():
    """The default stack size of new threads: the stack limit, or 2 MiB
    when it is unlimited."""
    soft = resource.getrlimit(resource.RLIMIT_STACK)[0]
    return 2 * MIB if soft == resource.RLIM_INFINITY else soft


def conn_threads():
    return thread_names().count("mevora-conn")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def server_side_unread(server_port, client_ports):
    """Bytes the server has not yet read from each listed client, from
    /proc/net/tcp (the receive queue of the server's end of each connection)."""
    unread = {}
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            parts = line.split()
            local, remote, queues = parts[1], parts[2], parts[4]
            if int(local.split(":")[1], 16) != server_port:
                continue
            peer = int(remote.split(":")[1], 16)
            if peer in client_ports:
                unread[peer] = int(queues.split(":")[1], 16)
    return unread


def wait_all_read(server_port, socks):
    """Waits until the server has taken every byte sent on socks."""
    ports = {s.getsockname()[1] for s in socks}

    def drained():
        unread = server_side_unread(server_port, ports)
        return len(unread) == len(ports) and not any(unread.values())

    wait_until(drained, "the server reads what was sent")


def settle(server, threads_before, fds_before):
    """After the hostile clients closed: their threads end, and the next
    accepted connection reaps them, closing the descriptors the server kept
    for them."""
    with Client(server.port) as first:
        # Accepts are first in, first out: once this one is answered, every
        # earlier connection has been accepted and has its thread.
        assert first.call("PING") == "PONG"
        wait_until(lambda: conn_threads() == threads_before + 1, "connection threads end")
        with Client(server.port) as second:  # accepted: the finished ones are reaped
            assert second.call("PING") == "PONG"
            assert conn_threads() == threads_before + 2
            # Per open connection: the client end, the server's socket, its
            # read duplicate and the registry's duplicate.
            assert open_fds() == fds_before + 8


def connect(port, rcvbuf=None):
    s = socket.socket()
    s.settimeout(WAIT_S)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", port))
    return s


def abort(sock):
    """Closes with a reset instead of an orderly end of stream."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def close_or_abort(sock, i):
    """Odd i: a reset; even i: an orderly close."""
    if i % 2:
        abort(sock)
    else:
        sock.close()


# ---- many connections ------------------------------------------------------------


def connection_budget(wanted):
    """How many connections the descriptor limit allows (each costs this
    process four descriptors: the client end and three on the server side),
    raising the soft limit towards the hard one first. Returns the count and
    the limit to restore."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = open_fds() + 4 * wanted + 64
    if soft != resource.RLIM_INFINITY and soft < need:
        raised = need if hard == resource.RLIM_INFINITY else min(hard, need)
        resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
    limit = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    if limit == resource.RLIM_INFINITY or limit >= need:
        return wanted, soft
    allowed = max(10, (limit - open_fds() - 64) // 4)
    warnings.warn(f"descriptor limit {limit} allows only {allowed} of {wanted} connections")
    return allowed, soft


def test_a_thousand_concurrent_connections_are_served_and_reaped(server):
    count, old_soft = connection_budget(1000)
    try:
        with checking(server.port):
            threads_before, fds_before, rss_before = conn_threads(), open_fds(), status_bytes("VmRSS")
            clients = []
            try:
                for i in range(count):
                    clients.append(connect(server.port))
                    if i % 64 == 63:
                        # Accepts are first in, first out: once this one is
                        # answered, the batch has left the listen backlog
                        # (an overflowing backlog costs a 1 s SYN retry).
                        clients[-1].sendall(b"PING\r\n")
                        assert clients[-1].recv(16) == b"+PONG\r\n"
                # Every connection has its own live thread: all are answered.
                for c in clients:
                    c.sendall(b"PING\r\n")
                for c in clients:
                    assert c.recv(16) == b"+PONG\r\n"
                assert conn_threads() == threads_before + count
            finally:
                for i, c in enumerate(clients):
                    close_or_abort(c, i)
            settle(server, threads_before, fds_before)
            assert UNDER_ASAN or status_bytes("VmRSS") - rss_before < 64 * MIB
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (old_soft, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


# ---- huge announcements, then silence ------------------------------------------------

STALLS = [
    b"*1048576\r\n",  # the largest count, no element follows
    b"*1\r\n$536870912\r\n",  # the largest length, no payload follows
    b"*2\r\n$3\r\nSET\r\n$536870912\r\npartial",
    b"*1048576\r\n" + b"$1\r\nx\r\n" * 2000 + b"$536870912\r\n",  # past the count cap
    b"*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$536870912\r\n" + b"y" * 200000,  # past the payload cap
]
STALLED_CLIENTS = 20


def test_stalled_huge_requests_reserve_little_and_block_no_one(server):
    with checking(server.port) as checker:
        threads_before, fds_before = conn_threads(), open_fds()
        rss_before, mappings_before = status_bytes("VmRSS"), writable_mappings()
        stalled = [connect(server.port) for _ in range(STALLED_CLIENTS)]
        try:
            for i, s in enumerate(stalled):
                s.sendall(STALLS[i % len(STALLS)])
            wait_all_read(server.port, stalled)
            assert conn_threads() == threads_before + STALLED_CLIENTS
            assert checker.wait_rounds(20)
            with Client(server.port) as other:
                for i in range(50):
                    assert other.call("SET", f"other{i}", "v") == "OK"
                assert other.call("GET", "other49") == b"v"
            # Received bytes (about 0.5 MiB in all) plus the capped
            # reservations (64 KiB of payload and 1024 argument slots per
            # request) plus thread stacks: far below the limit.
            assert UNDER_ASAN or status_bytes("VmRSS") - rss_before < 64 * MIB
            # Nor is the announced size reserved untouched: no mapping grew
            # by the 32 MiB of a million argument slots or the 512 MiB of a
            # payload (a new thread stack is the largest expected, and
            # malloc's heaps grow with use).
            assert UNDER_ASAN or largest_mapping_growth(mappings_before) < thread_stack_size() + 16 * MIB
        finally:
            for s in stalled:
                s.close()
        settle(server, threads_before, fds_before)
        assert UNDER_ASAN or status_bytes("VmRSS") - rss_before < 64 * MIB


# ---- random bytes --------------------------------------------------------------------

SAFE_REQUESTS = [
    encode("SET", "fz", "value"), encode("GET", "fz"), encode("HSET", "fh", "f", "v"),
    encode("RPUSH", "fl", "a", "b"), encode("SADD", "fs", "m"), encode("ECHO", "x" * 300),
    b"PING\r\n", b"GET fz\r\n", b"SET fz 'a b'\r\n",
]


def hostile_stream(rng):
    """One client's bytes: pure noise, valid requests with bytes flipped,
    inserted or cut, or a multibulk skeleton built from random pieces."""
    flavour = rng.randrange(3)
    if flavour == 0:
        return rng.randbytes(rng.randint(1, 12000))
    if flavour == 1:
        data = bytearray(b"".join(rng.choice(SAFE_REQUESTS) for _ in range(rng.randint(1, 40))))
        for _ in range(rng.randint(1, 8)):
            pos = rng.randrange(len(data))
            action = rng.randrange(3)
            if action == 0:
                data[pos] = rng.randrange(256)
            elif action == 1:
                data[pos:pos] = rng.randbytes(rng.randint(1, 4))
            else:
                del data[pos : pos + rng.randint(1, 4)]
        return bytes(data)
    pieces = [b"*", b"$", b"\r\n", b"\n", b"\r", b"-", b"+", b"0", b"1", b"3", b"65536", b"999999999999999999999", b"x"]
    return b"*" + b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 200)))


def parse_replies(data):
    """Splits well-formed RESP2 replies off data; returns (replies, rest)
    where rest is an incomplete tail. Malformed output fails the test."""
    replies, pos = [], 0

    def line(p):
        end = data.find(b"\r\n", p)
        return (None, p) if end < 0 else (data[p:end], end + 2)

    def one(p):
        text, q = line(p)
        if text is None:
            return None, p
        kind, rest = text[:1], text[1:]
        assert kind in (b"+", b"-", b":", b"$", b"*"), f"not a reply line: {text!r}"
        if kind in (b"+", b"-"):
            return text, q
        n = int(rest)
        if kind == b":":
            return n, q
        if kind == b"$":
            if n < 0:
                return None, q
            if len(data) < q + n + 2:
                return None, p
            assert data[q + n : q + n + 2] == b"\r\n"
            return data[q : q + n], q + n + 2
        items = []
        for _ in range(n):
            item, q2 = one(q)
            if q2 == q:
                return None, p
            items.append(item)
            q = q2
        return items, q

    while True:
        reply, nxt = one(pos)
        if nxt == pos:
            return replies, data[pos:]
        replies.append(reply)
        pos = nxt


def is_protocol_error(reply):
    return isinstance(reply, bytes) and reply.startswith(b"-ERR Protocol error: ")


def hostile_client(port, stream, rng_seed, results):
    """Sends stream in random pieces, ends its side, and reads until the
    server closes; appends (stream, what came back, whether it was reset) or
    the exception that stopped it."""
    rng = random.Random(rng_seed)
    try:
        with connect(port) as s:
            try:
                pos = 0
                while pos < len(stream):
                    step = rng.randint(1, 3000)
                    s.sendall(stream[pos : pos + step])
                    pos += step
                s.shutdown(socket.SHUT_WR)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the server closed on a protocol error first
            except OSError as e:
                if e.errno != errno.ENOTCONN:  # reset before the shutdown
                    raise
            data, reset = read_until_close(s)
            results.append((stream, data, reset))
    except Exception as e:  # noqa: BLE001 - reported by the test
        results.append((stream, e, None))


def test_random_bytes_from_many_clients(server):
    rng = random.Random(0x5EED)
    streams = [hostile_stream(rng) for _ in range(96)]
    with checking(server.port):
        threads_before, fds_before = conn_threads(), open_fds()
        rss_before = status_bytes("VmRSS")
        results = []
        for batch in range(0, len(streams), 16):
            workers = [
                threading.Thread(target=hostile_client, args=(server.port, streams[i], i, results))
                for i in range(batch, batch + 16)
            ]
            for w in workers:
                w.start()
            for w in workers:
                w.join(WAIT_S * 2)
                assert not w.is_alive(), "a hostile client was never closed"
        assert len(results) == len(streams)
        for stream, data, reset in results:
            assert not isinstance(data, Exception), (stream[:200], data)
            replies, rest = parse_replies(data)
            # Whole replies only (a reset may cut the last one short), and a
            # protocol error is the last thing said.
            assert rest == b"" or reset, (stream[:200], rest[:200])
            errors = [i for i, r in enumerate(replies) if is_protocol_error(r)]
            assert errors in ([], [len(replies) - 1]), (stream[:200], replies)
        settle(server, threads_before, fds_before)
        assert UNDER_ASAN or status_bytes("VmRSS") - rss_before < 64 * MIB


# ---- a slow reader ---------------------------------------------------------------------


def queued_towards(server_port, sock):
    """Reply bytes the kernel holds between the server and sock: the server
    end's send queue plus sock's unread receive queue (/proc/net/tcp)."""
    port = sock.getsockname()[1]
    total = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            parts = line.split()
            local = int(parts[1].split(":")[1], 16)
            remote = int(parts[2].split(":")[1], 16)
            tx, rx = (int(q, 16) for q in parts[4].split(":"))
            if (local, remote) == (server_port, port):
                total += tx
            elif (local, remote) == (port, server_port):
                total += rx
    return total


def gets_to_block(reply_size):
    """How many pipelined replies of reply_size keep the server's thread
    blocked in send: the kernel's send buffer grows up to tcp_wmem's
    maximum, and the reader's receive buffer is small."""
    with open("/proc/sys/net/ipv4/tcp_wmem") as f:
        send_buffer_max = int(f.read().split()[2])
    return send_buffer_max // reply_size + 3


def test_a_slow_reader_does_not_hold_up_others(server):
    big = random.Random(7).randbytes(MIB)
    with Client(server.port) as setup:
        assert setup.call("SET", "big", big) == "OK"
    reply = b"$%d\r\n%s\r\n" % (len(big), big)
    gets = gets_to_block(len(reply))
    expected = reply * gets
    with checking(server.port):
        slow = connect(server.port, rcvbuf=4096)
        try:
            slow.sendall(encode("GET", "big") * gets)
            got = bytearray()
            while len(got) < 256 * 1024:
                chunk = slow.recv(1)
                assert chunk, "the server closed the slow reader"
                got += chunk
                if len(got) % (32 * 1024) == 1:
                    # Others read and rewrite the very key being sent and are
                    # answered in full...
                    with Client(server.port) as other:
                        assert other.call("GET", "big") == big
                        assert other.call("SET", "big", big) == "OK"
                        assert other.call("SET", "small", len(got)) == "OK"
                        assert other.call("GET", "small") == b"%d" % len(got)
                    # ...while the server still holds replies for the slow
                    # reader that the kernel has not taken yet.
                    assert len(got) + queued_towards(server.port, slow) < len(expected)
            while len(got) < len(expected):
                chunk = slow.recv(65536)
                assert chunk, "the server closed the slow reader"
                got += chunk
            assert bytes(got) == expected
        finally:
            slow.close()


def test_stop_ends_a_connection_blocked_sending(server):
    big = random.Random(8).randbytes(MIB)
    with Client(server.port) as setup:
        assert setup.call("SET", "big", big) == "OK"
    reply = b"$%d\r\n%s\r\n" % (len(big), big)
    gets = gets_to_block(len(reply))
    stalled = connect(server.port, rcvbuf=4096)
    try:
        with checking(server.port):
            stalled.sendall(encode("GET", "big") * gets)  # and never read
            wait_until(lambda: queued_towards(server.port, stalled) >= MIB, "the server sends")
        stopper = threading.Thread(target=server.stop)
        stopper.start()
        stopper.join(WAIT_S)
        assert not stopper.is_alive(), "stop waits for a thread blocked in send"
        assert server_threads() == []
        # What arrived is a prefix of the replies, cut short by the stop.
        data, _ = read_until_close(stalled)
        assert len(data) < len(reply) * gets
        assert data == (reply * gets)[: len(data)]
    finally:
        stalled.close()


# ---- disconnects in the middle of a request -------------------------------------------

# Requests cut short after every prefix: their "*" header, the count, each
# "$" header, payload and terminator, an inline line; a payload longer than
# the input buffer (cut around the buffer's size); and a huge announced
# payload (cut anywhere, itself included, since it never completes).
MID_REQUESTS = [
    (encode("SET", "mid", "value"), False),
    (encode("HSET", "midh", "field", "v"), False),
    (b"SET mid 'a b'\r\n", False),
    (encode("SET", "mid", b"z" * 20000), False),
    (b"*3\r\n$3\r\nSET\r\n$3\r\nmid\r\n$536870912\r\nabc", True),
]


def prefix_lengths(data, include_whole):
    end = len(data) + (1 if include_whole else 0)
    if len(data) <= 200:
        return range(1, end)
    header = data.index(b"z")
    edges = {header + d for d in range(-2, 3)} | {header + k * 8192 + d for k in (1, 2) for d in (-1, 0, 1)}
    return sorted(set(range(1, header)) | edges | set(range(len(data) - 3, end)))


def test_disconnects_mid_request_leave_nothing_behind(server):
    with checking(server.port):
        threads_before, fds_before = conn_threads(), open_fds()
        rss_before = status_bytes("VmRSS")
        n = 0
        for data, include_whole in MID_REQUESTS:
            for cut in prefix_lengths(data, include_whole):
                s = connect(server.port)
                s.sendall(data[:cut])
                close_or_abort(s, n)
                n += 1
        settle(server, threads_before, fds_before)
        # No partial request ran.
        with Client(server.port) as k:
            assert k.call("EXISTS", "mid", "midh") == 0
        assert UNDER_ASAN or status_bytes("VmRSS") - rss_before < 32 * MIB
