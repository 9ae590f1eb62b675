import random

import pytest

from mevora import Cache


def table_overhead(slots):
    return (41 * slots + 16 + 15) // 16 * 16


def test_first_key_figure(cache):
    cache.set(b"abc", b"12345")
    assert cache.used_memory == 208


@pytest.mark.parametrize(
    "key_len, value_len, size",
    [(0, 0, 0), (16, 0, 16), (16, 1, 32), (3, 5, 16), (8, 8, 16), (8, 9, 32), (100, 1000, 1104)],
)
def test_string_entry_sizes(cache, key_len, value_len, size):
    cache.set(b"k" * key_len, b"v" * value_len)
    assert cache.used_memory == 192 + size


def test_table_growth_follows_capacity_policy(cache):
    # Usable capacity is 3 with 4 slots, 7 with 8, 14 with 16, 28 with 32 and
    # 56 with 64;
    # each 5-byte key with an empty value accounts 16 bytes.
    for n in range(1, 57):
        cache.set(b"%05d" % n, b"")
        slots = 4 if n <= 3 else 8 if n <= 7 else 16 if n <= 14 else 32 if n <= 28 else 64
        assert cache.used_memory == table_overhead(slots) + 16 * n, n


def test_deleting_everything_returns_to_zero(cache):
    for i in range(1000):
        cache.set(f"key{i}", "v" * (i % 50))
    assert cache.used_memory > 0
    for i in range(1000):
        assert cache.delete(f"key{i}") == 1
    assert cache.used_memory == 0
    assert len(cache) == 0


@pytest.mark.parametrize("shards", [1, 4, 64])
def test_random_inserts_and_deletes_balance(shards):
    c = Cache(shards=shards)
    rnd = random.Random(shards)
    keys = [f"key-{i}".encode() for i in range(100_000)]
    rnd.shuffle(keys)
    for k in keys:
        c.set(k, k * rnd.randrange(3))
    assert len(c) == len(keys)
    rnd.shuffle(keys)
    # Interleave deletions with re-insertions of some keys.
    for i, k in enumerate(keys):
        c.delete(k)
        if i % 7 == 0:
            c.set(k, b"again")
            c.delete(k)
    assert len(c) == 0
    assert c.used_memory == 0


def test_overwrite_moves_by_delta(cache):
    cache.set("k", "v" * 10)
    base = cache.used_memory
    cache.set("k", "v" * 100)
    assert cache.used_memory == base - 16 + 112
    cache.set("k", "v")
    assert cache.used_memory == base
