"""List operations through the Python API."""

import threading
import time

import pytest

from conftest import check_wrongtype_changes_nothing

I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


def test_pushes_at_both_ends(cache):
    assert cache.rpush("k", "a", "b") == 2
    assert cache.lpush("k", "c", "d") == 4
    assert cache.lrange("k", 0, -1) == [b"d", b"c", b"a", b"b"]
    assert cache.llen("k") == 4


def test_push_memory_figure(cache):
    # Table 192, collection 80, key align16(1) = 16, item 56 + 16.
    assert cache.rpush("k", "12345") == 1
    assert cache.used_memory == 360
    assert cache.lpush("k", "x" * 17) == 2
    assert cache.used_memory == 360 + 56 + 32
    assert cache.rpop("k") == b"12345"
    assert cache.used_memory == 360 + 56 + 32 - 72
    assert cache.lpop("k") == b"x" * 17
    assert cache.used_memory == 0


@pytest.mark.parametrize(
    "start, stop, expected",
    [
        (0, -1, [b"a", b"b", b"c"]),
        (-2, -1, [b"b", b"c"]),
        (5, 10, []),
        (-100, 0, [b"a"]),
        (2, 1, []),
        (0, 100, [b"a", b"b", b"c"]),
        (1, 1, [b"b"]),
        (-1, -1, [b"c"]),
        (-3, -3, [b"a"]),
        (3, 3, []),
        (0, -4, []),
        (-100, -100, []),
        (-100, -3, [b"a"]),
        (2, -1, [b"c"]),
        (I64_MIN, I64_MAX, [b"a", b"b", b"c"]),
        (I64_MAX, I64_MIN, []),
        (I64_MIN, I64_MIN, []),
        (I64_MAX, I64_MAX, []),
    ],
)
def test_lrange_clamps_indexes(cache, start, stop, expected):
    cache.rpush("k", "a", "b", "c")
    assert cache.lrange("k", start, stop) == expected


def test_lrange_of_missing_key_is_empty(cache):
    assert cache.lrange("missing", 0, -1) == []


def test_lrange_index_conversion(cache):
    cache.rpush("k", "a", "b", "c")

    class One:
        def __index__(self):
            return 1

    assert cache.lrange("k", One(), True) == [b"b"]
    assert cache.lrange(key="k", start=False, stop=One()) == [b"a", b"b"]


@pytest.mark.parametrize(
    "args, name",
    [
        ((None, "x", 0), "start"),
        ((None, 1.0, "y"), "start"),
        (("k", 0, "1"), "stop"),
        ((None, 0, None), "stop"),
    ],
)
def test_lrange_indexes_are_converted_before_the_key(cache, args, name):
    with pytest.raises(TypeError) as info:
        cache.lrange(*args)
    assert str(info.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize("args", [("k", 2**63, 0), ("k", 0, -(2**63) - 1), (None, 2**64, 0)])
def test_lrange_indexes_outside_int64_raise_overflow_error(cache, args):
    with pytest.raises(OverflowError):
        cache.lrange(*args)


def test_lrange_key_error_after_good_indexes(cache):
    with pytest.raises(TypeError) as info:
        cache.lrange(None, 0, -1)
    assert str(info.value) == "expected bytes, str, int or float, not NoneType"


@pytest.mark.parametrize("pop, end", [("lpop", b"first"), ("rpop", b"last")])
def test_pops_take_the_ends_and_drop_the_emptied_key(cache, pop, end):
    cache.rpush("k", "first", "middle", "last")
    assert getattr(cache, pop)("k") == end
    assert cache.llen("k") == 2
    getattr(cache, pop)("k")
    getattr(cache, pop)("k")
    assert cache.exists("k") is False
    assert cache.used_memory == 0
    assert getattr(cache, pop)("k") is None


@pytest.mark.parametrize("pop", ["lpop", "rpop"])
def test_pop_of_missing_key_is_none(cache, pop):
    assert getattr(cache, pop)("missing") is None
    assert cache.exists("missing") is False


def test_duplicates_and_empty_items(cache):
    assert cache.rpush("k", b"", "x", b"", "x") == 4
    assert cache.lrange("k", 0, -1) == [b"", b"x", b"", b"x"]
    assert cache.lpop("k") == b""
    assert cache.rpop("k") == b"x"
    assert cache.llen("k") == 2


def test_item_conversions(cache):
    cache.rpush(1, 2, 2.5, "é", b"raw")
    assert cache.lrange(b"1", 0, -1) == [b"2", b"2.5", "é".encode(), b"raw"]


@pytest.mark.parametrize("push", ["lpush", "rpush"])
def test_push_of_no_values(cache, push):
    assert getattr(cache, push)("k") == 0
    assert cache.exists("k") is False
    assert cache.used_memory == 0
    cache.rpush("k", "a", "b")
    assert getattr(cache, push)("k") == 2
    assert cache.lrange("k", 0, -1) == [b"a", b"b"]


@pytest.mark.parametrize("push", ["lpush", "rpush"])
@pytest.mark.parametrize("bad", [None, True, bytearray(b"x"), ["x"]])
def test_push_conversion_failure_writes_nothing(cache, push, bad):
    with pytest.raises(TypeError):
        getattr(cache, push)("k", "a", bad, "b")
    assert cache.exists("k") is False
    cache.rpush("k", "x")
    with pytest.raises(TypeError):
        getattr(cache, push)("k", "a", bad)
    assert cache.lrange("k", 0, -1) == [b"x"]


def test_push_keeps_the_deadline(cache):
    cache.rpush("k", "a")
    cache.expire("k", 100)
    cache.lpush("k", "b")
    cache.rpush("k", "c")
    cache.lpop("k")
    assert 0 < cache.ttl("k") <= 100


def test_expired_list_behaves_as_missing(cache):
    for k in ("a", "b", "c"):
        cache.rpush(k, "old1", "old2")
        cache.pexpire(k, 1)
    time.sleep(0.02)
    assert cache.lrange("a", 0, -1) == []
    assert cache.llen("a") == 0
    assert cache.lpop("a") is None
    assert cache.rpop("b") is None
    # A push starts a new list without the old items or the deadline.
    assert cache.lpush("c", "new") == 1
    assert cache.lrange("c", 0, -1) == [b"new"]
    assert cache.ttl("c") == -1


@pytest.mark.parametrize("key", ["string", "hash", "set"])
@pytest.mark.parametrize(
    "call",
    [
        lambda c, k: c.lpush(k, "x"),
        lambda c, k: c.rpush(k, "x"),
        lambda c, k: c.lpush(k),
        lambda c, k: c.lpop(k),
        lambda c, k: c.rpop(k),
        lambda c, k: c.lrange(k, 0, -1),
        lambda c, k: c.llen(k),
    ],
    ids=["lpush", "rpush", "lpush-none", "lpop", "rpop", "lrange", "llen"],
)
def test_list_operations_on_other_kinds_raise_wrongtype(cache, key, call):
    check_wrongtype_changes_nothing(cache, "list", key, call)


def test_concurrent_pushes_and_pops_lose_and_duplicate_nothing(big):
    producers, consumers, per_producer = 4, 4, 5_000
    total = producers * per_producer
    popped = [[] for _ in range(consumers)]
    done_producing = threading.Event()

    def produce(p):
        for i in range(0, per_producer, 5):
            big.lpush("q", *(f"{p}:{j}" for j in range(i, i + 5)))

    def consume(slot):
        out = popped[slot]
        while True:
            item = big.rpop("q")
            if item is not None:
                out.append(item)
            elif done_producing.is_set() and big.llen("q") == 0:
                return

    threads = [threading.Thread(target=consume, args=(s,)) for s in range(consumers)]
    for t in threads:
        t.start()
    pushers = [threading.Thread(target=produce, args=(p,)) for p in range(producers)]
    for t in pushers:
        t.start()
    for t in pushers:
        t.join()
    done_producing.set()
    for t in threads:
        t.join()

    everything = [item for out in popped for item in out]
    assert len(everything) == total
    assert set(everything) == {f"{p}:{j}".encode() for p in range(producers) for j in range(per_producer)}
    # Each producer's items leave the tail in the order they were pushed
    # within one consumer's view.
    for out in popped:
        last = {}
        for item in out:
            p, j = item.split(b":")
            assert int(j) > last.get(p, -1)
            last[p] = int(j)
    assert big.exists("q") is False
    assert big.used_memory == 0
