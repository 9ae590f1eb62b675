"""A failing disk: no acknowledged write lost, no refused write kept.

Faults are injected through the extension's platform seam (_inject_fault:
the nth file write or sync from now fails with a chosen errno), plus one
real full file system on a small tmpfs where the machine allows mounting.
After every failure the in-memory keyspace and what a reopen rebuilds from
the directory must agree.
"""
import errno
import json
import os
import shutil
import subprocess
import sys
import time

import pytest

from mevora import Cache, _mevora
from persist_files import contents, read_segment, segment

REFUSED = "write refused, the change could not be logged: "


@pytest.fixture(autouse=True)
def no_faults_left():
    _mevora._clear_faults()
    yield
    _mevora._clear_faults()


def seed(c):
    c.set("s", "v")
    c.set("t", "tv", ex=3600)
    c.set("n", "5")
    c.hset("h", "f", "1")
    c.hset("h", "g", "2")
    c.hset("h1", "only", "x")
    c.rpush("l", "a", "b")
    c.rpush("l1", "z")
    c.sadd("S", "x", "y")
    c.sadd("s1", "m")


# Every write path, on the seeded keyspace.
WRITES = [
    ("set over", lambda c: c.set("s", "other")),
    ("set same size", lambda c: c.set("s", "w")),
    ("set new", lambda c: c.set("new", "1")),
    ("set with ttl", lambda c: c.set("new", "1", px=500)),
    ("mset", lambda c: c.mset({"a": "1", "b": "2"})),
    ("incr", lambda c: c.incr("n")),
    ("incr new", lambda c: c.incr("m", 3)),
    ("append", lambda c: c.append("s", "tail")),
    ("append new", lambda c: c.append("new", "x")),
    ("delete", lambda c: c.delete("s", "h")),
    ("expire", lambda c: c.expire("s", 100)),
    ("persist", lambda c: c.persist("t")),
    ("hset new field", lambda c: c.hset("h", "k", "3")),
    ("hset same length", lambda c: c.hset("h", "f", "9")),
    ("hset other length", lambda c: c.hset("h", "f", "longer")),
    ("hset new key", lambda c: c.hset("h2", "f", "1")),
    ("hdel", lambda c: c.hdel("h", "f")),
    ("hdel last field", lambda c: c.hdel("h1", "only")),
    ("lpush", lambda c: c.lpush("l", "p", "q")),
    ("rpush new key", lambda c: c.rpush("l2", "p")),
    ("lpush nothing new key", lambda c: c.lpush("l3")),
    ("lpop", lambda c: c.lpop("l")),
    ("rpop last item", lambda c: c.rpop("l1")),
    ("sadd", lambda c: c.sadd("S", "w", "x", "w")),
    ("sadd new key", lambda c: c.sadd("S2", "a")),
    ("srem", lambda c: c.srem("S", "x")),
    ("srem last member", lambda c: c.srem("s1", "m")),
    ("flush", lambda c: c.flush()),
]


def reopened(d):
    """The keyspace a crash now would come back with: a copy of the files
    (without the LOCK), opened while the store itself stays open."""
    copy = d + "-crash"
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(d, copy, ignore=shutil.ignore_patterns("LOCK"))
    c = Cache(persist_dir=copy)
    try:
        return contents(c)
    finally:
        c.close()


@pytest.mark.parametrize("fault", ["write", "sync"])
@pytest.mark.parametrize("name,write", WRITES, ids=[w[0] for w in WRITES])
def test_refused_write_changes_nothing_until_a_save_heals(tmp_path, name, write, fault):
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d, fsync="always", snapshot_interval=0)
    seed(c)
    before = contents(c)
    wal_before = c.persist_stats["wal_bytes"]

    _mevora._inject_fault(fault, 1, errno.ENOSPC if fault == "write" else errno.EIO, 0)
    with pytest.raises(OSError) as e:
        write(c)
    code = errno.ENOSPC if fault == "write" else errno.EIO
    assert e.value.errno == code
    assert e.value.strerror == REFUSED + f"{os.strerror(code)} (os error {code})"
    assert contents(c) == before, "a refused write changed memory"
    stats = c.persist_stats
    assert stats["writes_refused"] is True
    assert stats["wal_bytes"] == wal_before
    assert os.path.getsize(segment(d, 0)) == wal_before, "a refused record stayed in the log"

    # Every later write is refused the same way; reads keep working.
    _mevora._clear_faults()
    with pytest.raises(OSError) as again:
        c.set("later", "1")
    assert again.value.errno == code
    assert c.get("s") == b"v" and c.lrange("l", 0, -1) == [b"a", b"b"]

    c.save()
    assert c.persist_stats["writes_refused"] is False
    assert c.persist_stats["last_error"] is None
    write(c)
    c.set("later", "1")
    after = contents(c)
    assert reopened(d) == after
    c.close()


@pytest.mark.parametrize("fault,code", [("write", errno.ENOSPC), ("sync", errno.EIO)])
def test_a_transaction_the_log_refuses_is_rolled_back_and_raised_as_oserror(tmp_path, fault, code):
    c = Cache(persist_dir=str(tmp_path / "data"), fsync="always", snapshot_interval=0)
    seed(c)
    before = contents(c)
    _mevora._inject_fault(fault, 1, code, 0)
    with pytest.raises(OSError) as e:
        with c.transaction() as tx:
            tx.set("s", "other")
            tx.rpush("l", "c")
            tx.hset("h2", "f", "1")
    _mevora._clear_faults()
    assert type(e.value) is OSError
    assert str(e.value) == f"transaction rolled back: {os.strerror(code)} (os error {code})"
    assert contents(c) == before, "a rolled-back transaction changed memory"


@pytest.mark.parametrize("fault", ["write", "allocate"])
@pytest.mark.parametrize("name,write", WRITES, ids=[w[0] for w in WRITES])
def test_refused_write_on_a_mapped_segment_changes_nothing(tmp_path, name, write, fault):
    # Under "never" frames are copied into space reserved ahead; the save
    # starts a segment with nothing reserved yet, so the write below must
    # reserve first: a full disk refuses it there, before anything is copied.
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d, fsync="never", snapshot_interval=0)
    seed(c)
    c.save()
    before = contents(c)
    wal_before = c.persist_stats["wal_bytes"]
    frames_before = read_segment(segment(d, 1), still_open=True)

    _mevora._inject_fault(fault, 1, errno.ENOSPC, 0)
    with pytest.raises(OSError) as e:
        write(c)
    assert e.value.errno == errno.ENOSPC
    assert e.value.strerror == REFUSED + f"{os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})"
    assert contents(c) == before, "a refused write changed memory"
    assert c.persist_stats["writes_refused"] is True
    assert c.persist_stats["wal_bytes"] == wal_before
    assert read_segment(segment(d, 1), still_open=True) == frames_before, "a refused record reached the log"

    _mevora._clear_faults()
    c.save()
    write(c)
    after = contents(c)
    assert reopened(d) == after
    c.close()


def test_emptying_write_stands_when_only_the_follow_up_del_is_refused(tmp_path):
    # The LPOP is logged; the DEL of the emptied list is refused. Replaying
    # the LPOP drops the emptied list too, so the pop is acknowledged and
    # memory agrees with the log; later writes are refused.
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d, fsync="never", snapshot_interval=0)
    c.rpush("l", "only")
    _mevora._inject_fault("write", 2, errno.ENOSPC, 0)
    assert c.lpop("l") == b"only"
    assert not c.exists("l")
    assert c.persist_stats["writes_refused"] is True
    with pytest.raises(OSError):
        c.set("x", "1")
    _mevora._clear_faults()
    memory = contents(c)
    assert reopened(d) == memory == {}
    c.close()


def test_faults_at_every_write_of_a_sequence_keep_memory_and_log_in_step(tmp_path):
    # The nth file write fails (and every one after it, a full disk): the
    # acknowledged prefix is exactly what a reopen rebuilds.
    script = [lambda c, i=i: step(c, i) for i in range(24)]

    def step(c, i):
        k = f"k{i % 5}"
        [lambda: c.set(k, str(i)), lambda: c.rpush("l", str(i)), lambda: c.hset("h", k, str(i)),
         lambda: c.sadd("s", k), lambda: c.incr("n"), lambda: c.lpop("l"), lambda: c.delete(k),
         lambda: c.srem("s", k)][i % 8]()

    for nth in range(1, 26):
        d = str(tmp_path / f"d{nth}")
        c = Cache(persist_dir=d, fsync="never", snapshot_interval=0)
        _mevora._inject_fault("write", nth, errno.ENOSPC, 0)
        failures = 0
        for run in script:
            try:
                run(c)
            except OSError as e:
                assert e.errno == errno.ENOSPC
                failures += 1
        assert (failures > 0) == (nth <= len(script))
        _mevora._clear_faults()
        memory = contents(c)
        assert reopened(d) == memory, f"fault at write {nth}"
        c.close()


def test_expiry_deletes_that_cannot_be_logged_leave_the_key_invisible(tmp_path):
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d, fsync="never", snapshot_interval=0)
    c.set("due", "v", px=1)
    c.set("live", "v")
    time.sleep(0.01)
    _mevora._inject_fault("write", 1, errno.EIO, 0)
    assert c.get("due") is None  # the reader's DEL is refused; the read is not
    assert not c.exists("due") and c.pttl("due") == -2 and len(c) == 1
    with pytest.raises(OSError):
        c.set("due", "new")  # the writer meets the due key first
    time.sleep(0.3)  # sweeper passes cannot log their DELs either
    assert c.keys() == [b"live"]
    _mevora._clear_faults()
    c.save()
    c.set("due", "new")
    memory = contents(c)
    assert reopened(d) == memory == {b"due": (b"new", -1), b"live": (b"v", -1)}
    c.close()


def test_eviction_keeps_a_victim_whose_del_cannot_be_logged(tmp_path):
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d, fsync="never", snapshot_interval=0, max_memory=4096, policy="allkeys-lru")
    i = 0
    while c.used_memory + 400 < 4096:
        c.set(f"k{i}", "x" * 200)
        i += 1
    before = contents(c)
    _mevora._inject_fault("write", 1, errno.ENOSPC, 0)
    with pytest.raises(OSError) as e:
        for j in range(10):
            c.set(f"big{j}", "y" * 1000)
    assert e.value.errno == errno.ENOSPC
    assert contents(c) == before
    _mevora._clear_faults()
    c.save()
    c.set("big", "y" * 1000)  # evicts, and logs what it evicts
    memory = contents(c)
    assert reopened(d) == memory
    c.close()


def test_fsync_thread_failure_refuses_writes_until_the_heal_thread_saves(tmp_path):
    d = str(tmp_path / "data")
    c = Cache(persist_dir=d, fsync="everysec", snapshot_interval=0)
    _mevora._inject_fault("sync", 1, errno.EIO, 0)
    c.set("k", "acknowledged")
    for _ in range(300):
        if c.persist_stats["writes_refused"]:
            break
        time.sleep(0.01)
    assert c.persist_stats["writes_refused"] is True
    assert c.persist_stats["last_error"] == "fsync failed: Input/output error (os error 5)"
    with pytest.raises(OSError) as e:
        c.set("k2", "v")
    assert e.value.errno == errno.EIO
    _mevora._clear_faults()
    for _ in range(800):  # the heal thread retries about every 3 s
        if not c.persist_stats["writes_refused"]:
            break
        time.sleep(0.01)
    assert c.persist_stats["writes_refused"] is False
    assert os.path.exists(os.path.join(d, "snapshot.qvs"))
    c.set("k2", "v")
    memory = contents(c)
    assert reopened(d) == memory == {b"k": (b"acknowledged", -1), b"k2": (b"v", -1)}
    c.close()


def test_refused_write_over_resp_is_an_error_reply(tmp_path):
    from mevora import Server
    from resp_client import Client, Err

    c = Cache(persist_dir=str(tmp_path / "data"), fsync="never", snapshot_interval=0)
    srv = Server(c, port=0)
    srv.start()
    try:
        client = Client(srv.port)
        _mevora._inject_fault("write", 1, errno.ENOSPC, 0)
        reply = client.call("SET", "k", "v")
        assert reply == Err("ERR " + REFUSED + "No space left on device (os error 28)")
        assert client.call("GET", "k") is None
        info = client.call("INFO")
        assert b"\r\nwrites_refused:1\r\n" in info
        _mevora._clear_faults()
        assert client.call("SAVE") == "OK"
        assert client.call("SET", "k", "v") == "OK"
        client.close()
    finally:
        srv.stop()
        c.close()


DISK_FULL = r"""
import json, os, sys
from mevora import Cache
mnt = sys.argv[1]
d = os.path.join(mnt, "data")
ballast = os.path.join(mnt, "ballast")
with open(ballast, "wb") as f:
    f.write(b"\0" * (1100 * 1024))
c = Cache(persist_dir=d, fsync=sys.argv[2], snapshot_interval=0)
acked, refused = [], None
for i in range(5000):
    try:
        c.set(f"k{i}", "v" * 1000)
        acked.append(f"k{i}")
    except OSError as e:
        refused = [e.errno, f"k{i}"]
        break
still_refused = False
try:
    c.set("after", "1")
except OSError:
    still_refused = True
in_memory = sorted(k.decode() for k in c.keys())
os.remove(ballast)
c.save()
c.set("after", "1")
acked.append("after")
del c
c = Cache(persist_dir=d)
print(json.dumps({"acked": sorted(acked), "refused": refused, "still_refused": still_refused,
                  "in_memory": in_memory, "reopened": sorted(k.decode() for k in c.keys()),
                  "values_ok": all(c.get(k) == b"v" * 1000 for k in acked if k != "after")}))
c.close()
"""


# "always" writes each frame with write(2); the others copy it into space
# reserved ahead, so the disk runs full at a reservation.
@pytest.mark.parametrize("fsync", ["always", "never", "everysec"])
def test_a_full_file_system_refuses_writes_and_loses_no_acknowledged_one(tmp_path, fsync):
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not available to mount a private tmpfs")
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    root = os.path.dirname(os.path.dirname(os.path.abspath(_mevora.__file__)))
    env = dict(os.environ, PYTHONPATH=root + os.pathsep + os.environ.get("PYTHONPATH", ""))
    # A private mount namespace: the 2 MiB tmpfs vanishes with the child.
    cmd = ["unshare", "-rm", "sh", "-c", 'mount -t tmpfs -o size=2m tmpfs "$1" && exec "$2" -c "$3" "$1" "$4"',
           "sh", str(mnt), sys.executable, DISK_FULL, fsync]
    probe = subprocess.run(["unshare", "-rm", "sh", "-c", f'mount -t tmpfs -o size=1m tmpfs "{mnt}"'],
                           capture_output=True, timeout=30)
    if probe.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + probe.stderr.decode(errors="replace").strip())
    p = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=120)
    assert p.returncode == 0, p.stderr
    r = json.loads(p.stdout)
    assert r["refused"] is not None and r["refused"][0] == errno.ENOSPC
    assert r["still_refused"] is True
    assert r["in_memory"] == sorted(a for a in r["acked"] if a != "after")
    assert r["reopened"] == r["acked"]
    assert r["values_ok"] is True
