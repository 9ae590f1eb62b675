"""Before/after of the in-process hot calls: two installs side by side.

    python bench/calls_ab.py BEFORE_PYTHON AFTER_PYTHON [--rounds 11]

Each interpreter must have a `mevora` installed (for example two virtual
environments, one per build). The rounds alternate between them (the
order flips every round); in each round a fresh process times get (hit),
set (overwrite), hget and sismember over 100,000 16-byte keys in shuffled
order, beside a dict doing the same (d.get(k), d[k] = v, d[k].get(f),
m in d[k]) and the bare loop, keeping the fastest of several batches per
operation. The report gives per operation the median ratio to the dict
(loop subtracted) for each install and the median per-round ratio of
after to before. Interference from other processes only adds time, and
both installs see the same machine in alternating turns.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

N_KEYS = 100_000
BATCH = 20_000
BATCHES = 15

CHILD = r"""
import json, random, time
from mevora import _mevora
N, BATCH, BATCHES = %d, %d, %d
rnd = random.Random(7)
keys = [b"key:%%012d" %% i for i in range(N)]
vals = [b"v%%015d" %% i for i in range(N)]
c = _mevora.Cache()
d = {}
for k, v in zip(keys, vals):
    c.set(k, v); c.hset(k + b"h", b"f", v); c.sadd(k + b"s", b"m")
    d[k] = v; d[k + b"h"] = {b"f": v}; d[k + b"s"] = {b"m"}
order = list(range(N)); rnd.shuffle(order)
ks = [keys[i] for i in order]
kv = [(keys[i], vals[(i + 1) %% N]) for i in order]
kh = [(keys[i] + b"h", b"f") for i in order]
km = [(keys[i] + b"s", b"m") for i in order]

def timed(fn, items):
    best = float("inf")
    for b in range(BATCHES):
        start = (b * BATCH) %% N
        part = items[start:start + BATCH]
        t0 = time.perf_counter_ns(); fn(part); best = min(best, time.perf_counter_ns() - t0)
    return best / BATCH

def loop1(p):
    for k in p: pass
def loop2(p):
    for k, v in p: pass
def dget(p, g=d.get):
    for k in p: g(k)
def mget(p, g=c.get):
    for k in p: g(k)
def dset(p):
    for k, v in p: d[k] = v
def mset(p, s=c.set):
    for k, v in p: s(k, v)
def dhget(p):
    for k, f in p: d[k].get(f)
def mhget(p, g=c.hget):
    for k, f in p: g(k, f)
def dsism(p):
    for k, m in p: m in d[k]
def msism(p, g=c.sismember):
    for k, m in p: g(k, m)

l1, l2 = timed(loop1, ks), timed(loop2, kv)
out = {}
for name, (m, dd, items, loop) in {
    "get-hit": (mget, dget, ks, l1), "set-overwrite": (mset, dset, kv, l2),
    "hget": (mhget, dhget, kh, l2), "sismember": (msism, dsism, km, l2)}.items():
    tm, td = timed(m, items), timed(dd, items)
    out[name] = (tm - loop) / max(td - loop, 1e-9)
print(json.dumps(out))
""" % (N_KEYS, BATCH, BATCHES)


def one(python: str) -> dict:
    out = subprocess.run([python, "-c", CHILD], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("before")
    p.add_argument("after")
    p.add_argument("--rounds", type=int, default=11)
    a = p.parse_args()
    runs = {"before": [], "after": []}
    for r in range(a.rounds):
        order = ["before", "after"] if r % 2 == 0 else ["after", "before"]
        for which in order:
            runs[which].append(one(getattr(a, which)))
        print(f"round {r + 1}/{a.rounds} done", file=sys.stderr)
    ops = list(runs["before"][0])
    print(f"{'op':<15}{'before/dict':>13}{'after/dict':>13}{'after/before':>14}   (medians over {a.rounds} rounds)")
    for op in ops:
        b = [x[op] for x in runs["before"]]
        f = [x[op] for x in runs["after"]]
        ratio = statistics.median(y / x for x, y in zip(b, f))
        print(f"{op:<15}{statistics.median(b):>12.2f}x{statistics.median(f):>12.2f}x{ratio:>13.2f}x")


if __name__ == "__main__":
    main()
