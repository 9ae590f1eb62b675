"""Damaged data directories: the open fails with the right exception and
leaves the directory unlocked, so it opens again once repaired."""

import os

import pytest

from mevora import Cache, CorruptDataError
from persist_files import frame, record, segment


@pytest.fixture
def saved(tmp_path):
    """A directory holding a snapshot of three keys and an empty wal-1.log."""
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d)
    c.set("k", "v")
    c.hset("h", "f", "v")
    c.sadd("s", "m")
    c.close()
    return d


def assert_reopens(d):
    c = Cache(persist_dir=d)
    assert sorted(c.keys()) == [b"h", b"k", b"s"]
    c.close()


@pytest.mark.parametrize("offset", [0, 12, "middle", -13, -1])
def test_flipped_snapshot_byte_is_corrupt_data(saved, offset):
    path = os.path.join(saved, "snapshot.qvs")
    original = open(path, "rb").read()
    data = bytearray(original)
    i = len(data) // 2 if offset == "middle" else offset
    data[i] ^= 0x01
    open(path, "wb").write(bytes(data))
    with pytest.raises(CorruptDataError) as e:
        Cache(persist_dir=saved)
    assert isinstance(e.value, ValueError)
    assert str(e.value) == f"cannot load data from {saved}: snapshot: checksum mismatch"
    assert "LOCK" not in os.listdir(saved)
    open(path, "wb").write(original)
    assert_reopens(saved)


def test_snapshot_shorter_than_its_frame_is_truncated(saved):
    path = os.path.join(saved, "snapshot.qvs")
    with open(path, "r+b") as f:
        f.truncate(32)
    with pytest.raises(CorruptDataError) as e:
        Cache(persist_dir=saved)
    assert str(e.value) == f"cannot load data from {saved}: snapshot: file truncated"


@pytest.mark.parametrize(
    "data, reason",
    [
        (b"\0" * 8 + record("SET", 0, b"after", b"2"), "truncated"),  # length 0, checksum 0, more data
        (frame(b"\x01\0\0\0"), "truncated"),  # SET without a whole deadline
        (frame(b"\x02\x05ab"), "truncated"),  # DEL whose key runs past the end
        (frame(b"\x00key"), "unknown operation"),
        (frame(b"\x0d"), "unknown operation"),
        (frame(b"\xff"), "unknown operation"),
    ],
)
def test_malformed_log_record_is_corrupt_data(saved, data, reason):
    path = segment(saved, 1)
    with open(path, "wb") as f:
        f.write(record("SET", 0, b"before", b"1") + data)
    with pytest.raises(CorruptDataError) as e:
        Cache(persist_dir=saved)
    assert str(e.value) == f"cannot load data from {saved}: WAL record malformed: {reason}"
    assert "LOCK" not in os.listdir(saved)
    os.remove(path)
    assert_reopens(saved)


def test_unreadable_snapshot_fails_instead_of_opening_empty(saved):
    path = os.path.join(saved, "snapshot.qvs")
    os.remove(path)
    os.mkdir(path)
    with pytest.raises(OSError) as e:
        Cache(persist_dir=saved)
    assert type(e.value) is OSError
    assert e.value.errno is None
    assert str(e.value) == f"cannot open data directory {saved}: Is a directory (os error 21)"
    assert "LOCK" not in os.listdir(saved)


def test_directory_path_that_is_a_file_is_an_os_error(tmp_path):
    path = tmp_path / "file"
    path.write_text("x")
    with pytest.raises(OSError) as e:
        Cache(persist_dir=path)
    assert type(e.value) is OSError
    assert str(e.value) == f"cannot open data directory {path}: File exists (os error 17)"
