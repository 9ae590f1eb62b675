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
        want = model.apply(op, t0, now_ms())
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


@pytest.mark.parametrize("policy", ["always", "everysec", "never"])
def test_sigkill_loses_no_acknowledged_operation(tmp_path, policy):
    summary = crash_harness.run(tmp_path / "data", policy, ROUNDS, seed=11)
    assert summary["acked"] > 0 and summary["verified"] > 0
