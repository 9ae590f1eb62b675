"""Cursor iteration: Cache.scan and Cache.scan_iter, and SCAN over RESP.

The guarantee: a full iteration returns every key that exists for the whole
iteration at least once, while other keys come and go and shard tables grow
and shrink between calls."""

import random
import threading
import time

import pytest

from mevora import _mevora
from resp_client import Client, Err


def full_scan(c, **kwargs):
    out = []
    cursor = 0
    while True:
        cursor, keys = c.scan(cursor, **kwargs)
        out.extend(keys)
        if cursor == 0:
            return out


@pytest.mark.parametrize("shards", [1, 4, 64])
def test_keys_present_throughout_are_returned_while_tables_resize(shards):
    rnd = random.Random(shards)
    c = _mevora.Cache(shards=shards)
    stable = {b"stable:%d" % i for i in range(10 * shards + 100)}
    for k in stable:
        c.set(k, b"v")
    ever = set(stable)
    churn = []
    serial = 0
    for iteration in range(3):
        returned = set()
        cursor, calls = 0, 0
        while True:
            cursor, keys = c.scan(cursor, count=rnd.randint(1, 4 * shards))
            returned.update(keys)
            calls += 1
            # Grow every table several times over, then drain it again.
            if (calls // 4) % 2 == 0:
                for _ in range(rnd.randrange(100 * shards)):
                    serial += 1
                    churn.append(b"churn:%d" % serial)
                    ever.add(churn[-1])
                    c.set(churn[-1], b"v")
            else:
                for _ in range(min(len(churn), rnd.randrange(100 * shards))):
                    i = rnd.randrange(len(churn))
                    churn[i], churn[-1] = churn[-1], churn[i]
                    assert c.delete(churn.pop()) == 1
            if cursor == 0:
                break
        assert stable <= returned, f"iteration {iteration} missed {sorted(stable - returned)[:5]}"
        assert returned <= ever


def test_scan_iter_under_concurrent_writers(big):
    stable = {b"stable:%d" % i for i in range(2000)}
    big.mset({k: b"v" for k in stable})
    stop = threading.Event()

    def writer(seed):
        rnd = random.Random(seed)
        while not stop.is_set():
            n = rnd.randrange(5000)
            big.mset({b"w%d:%d" % (seed, i): b"x" for i in range(n)})
            big.delete(*[b"w%d:%d" % (seed, i) for i in range(n)])

    threads = [threading.Thread(target=writer, args=(s,)) for s in range(2)]
    for t in threads:
        t.start()
    try:
        for count in (None, 3, 50):
            assert stable <= set(big.scan_iter(count=count))
    finally:
        stop.set()
        for t in threads:
            t.join()


def test_a_quiet_iteration_returns_each_key_once(big):
    keys = {b"k%d" % i for i in range(3000)}
    big.mset({k: b"v" for k in keys})
    for count in (1, 10, 1000):
        found = full_scan(big, count=count)
        assert len(found) == len(keys) and set(found) == keys
    assert sorted(big.scan_iter()) == sorted(keys)


def test_match_and_type_filter(cache):
    cache.set("user:1", "a")
    cache.set("user:2", "b")
    cache.set("order:1", "c")
    cache.rpush("user:list", "x")
    cache.hset("user:hash", "f", "v")
    cache.sadd("user:set", "m")
    cache.set("user:due", "v", px=1)
    assert sorted(full_scan(cache, match="user:[0-9]")) == [b"user:1", b"user:2"]
    assert sorted(full_scan(cache, match=b"*:1")) == [b"order:1", b"user:1"]
    by_kind = {
        "string": [b"order:1", b"user:1", b"user:2"],
        "list": [b"user:list"],
        "hash": [b"user:hash"],
        "set": [b"user:set"],
    }
    time.sleep(0.01)  # user:due has expired: never returned
    for kind, expected in by_kind.items():
        assert sorted(full_scan(cache, type=kind)) == expected
        assert sorted(cache.scan_iter(type=kind)) == expected
    assert sorted(cache.scan_iter(match="user:*", type="string")) == [b"user:1", b"user:2"]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"cursor": -1}, OverflowError, None),
        ({"cursor": 2**64}, OverflowError, None),
        ({"cursor": "0"}, TypeError, "argument 'cursor'"),
        ({"count": 0}, ValueError, "count must be a positive integer"),
        ({"count": True}, ValueError, "count must be a positive integer"),
        ({"match": 5}, TypeError, "argument 'match': expected str, bytes or None, not int"),
        ({"type": "zset"}, ValueError, "type must be 'string', 'list', 'hash' or 'set'"),
        ({"type": b"set"}, TypeError, "argument 'type'"),
        ({"bogus": 1}, TypeError, "bogus"),
    ],
)
def test_argument_errors(cache, kwargs, error, message):
    with pytest.raises(error) as info:
        cache.scan(**kwargs)
    if message:
        assert message in str(info.value)
    if "cursor" not in kwargs:
        with pytest.raises(error):
            cache.scan_iter(**kwargs)


def test_garbage_and_foreign_cursors_end_or_continue(cache):
    cache.mset({b"k%d" % i: b"v" for i in range(100)})
    # A shard index past this cache's single shard: the iteration ends.
    assert cache.scan(2**64 - 1) == (0, [])
    assert cache.scan(5) == (0, [])
    # A cursor from another (closed) cache with more shards.
    other = _mevora.Cache(shards=64)
    other.mset({b"o%d" % i: b"v" for i in range(100)})
    cursor, _ = other.scan(0)
    other.close()
    for _ in range(10_000):
        cursor, keys = cache.scan(cursor)
        assert set(keys) <= {b"k%d" % i for i in range(100)}
        if cursor == 0:
            break
    assert cursor == 0
    # Random cursors within the shard: the iteration goes on and ends.
    rnd = random.Random(3)
    for _ in range(100):
        cursor = rnd.getrandbits(64) & ~0xFFFF
        for _ in range(10_000):
            cursor, _ = cache.scan(cursor)
            if cursor == 0:
                break
        assert cursor == 0


def test_scan_iter_keeps_its_cache_alive_and_is_lazy():
    c = _mevora.Cache(shards=4)
    c.mset({b"k%d" % i: b"v" for i in range(500)})
    it = c.scan_iter(count=1)
    first = next(it)
    c.delete(first)
    del c  # the iterator holds the cache
    rest = list(it)
    assert first not in rest and len(rest) == 499
    assert list(it) == []  # exhausted stays exhausted


# ---- over RESP -------------------------------------------------------------------


def scan_all(k, *options):
    out, cursor = [], b"0"
    while True:
        reply = k.call("SCAN", cursor, *options)
        assert isinstance(reply, list) and len(reply) == 2, reply
        cursor, keys = reply
        assert isinstance(cursor, bytes) and cursor.isdigit()
        out.extend(keys)
        if cursor == b"0":
            return out


def test_scan_command(server):
    with Client(server.port) as k:
        assert k.call("SCAN", "0") == [b"0", []]
        for i in range(200):
            k.call("SET", "key:%d" % i, "v")
        k.call("RPUSH", "list:1", "x")
        k.call("HSET", "hash:1", "f", "v")
        assert sorted(scan_all(k)) == sorted([b"key:%d" % i for i in range(200)] + [b"list:1", b"hash:1"])
        assert sorted(scan_all(k, "MATCH", "key:1?")) == sorted(b"key:1%d" % i for i in range(10))
        assert scan_all(k, "TYPE", "list") == [b"list:1"]
        assert scan_all(k, "type", "hash", "match", "*:1", "COUNT", "1000") == [b"hash:1"]
        reply = k.call("SCAN", "0", "COUNT", "5")
        assert reply[0] != b"0" and len(reply[1]) <= 40
        # A garbage cursor ends the iteration.
        assert k.call("SCAN", str(2**64 - 1)) == [b"0", []]


@pytest.mark.parametrize(
    "args, reply",
    [
        (["SCAN"], Err("ERR wrong number of arguments for 'scan' command")),
        (["SCAN", "x"], Err("ERR invalid cursor")),
        (["SCAN", "-1"], Err("ERR invalid cursor")),
        (["SCAN", "+1"], Err("ERR invalid cursor")),
        (["SCAN", str(2**64)], Err("ERR invalid cursor")),
        (["SCAN", "0", "COUNT"], Err("ERR syntax error")),
        (["SCAN", "0", "COUNT", "0"], Err("ERR syntax error")),
        (["SCAN", "0", "COUNT", "x"], Err("ERR value is not an integer or out of range")),
        (["SCAN", "0", "NOPE", "1"], Err("ERR syntax error")),
        (["SCAN", "0", "TYPE", "zset"], Err("ERR unknown type name 'zset'")),
        (["SCAN", "0", "MATCH", b"\xff"], Err("ERR invalid pattern")),
    ],
)
def test_scan_command_errors(server, args, reply):
    with Client(server.port) as k:
        assert k.call(*args) == reply
