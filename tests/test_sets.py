"""Set operations through the Python API."""

import threading
import time

import pytest

from conftest import check_wrongtype_changes_nothing



def test_sadd_counts_duplicates_once(cache):
    assert cache.sadd("s", "a", "b", "a") == 2
    assert cache.scard("s") == 2
    assert cache.smembers("s") == {b"a", b"b"}
    assert cache.sadd("s", "a") == 0
    assert cache.sadd("s", "b", "c", "c") == 1
    assert cache.scard("s") == 3


def test_smembers_returns_a_set_of_bytes(cache):
    assert cache.smembers("missing") == set()
    assert type(cache.smembers("missing")) is set
    members = {f"m{i}".encode() for i in range(100)}
    cache.sadd("s", *members)
    got = cache.smembers("s")
    assert type(got) is set
    assert got == members
    assert all(type(m) is bytes for m in got)


def test_set_memory_figures(cache):
    # Table 192, collection 80, key align16(1) = 16, member 56 + 16.
    assert cache.sadd("s", "a") == 1
    assert cache.used_memory == 360
    before = cache.used_memory
    assert cache.sadd("s", "x" * 17) == 1
    assert cache.used_memory == before + 56 + 32
    assert cache.srem("s", "x" * 17) == 1
    assert cache.used_memory == before
    assert cache.srem("s", "a") == 1
    assert cache.used_memory == 0


def test_member_conversions(cache):
    cache.sadd(1, 2, 2.5, "é", b"raw", "2")
    assert cache.smembers(b"1") == {b"2", b"2.5", "é".encode(), b"raw"}
    assert cache.sismember(1, 2) is True
    assert cache.sismember(key="1", member=2.5) is True


def test_empty_member_is_an_ordinary_member(cache):
    assert cache.sismember("s", b"") is False
    assert cache.sadd("s", b"") == 1
    assert cache.sismember("s", "") is True
    assert cache.smembers("s") == {b""}
    assert cache.sadd("s", b"", "x") == 1
    assert cache.srem("s", b"") == 1
    assert cache.smembers("s") == {b"x"}


@pytest.mark.parametrize(
    "members, removed, left",
    [
        ((), 0, {b"a", b"b", b"c"}),
        (("a",), 1, {b"b", b"c"}),
        (("a", "a"), 1, {b"b", b"c"}),
        (("x",), 0, {b"a", b"b", b"c"}),
        (("a", "x", "c"), 2, {b"b"}),
        (("c", "b", "a", "b"), 3, None),
    ],
)
def test_srem_counts_removed_members_and_drops_empty_set(cache, members, removed, left):
    cache.sadd("s", "a", "b", "c")
    assert cache.srem("s", *members) == removed
    if left is None:
        assert cache.exists("s") is False
        assert cache.scard("s") == 0
        assert cache.used_memory == 0
    else:
        assert cache.smembers("s") == left
        assert cache.scard("s") == len(left)


def test_missing_key_is_an_empty_set(cache):
    assert cache.srem("missing", "a") == 0
    assert cache.srem("missing") == 0
    assert cache.smembers("missing") == set()
    assert cache.sismember("missing", "a") is False
    assert cache.scard("missing") == 0
    assert cache.exists("missing") is False


def test_sadd_of_no_members(cache):
    assert cache.sadd("s") == 0
    assert cache.exists("s") is False
    assert cache.used_memory == 0
    cache.sadd("s", "a")
    assert cache.sadd("s") == 0
    assert cache.smembers("s") == {b"a"}


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda c: c.spop("s", -1), ValueError, "count can't be negative"),
        (lambda c: c.spop("s", "1"), TypeError, "argument 'count'"),
        (lambda c: c.srandmember("s", "x"), TypeError, "argument 'count'"),
    ],
)
def test_set_count_errors_change_nothing(cache, call, exc, message):
    cache.sadd("s", "a", "b")
    with pytest.raises(exc, match=message):
        call(cache)
    assert cache.smembers("s") == {b"a", b"b"}


@pytest.mark.parametrize("bad", [None, True, bytearray(b"x"), {"x"}])
def test_sadd_conversion_failure_writes_nothing(cache, bad):
    with pytest.raises(TypeError):
        cache.sadd("s", "a", bad)
    assert cache.exists("s") is False
    cache.sadd("s", "x")
    with pytest.raises(TypeError):
        cache.sadd("s", "a", bad)
    with pytest.raises(TypeError):
        cache.srem("s", "x", bad)
    assert cache.smembers("s") == {b"x"}


def test_sadd_keeps_the_deadline(cache):
    cache.sadd("s", "a")
    cache.expire("s", 100)
    cache.sadd("s", "b")
    cache.srem("s", "a")
    assert 0 < cache.ttl("s") <= 100


def test_expired_set_behaves_as_missing(cache):
    for k in ("a", "b"):
        cache.sadd(k, "old")
        cache.pexpire(k, 1)
    time.sleep(0.02)
    assert cache.smembers("a") == set()
    assert cache.sismember("a", "old") is False
    assert cache.scard("a") == 0
    assert cache.srem("a", "old") == 0
    assert cache.exists("a") is False
    # An add starts a new set without the old members or the deadline.
    assert cache.sadd("b", "new") == 1
    assert cache.smembers("b") == {b"new"}
    assert cache.ttl("b") == -1


@pytest.mark.parametrize("key", ["string", "hash", "list"])
@pytest.mark.parametrize(
    "call",
    [
        lambda c, k: c.sadd(k, "m"),
        lambda c, k: c.sadd(k),
        lambda c, k: c.srem(k, "m"),
        lambda c, k: c.smembers(k),
        lambda c, k: c.sismember(k, "m"),
        lambda c, k: c.scard(k),
    ],
    ids=["sadd", "sadd-none", "srem", "smembers", "sismember", "scard"],
)
def test_set_operations_on_other_kinds_raise_wrongtype(cache, key, call):
    check_wrongtype_changes_nothing(cache, "set", key, call)


def test_concurrent_adds_count_each_member_once(big):
    # Every thread adds the same members; exactly one add of each counts.
    members = [f"m{i}" for i in range(2_000)]
    counts = []
    lock = threading.Lock()

    def work(offset):
        n = 0
        for i in range(len(members)):
            n += big.sadd("s", members[(i + offset) % len(members)])
        with lock:
            counts.append(n)

    threads = [threading.Thread(target=work, args=(o * 250,)) for o in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sum(counts) == len(members)
    assert big.scard("s") == len(members)
