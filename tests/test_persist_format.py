"""The bytes of the data directory, checked with an independent decoder:
the log records each operation writes and the snapshot layout."""

import os
import struct
import time
import zlib

import pytest

from mevora import Cache
from persist_files import read_segment, read_snapshot, segment


@pytest.fixture
def opened(tmp_path):
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d, fsync="never", snapshot_interval=0)
    yield c, d
    c.close()


def now_ms():
    return int(time.time() * 1000)


def logged(c, d, action):
    """The records that action appends to the active segment."""
    before = len(read_segment(segment(d, 0), still_open=True))
    action(c)
    return read_segment(segment(d, 0), still_open=True)[before:]


# (setup, action, records the action appends)
CASES = {
    "set": (None, lambda c: c.set("k", "v"), [("SET", 0, b"k", b"v")]),
    "set empty key and value": (None, lambda c: c.set("", ""), [("SET", 0, b"", b"")]),
    "set refused by nx": (lambda c: c.set("k", "v"), lambda c: c.set("k", "w", nx=True), []),
    "delete": (lambda c: c.set("k", "v"), lambda c: c.delete("k", "missing", "k"), [("DEL", b"k")]),
    "persist": (lambda c: c.set("k", "v", ex=100), lambda c: c.persist("k"), [("EXPIRE", 0, b"k")]),
    "expire missing": (None, lambda c: c.expire("missing", 10), []),
    "incr": (None, lambda c: c.incr("n", 5), [("SET", 0, b"n", b"5")]),
    "append": (lambda c: c.set("k", "ab"), lambda c: c.append("k", "c"), [("SET", 0, b"k", b"abc")]),
    "hset": (None, lambda c: c.hset("h", "f", "v"), [("HSET", b"h", b"f", b"v")]),
    "hdel keeps": (lambda c: (c.hset("h", "f", "v"), c.hset("h", "g", "v")),
                   lambda c: c.hdel("h", "f", "x"), [("HDEL", b"h", [b"f", b"x"])]),
    "hdel empties": (lambda c: c.hset("h", "f", "v"), lambda c: c.hdel("h", "f"),
                     [("HDEL", b"h", [b"f"]), ("DEL", b"h")]),
    "hdel missing key": (None, lambda c: c.hdel("h", "f"), []),
    "lpush": (None, lambda c: c.lpush("l", "a", "b"), [("LPUSH", b"l", [b"a", b"b"])]),
    "rpush": (None, lambda c: c.rpush("l", "a", "b"), [("RPUSH", b"l", [b"a", b"b"])]),
    "lpop": (lambda c: c.rpush("l", "a", "b"), lambda c: c.lpop("l"), [("LPOP", b"l")]),
    "rpop empties": (lambda c: c.rpush("l", "a"), lambda c: c.rpop("l"), [("RPOP", b"l"), ("DEL", b"l")]),
    "sadd": (None, lambda c: c.sadd("s", "a", "b"), [("SADD", b"s", [b"a", b"b"])]),
    "srem empties": (lambda c: c.sadd("s", "a", "b"), lambda c: c.srem("s", "a", "b"),
                     [("SREM", b"s", [b"a", b"b"]), ("DEL", b"s")]),
    "flush": (lambda c: c.set("k", "v"), lambda c: c.flush(), [("FLUSH",)]),
    "wrong type": (lambda c: c.set("k", "v"), lambda c: pytest.raises(TypeError, c.hset, "k", "f", "v"), []),
}


@pytest.mark.parametrize("name", list(CASES))
def test_each_operation_logs_its_records(opened, name):
    c, d = opened
    setup, action, expected = CASES[name]
    if setup:
        setup(c)
    assert logged(c, d, action) == expected


def test_deadlines_are_absolute_milliseconds(opened):
    c, d = opened
    lo = now_ms()
    (rec,) = logged(c, d, lambda c: c.set("k", "v", px=100000))
    (exp,) = logged(c, d, lambda c: c.expire("k", 50))
    hi = now_ms()
    kind, deadline, key, value = rec
    assert (kind, key, value) == ("SET", b"k", b"v")
    assert lo + 100000 <= deadline <= hi + 100000
    assert exp[0] == "EXPIRE" and exp[2] == b"k"
    assert lo + 50000 <= exp[1] <= hi + 50000
    # A plain set removes the deadline, and says so.
    assert logged(c, d, lambda c: c.set("k", "w")) == [("SET", 0, b"k", b"w")]


def test_lazy_expiry_logs_a_del(opened):
    c, d = opened
    c.set("k", "v", px=20)
    time.sleep(0.05)
    assert logged(c, d, lambda c: c.get("k")) == [("DEL", b"k")]


@pytest.mark.parametrize("length, prefix", [(127, b"\x7f"), (128, b"\x80\x01"), (300, b"\xac\x02")])
def test_frame_bytes_and_varint_lengths(opened, length, prefix):
    c, d = opened
    key = b"x" * length
    start = os.path.getsize(segment(d, 0))
    c.set(key, b"val")
    end = c.persist_stats["wal_bytes"]
    raw = open(segment(d, 0), "rb").read()
    assert not raw[end:].strip(b"\0"), "only reserved zeros follow the frames of the open segment"
    data = raw[start:end]
    payload = b"\x01" + b"\0" * 8 + prefix + key + b"val"
    assert data == struct.pack("<II", len(payload), zlib.crc32(payload)) + payload


def test_empty_snapshot_is_33_bytes(opened):
    c, d = opened
    c.save()
    data = open(os.path.join(d, "snapshot.qvs"), "rb").read()
    assert len(data) == 33
    body = b"QVSNAP01" + struct.pack("<IQ", 1, 1) + b"\xff" + struct.pack("<Q", 0)
    assert data == body + struct.pack("<I", zlib.crc32(body))


def test_snapshot_holds_every_live_key_and_the_next_segment(opened):
    c, d = opened
    c.set("s", "text")
    c.set("", "")
    c.set("t", "v", ex=3600)
    c.rpush("l", "a", "b", "a")
    c.hset("h", "f", "1")
    c.hset("h", "g", "")
    c.sadd("m", "x", "y")
    c.set("gone", "v", px=1)
    time.sleep(0.01)  # "gone" is due but still in its table
    c.save()
    c.save()
    wal_seq, records = read_snapshot(os.path.join(d, "snapshot.qvs"))
    assert wal_seq == 2
    assert os.path.exists(segment(d, 2)) and not os.path.exists(segment(d, 1))
    by_key = {key: (kind, deadline, value) for kind, key, deadline, value in records}
    assert len(by_key) == len(records) == 6
    deadline = by_key[b"t"][1]
    assert by_key == {
        b"s": ("string", 0, b"text"),
        b"": ("string", 0, b""),
        b"t": ("string", deadline, b"v"),
        b"l": ("list", 0, [b"a", b"b", b"a"]),
        b"h": ("hash", 0, by_key[b"h"][2]),
        b"m": ("set", 0, by_key[b"m"][2]),
    }
    assert now_ms() < deadline <= now_ms() + 3600000
    assert sorted(by_key[b"h"][2]) == [(b"f", b"1"), (b"g", b"")]
    assert sorted(by_key[b"m"][2]) == [b"x", b"y"]
