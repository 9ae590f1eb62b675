"""The set operations beyond SADD/SREM/SMEMBERS/SISMEMBER/SCARD, through
`Cache` and over RESP with the same cases: results, wrong kind, missing
keys, emptied sets, memory accounting, and the SSCAN cursor guarantee."""

import random

import pytest

from collection_worlds import Failed, World
from conftest import WRONGTYPE
from resp_client import Client, Err


@pytest.fixture(params=["cache", "resp"])
def world(request):
    w = World(request.param)
    yield w
    w.close()


ABC = [("SADD", "s", "a", "b", "c")]
ONE = [("SADD", "s", "a")]

# (setup, command, expected result, members of "s" afterwards; set() = gone)
CASES = [
    (ABC, ("SMISMEMBER", "s", "a", "x", "c", "a"), [1, 0, 1, 1], None),
    ([], ("SMISMEMBER", "s", "a", "b"), [0, 0], None),
    # deterministic picks: a missing key, one member, all members
    ([], ("SRANDMEMBER", "s"), None, None),
    ([], ("SRANDMEMBER", "s", "2"), [], None),
    ([], ("SRANDMEMBER", "s", "-2"), [], None),
    (ONE, ("SRANDMEMBER", "s"), b"a", {b"a"}),
    (ONE, ("SRANDMEMBER", "s", "-3"), [b"a", b"a", b"a"], {b"a"}),
    (ONE, ("SRANDMEMBER", "s", "0"), [], {b"a"}),
    ([], ("SPOP", "s"), None, set()),
    ([], ("SPOP", "s", "2"), set(), set()),
    (ONE, ("SPOP", "s"), b"a", set()),
    (ABC, ("SPOP", "s", "0"), set(), {b"a", b"b", b"c"}),
    (ABC, ("SPOP", "s", "3"), {b"a", b"b", b"c"}, set()),
    (ABC, ("SPOP", "s", "10"), {b"a", b"b", b"c"}, set()),
    ([], ("SSCAN", "s", "0"), [b"0", []], None),
    (ABC, ("SSCAN", "s", "0", "MATCH", "[ab]", "COUNT", "1000"), [b"0", [b"a", b"b"]], None),
]


@pytest.mark.parametrize("setup, command, expected, after", CASES, ids=lambda v: None)
def test_set_operations(world, setup, command, expected, after):
    for c in setup:
        world.run(*c)
    result = world.run(*command)
    if command[0] == "SSCAN":
        result = [result[0], sorted(result[1])]
    assert result == expected
    if after is not None:
        assert world.run("SMEMBERS", "s") == after
        assert world.run("EXISTS", "s") == (1 if after else 0)
    world.delete_everything()
    assert world.used_memory == 0


def test_random_picks_and_pops_stay_within_the_set(world):
    members = {b"m%d" % i for i in range(30)}
    world.run("SADD", "s", *[m.decode() for m in members])
    for count in (1, 7, 30, 40):
        got = world.run("SRANDMEMBER", "s", str(count))
        assert len(got) == min(count, 30) and len(set(got)) == len(got) and set(got) <= members
    repeats = world.run("SRANDMEMBER", "s", "-100")
    assert len(repeats) == 100 and set(repeats) <= members
    popped = world.run("SPOP", "s", "12")
    assert len(popped) == 12 and popped <= members
    assert world.run("SMEMBERS", "s") == members - popped
    one = world.run("SPOP", "s")
    assert one in members - popped
    world.run("SPOP", "s", "100")
    assert world.run("EXISTS", "s") == 0
    assert world.used_memory == 0


@pytest.mark.parametrize(
    "fill, pick",
    [
        (("SADD", "k", "a", "b"), ("SRANDMEMBER", "k")),
        (("HSET", "k", "f", "v"), ("HRANDFIELD", "k")),
        (("HSET", "k", "f", "v"), ("HRANDFIELD", "k", "WITHVALUES")),
    ],
    ids=["srandmember", "hrandfield", "hrandfield-withvalues"],
)
def test_repeated_picks_are_bounded(world, fill, pick):
    # Picks with repeats need not exist: a count of a few bytes could ask
    # the server to build a result of any size. Past 2**20 it is refused,
    # for a missing key as for a present one, and nothing is built.
    def picks(count):
        name, key, *rest = pick
        return world.run(name, key, str(count), *rest)

    refused = Failed("value is out of range" if world.how == "resp" else "value is not an integer or out of range")
    assert picks(-(2**20) - 1) == refused
    assert picks(-(2**63)) == refused
    world.run(*fill)
    assert picks(-(2**20) - 1) == refused
    assert len(picks(-1000)) == 1000
    if world.how == "cache":  # the largest one allowed, without parsing a million replies
        assert len(picks(-(2**20))) == 2**20


@pytest.mark.parametrize(
    "command",
    [("SMISMEMBER", "k", "m"), ("SRANDMEMBER", "k"), ("SRANDMEMBER", "k", "2"), ("SPOP", "k"), ("SPOP", "k", "2"),
     ("SSCAN", "k", "0")],
    ids=lambda c: " ".join(c),
)
@pytest.mark.parametrize("holder", [("SET", "k", "s"), ("RPUSH", "k", "x"), ("HSET", "k", "f", "v")])
def test_wrong_kind_changes_nothing(world, command, holder):
    world.run(*holder)
    before = world.used_memory
    assert world.run(*command) == Failed(WRONGTYPE)
    assert world.used_memory == before


@pytest.mark.parametrize("seed", range(3))
def test_sscan_returns_every_lasting_member_while_the_set_grows_and_shrinks(seed):
    rnd = random.Random(seed)
    w = World("cache")
    c = w.cache
    stable = {b"stable:%d" % i for i in range(300)}
    c.sadd("s", *stable)
    churn, serial = [], 0
    returned, cursor, calls = set(), 0, 0
    while True:
        cursor, page = c.sscan("s", cursor, count=rnd.randint(1, 20))
        returned.update(page)
        calls += 1
        if (calls // 5) % 2 == 0:
            for _ in range(rnd.randrange(400)):
                serial += 1
                churn.append(b"churn:%d" % serial)
                c.sadd("s", churn[-1])
        else:
            for _ in range(min(len(churn), rnd.randrange(600))):
                i = rnd.randrange(len(churn))
                churn[i], churn[-1] = churn[-1], churn[i]
                assert c.srem("s", churn.pop()) == 1
        if cursor == 0:
            break
        assert calls < 100000
    assert stable <= returned, sorted(stable - returned)[:5]
    assert set(c.sscan_iter("s", match="stable:1*", count=5)) == {m for m in stable if m.startswith(b"stable:1")}
    w.close()


def arity(name):
    return Err(f"ERR wrong number of arguments for '{name}' command")


@pytest.mark.parametrize(
    "args, reply",
    [
        (["SMISMEMBER", "s"], arity("smismember")),
        (["SRANDMEMBER"], arity("srandmember")),
        (["SRANDMEMBER", "s", "1", "2"], arity("srandmember")),
        (["SPOP", "s", "1", "2"], arity("spop")),
        (["SSCAN", "s"], arity("sscan")),
        (["SPOP", "s", "-1"], Err("ERR value is out of range, must be positive")),
        (["SPOP", "s", "x"], Err("ERR value is not an integer or out of range")),
        (["SRANDMEMBER", "s", "x"], Err("ERR value is not an integer or out of range")),
        (["SRANDMEMBER", "s", str(-(2**63))], Err("ERR value is out of range")),
        (["SSCAN", "s", "-1"], Err("ERR invalid cursor")),
        (["SSCAN", "s", "0", "COUNT", "0"], Err("ERR syntax error")),
    ],
)
def test_argument_errors(server, args, reply):
    with Client(server.port) as k:
        k.call("SADD", "s", "a")
        assert k.call(*args) == reply
        assert k.call("SMEMBERS", "s") == [b"a"]
