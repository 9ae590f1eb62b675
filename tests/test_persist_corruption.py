"""Damaged data directories: the open fails with the right exception and
leaves the directory unlocked, so it opens again once repaired."""

import errno
import os
import shutil
import subprocess
import sys

import pytest

from mevora import Cache, CorruptDataError, repair
from persist_files import contents, frame, frame_ends, record, segment


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
        (frame(b"\x11"), "unknown operation"),  # 13 is a transaction record, 14 to 16 list edits
        (frame(b"\x0d"), "truncated"),  # a transaction record without its count
        (frame(b"\x0d\x02\x03\x02\x01k"), "truncated"),  # fewer records than its count
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


# ---- every byte flipped, every truncation --------------------------------------------


@pytest.fixture(scope="module")
def history(tmp_path_factory):
    """A small directory: a snapshot, a full segment wal-1 and the last
    segment wal-2, with every state its acknowledged history passed through
    once wal-1 was complete (those a torn wal-2 may come back as)."""
    d = str(tmp_path_factory.mktemp("history") / "data")
    c = Cache(persist_dir=d, fsync="never", snapshot_interval=0)
    c.set("k", "v")
    c.rpush("l", "1", "2", "3")
    c.save()  # snapshot with wal_seq 1
    c.hset("h", "f", "1")
    c.lpop("l")
    c.sadd("s", "a", "b")
    c.close()
    # Replaced by a log alone: a live wal-1 and the last segment wal-2.
    for name in os.listdir(d):
        os.remove(os.path.join(d, name))
    with open(segment(d, 1), "wb") as f:
        f.write(record("SET", 0, b"k", b"v") + record("RPUSH", b"l", [b"1", b"2", b"3"])
                + record("HSET", b"h", b"f", b"1"))
    with open(segment(d, 2), "wb") as f:
        f.write(record("LPOP", b"l") + record("SADD", b"s", [b"a", b"b"]) + record("DEL", b"k"))
    states = []
    for end in [0] + frame_ends(segment(d, 2)):
        work = d + "-prefix"
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(d, work)
        os.truncate(segment(work, 2), end)
        c = Cache(persist_dir=work, fsync="never", snapshot_interval=0)
        states.append(contents(c))
        c.close()
    return d, states


def files_of(d):
    return {n: open(os.path.join(d, n), "rb").read() for n in sorted(os.listdir(d)) if n != "LOCK"}


def open_damaged(base, work, damage, states):
    """Copies base to work, damages it, opens it: a successful open must give
    a prefix of the history, a failed one CorruptDataError with the files as
    they were; repair then yields a directory that opens. Returns whether the
    open succeeded."""
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(base, work)
    damage(work)
    before = files_of(work)
    try:
        c = Cache(persist_dir=work, fsync="never", snapshot_interval=0)
    except CorruptDataError:
        assert files_of(work) == before, "a failed open changed files"
        report = repair(work)
        assert not report.clean
        assert files_of(work) == before, "repair without fix changed files"
        assert repair(work, fix=True).fixed
        Cache(persist_dir=work, fsync="never", snapshot_interval=0).close()
        return False
    assert contents(c) in states, "an open built a state that never existed"
    c.close()
    return True


def flip(name, at):
    def damage(work):
        path = os.path.join(work, name)
        data = bytearray(open(path, "rb").read())
        data[at] ^= 0xFF
        open(path, "wb").write(bytes(data))
    return damage


def cut(name, size):
    return lambda work: os.truncate(os.path.join(work, name), size)


def test_every_flipped_byte_opens_as_a_prefix_or_fails_unchanged(history, tmp_path):
    base, states = history
    work = str(tmp_path / "work")
    opened = {}
    for name in ("wal-1.log", "wal-2.log"):
        size = os.path.getsize(os.path.join(base, name))
        opened[name] = [open_damaged(base, work, flip(name, at), states) for at in range(size)]
    assert not any(opened["wal-1.log"]), "damage outside the last segment was cut away"
    assert any(opened["wal-2.log"]) and not all(opened["wal-2.log"])


def test_every_truncation_opens_as_a_prefix_or_fails_unchanged(history, tmp_path):
    base, states = history
    work = str(tmp_path / "work")
    last = os.path.join(base, "wal-2.log")
    for size in range(os.path.getsize(last)):
        assert open_damaged(base, work, cut("wal-2.log", size), states)
    # A segment that is not the last, cut inside a frame. (Cut exactly at a
    # frame boundary it is indistinguishable from a shorter segment.)
    ends = set(frame_ends(os.path.join(base, "wal-1.log")))
    for size in range(1, os.path.getsize(os.path.join(base, "wal-1.log"))):
        if size not in ends:
            assert not open_damaged(base, work, cut("wal-1.log", size), states)


def test_damaged_snapshot_fails_unchanged_and_repair_moves_it_aside(saved, tmp_path):
    snap = os.path.join(saved, "snapshot.qvs")
    size = os.path.getsize(snap)
    states = []  # no state is acceptable: every flip must be refused
    work = str(tmp_path / "work")
    for at in range(0, size, 3):
        assert not open_damaged(saved, work, flip("snapshot.qvs", at), states)
    assert "snapshot.qvs.damaged" in os.listdir(work)


def test_repair_command_reports_and_fixes(history, tmp_path):
    base, _ = history
    work = str(tmp_path / "work")
    shutil.copytree(base, work)
    flip("wal-1.log", 10)(work)  # a payload byte of the first frame
    run = [sys.executable, "-m", "mevora", "repair", work]
    p = subprocess.run(run, capture_output=True, text=True, timeout=60)
    assert p.returncode == 1
    assert "wal-1.log: checksum mismatch at byte 0" in p.stdout
    p = subprocess.run(run + ["--yes"], capture_output=True, text=True, timeout=60)
    assert p.returncode == 0, p.stderr
    assert "damage cut away" in p.stdout
    assert os.path.getsize(segment(work, 1)) == 0
    p = subprocess.run(run, capture_output=True, text=True, timeout=60)
    assert p.returncode == 0 and "no damage found" in p.stdout
    Cache(persist_dir=work).close()


@pytest.mark.parametrize("name", ["snapshot.qvs", "wal-1.log"])
def test_fifo_in_place_of_a_data_file_fails_the_open_at_once(saved, name):
    path = os.path.join(saved, name)
    os.remove(path)
    os.mkfifo(path)
    with pytest.raises(OSError) as e:
        Cache(persist_dir=saved)
    assert str(e.value) == f"cannot open data directory {saved}: {path} is not a regular file"
    assert "LOCK" not in os.listdir(saved)
    report = repair(saved, fix=True)
    assert report.damage[0].reason == "not a regular file"
    Cache(persist_dir=saved).close()


def test_repair_refuses_a_directory_a_cache_has_open(saved):
    c = Cache(persist_dir=saved)
    with pytest.raises(OSError) as e:
        repair(saved, fix=True)
    assert e.value.errno == errno.EBUSY
    c.close()
    assert repair(saved).clean
