import pytest

from mevora import Cache

OOM = "OOM command not allowed when used memory > 'maxmemory'"


def test_noeviction_refuses_the_first_write_that_does_not_fit():
    c = Cache(max_memory=4096, shards=1)
    i = 0
    while True:
        try:
            c.set(f"k{i}", "x" * 100)
        except MemoryError as e:
            assert str(e) == OOM
            break
        i += 1
    before = (len(c), c.used_memory)
    with pytest.raises(MemoryError):
        c.set("another", "x" * 100)
    assert (len(c), c.used_memory) == before
    assert c.exists("another") is False
    # Writes that shrink or keep the figure still pass.
    c.set("k0", "small")


@pytest.mark.parametrize("shards", [1, 8, 64])
def test_allkeys_lru_keeps_memory_near_the_limit_and_recent_keys(shards):
    limit = 200_000
    c = Cache(max_memory=limit, policy="allkeys-lru", shards=shards)
    hot = [f"hot{i}" for i in range(20)]
    for k in hot:
        c.set(k, "h" * 100)
    value = "v" * 100
    written = 0
    i = 0
    while written < 10 * limit:
        c.set(f"cold{i}", value)
        written += 128
        i += 1
        for k in hot:
            c.get(k)
        # One write's need past the limit at most (this is a single thread).
        assert c.used_memory <= limit + 1024
    survivors = sum(c.exists(k) for k in hot)
    assert survivors >= 18
    assert c.exists("cold0") is False


@pytest.mark.parametrize(("limit", "shards", "size"), [(1 << 20, 1, 1015), (1 << 20, 4, 1015), (200_000, 1, 100)])
def test_a_single_writer_never_passes_the_limit(limit, shards, size):
    # Evictions leave removed-slot markers. An insert that reuses one raises
    # the table's charged capacity; evictions from the writer's own shard
    # lower it before a rebuild restores it. Admission must pay for both.
    c = Cache(max_memory=limit, policy="allkeys-lru", shards=shards)
    for i in range(20_000 * 100 // size):
        c.set(f":1:k{i}", "x" * size)
        assert c.used_memory <= limit, i
    assert 0 < len(c) < 20_000 * 100 // size


def test_volatile_lru_never_evicts_keys_without_deadline():
    c = Cache(max_memory=20_000, policy="volatile-lru", shards=4)
    for i in range(50):
        c.set(f"keep{i}", "x" * 100)
    for i in range(500):
        try:
            c.set(f"tmp{i}", "y" * 100, ex=1000)
        except MemoryError:
            break
    assert all(c.exists(f"keep{i}") for i in range(50))
    # Once only undated keys are left, writes fail as with noeviction.
    for i in range(500):
        c.delete(f"tmp{i}")
    c2 = Cache(max_memory=2_000, policy="volatile-lru", shards=1)
    with pytest.raises(MemoryError):
        for i in range(100):
            c2.set(f"k{i}", "z" * 100)


@pytest.mark.parametrize(
    "op",
    [
        lambda c: c.incr("n", 1),
        lambda c: c.append("a", "x" * 100),
        lambda c: c.hset("h", "f", "v" * 100),
        lambda c: c.lpush("l", "v" * 100),
        lambda c: c.sadd("s", "v" * 100),
        lambda c: c.mset({"m": "v" * 100}),
    ],
)
def test_every_growing_write_is_admitted(op):
    c = Cache(max_memory=1, shards=1)
    with pytest.raises(MemoryError) as info:
        op(c)
    assert str(info.value) == OOM
    assert len(c) == 0
    assert c.used_memory == 0


def test_removals_never_need_admission():
    c = Cache(max_memory=10_000, shards=1)
    c.rpush("l", "a", "b")
    c.sadd("s", "a")
    c.hset("h", "f", "v")
    c.set("k", "v", ex=100)
    for _ in range(300):
        try:
            c.set(f"fill{_}", "x" * 50)
        except MemoryError:
            break
    assert c.lpop("l") == b"a"
    assert c.srem("s", "a") == 1
    assert c.hdel("h", "f") == 1
    assert c.persist("k") is True
    assert c.expire("k", 5) is True
    assert c.delete("k") == 1
