"""Resident memory per key: mevora beside a dict of bytes.

    python bench/memory.py [--keys 1000000] [--rounds 3]

Each measurement runs in a fresh subprocess: it imports everything, creates
the empty container, reads its resident set size (/proc/self/statm), inserts
N distinct 16-byte keys with distinct 16-byte values, and reads the resident
set size again. The growth divided by N is the cost per key as the operating
system sees it: for mevora that includes the hash tables, the allocator's
overhead and fragmentation; for the dict it includes the key and value bytes
objects that the dict keeps alive. For mevora the report also gives the
cache's own `used_memory` and the ratio of RSS growth to it (how far the
accounting is from what the process really pays). Contenders alternate
within each round; the report gives medians.

Runs against the installed `mevora` package (see bench/README.md).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchlib  # noqa: E402

TARGET_BYTES_PER_KEY = 100

# The child keeps no Python object per key alive except what the container
# itself holds: keys and values are made one at a time and dropped after the
# insert (mevora copies them), so only the container's cost shows.
_CHILD = r"""
import gc, json, os, sys
n, kind = int(sys.argv[1]), sys.argv[2]

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

import mevora
gc.collect()
if kind == "mevora":
    c = mevora.Cache()
    s = c.set
else:
    c = {}
before = rss()
if kind == "mevora":
    for i in range(n):
        s(b"key:%012d" % i, b"v%015d" % i)
else:
    for i in range(n):
        c[b"key:%012d" % i] = b"v%015d" % i
gc.collect()
after = rss()
out = {"rss_growth": after - before, "len": len(c)}
if kind == "mevora":
    out["used_memory"] = c.used_memory
print(json.dumps(out))
"""


def measure(kind, n):
    r = subprocess.run(
        [sys.executable, "-c", _CHILD, str(n), kind],
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    if r.returncode != 0:
        raise RuntimeError(f"{kind} child failed ({r.returncode}): {r.stderr.strip()}")
    out = json.loads(r.stdout)
    if out["len"] != n:
        raise RuntimeError(f"{kind} child holds {out['len']} keys, expected {n}")
    return out


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--keys", type=int, default=1_000_000, help="keys to insert (default: %(default)s)")
    p.add_argument("--rounds", type=int, default=3, help="rounds (default: %(default)s)")
    args = p.parse_args(argv)
    n = args.keys

    benchlib.header(
        "resident memory per key (median of rounds, each in a fresh process)",
        f"{n:,} distinct keys of 16 bytes with distinct 16-byte values",
    )
    kinds = ["mevora", "dict"]
    res = {k: [] for k in kinds}
    for r in range(args.rounds):
        for kind in kinds if r % 2 == 0 else kinds[::-1]:
            res[kind].append(measure(kind, n))

    rows = []
    for kind in kinds:
        growth = benchlib.median([o["rss_growth"] for o in res[kind]])
        used = benchlib.median([o.get("used_memory") for o in res[kind]])
        ratio = benchlib.median([o["rss_growth"] / o["used_memory"] for o in res[kind] if o.get("used_memory")])
        rows.append([
            kind,
            f"{growth / 2**20:.1f} MiB",
            f"{growth / n:.1f}",
            "n/a" if used is None else f"{used / 2**20:.1f} MiB",
            "n/a" if used is None else f"{used / n:.1f}",
            "n/a" if ratio is None else f"{ratio:.2f}x",
        ])
    print(benchlib.table(["container", "RSS growth", "bytes/key", "used_memory", "used/key", "RSS / used_memory"], rows))
    print()
    per_key = [o["rss_growth"] / n for o in res["mevora"]]
    m = benchlib.median(per_key)
    d = benchlib.median([o["rss_growth"] / n for o in res["dict"]])
    print(f"  mevora / dict RSS per key: {m / d:.2f}x")
    print()
    print("targets:")
    print(benchlib.verdict(m <= TARGET_BYTES_PER_KEY, f"mevora RSS growth <= {TARGET_BYTES_PER_KEY} bytes/key",
                           f"{m:.1f} bytes/key (rounds {min(per_key):.1f}-{max(per_key):.1f})"))


if __name__ == "__main__":
    main()
