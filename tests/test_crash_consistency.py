"""Crash consistency: a process killed at random moments, again and again on
one data directory, never loses an acknowledged operation and never shows a
state that no prefix of its operations produced (crash_harness.py holds the
child, the operation stream and the model; run it as a script for longer
runs)."""

import pytest

import crash_harness
from crash_harness import HOUR_MS, Model, Session, differences, dump, now_ms, op_at

ROUNDS = 20  # per policy; about 7 s each


def test_the_model_agrees_with_a_live_cache(tmp_path):
    """The harness's model, checked without crashes: every result of a long
    stream (reopens included) and the final keyspace, before and after a
    clean reopen."""
    session = Session(tmp_path / "data", "never", snapshot_interval=0)
    model = Model()
    for i in range(6000):
        op = op_at(99, i)
        t0 = now_ms()
        got = session.run(op)
        want = model.apply(op, t0, now_ms(), reported=got)  # spop's draw is the cache's
        assert got == want, (i, op)
    assert differences(model, dump(session.cache)) == []
    session.run(("reopen", True))
    assert differences(model, dump(session.cache)) == []
    session.cache.close()


def change(key, index, value):
    """Damage: item index (0 kind, 1 contents, 2 pttl) of key's entry."""
    def damage(snapshot):
        snapshot["entries"][key.hex()][index] = value
    return damage


def change_top(field, value):
    def damage(snapshot):
        snapshot[field] = value
    return damage


def drop(key):
    def damage(snapshot):
        del snapshot["entries"][key.hex()]
    return damage


DAMAGE = [
    ("key lost", drop(b"s")),
    ("key appeared", lambda snapshot: snapshot["entries"].update({b"zz".hex(): ["string", "", -1]})),
    ("value changed", change(b"s", 1, b"w".hex())),
    ("list order changed", change(b"l", 1, [b"b".hex(), b"a".hex()])),
    ("kind changed", change(b"x", 0, "list")),
    ("deadline lost", change(b"s", 2, -1)),
    ("deadline appeared", change(b"h", 2, 5000)),
    ("deadline moved", change(b"s", 2, 240 * HOUR_MS)),
    ("len disagrees", change_top("len", 5)),
    ("persistence failed", change_top("last_error", "WAL append failed: x")),
]


@pytest.mark.parametrize("damage", [d for _, d in DAMAGE], ids=[n for n, _ in DAMAGE])
def test_differences_notice_damage(tmp_path, damage):
    session = Session(tmp_path / "data", "never", snapshot_interval=0)
    model = Model()
    for op in [("set", b"s", b"v", ("ex", 3600), False, False), ("hset", b"h", b"f", b"v"),
               ("rpush", b"l", [b"a", b"b"]), ("sadd", b"x", [b"m"])]:
        t0 = now_ms()
        session.run(op)
        model.apply(op, t0, now_ms())
    snapshot = dump(session.cache)
    session.cache.close()
    assert differences(model, snapshot) == []
    damage(snapshot)
    assert differences(model, snapshot) != []


def test_the_model_takes_only_valid_pops():
    model = Model()
    model.apply(("sadd", b"x", [b"a", b"b", b"c"]), 0, 0)
    assert model.apply(("spop", b"x", 2), 0, 0, reported=[["b", b"a".hex()], ["b", b"z".hex()]]) != [
        ["b", b"a".hex()], ["b", b"z".hex()]]
    assert model.apply(("spop", b"x", 2), 0, 0, reported=[["b", b"a".hex()]]) != [["b", b"a".hex()]]
    assert model.apply(("spop", b"x", None), 0, 0, reported=None) is not None
    assert model.data[b"x"][1] == {b"a", b"b", b"c"}  # refused pops change nothing
    assert model.apply(("spop", b"x", 5), 0, 0, reported=[["b", m.hex()] for m in (b"a", b"b", b"c")]) == [
        ["b", m.hex()] for m in (b"a", b"b", b"c")]
    assert b"x" not in model.data  # the emptied set is gone


def snapshot_with_set(members):
    entries = {b"x".hex(): ["set", sorted(m.hex() for m in members), -1]} if members else {}
    return {"t0": 0, "t1": 0, "len": len(entries), "entries": entries, "last_error": None}


@pytest.mark.parametrize(
    "count, recovered, matches",
    [
        (2, {b"a", b"b", b"c"}, [0]),  # cut short before it changed anything
        (2, {b"c"}, [1]),  # any two members gone
        (2, {b"a"}, [1]),
        (None, {b"a", b"c"}, [1]),
        (2, {b"a", b"b"}, []),  # one member too few gone
        (2, set(), []),  # one member too many gone
        (None, {b"a"}, []),
        (2, {b"a", b"b", b"c", b"z"}, []),  # a member that never was
        (0, {b"a", b"b", b"c"}, [0, 1]),
    ],
)
def test_a_cut_short_spop_may_leave_only_the_set_or_a_valid_pop(count, recovered, matches):
    model = Model()
    model.apply(("sadd", b"x", [b"a", b"b", b"c"]), 0, 0)
    candidates = model.in_flight_states(("spop", b"x", count), 0, 0)
    snapshot = snapshot_with_set(recovered)
    resolved = [c.resolve(snapshot) for c in candidates]
    assert [i for i, m in enumerate(resolved) if m is not None and not differences(m, snapshot)] == matches


@pytest.mark.parametrize("policy", ["always", "everysec", "never"])
def test_sigkill_loses_no_acknowledged_operation(tmp_path, policy):
    summary = crash_harness.run(tmp_path / "data", policy, ROUNDS, seed=11)
    assert summary["acked"] > 0 and summary["verified"] > 0
