"""The second group of key and string operations (type, rename, renamenx,
expireat, pexpireat, expiretime, pexpiretime, touch, randomkey, strlen,
getrange, setrange, msetnx, incrbyfloat, getex), run through both worlds
with the same table of cases: as Cache methods and as RESP commands on a
server over the same cache. Results are brought to one form (integers for
counts and flags, bytes for values, an error class for failures) so each
case states one expectation for both."""

import random
import threading
import time

import pytest

from mevora import Cache, Server
from resp_client import Client, Err

WRONG = "wrongtype"
NOFLOAT = "notfloat"
NOINT = "notinteger"
NOKEY = "nosuchkey"
TOOBIG = "toolarge"
OVER = "overflow"

ERROR_TEXTS = {
    WRONG: "WRONGTYPE Operation against a key holding the wrong kind of value",
    NOFLOAT: "ERR value is not a valid float",
    NOINT: "ERR value is not an integer or out of range",
    NOKEY: "ERR no such key",
    TOOBIG: "ERR string exceeds maximum allowed size (512 MiB)",
    OVER: "ERR increment or decrement would overflow",
}


def error_class(text):
    for name, full in ERROR_TEXTS.items():
        if full.split(" ", 1)[1] in text:
            return name
    raise AssertionError(f"unexpected error text {text!r}")


class CacheWorld:
    name = "cache"

    def __init__(self, cache):
        self.cache = cache

    def run(self, op, *args):
        try:
            if op == "msetnx":
                r = self.cache.msetnx(dict(zip(args[::2], args[1::2])))
            elif op == "incrbyfloat":
                r = self.cache.incrbyfloat(args[0], float(args[1]))
            elif op == "getex":
                r = self.cache.getex(args[0], **{k.lower(): (v if k != "PERSIST" else True) for k, v in _pairs(args[1:])})
            else:
                r = getattr(self.cache, op)(*args)
        except (TypeError, ValueError, KeyError) as e:
            return ("error", error_class(str(e)))
        if op == "rename" and r is None:
            return "OK"
        if isinstance(r, bool):
            return int(r)
        if isinstance(r, float):
            return r
        return r


def _pairs(options):
    """GETEX options as (name, value) pairs: PERSIST stands alone."""
    out, i = [], 0
    while i < len(options):
        if options[i] == "PERSIST":
            out.append(("PERSIST", True))
            i += 1
        else:
            out.append((options[i], options[i + 1]))
            i += 2
    return out


class RespWorld:
    name = "resp"

    def __init__(self, client, cache):
        self.client = client
        self.cache = cache

    def run(self, op, *args):
        r = self.client.call(op.upper(), *args)
        if isinstance(r, Err):
            return ("error", error_class(r.text))
        if op == "incrbyfloat":
            return float(r)
        if op == "type":
            return r
        return r


@pytest.fixture(scope="module")
def shared():
    cache = Cache(shards=4)
    server = Server(cache, port=0)
    server.start()
    client = Client(server.port)
    yield cache, client
    client.close()
    server.stop()
    cache.close()


@pytest.fixture(params=["cache", "resp"])
def world(request, shared):
    cache, client = shared
    cache.flush()
    return CacheWorld(cache) if request.param == "cache" else RespWorld(client, cache)


def fill(cache):
    """One key of every kind."""
    cache.set("s", "hello")
    cache.hset("h", "f", "v")
    cache.rpush("l", "a", "b")
    cache.sadd("z", "m")


CASES = [
    # type
    ("type", ("s",), "string"),
    ("type", ("h",), "hash"),
    ("type", ("l",), "list"),
    ("type", ("z",), "set"),
    ("type", ("missing",), "none"),
    # strlen
    ("strlen", ("s",), 5),
    ("strlen", ("missing",), 0),
    ("strlen", ("h",), ("error", WRONG)),
    # getrange: negative indexes count from the end, both clamped
    ("getrange", ("s", 0, 1), b"he"),
    ("getrange", ("s", -3, -1), b"llo"),
    ("getrange", ("s", 1, 100), b"ello"),
    ("getrange", ("s", -100, 1), b"he"),
    ("getrange", ("s", 3, 1), b""),
    ("getrange", ("s", 10, 20), b""),
    ("getrange", ("missing", 0, -1), b""),
    ("getrange", ("l", 0, -1), ("error", WRONG)),
    # setrange
    ("setrange", ("s", 1, "EL"), 5),
    ("setrange", ("s", 7, "!"), 8),
    ("setrange", ("new", 2, "x"), 3),
    ("setrange", ("missing", 0, ""), 0),
    ("setrange", ("s", 100, ""), 5),
    ("setrange", ("s", 512 * 1024 * 1024, "x"), ("error", TOOBIG)),
    ("setrange", ("z", 0, "x"), ("error", WRONG)),
    # touch: repeats count each time
    ("touch", ("s", "h", "missing", "s"), 3),
    ("touch", ("missing",), 0),
    # incrbyfloat
    ("incrbyfloat", ("f", "1.5"), 1.5),
    ("incrbyfloat", ("s", "1"), ("error", NOFLOAT)),
    ("incrbyfloat", ("h", "1"), ("error", WRONG)),
    # msetnx: all or none
    ("msetnx", ("a", "1", "b", "2"), 1),
    ("msetnx", ("a", "1", "s", "2"), 0),
    # rename and renamenx
    ("rename", ("s", "t"), "OK"),
    ("rename", ("s", "s"), "OK"),
    ("rename", ("missing", "t"), ("error", NOKEY)),
    ("renamenx", ("s", "t"), 1),
    ("renamenx", ("s", "h"), 0),
    ("renamenx", ("s", "s"), 0),
    ("renamenx", ("missing", "t"), ("error", NOKEY)),
    # expiry
    ("expiretime", ("s",), -1),
    ("expiretime", ("missing",), -2),
    ("pexpiretime", ("missing",), -2),
    ("expireat", ("missing", 4_000_000_000), 0),
    ("expireat", ("s", 4_000_000_000), 1),
    ("pexpireat", ("s", 1), 1),
    ("expireat", ("s", -5), 1),
    # getex
    ("getex", ("s",), b"hello"),
    ("getex", ("missing", "EX", 10), None),
    ("getex", ("s", "PERSIST"), b"hello"),
    ("getex", ("l",), ("error", WRONG)),
]


@pytest.mark.parametrize("op, args, expected", CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_same_result_in_both_worlds(world, op, args, expected):
    fill(world.cache)
    assert world.run(op, *args) == expected


# What each write leaves behind, read back through the Cache.
EFFECTS = [
    ("setrange", ("s", 1, "EL"), lambda c: c.get("s") == b"hELlo"),
    ("setrange", ("new", 2, "x"), lambda c: c.get("new") == b"\0\0x"),
    ("setrange", ("missing", 0, ""), lambda c: not c.exists("missing")),
    ("msetnx", ("a", "1", "s", "2"), lambda c: not c.exists("a") and c.get("s") == b"hello"),
    ("msetnx", ("a", "1", "b", "2"), lambda c: c.mget(["a", "b"]) == [b"1", b"2"]),
    ("rename", ("h", "s"), lambda c: c.hgetall("s") == {b"f": b"v"} and not c.exists("h")),
    ("rename", ("l", "l2"), lambda c: c.lrange("l2", 0, -1) == [b"a", b"b"] and not c.exists("l")),
    ("rename", ("z", "z2"), lambda c: c.smembers("z2") == {b"m"} and c.type("z") == "none"),
    ("renamenx", ("s", "h"), lambda c: c.get("s") == b"hello" and c.hget("h", "f") == b"v"),
    ("pexpireat", ("s", 1), lambda c: not c.exists("s")),
    ("getex", ("s", "PX", 50_000), lambda c: 40_000 < c.pttl("s") <= 50_000),
    ("incrbyfloat", ("s", "1"), lambda c: c.get("s") == b"hello"),
]


@pytest.mark.parametrize("op, args, check", EFFECTS, ids=[f"{e[0]}-{i}" for i, e in enumerate(EFFECTS)])
def test_writes_leave_the_same_state(world, op, args, check):
    cache = world.cache
    fill(cache)
    world.run(op, *args)
    assert check(cache)


def test_rename_keeps_the_deadline_and_replaces_the_target(world):
    cache = world.cache
    fill(cache)
    cache.expire("h", 100)
    cache.set("target", "old", ex=5)
    assert world.run("rename", "h", "target") == "OK"
    assert 99_000 <= cache.pttl("target") <= 100_000
    assert cache.hgetall("target") == {b"f": b"v"}
    assert cache.pexpiretime("target") == pytest.approx(time.time() * 1000 + 100_000, abs=2_000)


@pytest.mark.parametrize(
    "start, amount, text",
    [
        ("10.5", "0.1", b"10.6"),
        ("3", "-3", b"0"),
        ("5.0e3", "2", b"5002"),
        ("1", "1e300", b"1e+300"),
        ("0.1", "0.2", b"0.30000000000000004"),
    ],
)
def test_incrbyfloat_stores_the_shortest_exact_text(world, start, amount, text):
    cache = world.cache
    cache.set("f", start)
    assert world.run("incrbyfloat", "f", amount) == float(text)
    assert cache.get("f") == text


@pytest.mark.parametrize("stored", ["", " 1", "1 ", "inf", "nan", "1e400", "0x10", "abc"])
def test_incrbyfloat_refuses_values_that_are_not_finite_floats(world, stored):
    cache = world.cache
    cache.set("f", stored)
    assert world.run("incrbyfloat", "f", "1") == ("error", NOFLOAT)
    assert cache.get("f") == stored.encode()


def test_incrbyfloat_overflow_changes_nothing(world):
    cache = world.cache
    cache.set("f", "1.7e308")
    assert world.run("incrbyfloat", "f", "1.7e308") == ("error", OVER)
    assert cache.get("f") == b"1.7e308"


def test_randomkey_draws_only_live_keys(world):
    cache = world.cache
    assert world.run("randomkey") is None
    cache.set("gone", "x", px=1)
    time.sleep(0.01)
    assert world.run("randomkey") is None
    fill(cache)
    seen = {world.run("randomkey") for _ in range(200)}
    assert seen <= {b"s", b"h", b"l", b"z"}
    assert len(seen) >= 2


def test_used_memory_returns_to_zero(world):
    cache = world.cache
    fill(cache)
    cache.expire("l", 100)
    for op, *args in [
        ("setrange", "big", 1000, "x"),
        ("setrange", "s", 2, "LLO-LONGER"),
        ("incrbyfloat", "fl", "2.5"),
        ("incrbyfloat", "fl", "1e100"),
        ("msetnx", "m1", "a", "m2", "b"),
        ("rename", "h", "h2"),
        ("rename", "l", "a-much-longer-name-for-the-list"),
        ("rename", "z", "h2"),
        ("renamenx", "s", "t"),
        ("getex", "t", "EX", 100),
    ]:
        assert not isinstance(world.run(op, *args), tuple), op
    assert cache.used_memory > 0
    cache.delete(*cache.keys())
    assert cache.used_memory == 0


@pytest.mark.parametrize(
    "request_args, error",
    [
        (("TYPE",), "ERR wrong number of arguments for 'type' command"),
        (("RENAME", "a"), "ERR wrong number of arguments for 'rename' command"),
        (("RENAMENX", "a", "b", "c"), "ERR wrong number of arguments for 'renamenx' command"),
        (("EXPIREAT", "a"), "ERR wrong number of arguments for 'expireat' command"),
        (("PEXPIRETIME",), "ERR wrong number of arguments for 'pexpiretime' command"),
        (("TOUCH",), "ERR wrong number of arguments for 'touch' command"),
        (("RANDOMKEY", "x"), "ERR wrong number of arguments for 'randomkey' command"),
        (("GETRANGE", "s", "0"), "ERR wrong number of arguments for 'getrange' command"),
        (("MSETNX", "a", "1", "b"), "ERR wrong number of arguments for 'msetnx' command"),
        (("INCRBYFLOAT", "f"), "ERR wrong number of arguments for 'incrbyfloat' command"),
        (("GETRANGE", "s", "x", "1"), "ERR value is not an integer or out of range"),
        (("SETRANGE", "s", "-1", "x"), "ERR offset is out of range"),
        (("SETRANGE", "s", "1.5", "x"), "ERR value is not an integer or out of range"),
        (("EXPIREAT", "s", "soon"), "ERR value is not an integer or out of range"),
        (("EXPIREAT", "s", str(2**62)), "ERR invalid expire time in 'expireat' command"),
        (("INCRBYFLOAT", "s", "abc"), "ERR value is not a valid float"),
        (("INCRBYFLOAT", "s", "inf"), "ERR value is not a valid float"),
        (("GETEX", "s", "EX"), "ERR syntax error"),
        (("GETEX", "s", "EX", "1", "PX", "1"), "ERR syntax error"),
        (("GETEX", "s", "PERSIST", "EX", "1"), "ERR syntax error"),
        (("GETEX", "s", "KEEPTTL"), "ERR syntax error"),
        (("GETEX", "s", "EX", "0"), "ERR invalid expire time in 'getex' command"),
        (("GETEX", "s", "PXAT", "-1"), "ERR invalid expire time in 'getex' command"),
    ],
)
def test_resp_argument_errors_change_nothing(shared, request_args, error):
    cache, client = shared
    cache.flush()
    cache.set("s", "hello", ex=100)
    assert client.call(*request_args) == Err(error)
    assert cache.get("s") == b"hello" and cache.ttl("s") == 100


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda c: c.type(), TypeError, "key"),
        (lambda c: c.rename("a"), TypeError, "dst"),
        (lambda c: c.getrange("s", "0", 1), TypeError, "start"),
        (lambda c: c.setrange("s", -1, "x"), ValueError, "offset is out of range"),
        (lambda c: c.expireat("s", "soon"), TypeError, "when"),
        (lambda c: c.expireat("s", 2**62), ValueError, "when is too large"),
        (lambda c: c.incrbyfloat("s", "1"), TypeError, "amount"),
        (lambda c: c.incrbyfloat("s", float("inf")), ValueError, "not a valid float"),
        (lambda c: c.getex("s", ex=1, px=1), ValueError, "mutually exclusive"),
        (lambda c: c.getex("s", persist=True, exat=5), ValueError, "mutually exclusive"),
        (lambda c: c.getex("s", ex=0), ValueError, "ex must be a positive integer"),
        (lambda c: c.getex("s", ex=2**64 // 1000 + 1), ValueError, "ex is too large"),
        (lambda c: c.getex("s", exat=2**64 // 1000 + 1), ValueError, "exat is too large"),
        (lambda c: c.touch(key="s"), TypeError, "'key' is an invalid keyword argument for touch"),
        (lambda c: c.delete(key="s"), TypeError, "'key' is an invalid keyword argument for delete"),
        (lambda c: c.msetnx({}), ValueError, "at least one pair"),
        (lambda c: c.msetnx([1, 2]), TypeError, "mapping"),
    ],
)
def test_cache_argument_errors_change_nothing(shared, call, exc, message):
    cache, _ = shared
    cache.flush()
    cache.set("s", "hello", ex=100)
    with pytest.raises(exc, match=message):
        call(cache)
    assert cache.get("s") == b"hello" and cache.ttl("s") == 100


def test_rename_of_a_missing_source_raises_key_error(cache):
    with pytest.raises(KeyError, match="no such key"):
        cache.rename("missing", "x")
    assert not cache.exists("x")


def test_text_cache_decodes_the_new_reads():
    c = Cache(shards=1, encoding="utf-8")
    try:
        c.set("k", "héllo")
        assert c.getrange("k", 0, 2) == "hé"
        assert c.getex("k", ex=10) == "héllo"
        assert c.randomkey() == "k"
        assert c.type("k") == "string"
    finally:
        c.close()


def test_rename_and_msetnx_inside_multi_exec_and_under_watch(shared):
    cache, client = shared
    cache.flush()
    cache.set("a", "1")
    assert client.call("MULTI") == "OK"
    assert client.call("RENAME", "a", "b") == "QUEUED"
    assert client.call("MSETNX", "c", "3", "a", "x") == "QUEUED"
    assert client.call("EXEC") == ["OK", 1]
    assert cache.mget(["a", "b", "c"]) == [b"x", b"1", b"3"]
    # A rename changes both of its keys for a watcher of either.
    for watched, src, dst in [("b", "b", "d"), ("b", "d", "b")]:
        assert client.call("WATCH", watched) == "OK"
        cache.rename(src, dst)
        assert client.call("MULTI") == "OK"
        assert client.call("GET", watched) == "QUEUED"
        assert client.call("EXEC") is None


@pytest.mark.parametrize("shards", [1, 64])
def test_renames_in_both_directions_from_many_threads(shards):
    """Renames lock both keys' shards together, in one order: threads moving
    values back and forth between the same names neither deadlock nor lose
    or duplicate a value."""
    c = Cache(shards=shards)
    try:
        names = [b"n%d" % i for i in range(8)]
        for i, n in enumerate(names[:4]):
            c.set(n, b"%d" % i)

        def mover(seed):
            r = random.Random(seed)
            for _ in range(2000):
                src, dst = r.sample(names, 2)
                try:
                    if r.random() < 0.5:
                        c.renamenx(src, dst)
                    else:
                        c.rename(src, dst)
                except KeyError:
                    pass

        threads = [threading.Thread(target=mover, args=(s,)) for s in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
            assert not t.is_alive()
        values = sorted(v for v in c.mget(names) if v is not None)
        # rename may overwrite a value, so some are gone; none is duplicated.
        assert len(values) == len(set(values)) >= 1
        assert set(values) <= {b"0", b"1", b"2", b"3"}
    finally:
        c.close()
