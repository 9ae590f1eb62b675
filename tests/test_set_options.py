"""The string write options of Cache.set beyond ex/px/nx/xx (get, keepttl,
exat, pxat) and the one-step getset and getdel."""

import time

import pytest

from mevora import Cache

WRONGTYPE = "WRONGTYPE Operation against a key holding the wrong kind of value"


@pytest.fixture
def c():
    cache = Cache(shards=4)
    yield cache
    cache.close()


def test_get_returns_the_replaced_value_whether_or_not_it_writes(c):
    assert c.set("k", "a", get=True) is None
    assert c.set("k", "b", get=True) == b"a"
    assert c.set("k", "c", nx=True, get=True) == b"b"
    assert c.get("k") == b"b"
    assert c.set("missing", "c", xx=True, get=True) is None
    assert not c.exists("missing")


def test_get_on_another_kind_raises_and_changes_nothing(c):
    c.rpush("l", "x")
    with pytest.raises(TypeError, match=WRONGTYPE):
        c.set("l", "v", get=True)
    assert c.lrange("l", 0, -1) == [b"x"]
    with pytest.raises(TypeError, match=WRONGTYPE):
        c.getset("l", "v")
    with pytest.raises(TypeError, match=WRONGTYPE):
        c.getdel("l")
    assert c.llen("l") == 1


def test_keepttl_and_absolute_deadlines(c):
    c.set("k", "a", ex=100)
    assert c.set("k", "b", keepttl=True) is True
    assert 99_000 <= c.pttl("k") <= 100_000
    assert c.set("k", "c") is True
    assert c.pttl("k") == -1
    now = time.time()
    c.set("at", "v", exat=int(now) + 50)
    assert 48_000 <= c.pttl("at") <= 50_000
    c.set("at", "v", pxat=int(now * 1000) + 20_000)
    assert 18_000 <= c.pttl("at") <= 20_000
    c.set("at", "v", pxat=1000)  # long past: the key is gone at once
    assert c.get("at") is None


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"ex": 1, "px": 1}, "ex and px are mutually exclusive"),
        ({"ex": 1, "keepttl": True}, "ex, px, exat, pxat and keepttl are mutually exclusive"),
        ({"px": 1, "exat": 1}, "ex, px, exat, pxat and keepttl are mutually exclusive"),
        ({"exat": 1, "pxat": 1}, "ex, px, exat, pxat and keepttl are mutually exclusive"),
        ({"keepttl": True, "pxat": 1}, "ex, px, exat, pxat and keepttl are mutually exclusive"),
        ({"exat": 0}, "exat must be a positive integer"),
        ({"pxat": -5}, "pxat must be a positive integer"),
        ({"exat": 2**63 - 1}, "exat is too large"),
        ({"nx": True, "xx": True, "get": True}, "nx and xx are mutually exclusive"),
    ],
)
def test_option_errors_change_nothing(c, kwargs, message):
    c.set("k", "a")
    with pytest.raises(ValueError, match=message):
        c.set("k", "b", **kwargs)
    assert c.get("k") == b"a"


@pytest.mark.parametrize("name", ["get", "keepttl"])
def test_flags_must_be_bools(c, name):
    with pytest.raises(TypeError, match=f"argument '{name}'"):
        c.set("k", "v", **{name: 1})


def test_getset_and_getdel(c):
    assert c.getset("k", "a") is None
    c.set("k", "b", ex=100)
    assert c.getset("k", "c") == b"b"
    assert c.pttl("k") == -1
    assert c.getdel("k") == b"c"
    assert c.getdel("k") is None
    assert not c.exists("k")


def test_getdel_and_keepttl_are_logged_and_recovered(tmp_path):
    # snapshot_interval=0 and no save: the reopened cache replays the log.
    c = Cache(persist_dir=tmp_path, snapshot_interval=0, fsync="always")
    c.set("gone", "v")
    c.set("kept", "v", ex=1000)
    assert c.getdel("gone") == b"v"
    assert c.set("kept", "w", keepttl=True, get=True) == b"v"
    c.close()
    c = Cache(persist_dir=tmp_path, snapshot_interval=0)
    try:
        assert c.get("gone") is None
        assert c.get("kept") == b"w"
        assert 990_000 <= c.pttl("kept") <= 1_000_000
    finally:
        c.close()
