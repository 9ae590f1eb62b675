"""Persistent caches: what survives close, drop and reopen, and the methods
that manage persistence (save, close, persistent, persist_stats)."""

import os
import pathlib
import shutil
import time

import pytest

from mevora import Cache
from persist_files import contents, read_segment, record, segment

STATS_KEYS = ["last_save_ms", "snapshot_bytes", "wal_bytes", "loaded_keys", "last_error", "writes_refused"]


@pytest.fixture
def data_dir(tmp_path):
    return str(tmp_path / "data")


def fill(c):
    c.set("str", "value")
    c.set("ttl", "v", ex=3600)
    c.set("empty", "")
    c.set(b"bin\x00\xff", b"\x00\x01")
    c.hset("h", "f1", "v1")
    c.hset("h", "f2", "")
    c.rpush("l", "a", "b", "c")
    c.lpush("l", "z")
    c.sadd("s", "x", "y")
    c.incr("n", 41)
    c.append("str", "+")


def test_empty_directory_opens_with_first_segment_and_lock(data_dir):
    c = Cache(persist_dir=data_dir)
    assert c.persistent is True
    assert len(c) == 0
    assert sorted(os.listdir(data_dir)) == ["LOCK", "wal-0.log"]
    with open(os.path.join(data_dir, "LOCK")) as f:
        assert f.read() == f"{os.getpid()}\n"
    assert c.persist_stats == {
        "last_save_ms": 0, "snapshot_bytes": 0, "wal_bytes": 0, "loaded_keys": 0, "last_error": None,
        "writes_refused": False,
    }
    c.close()


def test_data_survives_close_and_reopen(data_dir):
    c = Cache(persist_dir=pathlib.Path(data_dir))
    fill(c)
    before = contents(c)
    c.close()
    assert sorted(os.listdir(data_dir)) == ["snapshot.qvs", "wal-1.log"]
    c2 = Cache(persist_dir=data_dir)
    assert contents(c2) == before
    stats = c2.persist_stats
    assert stats["loaded_keys"] == len(before)
    assert stats["snapshot_bytes"] == os.path.getsize(os.path.join(data_dir, "snapshot.qvs"))
    assert stats["wal_bytes"] == 0
    c2.close()


def test_reopen_without_any_save_replays_the_log(data_dir):
    c = Cache(persist_dir=data_dir)
    fill(c)
    c.delete("empty")
    c.hdel("h", "f2")
    c.lpop("l")
    before = contents(c)
    del c  # released without close(): no final snapshot
    assert os.listdir(data_dir) == ["wal-0.log"]
    c2 = Cache(persist_dir=data_dir)
    assert contents(c2) == before
    size = os.path.getsize(segment(data_dir, 0))
    assert c2.persist_stats["wal_bytes"] == size
    c2.set("more", "1")  # appends continue in the same segment
    assert read_segment(segment(data_dir, 0), still_open=True)[-1] == ("SET", 0, b"more", b"1")
    c2.close()


def test_reopen_after_save_loads_snapshot_and_newer_segments(data_dir):
    c = Cache(persist_dir=data_dir)
    fill(c)
    c.save()
    c.delete("s")
    c.set("str", "after")
    c.rpush("l", "tail")
    before = contents(c)
    del c  # released without close(): no final snapshot
    assert sorted(os.listdir(data_dir)) == ["snapshot.qvs", "wal-1.log"]
    c2 = Cache(persist_dir=data_dir)
    assert contents(c2) == before
    c2.close()


def test_interrupted_saves_lose_nothing(data_dir):
    c = Cache(persist_dir=data_dir)
    c.set("a", "1")
    c.save()  # snapshot covering segments below 1
    c.set("b", "2")  # in wal-1.log
    del c  # released without close(): no final snapshot
    # A save that rotated to segment 2 and stopped before its snapshot ...
    with open(segment(data_dir, 2), "wb") as f:
        f.write(record("SET", 0, b"c", b"3") + record("DEL", b"a"))
    # ... and one that installed its snapshot but stopped before deleting.
    with open(segment(data_dir, 0), "wb") as f:
        f.write(record("SET", 0, b"stale", b"x"))
    c2 = Cache(persist_dir=data_dir)
    assert contents(c2) == {b"b": (b"2", -1), b"c": (b"3", -1)}
    assert not os.path.exists(segment(data_dir, 0))
    c2.set("d", "4")
    assert read_segment(segment(data_dir, 2), still_open=True)[-1] == ("SET", 0, b"d", b"4")
    c2.close()


def test_key_that_expired_while_closed_is_gone_and_its_del_is_logged(data_dir):
    c = Cache(persist_dir=data_dir)
    c.set("short", "v", px=150)
    c.set("keep", "v")
    c.close()  # still live at close, so it is in the snapshot
    time.sleep(0.3)
    c2 = Cache(persist_dir=data_dir)
    assert c2.keys() == [b"keep"]
    assert c2.persist_stats["loaded_keys"] == 1
    assert read_segment(segment(data_dir, 1), still_open=True) == [("DEL", b"short")]
    c2.close()


def test_rebuilt_data_above_max_memory_is_not_evicted(data_dir):
    c = Cache(persist_dir=data_dir)
    for i in range(200):
        c.set(f"k{i}", "v" * 100)
    used = c.used_memory
    c.close()
    c2 = Cache(persist_dir=data_dir, max_memory=used // 2, policy="allkeys-lru")
    assert len(c2) == 200
    assert c2.used_memory > used // 2
    c2.set("new", "v")  # the limit applies from now on
    assert len(c2) < 201
    c2.close()


def test_leftover_temporary_snapshot_never_influences_the_load(tmp_path):
    other, real = str(tmp_path / "other"), str(tmp_path / "real")
    c = Cache(persist_dir=other)
    c.set("other", "1")
    c.close()
    c = Cache(persist_dir=real)
    c.set("real", "1")
    c.close()
    shutil.copy(os.path.join(other, "snapshot.qvs"), os.path.join(real, "snapshot.tmp"))
    c2 = Cache(persist_dir=real)
    assert c2.keys() == [b"real"]
    assert not os.path.exists(os.path.join(real, "snapshot.tmp"))
    c2.close()


def test_segment_listed_under_two_names_is_replayed_once(data_dir):
    os.makedirs(data_dir)
    for name in ("wal-7.log", "wal-07.log"):
        with open(os.path.join(data_dir, name), "wb") as f:
            f.write(record("RPUSH", b"l", [b"x"]))
    c = Cache(persist_dir=data_dir)
    assert c.lrange("l", 0, -1) == [b"x"]
    c.set("k", "v")
    assert read_segment(segment(data_dir, 7), still_open=True)[-1] == ("SET", 0, b"k", b"v")
    c.close()


def test_save_without_persistence_is_a_value_error():
    c = Cache()
    with pytest.raises(ValueError) as e:
        c.save()
    assert str(e.value) == "persistence is not enabled"
    assert c.persistent is False
    assert c.persist_stats is None
    c.close()


def test_save_reports_rotation_and_counters(data_dir):
    c = Cache(persist_dir=data_dir)
    c.set("k", "v")
    before = time.time() * 1000
    assert c.save() is None
    after = time.time() * 1000
    stats = c.persist_stats
    assert list(stats) == STATS_KEYS
    assert before - 1 <= stats["last_save_ms"] <= after + 1
    assert stats["wal_bytes"] == 0
    assert stats["snapshot_bytes"] == os.path.getsize(os.path.join(data_dir, "snapshot.qvs"))
    assert stats["last_error"] is None
    c.save()  # an unchanged cache still rotates
    assert sorted(os.listdir(data_dir)) == ["LOCK", "snapshot.qvs", "wal-2.log"]
    c.close()


def test_closed_cache_keeps_working_in_memory(data_dir):
    c = Cache(persist_dir=data_dir)
    c.set("k", "v")
    assert c.close() is None
    assert c.close() is None
    assert "LOCK" not in os.listdir(data_dir)
    size = os.path.getsize(segment(data_dir, 1))
    c.set("k2", "v2")
    c.hset("h", "f", "v")
    assert c.get("k") == b"v" and c.get("k2") == b"v2"
    assert os.path.getsize(segment(data_dir, 1)) == size  # nothing logged
    with pytest.raises(OSError) as e:
        c.save()
    assert type(e.value) is OSError
    assert str(e.value) == "save failed: store is closed"
    assert c.persistent is True
    stats = c.persist_stats
    assert list(stats) == STATS_KEYS
    assert stats["last_error"] == "save failed: store is closed"
    c2 = Cache(persist_dir=data_dir)  # free again at once
    assert c2.keys() == [b"k"]
    c2.close()
