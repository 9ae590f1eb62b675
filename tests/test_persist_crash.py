"""Crash safety and fault injection: processes killed mid-stream, torn log
tails, log writes that fail, and saves that fail."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import threading

import pytest

import mevora
from mevora import Cache
from persist_files import frame_ends, read_segment, segment

CHILD_TIMEOUT = 30

# Writes an endless stream of changes and acknowledges each completed step
# on stdout; the parent kills it mid-stream.
WRITER = r"""
import sys
from mevora import Cache

c = Cache(persist_dir=sys.argv[1], fsync=sys.argv[2])
i = 0
while True:
    c.set(f"k{i}", f"v{i}")
    c.hset("h", f"f{i}", str(i))
    c.rpush("l", str(i))
    sys.stdout.write(f"{i}\n")
    sys.stdout.flush()
    i += 1
"""

# Opens a cache, caps the file size just above the log, and tries writes
# that cross the cap. Under "always" each frame is one write(2), so the cap
# meets the very next write.
FSIZE = r"""
import json, os, resource, signal, sys
from mevora import Cache

signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
d = sys.argv[1]
c = Cache(persist_dir=d, fsync="always", snapshot_interval=0)
c.set("small", "v")
size = os.path.getsize(os.path.join(d, "wal-0.log"))
resource.setrlimit(resource.RLIMIT_FSIZE, (size + 100, resource.RLIM_INFINITY))
try:
    c.set("big", "x" * 1000)
    refused = None
except OSError as e:
    refused = [e.errno, e.strerror]
after_big = dict(c.persist_stats)
try:
    c.set("after", "1")
    refused_next = None
except OSError as e:
    refused_next = [e.errno, e.strerror]
segment_after_refusals = open(os.path.join(d, "wal-0.log"), "rb").read().hex()
c.save()  # a snapshot and a fresh segment make the log whole again
healed = dict(c.persist_stats)
c.set("after", "1")
print(json.dumps({
    "refused": refused,
    "refused_next": refused_next,
    "big_in_memory": c.get("big") is not None,
    "stats": after_big,
    "healed": healed,
    "size_before": size,
    "size_after_big": after_big["wal_bytes"],
    "segment_after_refusals": segment_after_refusals,
}))
sys.stdout.flush()
os._exit(0)
"""


# The same cap on a mapped segment ("never"): the file already runs on
# into the space reserved ahead of the frames, so the cap is met when that
# space is used up and the segment must grow.
FSIZE_MAPPED = r"""
import json, os, resource, signal, sys
from mevora import Cache

signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
d = sys.argv[1]
c = Cache(persist_dir=d, fsync="never", snapshot_interval=0)
c.set("small", "v")
reserved = os.path.getsize(os.path.join(d, "wal-0.log"))
resource.setrlimit(resource.RLIMIT_FSIZE, (reserved + 100, resource.RLIM_INFINITY))
acked, refused = ["small"], None
for i in range(reserved // 1000 + 100):
    try:
        c.set(f"k{i}", "x" * 1000)
        acked.append(f"k{i}")
    except OSError as e:
        refused = [e.errno, e.strerror, f"k{i}"]
        break
wal_bytes = c.persist_stats["wal_bytes"]
stats = dict(c.persist_stats)
try:
    c.set("after", "1")
    refused_next = None
except OSError as e:
    refused_next = [e.errno, e.strerror]
in_memory = sorted(k.decode() for k in c.keys())
c.save()
c.set("after", "1")
acked.append("after")
c.close()
print(json.dumps({"refused": refused, "refused_next": refused_next, "stats": stats, "acked": sorted(acked),
                  "in_memory": in_memory, "reserved": reserved, "wal_bytes": wal_bytes}))
sys.stdout.flush()
os._exit(0)
"""


def child_env():
    env = dict(os.environ)
    root = str(pathlib.Path(mevora.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = root + os.pathsep + env.get("PYTHONPATH", "")
    return env


def spawn(script, *args):
    p = subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE,
                         env=child_env(), text=True)
    watchdog = threading.Timer(CHILD_TIMEOUT, p.kill)
    watchdog.start()
    return p, watchdog


@pytest.mark.parametrize("fsync, steps", [("always", 60), ("everysec", 300), ("never", 300)])
def test_acknowledged_writes_survive_sigkill(tmp_path, fsync, steps):
    d = str(tmp_path / "data")
    p, watchdog = spawn(WRITER, d, fsync)
    try:
        acked = -1
        for line in p.stdout:
            acked = int(line)
            if acked + 1 >= steps:
                break
        os.kill(p.pid, signal.SIGKILL)
        p.wait(timeout=CHILD_TIMEOUT)  # reaped: its LOCK now names a dead process
    finally:
        watchdog.cancel()
        p.kill()
        p.stdout.close()
    assert acked + 1 == steps, "the writer stopped early"

    c = Cache(persist_dir=d)
    for i in range(acked + 1):
        assert c.get(f"k{i}") == f"v{i}".encode()
        assert c.hget("h", f"f{i}") == str(i).encode()
    # The child ran on past the last acknowledgement; what it logged before
    # the kill comes back as an unbroken prefix of its stream.
    items = c.lrange("l", 0, -1)
    assert len(items) >= acked + 1
    assert items == [str(i).encode() for i in range(len(items))]
    c.close()


def kill_writer_after(d, fsync, steps):
    """Runs WRITER until it acknowledged `steps` steps, SIGKILLs and reaps it."""
    p, watchdog = spawn(WRITER, d, fsync)
    try:
        for line in p.stdout:
            if int(line) + 1 >= steps:
                break
        os.kill(p.pid, signal.SIGKILL)
        p.wait(timeout=CHILD_TIMEOUT)
    finally:
        watchdog.cancel()
        p.kill()
        p.stdout.close()


@pytest.mark.parametrize("fsync", ["everysec", "never"])
def test_killed_mapped_segment_is_cut_back_before_anything_follows_it(tmp_path, fsync):
    d = str(tmp_path / "data")
    kill_writer_after(d, fsync, 200)
    path = segment(d, 0)
    ends = frame_ends(path)
    data = open(path, "rb").read()
    # The kill may land while a frame is being copied into the mapping (a
    # page fault at a page boundary is a wide window): then the start of
    # that unacknowledged frame precedes the zeros, and reopening must cut
    # it back with them.
    tail = data[ends[-1]:]
    torn = len(tail.rstrip(b"\0"))
    largest = max(b - a for a, b in zip([0] + ends, ends))
    assert len(tail) > torn and torn < largest, "the killed segment ends in its reserved zeros"

    c = Cache(persist_dir=d, fsync=fsync)
    assert os.path.getsize(path) == c.persist_stats["wal_bytes"] == ends[-1]
    read_segment(path)  # whole frames only
    c.set("next", "1")
    assert read_segment(path, still_open=True)[-1] == ("SET", 0, b"next", b"1")
    c.save()  # rotation: the snapshot covers wal-0, wal-1 starts empty
    c.set("after save", "1")
    del c  # dropped without close (a background thread may finish the drop)
    assert read_segment(segment(d, 1), still_open=True) == [("SET", 0, b"after save", b"1")]

    # A second kill, now in wal-1, after a reopen that appended to it.
    kill_writer_after(d, fsync, 50)
    c = Cache(persist_dir=d)
    for i in range(50):
        assert c.get(f"k{i}") == f"v{i}".encode()
    assert c.get("next") == b"1" and c.get("after save") == b"1"
    c.close()


@pytest.mark.parametrize("torn", [5, 8, 12], ids=["header", "whole-header", "part-of-body"])
def test_killed_mapped_segment_with_a_torn_frame_before_its_zeros(tmp_path, torn):
    # What a kill in the middle of copying a frame into the mapping leaves:
    # the frame's first bytes, then the reserved zeros.
    d = str(tmp_path / "data")
    kill_writer_after(d, "never", 100)
    path = segment(d, 0)
    ends = frame_ends(path)
    data = bytearray(open(path, "rb").read())
    last = bytes(data[ends[-2]:ends[-1]])
    data[ends[-1]:] = bytes(len(data) - ends[-1])  # the kill itself may have torn a frame
    data[ends[-1]:ends[-1] + torn] = last[:torn]
    open(path, "wb").write(bytes(data))

    c = Cache(persist_dir=d)
    assert os.path.getsize(path) == c.persist_stats["wal_bytes"] == ends[-1]
    for i in range(100):
        assert c.get(f"k{i}") == f"v{i}".encode()
    c.set("next", "1")  # appended right after the last whole frame
    assert read_segment(path, still_open=True)[-1] == ("SET", 0, b"next", b"1")
    c.close()


@pytest.mark.parametrize("where", ["header", "payload", "checksum"])
def test_torn_final_frame_is_cut_back_with_a_note(tmp_path, where):
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d, fsync="never")
    for i in range(10):
        c.set(f"k{i}", f"v{i}")
    del c  # no close: the log is all there is
    path = segment(d, 0)
    ends = frame_ends(path)
    assert len(ends) == 10
    good = ends[-2]
    data = bytearray(open(path, "rb").read())
    if where == "header":
        data = data[:good + 5]
    elif where == "payload":
        data = data[:-1]
    else:
        data[-1] ^= 0xFF
    open(path, "wb").write(bytes(data))

    c = Cache(persist_dir=d)
    assert c.persist_stats["last_error"] == f"truncated torn WAL tail in wal-0.log at byte {good}"
    assert os.path.getsize(path) == good
    assert sorted(c.keys()) == sorted(f"k{i}".encode() for i in range(9))
    c.set("next", "1")  # appended right after the last whole frame
    assert read_segment(path, still_open=True)[-1] == ("SET", 0, b"next", b"1")
    c.save()
    assert c.persist_stats["last_error"] is None
    c.close()


def test_failed_log_write_fails_the_change_and_leaves_no_partial_frame(tmp_path):
    d = str(tmp_path / "data")
    p, watchdog = spawn(FSIZE, d)
    try:
        out, _ = p.communicate(timeout=CHILD_TIMEOUT)
    finally:
        watchdog.cancel()
    assert p.returncode == 0
    result = json.loads(out)
    refused = "write refused, the change could not be logged: File too large (os error 27)"
    assert result["refused"] == [27, refused]
    assert result["refused_next"] == [27, refused], "writes stay refused until a save"
    assert result["big_in_memory"] is False
    assert result["stats"]["last_error"] == "WAL append failed: File too large (os error 27)"
    assert result["stats"]["writes_refused"] is True
    assert result["healed"]["writes_refused"] is False
    assert result["healed"]["last_error"] is None
    assert result["size_after_big"] == result["size_before"]
    # Cut back to the last whole frame while writes were refused.
    assert len(bytes.fromhex(result["segment_after_refusals"])) == result["size_before"]
    # The save started segment 1 after a snapshot holding "small".
    assert read_segment(segment(d, 1)) == [("SET", 0, b"after", b"1")]
    c = Cache(persist_dir=d)
    assert sorted(c.keys()) == [b"after", b"small"]
    c.close()


def test_file_size_limit_refuses_the_growth_of_a_mapped_segment(tmp_path):
    d = str(tmp_path / "data")
    p, watchdog = spawn(FSIZE_MAPPED, d)
    try:
        out, _ = p.communicate(timeout=CHILD_TIMEOUT)
    finally:
        watchdog.cancel()
    assert p.returncode == 0
    r = json.loads(out)
    refused = "write refused, the change could not be logged: File too large (os error 27)"
    assert r["refused"] is not None and r["refused"][:2] == [27, refused]
    assert r["refused_next"] == [27, refused], "writes stay refused until a save"
    assert r["stats"]["writes_refused"] is True
    assert r["stats"]["last_error"] == "WAL append failed: File too large (os error 27)"
    assert r["wal_bytes"] <= r["reserved"], "a frame was acknowledged past the reserved space"
    assert r["in_memory"] == sorted(k for k in r["acked"] if k != "after")
    c = Cache(persist_dir=d)
    assert sorted(k.decode() for k in c.keys()) == r["acked"]
    c.close()


def test_failed_save_keeps_the_previous_snapshot(tmp_path):
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d)
    c.set("a", "1")
    c.save()
    snapshot = open(os.path.join(d, "snapshot.qvs"), "rb").read()
    c.set("b", "2")
    os.mkdir(os.path.join(d, "snapshot.tmp"))  # the temporary file cannot be created
    with pytest.raises(OSError) as e:
        c.save()
    assert type(e.value) is OSError
    assert str(e.value) == "save failed: Is a directory (os error 21)"
    assert c.persist_stats["last_error"] == "save failed: Is a directory (os error 21)"
    assert open(os.path.join(d, "snapshot.qvs"), "rb").read() == snapshot
    c.close()  # the final save fails the same way
    assert c.persist_stats["last_error"] == "final save failed: Is a directory (os error 21)"
    os.rmdir(os.path.join(d, "snapshot.tmp"))
    c2 = Cache(persist_dir=d)
    assert sorted(c2.keys()) == [b"a", b"b"]
    c2.close()
