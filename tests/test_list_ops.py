"""The list operations beyond push/pop/range/length, through `Cache` and
over RESP with the same cases: results, wrong kind, missing keys,
negative and out-of-range indexes, emptied lists, memory accounting."""

import pytest

from collection_worlds import Failed, World
from conftest import WRONGTYPE
from resp_client import Client, Err


@pytest.fixture(params=["cache", "resp"])
def world(request):
    w = World(request.param)
    yield w
    w.close()


ABCBA = [("RPUSH", "l", "a", "b", "c", "b", "a")]
XY = [("RPUSH", "m", "x", "y")]

# (setup, command, expected result, {key: list afterwards}; [] = key gone)
CASES = [
    # LINDEX: both ends, out of range, missing key
    (ABCBA, ("LINDEX", "l", "0"), b"a", {}),
    (ABCBA, ("LINDEX", "l", "2"), b"c", {}),
    (ABCBA, ("LINDEX", "l", "-1"), b"a", {}),
    (ABCBA, ("LINDEX", "l", "-5"), b"a", {}),
    (ABCBA, ("LINDEX", "l", "5"), None, {}),
    (ABCBA, ("LINDEX", "l", "-6"), None, {}),
    (ABCBA, ("LINDEX", "l", str(-(2**63))), None, {}),
    ([], ("LINDEX", "l", "0"), None, {}),
    # LPOS: first, ranks from both ends, counts, maxlen
    (ABCBA, ("LPOS", "l", "b"), 1, {}),
    (ABCBA, ("LPOS", "l", "b", "RANK", "2"), 3, {}),
    (ABCBA, ("LPOS", "l", "b", "RANK", "3"), None, {}),
    (ABCBA, ("LPOS", "l", "a", "RANK", "-1"), 4, {}),
    (ABCBA, ("LPOS", "l", "a", "RANK", "-2"), 0, {}),
    (ABCBA, ("LPOS", "l", "a", "COUNT", "0"), [0, 4], {}),
    (ABCBA, ("LPOS", "l", "a", "COUNT", "1"), [0], {}),
    (ABCBA, ("LPOS", "l", "b", "RANK", "-1", "COUNT", "5"), [3, 1], {}),
    (ABCBA, ("LPOS", "l", "a", "COUNT", "0", "MAXLEN", "4"), [0], {}),
    (ABCBA, ("LPOS", "l", "a", "RANK", "-1", "COUNT", "0", "MAXLEN", "1"), [4], {}),
    (ABCBA, ("LPOS", "l", "z"), None, {}),
    (ABCBA, ("LPOS", "l", "z", "COUNT", "0"), [], {}),
    ([], ("LPOS", "l", "a"), None, {}),
    ([], ("LPOS", "l", "a", "COUNT", "2"), [], {}),
    # LPUSHX, RPUSHX: only onto existing lists
    (XY, ("LPUSHX", "m", "a", "b"), 4, {"m": [b"b", b"a", b"x", b"y"]}),
    (XY, ("RPUSHX", "m", "a", "b"), 4, {"m": [b"x", b"y", b"a", b"b"]}),
    ([], ("LPUSHX", "m", "a"), 0, {"m": []}),
    ([], ("RPUSHX", "m", "a"), 0, {"m": []}),
    # LPOP, RPOP with a count
    (ABCBA, ("LPOP", "l", "2"), [b"a", b"b"], {"l": [b"c", b"b", b"a"]}),
    (ABCBA, ("RPOP", "l", "2"), [b"a", b"b"], {"l": [b"a", b"b", b"c"]}),
    (ABCBA, ("LPOP", "l", "0"), [], {"l": [b"a", b"b", b"c", b"b", b"a"]}),
    (XY, ("RPOP", "m", "9"), [b"y", b"x"], {"m": []}),
    ([], ("LPOP", "l", "3"), None, {}),
    ([], ("RPOP", "l", "0"), None, {}),
    # LTRIM: clamping as LRANGE does; an empty range removes the key
    (ABCBA, ("LTRIM", "l", "1", "-2"), "OK", {"l": [b"b", b"c", b"b"]}),
    (ABCBA, ("LTRIM", "l", "-2", "100"), "OK", {"l": [b"b", b"a"]}),
    (ABCBA, ("LTRIM", "l", "-100", "0"), "OK", {"l": [b"a"]}),
    (ABCBA, ("LTRIM", "l", "0", "-1"), "OK", {"l": [b"a", b"b", b"c", b"b", b"a"]}),
    (ABCBA, ("LTRIM", "l", "3", "1"), "OK", {"l": []}),
    (ABCBA, ("LTRIM", "l", "5", "10"), "OK", {"l": []}),
    (ABCBA, ("LTRIM", "l", "0", "-6"), "OK", {"l": []}),
    ([], ("LTRIM", "l", "0", "1"), "OK", {"l": []}),
    # LSET: both ends, out of range, missing key
    (ABCBA, ("LSET", "l", "2", "new"), "OK", {"l": [b"a", b"b", b"new", b"b", b"a"]}),
    (ABCBA, ("LSET", "l", "-1", ""), "OK", {"l": [b"a", b"b", b"c", b"b", b""]}),
    (ABCBA, ("LSET", "l", "5", "x"), Failed("index out of range"), {"l": [b"a", b"b", b"c", b"b", b"a"]}),
    (ABCBA, ("LSET", "l", "-6", "x"), Failed("index out of range"), {}),
    ([], ("LSET", "l", "0", "x"), Failed("no such key"), {"l": []}),
    # LINSERT: before and after the first match; missing pivot or key
    (ABCBA, ("LINSERT", "l", "BEFORE", "b", "x"), 6, {"l": [b"a", b"x", b"b", b"c", b"b", b"a"]}),
    (ABCBA, ("LINSERT", "l", "after", "a", "x"), 6, {"l": [b"a", b"x", b"b", b"c", b"b", b"a"]}),
    (XY, ("LINSERT", "m", "AFTER", "y", "z"), 3, {"m": [b"x", b"y", b"z"]}),
    (XY, ("LINSERT", "m", "BEFORE", "q", "z"), -1, {"m": [b"x", b"y"]}),
    ([], ("LINSERT", "m", "BEFORE", "q", "z"), 0, {"m": []}),
    # LREM: from the head, from the tail, all; the last item takes the key
    (ABCBA, ("LREM", "l", "1", "a"), 1, {"l": [b"b", b"c", b"b", b"a"]}),
    (ABCBA, ("LREM", "l", "-1", "b"), 1, {"l": [b"a", b"b", b"c", b"a"]}),
    (ABCBA, ("LREM", "l", "0", "b"), 2, {"l": [b"a", b"c", b"a"]}),
    (ABCBA, ("LREM", "l", str(-(2**63)), "a"), 2, {"l": [b"b", b"c", b"b"]}),
    (ABCBA, ("LREM", "l", "0", "z"), 0, {"l": [b"a", b"b", b"c", b"b", b"a"]}),
    ([("RPUSH", "l", "a", "a")], ("LREM", "l", "0", "a"), 2, {"l": []}),
    ([], ("LREM", "l", "0", "a"), 0, {"l": []}),
    # LMOVE, RPOPLPUSH: between lists, onto a new list, rotation
    (ABCBA + XY, ("LMOVE", "l", "m", "LEFT", "RIGHT"), b"a", {"l": [b"b", b"c", b"b", b"a"], "m": [b"x", b"y", b"a"]}),
    (ABCBA + XY, ("LMOVE", "l", "m", "right", "left"), b"a", {"m": [b"a", b"x", b"y"]}),
    (XY, ("LMOVE", "m", "n", "LEFT", "LEFT"), b"x", {"m": [b"y"], "n": [b"x"]}),
    (XY, ("LMOVE", "m", "m", "LEFT", "RIGHT"), b"x", {"m": [b"y", b"x"]}),
    (XY, ("LMOVE", "m", "m", "RIGHT", "RIGHT"), b"y", {"m": [b"x", b"y"]}),
    ([("RPUSH", "m", "x")], ("LMOVE", "m", "n", "LEFT", "LEFT"), b"x", {"m": [], "n": [b"x"]}),
    ([("RPUSH", "m", "x")], ("LMOVE", "m", "m", "LEFT", "RIGHT"), b"x", {"m": [b"x"]}),
    ([], ("LMOVE", "m", "n", "LEFT", "LEFT"), None, {"m": [], "n": []}),
    (XY, ("RPOPLPUSH", "m", "n"), b"y", {"m": [b"x"], "n": [b"y"]}),
    (XY, ("RPOPLPUSH", "m", "m"), b"y", {"m": [b"y", b"x"]}),
    ([], ("RPOPLPUSH", "m", "n"), None, {"n": []}),
    # a missing source is not checked against the destination's kind
    ([("SET", "n", "s")], ("RPOPLPUSH", "m", "n"), None, {}),
]


@pytest.mark.parametrize("setup, command, expected, after", CASES, ids=lambda v: None)
def test_list_operations(world, setup, command, expected, after):
    for c in setup:
        world.run(*c)
    assert world.run(*command) == expected
    for key, items in after.items():
        assert world.run("LRANGE", key, "0", "-1") == items
        assert world.run("EXISTS", key) == (1 if items else 0)
    world.delete_everything()
    assert world.used_memory == 0


COMMANDS = [
    ("LINDEX", "k", "0"),
    ("LPOS", "k", "x"),
    ("LPUSHX", "k", "x"),
    ("RPUSHX", "k", "x"),
    ("LPOP", "k", "1"),
    ("RPOP", "k", "1"),
    ("LTRIM", "k", "0", "0"),
    ("LSET", "k", "0", "x"),
    ("LINSERT", "k", "BEFORE", "x", "y"),
    ("LREM", "k", "0", "x"),
    ("LMOVE", "k", "l", "LEFT", "LEFT"),
    ("RPOPLPUSH", "k", "l"),
]


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: " ".join(c))
@pytest.mark.parametrize("holder", [("SET", "k", "s"), ("HSET", "k", "f", "v"), ("SADD", "k", "m")])
def test_wrong_kind_changes_nothing(world, command, holder):
    world.run(*holder)
    world.run("RPUSH", "l", "keep")
    before = world.used_memory
    assert world.run(*command) == Failed(WRONGTYPE)
    assert world.used_memory == before
    assert world.run("LRANGE", "l", "0", "-1") == [b"keep"]


@pytest.mark.parametrize("holder", [("SET", "d", "s"), ("HSET", "d", "f", "v"), ("SADD", "d", "m")])
@pytest.mark.parametrize("command", [("LMOVE", "l", "d", "LEFT", "RIGHT"), ("RPOPLPUSH", "l", "d")])
def test_move_onto_another_kind_changes_nothing(world, holder, command):
    world.run(*holder)
    world.run("RPUSH", "l", "a", "b")
    before = world.used_memory
    assert world.run(*command) == Failed(WRONGTYPE)
    assert world.used_memory == before
    assert world.run("LRANGE", "l", "0", "-1") == [b"a", b"b"]


def test_memory_is_exact_through_moves_and_trims(world):
    world.run("RPUSH", "l", *("x" * n for n in range(1, 40)))
    world.run("LMOVE", "l", "m", "LEFT", "LEFT")
    world.run("RPOPLPUSH", "l", "m")
    world.run("LTRIM", "l", "3", "-4")
    world.run("LPOP", "m", "1")
    world.run("RPUSHX", "m", "tail")
    world.run("LSET", "l", "0", "x" * 100)
    world.run("LINSERT", "l", "AFTER", "x" * 100, "y" * 33)
    world.run("LREM", "l", "0", "x" * 20)
    world.delete_everything()
    assert world.used_memory == 0


# ---- over RESP only: argument checks -----------------------------------------------------


def arity(name):
    return Err(f"ERR wrong number of arguments for '{name}' command")


@pytest.mark.parametrize(
    "args, reply",
    [
        (["LINDEX", "l"], arity("lindex")),
        (["LPOS", "l"], arity("lpos")),
        (["LPUSHX", "l"], arity("lpushx")),
        (["RPUSHX", "l"], arity("rpushx")),
        (["LTRIM", "l", "0"], arity("ltrim")),
        (["LMOVE", "l", "m", "LEFT"], arity("lmove")),
        (["RPOPLPUSH", "l"], arity("rpoplpush")),
        (["LPOP", "l", "1", "2"], arity("lpop")),
        (["RPOP"], arity("rpop")),
        (["LINDEX", "l", "x"], Err("ERR value is not an integer or out of range")),
        (["LTRIM", "l", "0", "1.5"], Err("ERR value is not an integer or out of range")),
        (["LSET", "l", "0"], arity("lset")),
        (["LINSERT", "l", "BEFORE", "a"], arity("linsert")),
        (["LREM", "l", "0"], arity("lrem")),
        (["LSET", "l", "x", "v"], Err("ERR value is not an integer or out of range")),
        (["LREM", "l", "x", "v"], Err("ERR value is not an integer or out of range")),
        (["LINSERT", "l", "NEAR", "a", "v"], Err("ERR syntax error")),
        (["LPOP", "l", "-1"], Err("ERR value is out of range, must be positive")),
        (["RPOP", "l", "x"], Err("ERR value is not an integer or out of range")),
        (["LMOVE", "l", "m", "UP", "LEFT"], Err("ERR syntax error")),
        (["LPOS", "l", "a", "RANK"], Err("ERR syntax error")),
        (["LPOS", "l", "a", "SOME", "1"], Err("ERR syntax error")),
        (["LPOS", "l", "a", "COUNT", "-1"], Err("ERR COUNT can't be negative")),
        (["LPOS", "l", "a", "MAXLEN", "-1"], Err("ERR MAXLEN can't be negative")),
        (
            ["LPOS", "l", "a", "RANK", "0"],
            Err(
                "ERR RANK can't be zero: use 1 to start from the first match, 2 from the second ... or use "
                "negative to start from the end of the list"
            ),
        ),
    ],
)
def test_argument_errors(server, args, reply):
    with Client(server.port) as k:
        k.call("RPUSH", "l", "a")
        assert k.call(*args) == reply
        assert k.call("LRANGE", "l", "0", "-1") == [b"a"]


def test_count_pop_of_missing_key_is_a_null_array_in_resp2(server):
    with Client(server.port) as k:
        assert k.call_raw("LPOP", "nothing", "1") == b"*-1\r\n"
        k.call("HELLO", "3")
        assert k.call_raw("RPOP", "nothing", "1") == b"_\r\n"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.lpop("l", -1), "count can't be negative"),
        (lambda c: c.lpos("l", "a", rank=0), "rank can't be zero: 1 starts from the first match, -1 from the last"),
        (lambda c: c.lpos("l", "a", maxlen=-2), "maxlen can't be negative"),
        (lambda c: c.lmove("l", "m", "up", "left"), "wherefrom must be 'left' or 'right'"),
        (lambda c: c.linsert("l", "near", "a", "b"), "where must be 'before' or 'after'"),
    ],
)
def test_cache_argument_errors(cache, call, message):
    cache.rpush("l", "a")
    with pytest.raises(ValueError) as info:
        call(cache)
    assert str(info.value) == message
    assert cache.lrange("l", 0, -1) == [b"a"]
