"""The data-directory lock as seen from Python: one open cache per
directory, in this process and across processes; stale LOCK files are
taken over."""

import os
import subprocess
import threading

import pytest

from mevora import Cache, CacheLockedError


def lock_text(d):
    with open(os.path.join(d, "LOCK")) as f:
        return f.read()


def write_lock(d, text):
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "LOCK"), "w") as f:
        f.write(text)


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()  # reaped, so the id names no process (until reused)
    return p.pid


def test_second_cache_in_this_process_is_refused(tmp_path):
    d = str(tmp_path / "data")
    first = Cache(persist_dir=d)
    with pytest.raises(CacheLockedError) as e:
        Cache(persist_dir=d)
    assert isinstance(e.value, OSError)
    assert e.value.errno is None
    assert str(e.value) == f"data directory {d} is in use by another live process"
    first.set("k", "v")  # the first one is unaffected
    first.close()


def test_second_cache_gets_the_directory_when_the_first_closes_in_time(tmp_path):
    d = str(tmp_path / "data")
    first = Cache(persist_dir=d)
    first.set("k", "v")
    closer = threading.Timer(0.3, first.close)
    closer.start()
    try:
        second = Cache(persist_dir=d)  # waits while the first still holds it
    finally:
        closer.join()
    # It opened after the first one's final snapshot, not beside it.
    assert second.persist_stats["snapshot_bytes"] > 0
    assert second.get("k") == b"v"
    assert lock_text(d) == f"{os.getpid()}\n"
    second.close()


def test_same_directory_through_a_symlink_is_the_same_directory(tmp_path):
    d = tmp_path / "data"
    link = tmp_path / "link"
    first = Cache(persist_dir=d)
    first.set("k", "v")
    link.symlink_to(d)
    closer = threading.Timer(0.2, first.close)
    closer.start()
    try:
        second = Cache(persist_dir=link)
    finally:
        closer.join()
    # It waited for the first one's close (and its final snapshot).
    assert second.persist_stats["snapshot_bytes"] > 0
    second.close()


def test_lock_of_another_live_process_is_respected(tmp_path):
    d = str(tmp_path / "data")
    owner = subprocess.Popen(["sleep", "60"])
    try:
        write_lock(d, f"{owner.pid}\n")
        with pytest.raises(CacheLockedError):
            Cache(persist_dir=d)
        assert lock_text(d) == f"{owner.pid}\n"  # left alone
    finally:
        owner.kill()
        owner.wait()
    c = Cache(persist_dir=d)  # the owner is gone: stale, taken over
    assert lock_text(d) == f"{os.getpid()}\n"
    c.close()
    assert not os.path.exists(os.path.join(d, "LOCK"))


@pytest.mark.skipif(os.getpid() == 1, reason="this process is pid 1")
def test_lock_of_pid_1_is_respected(tmp_path):
    d = str(tmp_path / "data")
    write_lock(d, "1\n")
    with pytest.raises(CacheLockedError):
        Cache(persist_dir=d)
    assert lock_text(d) == "1\n"


@pytest.mark.parametrize(
    "text",
    ["own", "dead", "dead-no-newline", "abc", "-5", "0", "", "4294967296", "\n\n", "12abc"],
)
def test_stale_lock_is_taken_over(tmp_path, text):
    d = str(tmp_path / "data")
    content = {
        "own": f"{os.getpid()}\n",
        "dead": f"{dead_pid()}\n",
        "dead-no-newline": str(dead_pid()),
    }.get(text, text)
    write_lock(d, content)
    c = Cache(persist_dir=d)
    assert lock_text(d) == f"{os.getpid()}\n"
    c.close()


def contend(d, n):
    """Forks n processes that open d at the same instant. Returns the write
    end of the pipe that keeps the owner holding the directory (close it to
    let it go), and each contender's (pid, outcome): b"1" owner, b"0"
    refused, b"E" failed otherwise."""
    go_r, go_w = os.pipe()
    hold_r, hold_w = os.pipe()
    res_r, res_w = os.pipe()
    for _ in range(n):
        if os.fork() == 0:  # child: wait for the start, try once, report
            code = 0
            try:
                os.close(go_w)
                os.close(hold_w)
                os.close(res_r)
                os.read(go_r, 1)
                try:
                    c = Cache(persist_dir=d, snapshot_interval=0, fsync="never")
                    c.set("owner", str(os.getpid()))
                    os.write(res_w, b"1%10d" % os.getpid())
                    os.read(hold_r, 1)  # hold the directory until the pipe closes
                except CacheLockedError:
                    os.write(res_w, b"0%10d" % os.getpid())
            except BaseException as e:
                os.write(res_w, b"E%10d" % os.getpid())
                os.write(2, repr(e).encode() + b"\n")
                code = 1
            os._exit(code)
    os.close(go_r)
    os.close(hold_r)
    os.close(res_w)
    os.write(go_w, b"x" * n)  # all of them at once
    os.close(go_w)
    results = b""
    while len(results) < 11 * n:
        chunk = os.read(res_r, 11 * n - len(results))
        assert chunk, "a contender died without answering"
        results += chunk
    os.close(res_r)
    return hold_w, [(int(results[i + 1:i + 11]), results[i:i + 1]) for i in range(0, len(results), 11)]


def test_simultaneous_openers_of_a_stale_directory_admit_exactly_one(tmp_path):
    # Every round starts with a stale LOCK: the previous round's owner was
    # killed while holding the directory, as in a crash, so its OS lock is
    # gone and its pid names no process. 3 to 8 contenders at once must
    # produce exactly one owner.
    d = str(tmp_path / "data")
    write_lock(d, f"{dead_pid()}\n")
    for round_no in range(100):
        go_w, outcomes = contend(d, 3 + round_no % 6)
        owners = [pid for pid, outcome in outcomes if outcome == b"1"]
        assert sorted(o for _, o in outcomes).count(b"E") == 0
        assert len(owners) == 1, f"round {round_no}: {outcomes}"
        os.kill(owners[0], 9)  # crash while holding the directory
        os.close(go_w)
        for pid, _ in outcomes:
            os.waitpid(pid, 0)
        assert lock_text(d) == f"{owners[0]}\n"
    c = Cache(persist_dir=d)  # the last owner crashed too: taken over
    assert lock_text(d) == f"{os.getpid()}\n"
    assert c.get("owner") == str(owners[0]).encode()
    c.close()
