"""Persistence speed of mevora beside the disk's own rates, measured in the same run.

    python bench/persistence.py [--keys 1000000] [--rounds 3] [--dir /tmp]

Four measurements, each next to the matching raw-disk figure on the same
file system:

1. save(): MB/s of snapshot written for a store of --keys keys (16-byte keys,
   100-byte values), beside the disk's sequential write rate (1 MiB writes
   of a file of the same size, then fsync, as `dd bs=1M conv=fdatasync`).
   The two alternate; the first save, which also retires the log written
   while filling, is timed apart.
2. Reopen: time to open that directory (snapshot load) in a fresh process.
3. WAL replay: a child writes --keys SET records under fsync="never" and
   drops the store without close() (so no final snapshot is written); fresh
   processes then reopen the directory, replaying the whole log.
4. set() under fsync="always": ops/s beside the disk's append+fsync rate (a
   loop appending one 50-byte record, the size of a SET frame for a 16-byte
   key and value, and fsyncing it).

Every reopen runs in a fresh process and drops the store without close(),
so the directory is not rewritten between rounds. Page-cache state is
whatever the run left (warm): the figures are for reopening on the same
machine, not for a cold boot.

Runs against the installed `mevora` package (see bench/README.md).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchlib  # noqa: E402

VALUE_SIZE = 100
FRAME_SIZE = 50  # 8-byte frame header + SET record of a 16-byte key and 16-byte value
MIB = 1 << 20

# Opens a data directory, reports how long the open took, and drops the
# store without close() so nothing is written back.
_REOPEN_CHILD = r"""
import json, sys, time
import mevora
d = sys.argv[1]
t0 = time.perf_counter()
c = mevora.Cache(persist_dir=d, fsync="never", snapshot_interval=0)
t1 = time.perf_counter()
print(json.dumps({"open_s": t1 - t0, "len": len(c), "stats": c.persist_stats}))
del c
"""

# Logs n SET records under fsync="never" and drops the store without
# close(), leaving only log segments (and no snapshot) behind.
_WAL_CHILD = r"""
import json, sys, time
import mevora
d, n, vs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
c = mevora.Cache(persist_dir=d, fsync="never", snapshot_interval=0)
t0 = time.perf_counter()
for base in range(0, n, 10000):
    c.mset({b"key:%012d" % i: b"%0*d" % (vs, i) for i in range(base, min(n, base + 10000))})
t1 = time.perf_counter()
print(json.dumps({"write_s": t1 - t0, "len": len(c), "wal_bytes": c.persist_stats["wal_bytes"]}))
del c
"""


def run_child(code, *args, timeout=300):
    r = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True, timeout=timeout, check=False)
    if r.returncode != 0:
        raise RuntimeError(f"child failed ({r.returncode}): {r.stderr.strip()}")
    return json.loads(r.stdout)


def disk_sequential(path, nbytes):
    """Seconds to write nbytes in 1 MiB writes and fsync them (the file is removed afterwards)."""
    block = b"\0" * MIB
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
    try:
        t0 = time.perf_counter()
        left = nbytes
        while left > 0:
            left -= os.write(fd, block if left >= MIB else block[:left])
        os.fsync(fd)
        return time.perf_counter() - t0
    finally:
        os.close(fd)
        os.unlink(path)


def disk_append_fsync(path, seconds):
    """Appends+fsyncs FRAME_SIZE-byte records for about `seconds`; returns ops/s."""
    rec = b"r" * FRAME_SIZE
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644)
    try:
        n = 0
        t0 = time.perf_counter()
        end = t0 + seconds
        while True:
            os.write(fd, rec)
            os.fsync(fd)
            n += 1
            if n % 8 == 0 and time.perf_counter() >= end:
                break
        return n / (time.perf_counter() - t0)
    finally:
        os.close(fd)


def cache_always_sets(cache, seconds, start):
    """set()s under fsync="always" for about `seconds`; returns ops/s."""
    s = cache.set
    n = 0
    t0 = time.perf_counter()
    end = t0 + seconds
    while True:
        i = start + n
        s(b"key:%012d" % i, b"v%015d" % i)
        n += 1
        if n % 8 == 0 and time.perf_counter() >= end:
            break
    return n / (time.perf_counter() - t0)


def fs_type(path):
    try:
        r = subprocess.run(["df", "--output=fstype", path], capture_output=True, text=True, timeout=10, check=False)
        return " ".join(r.stdout.split()[1:]) or "unknown"
    except OSError:
        return "unknown"


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--keys", type=int, default=1_000_000, help="keys in the store (default: %(default)s)")
    p.add_argument("--rounds", type=int, default=3, help="rounds (default: %(default)s)")
    p.add_argument("--dir", default=tempfile.gettempdir(), help="file system to test (default: %(default)s)")
    p.add_argument("--always-seconds", type=float, default=1.0, help="seconds per fsync=always run (default: %(default)s)")
    args = p.parse_args(argv)
    n = args.keys

    base = tempfile.mkdtemp(prefix="mevora-bench-persist-", dir=args.dir)
    benchlib.header(
        "persistence beside the disk (median of rounds)",
        f"data under {base} ({fs_type(base)}); store of {n:,} keys of 16 bytes with {VALUE_SIZE}-byte values",
    )
    reason = benchlib.persistence_unavailable()
    try:
        results = run_all(args, base, reason)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    report(args, results, reason)


def run_all(args, base, reason):
    import mevora

    n = args.keys
    res = {"disk_seq": [], "save": [], "reopen": [], "replay": [], "disk_append": [], "always": []}
    est_bytes = n * (16 + VALUE_SIZE + 16)
    scratch = os.path.join(base, "disk-test")

    # 1 and 2: snapshot write and reopen.
    snap_dir = os.path.join(base, "snapshot")
    if reason is None:
        c = mevora.Cache(persist_dir=snap_dir, fsync="never", snapshot_interval=0)
        for lo in range(0, n, 10000):
            c.mset({b"key:%012d" % i: b"%0*d" % (VALUE_SIZE, i) for i in range(lo, min(n, lo + 10000))})
        t0 = time.perf_counter()
        c.save()
        res["first_save_s"] = time.perf_counter() - t0
        est_bytes = c.persist_stats["snapshot_bytes"]
    for r in range(args.rounds):
        steps = ["disk", "save"] if r % 2 == 0 else ["save", "disk"]
        for step in steps:
            if step == "disk":
                res["disk_seq"].append(est_bytes / disk_sequential(scratch, est_bytes))
            elif reason is None:
                t0 = time.perf_counter()
                c.save()
                dt = time.perf_counter() - t0
                res["save"].append(c.persist_stats["snapshot_bytes"] / dt)
    res["snapshot_bytes"] = est_bytes
    if reason is None:
        c.close()
        del c
        for _ in range(args.rounds):
            out = run_child(_REOPEN_CHILD, snap_dir)
            if out["len"] != n:
                raise RuntimeError(f"reopen found {out['len']} keys, expected {n}")
            res["reopen"].append(out["open_s"])

    # 3: log replay.
    if reason is None:
        wal_dir = os.path.join(base, "wal")
        w = run_child(_WAL_CHILD, wal_dir, n, VALUE_SIZE)
        res["wal_write"] = w
        if os.path.exists(os.path.join(wal_dir, "snapshot.qvs")):
            raise RuntimeError("dropping the store without close() left a snapshot; the replay figure would be wrong")
        for _ in range(args.rounds):
            out = run_child(_REOPEN_CHILD, wal_dir)
            if out["len"] != n:
                raise RuntimeError(f"replay found {out['len']} keys, expected {n}")
            res["replay"].append(n / out["open_s"])

    # 4: fsync="always" beside append+fsync.
    rounds4 = max(args.rounds, 5)
    if reason is None:
        c = mevora.Cache(persist_dir=os.path.join(base, "always"), fsync="always", snapshot_interval=0)
    done = 0
    for r in range(rounds4):
        steps = ["disk", "always"] if r % 2 == 0 else ["always", "disk"]
        for step in steps:
            if step == "disk":
                res["disk_append"].append(disk_append_fsync(scratch + ".log", args.always_seconds))
            elif reason is None:
                rate = cache_always_sets(c, args.always_seconds, done)
                done += int(rate * args.always_seconds) + 8
                res["always"].append(rate)
    if reason is None:
        c.close()
    return res


def report(args, res, reason):
    na = "n/a" if reason else None
    m = benchlib.median
    rows = [
        ["disk sequential write (1 MiB writes + fsync)", f"{m(res['disk_seq']) / 1e6:.0f} MB/s"],
        ["save() snapshot write", na or f"{m(res['save']) / 1e6:.0f} MB/s"],
        ["  snapshot size", f"{res['snapshot_bytes'] / 1e6:.0f} MB" + (" (estimated)" if reason else "")],
        ["  first save (also retires the fill log)", na or f"{res['first_save_s']:.2f} s"],
        ["reopen from snapshot", na or f"{m(res['reopen']):.2f} s"],
        ["WAL replay on reopen", na or benchlib.fmt_rate(m(res["replay"])).replace("/s", " records/s")],
        ["disk append+fsync (50-byte records)", f"{m(res['disk_append']):.0f} ops/s"],
        ["set() under fsync=\"always\"", na or f"{m(res['always']):.0f} ops/s"],
    ]
    print(benchlib.table(["measurement", "median"], rows))
    if reason:
        print(f"  n/a: {reason}")
    if not reason:
        w = res["wal_write"]
        print(f"  log written for the replay test: {w['len']:,} SET records, {w['wal_bytes'] / 1e6:.0f} MB, "
              f"in {w['write_s']:.1f} s under fsync=\"never\"")
    print()
    print("targets:")
    if reason:
        for what in ("snapshot write >= 50% of the disk's sequential rate", "reopen of the snapshot <= 1 s",
                     "WAL replay >= 1,000,000 records/s", "sets under \"always\" >= 0.9x the disk's append+fsync rate"):
            print(benchlib.verdict(None, what, na))
        return
    rs = benchlib.ratios(res["save"], res["disk_seq"])
    print(benchlib.verdict(m(rs) >= 0.5, "snapshot write >= 50% of the disk's sequential rate",
                           f"{m(rs) * 100:.0f}% (rounds {min(rs) * 100:.0f}-{max(rs) * 100:.0f}%)"))
    print(benchlib.verdict(m(res["reopen"]) <= 1.0, f"reopen of the {args.keys:,}-key snapshot <= 1 s",
                           f"{m(res['reopen']):.2f} s (rounds {min(res['reopen']):.2f}-{max(res['reopen']):.2f})"))
    print(benchlib.verdict(m(res["replay"]) >= 1e6, "WAL replay >= 1,000,000 records/s",
                           f"{m(res['replay']):,.0f} records/s"))
    rs = benchlib.ratios(res["always"], res["disk_append"])
    print(benchlib.verdict(m(rs) >= 0.9, "sets under \"always\" >= 0.9x the disk's append+fsync rate",
                           f"{m(rs):.2f}x (rounds {min(rs):.2f}-{max(rs):.2f})"))


if __name__ == "__main__":
    main()
