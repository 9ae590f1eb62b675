import threading
import time

import pytest

from mevora import Cache
from resp_client import thread_names


def sweeper_threads():
    return thread_names().count("mevora-sweeper")


def test_ttl_and_pttl(cache):
    assert cache.ttl("k") == -2
    assert cache.pttl("k") == -2
    cache.set("k", "v")
    assert cache.ttl("k") == -1
    assert cache.pttl("k") == -1
    assert cache.pexpire("k", 1500) is True
    assert cache.ttl("k") == 2
    assert 1400 < cache.pttl("k") <= 1500


@pytest.mark.parametrize("ms, seconds", [(1, 1), (999, 1), (1000, 1), (1001, 2), (1500, 2)])
def test_ttl_rounds_up(cache, ms, seconds):
    cache.set("k", "v")
    cache.pexpire("k", ms + 300)  # slack for the time between the calls
    r = cache.pttl("k")
    # ceil(r / 1000) for whatever r remains.
    assert cache.ttl("k") in ((r + 999) // 1000, (r - 1 + 999) // 1000, max(1, (r - 50 + 999) // 1000))


def test_expire_and_persist(cache):
    assert cache.expire("missing", 10) is False
    assert cache.persist("missing") is False
    cache.set("k", "v")
    assert cache.persist("k") is False
    assert cache.expire("k", 10) is True
    assert cache.ttl("k") == 10
    assert cache.persist("k") is True
    assert cache.ttl("k") == -1


def test_expire_applies_to_every_kind(cache):
    cache.hset("h", "f", "v")
    cache.rpush("l", "a")
    cache.sadd("s", "m")
    for k in ("h", "l", "s"):
        assert cache.pexpire(k, 30) is True
    time.sleep(0.06)
    assert [cache.exists(k) for k in ("h", "l", "s")] == [False, False, False]


@pytest.mark.parametrize(
    "method, arg, message",
    [
        ("expire", 0, "seconds must be a positive integer"),
        ("expire", -1, "seconds must be a positive integer"),
        ("expire", 1.0, "seconds must be a positive integer"),
        ("expire", True, "seconds must be a positive integer"),
        ("expire", 2**63, "seconds is out of range"),
        ("expire", 18446744073709552, "seconds is too large"),
        ("pexpire", 0, "milliseconds must be a positive integer"),
        ("pexpire", 2**64, "milliseconds is out of range"),
    ],
)
def test_expire_argument_errors(cache, method, arg, message):
    cache.set("k", "v")
    with pytest.raises(ValueError) as info:
        getattr(cache, method)("k", arg)
    assert str(info.value) == message
    assert cache.ttl("k") == -1


def test_largest_expire_is_accepted(cache):
    cache.set("k", "v")
    assert cache.expire("k", 18446744073709551) is True


def test_expired_key_vanishes_for_every_reader(cache):
    cache.set("k", "v", px=20)
    time.sleep(0.05)
    assert cache.ttl("k") == -2
    assert cache.exists("k") is False
    assert len(cache) == 0
    assert cache.keys() == []


def test_sweeper_removes_due_keys_from_the_tables():
    c = Cache(shards=64)
    for i in range(64 * 4):
        c.set(f"k{i}", "v", px=50)
    assert c.used_memory > 0
    deadline = time.monotonic() + 5
    while c.used_memory != 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert c.used_memory == 0


def settled_sweeper_count():
    # Sweepers of caches released by earlier tests end within one interval.
    import gc

    gc.collect()
    time.sleep(0.25)
    return sweeper_threads()


def test_sweeper_thread_ends_when_the_cache_is_released():
    before = settled_sweeper_count()
    c = Cache()
    assert sweeper_threads() == before + 1
    del c
    deadline = time.monotonic() + 3
    while sweeper_threads() > before and time.monotonic() < deadline:
        time.sleep(0.02)
    assert sweeper_threads() == before


def test_sweeper_thread_ends_after_close():
    before = settled_sweeper_count()
    c = Cache()
    c.close()
    deadline = time.monotonic() + 3
    while sweeper_threads() > before and time.monotonic() < deadline:
        time.sleep(0.02)
    assert sweeper_threads() == before
    c.set("k", "v")  # data methods keep working after close
    assert c.get("k") == b"v"
