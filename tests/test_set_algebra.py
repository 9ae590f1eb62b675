"""SMOVE and the set algebra (SINTER, SUNION, SDIFF, their STORE forms,
SINTERCARD), through `Cache` and over RESP with the same cases: results,
missing keys, the wrong kind, destinations replaced or removed, the
destination among the sources, memory accounting, argument errors, and the
steps inside MULTI/EXEC and across a reopen."""

import pytest

from collection_worlds import Failed, World
from conftest import WRONGTYPE
from mevora import Cache
from resp_client import Client, Err


@pytest.fixture(params=["cache", "resp"])
def world(request):
    w = World(request.param)
    yield w
    w.close()


def members(*ms):
    return {m.encode() for m in ms}


A = ("SADD", "a", "1", "2", "3", "4")
B = ("SADD", "b", "3", "4", "5")
C = ("SADD", "c", "4", "6")
STR = ("SET", "str", "v")
GONE = set()

# (setup, command, expected reply, {key: members afterwards, set() = gone})
CASES = [
    ([A, B], ("SINTER", "a", "b"), members("3", "4"), {}),
    ([A, B, C], ("SINTER", "a", "b", "c"), members("4"), {}),
    ([A], ("SINTER", "a", "a"), members("1", "2", "3", "4"), {}),
    ([A], ("SINTER", "a", "missing"), set(), {}),
    ([], ("SINTER", "missing"), set(), {}),
    ([A, B, C], ("SUNION", "a", "b", "c", "missing"), members("1", "2", "3", "4", "5", "6"), {}),
    ([], ("SUNION", "x", "y"), set(), {}),
    ([A, B], ("SDIFF", "a", "b"), members("1", "2"), {}),
    ([A, C], ("SDIFF", "a", "missing", "c"), members("1", "2", "3"), {}),
    ([A], ("SDIFF", "missing", "a"), set(), {}),
    ([A], ("SDIFF", "a", "a"), set(), {"a": members("1", "2", "3", "4")}),
    ([A, B], ("SINTERCARD", "2", "a", "b"), 2, {}),
    ([A, B], ("SINTERCARD", "2", "a", "b", "LIMIT", "1"), 1, {}),
    ([A, B], ("SINTERCARD", "2", "a", "b", "LIMIT", "0"), 2, {}),
    ([A], ("SINTERCARD", "1", "a", "LIMIT", "10"), 4, {}),
    ([A], ("SINTERCARD", "2", "a", "missing"), 0, {}),
    # the STORE forms: the reply is the size of what was stored
    ([A, B], ("SINTERSTORE", "d", "a", "b"), 2, {"d": members("3", "4"), "a": members("1", "2", "3", "4")}),
    ([A, B, STR], ("SUNIONSTORE", "str", "a", "b"), 5, {"str": members("1", "2", "3", "4", "5")}),
    ([A, B], ("SDIFFSTORE", "a", "a", "b"), 2, {"a": members("1", "2")}),
    ([A, B], ("SINTERSTORE", "a", "b", "a"), 2, {"a": members("3", "4"), "b": members("3", "4", "5")}),
    ([A, STR], ("SINTERSTORE", "str", "a", "missing"), 0, {"str": GONE, "a": members("1", "2", "3", "4")}),
    ([A], ("SDIFFSTORE", "a", "a", "a"), 0, {"a": GONE}),
    ([], ("SUNIONSTORE", "d", "x"), 0, {"d": GONE}),
    # SMOVE
    ([A, B], ("SMOVE", "a", "b", "1"), 1, {"a": members("2", "3", "4"), "b": members("1", "3", "4", "5")}),
    ([A, B], ("SMOVE", "a", "b", "3"), 1, {"a": members("1", "2", "4"), "b": members("3", "4", "5")}),
    ([A], ("SMOVE", "a", "new", "2"), 1, {"new": members("2"), "a": members("1", "3", "4")}),
    ([A], ("SMOVE", "a", "b", "9"), 0, {"a": members("1", "2", "3", "4"), "b": GONE}),
    ([], ("SMOVE", "x", "y", "1"), 0, {"x": GONE, "y": GONE}),
    ([A], ("SMOVE", "a", "a", "1"), 1, {"a": members("1", "2", "3", "4")}),
    ([("SADD", "one", "m"), B], ("SMOVE", "one", "b", "m"), 1, {"one": GONE, "b": members("3", "4", "5", "m")}),
]


@pytest.mark.parametrize("setup, command, expected, after", CASES, ids=lambda v: None)
def test_set_algebra(world, setup, command, expected, after):
    for c in setup:
        world.run(*c)
    assert world.run(*command) == expected
    for key, ms in after.items():
        assert world.run("SMEMBERS", key) == ms, key
        assert world.run("EXISTS", key) == (1 if ms else 0), key
    world.delete_everything()
    assert world.used_memory == 0


@pytest.mark.parametrize(
    "command",
    [
        ("SMOVE", "k", "a", "1"),
        ("SMOVE", "a", "k", "1"),
        ("SMOVE", "a", "k", "absent"),
        ("SMOVE", "missing", "k", "1"),
        ("SINTER", "a", "k"),
        ("SINTER", "missing", "k"),
        ("SUNION", "a", "k"),
        ("SDIFF", "a", "k"),
        ("SDIFF", "k", "a"),
        ("SINTERCARD", "2", "a", "k"),
        ("SINTERSTORE", "d", "a", "k"),
        ("SUNIONSTORE", "a", "k"),
        ("SDIFFSTORE", "d", "missing", "k"),
    ],
    ids=lambda c: " ".join(c),
)
@pytest.mark.parametrize("holder", [("SET", "k", "s"), ("RPUSH", "k", "x"), ("HSET", "k", "f", "v")])
def test_wrong_kind_changes_nothing(world, command, holder):
    world.run("SADD", "a", "1", "2")
    world.run(*holder)
    before = world.used_memory
    assert world.run(*command) == Failed(WRONGTYPE)
    assert world.used_memory == before
    assert world.run("SMEMBERS", "a") == members("1", "2")
    assert world.run("EXISTS", "d") == 0


def arity(name):
    return Err(f"ERR wrong number of arguments for '{name}' command")


@pytest.mark.parametrize(
    "args, reply",
    [
        (["SMOVE", "a", "b"], arity("smove")),
        (["SMOVE", "a", "b", "1", "2"], arity("smove")),
        (["SINTER"], arity("sinter")),
        (["SUNION"], arity("sunion")),
        (["SDIFF"], arity("sdiff")),
        (["SINTERSTORE", "d"], arity("sinterstore")),
        (["SUNIONSTORE", "d"], arity("sunionstore")),
        (["SDIFFSTORE", "d"], arity("sdiffstore")),
        (["SINTERCARD", "1"], arity("sintercard")),
        (["SINTERCARD", "0", "a"], Err("ERR numkeys should be greater than 0")),
        (["SINTERCARD", "-1", "a"], Err("ERR numkeys should be greater than 0")),
        (["SINTERCARD", "x", "a"], Err("ERR value is not an integer or out of range")),
        (["SINTERCARD", "3", "a", "b"], Err("ERR Number of keys can't be greater than number of args")),
        (["SINTERCARD", "1", "a", "b"], Err("ERR syntax error")),
        (["SINTERCARD", "1", "a", "LIMIT"], Err("ERR syntax error")),
        (["SINTERCARD", "1", "a", "FOO", "1"], Err("ERR syntax error")),
        (["SINTERCARD", "1", "a", "LIMIT", "-1"], Err("ERR LIMIT can't be negative")),
        (["SINTERCARD", "1", "a", "LIMIT", "x"], Err("ERR value is not an integer or out of range")),
    ],
)
def test_argument_errors(server, args, reply):
    with Client(server.port) as k:
        k.call("SADD", "a", "1")
        assert k.call(*args) == reply
        assert k.call("SMEMBERS", "a") == [b"1"]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.sinter(), TypeError),
        (lambda c: c.sinterstore("d"), TypeError),
        (lambda c: c.smove("a", "b"), TypeError),
        (lambda c: c.sintercard([]), ValueError),
        (lambda c: c.sintercard("a"), TypeError),
        (lambda c: c.sintercard(["a"], limit=-1), ValueError),
        (lambda c: c.sintercard(["a"], limit="1"), TypeError),
    ],
)
def test_cache_argument_errors(cache, call, error):
    cache.sadd("a", "1")
    with pytest.raises(error):
        call(cache)
    assert cache.smembers("a") == {b"1"}


def test_text_cache_decodes_members():
    c = Cache(shards=1, encoding="utf-8")
    c.sadd("a", "é", "x")
    c.sadd("b", "é")
    assert c.sinter("a", "b") == {"é"}
    assert c.sunion("a", "b") == {"é", "x"}
    assert c.sdiff("a", "b") == {"x"}
    assert c.sunionstore("d", "a") == 2 and c.smembers("d") == {"é", "x"}
    assert c.smove("a", "b", "x") is True and c.sintercard(["a", "b"]) == 1
    c.close()


def test_steps_join_multi_exec(server):
    with Client(server.port) as k:
        assert k.call("MULTI") == "OK"
        for cmd in (["SADD", "a", "1", "2"], ["SMOVE", "a", "b", "1"], ["SUNIONSTORE", "d", "a", "b"],
                    ["SINTERCARD", "2", "d", "a"], ["SDIFF", "d", "b"]):
            assert k.call(*cmd) == "QUEUED"
        assert k.call("EXEC") == [2, 1, 2, 1, [b"2"]]


def test_steps_survive_a_reopen(tmp_path):
    c = Cache(shards=4, persist_dir=str(tmp_path), fsync="always")
    c.sadd("a", "1", "2", "3")
    c.sadd("b", "3", "4")
    c.set("str", "v")
    assert c.smove("a", "b", "1")
    assert c.sunionstore("str", "a", "b") == 4
    assert c.sdiffstore("a", "a", "str") == 0
    assert c.sinterstore("i", "b", "str") == 3
    expected = {k: c.smembers(k) for k in c.keys()}
    c.close()
    c = Cache(shards=4, persist_dir=str(tmp_path))
    assert {k: c.smembers(k) for k in c.keys()} == expected
    assert not c.exists("a")
    c.close()
