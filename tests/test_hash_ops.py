"""The hash operations beyond HSET/HGET/HDEL/HGETALL/HLEN, through `Cache`
and over RESP with the same cases: results, wrong kind, missing keys,
emptied hashes, memory accounting, and the HSCAN cursor guarantee."""

import random

import pytest

from collection_worlds import Failed, World
from conftest import WRONGTYPE
from resp_client import Client, Err

NOT_INTEGER = Failed("value is not an integer or out of range")
NOT_FLOAT = Failed("value is not a valid float")


@pytest.fixture(params=["cache", "resp"])
def world(request):
    w = World(request.param)
    yield w
    w.close()


def fill(world, *commands):
    for c in commands:
        world.run(*c)


HASH_AB = [("HSET", "h", "a", "1"), ("HSET", "h", "b", "two")]

# (setup, command, expected result, hash "h" afterwards or None when gone)
CASES = [
    # HMGET
    (HASH_AB, ("HMGET", "h", "a", "x", "b", "a"), [b"1", None, b"two", b"1"], None),
    ([], ("HMGET", "h", "a", "b"), [None, None], None),
    # HMSET: later pairs win, new and replaced fields
    (HASH_AB, ("HMSET", "h", "a", "x", "c", "y", "a", "z"), "OK", {b"a": b"z", b"b": b"two", b"c": b"y"}),
    ([], ("HMSET", "h", "f", ""), "OK", {b"f": b""}),
    # HSETNX
    (HASH_AB, ("HSETNX", "h", "a", "new"), 0, {b"a": b"1", b"b": b"two"}),
    (HASH_AB, ("HSETNX", "h", "c", "new"), 1, {b"a": b"1", b"b": b"two", b"c": b"new"}),
    ([], ("HSETNX", "h", "c", "new"), 1, {b"c": b"new"}),
    # HEXISTS, HSTRLEN
    (HASH_AB, ("HEXISTS", "h", "b"), 1, None),
    (HASH_AB, ("HEXISTS", "h", "x"), 0, None),
    ([], ("HEXISTS", "h", "x"), 0, None),
    (HASH_AB, ("HSTRLEN", "h", "b"), 3, None),
    (HASH_AB, ("HSTRLEN", "h", "x"), 0, None),
    ([], ("HSTRLEN", "h", "x"), 0, None),
    # HKEYS, HVALS on a missing key
    ([], ("HKEYS", "h"), [], None),
    ([], ("HVALS", "h"), [], None),
    # HINCRBY
    (HASH_AB, ("HINCRBY", "h", "a", "41"), 42, {b"a": b"42", b"b": b"two"}),
    (HASH_AB, ("HINCRBY", "h", "a", "-11"), -10, {b"a": b"-10", b"b": b"two"}),
    ([], ("HINCRBY", "h", "n", "-3"), -3, {b"n": b"-3"}),
    (HASH_AB, ("HINCRBY", "h", "b", "1"), NOT_INTEGER, {b"a": b"1", b"b": b"two"}),
    ([("HSET", "h", "a", " 1")], ("HINCRBY", "h", "a", "1"), NOT_INTEGER, {b"a": b" 1"}),
    (
        [("HSET", "h", "a", str(2**63 - 1))],
        ("HINCRBY", "h", "a", "1"),
        Failed("increment or decrement would overflow"),
        {b"a": str(2**63 - 1).encode()},
    ),
    ([], ("HINCRBY", "h", "a", str(-(2**63))), -(2**63), {b"a": str(-(2**63)).encode()}),
    # HINCRBYFLOAT: shortest exact text, whole numbers without a fraction
    ([("HSET", "h", "a", "1.5")], ("HINCRBYFLOAT", "h", "a", "1.5"), b"3", {b"a": b"3"}),
    ([], ("HINCRBYFLOAT", "h", "a", "0.1"), b"0.1", {b"a": b"0.1"}),
    ([("HSET", "h", "a", "0.1")], ("HINCRBYFLOAT", "h", "a", "0.2"), b"0.30000000000000004", None),
    ([("HSET", "h", "a", "5")], ("HINCRBYFLOAT", "h", "a", "-5"), b"0", {b"a": b"0"}),
    ([("HSET", "h", "a", "1e300")], ("HINCRBYFLOAT", "h", "a", "1e300"), b"2e+300", None),
    (HASH_AB, ("HINCRBYFLOAT", "h", "b", "1"), NOT_FLOAT, {b"a": b"1", b"b": b"two"}),
    ([("HSET", "h", "a", "nan")], ("HINCRBYFLOAT", "h", "a", "1"), NOT_FLOAT, {b"a": b"nan"}),
    (
        [("HSET", "h", "a", "1.7e308")],
        ("HINCRBYFLOAT", "h", "a", "1.7e308"),
        Failed("increment would produce NaN or Infinity"),
        {b"a": b"1.7e308"},
    ),
    # HRANDFIELD on a missing key and on a one-field hash (deterministic)
    ([], ("HRANDFIELD", "h"), None, None),
    ([], ("HRANDFIELD", "h", "3"), [], None),
    ([], ("HRANDFIELD", "h", "-3", "WITHVALUES"), [], None),
    ([("HSET", "h", "a", "1")], ("HRANDFIELD", "h"), b"a", {b"a": b"1"}),
    ([("HSET", "h", "a", "1")], ("HRANDFIELD", "h", "0"), [], None),
    ([("HSET", "h", "a", "1")], ("HRANDFIELD", "h", "5"), [b"a"], None),
    ([("HSET", "h", "a", "1")], ("HRANDFIELD", "h", "-3"), [b"a", b"a", b"a"], None),
    ([("HSET", "h", "a", "1")], ("HRANDFIELD", "h", "-2", "WITHVALUES"), [[b"a", b"1"], [b"a", b"1"]], None),
    # HSCAN on a missing key and a small hash (one call covers it all)
    ([], ("HSCAN", "h", "0"), [b"0", {}], None),
    (HASH_AB, ("HSCAN", "h", "0", "COUNT", "1000"), [b"0", {b"a": b"1", b"b": b"two"}], None),
    (HASH_AB, ("HSCAN", "h", "0", "MATCH", "b*", "COUNT", "1000"), [b"0", {b"b": b"two"}], None),
]


@pytest.mark.parametrize("setup, command, expected, after", CASES, ids=lambda v: None)
def test_hash_operations(world, setup, command, expected, after):
    fill(world, *setup)
    result = world.run(*command)
    if isinstance(expected, list) and command[0] in ("HKEYS", "HVALS"):
        result = sorted(result)
    if command[0] == "HSCAN" and world.how == "resp":
        flat = result[1]
        result = [result[0], dict(zip(flat[::2], flat[1::2]))]
    assert result == expected
    if after is not None:
        assert world.run("HGETALL", "h") == after
    world.delete_everything()
    assert world.used_memory == 0


def test_hkeys_and_hvals_pair_up(world):
    fields = {b"f%d" % i: b"v%d" % i for i in range(100)}
    world.run("HMSET", "h", *[x.decode() for kv in fields.items() for x in kv])
    assert dict(zip(world.run("HKEYS", "h"), world.run("HVALS", "h"))) == fields


def test_hrandfield_counts(world):
    fields = {b"f%d" % i: b"%d" % i for i in range(20)}
    world.run("HMSET", "h", *[x.decode() for kv in fields.items() for x in kv])
    for count in (1, 5, 19, 20, 25):
        got = world.run("HRANDFIELD", "h", str(count))
        assert len(got) == min(count, 20)
        assert len(set(got)) == len(got)
        assert set(got) <= set(fields)
    repeats = world.run("HRANDFIELD", "h", "-200")
    assert len(repeats) == 200 and set(repeats) <= set(fields)
    assert len(set(repeats)) > 1
    for field, value in world.run("HRANDFIELD", "h", "30", "WITHVALUES"):
        assert fields[field] == value


WRITES = [
    ("HMSET", "k", "f", "v"),
    ("HSETNX", "k", "f", "v"),
    ("HINCRBY", "k", "f", "1"),
    ("HINCRBYFLOAT", "k", "f", "1"),
]
READS = [
    ("HMGET", "k", "f"),
    ("HEXISTS", "k", "f"),
    ("HKEYS", "k"),
    ("HVALS", "k"),
    ("HSTRLEN", "k", "f"),
    ("HRANDFIELD", "k"),
    ("HRANDFIELD", "k", "2"),
    ("HSCAN", "k", "0"),
]


@pytest.mark.parametrize("command", WRITES + READS, ids=lambda c: " ".join(c))
@pytest.mark.parametrize("holder", [("SET", "k", "s"), ("RPUSH", "k", "x"), ("SADD", "k", "m")])
def test_wrong_kind_changes_nothing(world, command, holder):
    world.run(*holder)
    before = world.used_memory
    assert world.run(*command) == Failed(WRONGTYPE)
    assert world.used_memory == before


def test_memory_is_exact_through_field_counters(world):
    world.run("HINCRBY", "h", "n", "1")
    small = world.used_memory
    world.run("HINCRBY", "h", "n", str(10**17))  # 18 digits: the value grows to 32 bytes
    assert world.used_memory == small + 16
    world.run("HINCRBYFLOAT", "h", "n", "-100000000000000001")
    assert world.used_memory == small
    world.run("HMSET", "h", "a", "x" * 40, "b", "")
    world.run("DEL", "h")
    assert world.used_memory == 0


# ---- HSCAN ---------------------------------------------------------------------------


def full_hscan(scan, key, **kwargs):
    out, cursor, calls = {}, 0, 0
    while True:
        cursor, page = scan(key, cursor, **kwargs)
        out.update(page)
        calls += 1
        if cursor == 0:
            return out, calls


@pytest.mark.parametrize("seed", range(3))
def test_hscan_returns_every_lasting_field_while_the_hash_grows_and_shrinks(seed):
    rnd = random.Random(seed)
    c = World("cache").cache
    stable = {b"stable:%d" % i: b"%d" % i for i in range(300)}
    c.hmset("h", stable)
    churn, serial = [], 0
    returned, cursor, calls = {}, 0, 0
    while True:
        cursor, page = c.hscan("h", cursor, count=rnd.randint(1, 20))
        returned.update(page)
        calls += 1
        # Grow the field table several times over, then drain it again.
        if (calls // 5) % 2 == 0:
            for _ in range(rnd.randrange(400)):
                serial += 1
                churn.append(b"churn:%d" % serial)
                c.hset("h", churn[-1], b"x")
        else:
            for _ in range(min(len(churn), rnd.randrange(600))):
                i = rnd.randrange(len(churn))
                churn[i], churn[-1] = churn[-1], churn[i]
                assert c.hdel("h", churn.pop()) == 1
        if cursor == 0:
            break
        assert calls < 100000
    missed = set(stable) - set(returned)
    assert not missed, sorted(missed)[:5]
    assert all(returned[f] == v for f, v in stable.items())
    c.close()


def test_hscan_count_bounds_the_work_and_match_filters(world):
    fields = {"user:%d" % i: str(i) for i in range(500)}
    fields.update({"other:%d" % i: "x" for i in range(500)})
    world.run("HMSET", "h", *[x for kv in fields.items() for x in kv])
    # One page of COUNT 1 visits one home position: a handful of fields.
    page = world.run("HSCAN", "h", "0", "COUNT", "1")
    assert page[0] != b"0"
    assert len(page[1]) <= 2 * 8
    if world.how == "cache":
        pages = full_hscan(world.cache.hscan, "h", match="user:*", count=7)
        got, calls = pages
        assert set(got) == {k.encode() for k in fields if k.startswith("user:")}
        assert calls > 1000 // 7 // 4  # bounded pages, not one big one
        assert dict(world.cache.hscan_iter("h", match="other:1*")) == {
            k.encode(): b"x" for k in fields if k.startswith("other:1")
        }


@pytest.mark.parametrize("cursor", [1, 12345, 2**63, 2**64 - 1])
def test_hscan_garbage_cursor_ends_or_continues(world, cursor):
    world.run("HMSET", "h", *[x for i in range(50) for x in ("f%d" % i, "v")])
    next_cursor, _ = world.run("HSCAN", "h", str(cursor), "COUNT", "3")
    steps = 0
    while next_cursor != b"0" and steps < 10000:
        next_cursor, _ = world.run("HSCAN", "h", next_cursor.decode(), "COUNT", "3")
        steps += 1
    assert next_cursor == b"0"


# ---- over RESP only: argument checks and reply kinds ------------------------------------


def arity(name):
    return Err(f"ERR wrong number of arguments for '{name}' command")


@pytest.mark.parametrize(
    "args, reply",
    [
        (["HMGET", "h"], arity("hmget")),
        (["HMSET", "h", "f"], arity("hmset")),
        (["HMSET", "h", "f", "v", "g"], arity("hmset")),
        (["HSETNX", "h", "f"], arity("hsetnx")),
        (["HEXISTS", "h"], arity("hexists")),
        (["HKEYS"], arity("hkeys")),
        (["HVALS", "h", "x"], arity("hvals")),
        (["HSTRLEN", "h"], arity("hstrlen")),
        (["HINCRBY", "h", "f"], arity("hincrby")),
        (["HINCRBYFLOAT", "h", "f"], arity("hincrbyfloat")),
        (["HRANDFIELD"], arity("hrandfield")),
        (["HRANDFIELD", "h", "1", "WITHVALUES", "x"], arity("hrandfield")),
        (["HSCAN", "h"], arity("hscan")),
        (["HINCRBY", "h", "f", "x"], Err("ERR value is not an integer or out of range")),
        (["HINCRBY", "h", "f", "1.5"], Err("ERR value is not an integer or out of range")),
        (["HINCRBYFLOAT", "h", "f", "x"], Err("ERR value is not a valid float")),
        (["HINCRBYFLOAT", "h", "f", "inf"], Err("ERR value is not a valid float")),
        (["HINCRBYFLOAT", "h", "f", "nan"], Err("ERR value is not a valid float")),
        (["HINCRBYFLOAT", "h", "f", "1e999"], Err("ERR value is not a valid float")),
        (["HRANDFIELD", "h", "x"], Err("ERR value is not an integer or out of range")),
        (["HRANDFIELD", "h", "1", "VALUES"], Err("ERR syntax error")),
        (["HRANDFIELD", "h", str(-(2**63))], Err("ERR value is out of range")),
        (["HSCAN", "h", "x"], Err("ERR invalid cursor")),
        (["HSCAN", "h", "0", "COUNT", "0"], Err("ERR syntax error")),
        (["HSCAN", "h", "0", "TYPE", "hash"], Err("ERR syntax error")),
        (["HSCAN", "h", "0", "MATCH"], Err("ERR syntax error")),
    ],
)
def test_argument_errors(server, args, reply):
    with Client(server.port) as k:
        assert k.call(*args) == reply
        assert k.call("EXISTS", "h") == 0


def test_resp2_and_resp3_reply_kinds(server):
    with Client(server.port) as k:
        k.call("HSET", "h", "f", "v")
        assert k.call("HRANDFIELD", "h", "1", "WITHVALUES") == [b"f", b"v"]
        assert k.call("HINCRBYFLOAT", "h", "n", "2.5") == b"2.5"
        assert k.call("HMSET", "h", "a", "1") == "OK"
        k.call("HELLO", "3")
        assert k.call("HRANDFIELD", "h", "-1", "WITHVALUES") in ([[b"f", b"v"]], [[b"a", b"1"]], [[b"n", b"2.5"]])
        assert k.call("HMGET", "h", "zz") == [None]


def test_transaction_runs_hash_writes_atomically(server):
    with Client(server.port) as k:
        assert k.call("MULTI") == "OK"
        assert k.call("HMSET", "h", "a", "1", "b", "2") == "QUEUED"
        assert k.call("HINCRBY", "h", "a", "5") == "QUEUED"
        assert k.call("EXEC") == ["OK", 6]
        assert dict(zip(*[iter(k.call("HGETALL", "h"))] * 2)) == {b"a": b"6", b"b": b"2"}
