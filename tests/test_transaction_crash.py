"""SIGKILL of a server process in the middle of a stream of multi-key
transactions, under each fsync policy, then a restart: every transaction is
in the recovered keyspace wholly or not at all, and every acknowledged one
is there."""

import os
import random
import signal
import subprocess
import sys
import threading

import pytest

from mevora import Cache
from resp_client import Client, ConnectionClosed, encode

SERVE = """
import sys, time
from mevora import Cache, Server
cache = Cache(persist_dir=sys.argv[1], fsync=sys.argv[2], snapshot_interval=1, shards=16)
server = Server(cache, port=0)
server.start()
print(server.port, flush=True)
while True:
    time.sleep(1)
"""


def transaction(i):
    """Transaction i: five keys of every kind, changed together."""
    return [("MULTI",), ("SET", f"a{i}", i), ("SET", f"b{i}", i), ("RPUSH", "log", i), ("INCR", "total"),
            ("SADD", "members", i), ("EXEC",)]


def serve(directory, policy):
    child = subprocess.Popen([sys.executable, "-c", SERVE, str(directory), policy], stdout=subprocess.PIPE, text=True)
    port = int(child.stdout.readline())
    return child, port


def stream_until_killed(port, child, first, rng):
    """Sends transactions from number `first` on in pipelined batches until
    the child is killed at a random moment; returns the numbers whose EXEC
    reply arrived and the next unused number."""
    acknowledged = []
    timer = threading.Timer(rng.uniform(0.05, 0.4), lambda: child.send_signal(signal.SIGKILL))
    timer.start()
    i = first
    try:
        with Client(port) as c:
            while True:
                batch = list(range(i, i + rng.randint(1, 20)))
                i = batch[-1] + 1
                c.send(b"".join(encode(*cmd) for n in batch for cmd in transaction(n)))
                for n in batch:
                    replies = [c.read_reply() for _ in transaction(n)]
                    assert replies[-1][:2] == ["OK", "OK"], replies
                    acknowledged.append(n)
    except (ConnectionClosed, ConnectionResetError, BrokenPipeError):
        pass
    finally:
        timer.join()
        child.wait(10)
    return acknowledged, i


def check_whole(cache, sent, acknowledged):
    log = [int(x) for x in cache.lrange("log", 0, -1)]
    members = {int(x) for x in cache.smembers("members")}
    present = set(log)
    assert len(log) == len(present)
    for n in range(sent):
        parts = [cache.get(f"a{n}") is not None, cache.get(f"b{n}") is not None, n in present, n in members]
        assert all(parts) or not any(parts), (n, parts)
    assert present == members
    assert set(acknowledged) <= present
    assert int(cache.get("total") or 0) == len(present)


@pytest.mark.parametrize("policy", ["always", "everysec", "never"])
def test_transactions_survive_a_kill_whole_or_not_at_all(tmp_path, policy):
    rng = random.Random(f"{policy}-{os.getpid()}")
    acknowledged = []
    sent = 0
    for _ in range(3):
        child, port = serve(tmp_path, policy)
        acked, sent = stream_until_killed(port, child, sent, rng)
        acknowledged += acked
        cache = Cache(persist_dir=tmp_path, snapshot_interval=0)
        try:
            check_whole(cache, sent, acknowledged)
        finally:
            cache.close()
    assert acknowledged, "no transaction was acknowledged before the kills"
