"""set() of new keys into a cache at its memory limit, beside one without a limit.

    python bench/eviction.py [--rounds 7] [--ops 100000] [--sizes 100000,1000000]

For each size N, two in-memory caches are filled with N keys of 16 bytes
holding 16-byte values: one without a memory limit, and one whose
max_memory (policy allkeys-lru) is the first cache's used_memory once
filled, so that from then on every new key evicts one. Each round then
sets `ops` new keys in each cache, in a fresh order, the bare loop's cost
measured in the same round and subtracted. Reported per size: ns per set
without a limit and at the limit, and their ratio per round (median and
range). The cost at the limit should not grow with N: eviction samples a
few entries from a few shards whatever their size.

Runs against the installed `mevora` package (see bench/README.md).
"""

from __future__ import annotations

import argparse
import random
import sys

import benchlib



def filled(cache, n):
    for i in range(n):
        cache.set(b"old:%012d" % i, b"v%015d" % i)
    return cache


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=7, help="rounds (default: %(default)s)")
    p.add_argument("--ops", type=int, default=100_000, help="new keys per cache per round (default: %(default)s)")
    p.add_argument("--sizes", default="100000,1000000", help="key counts to fill to (default: %(default)s)")
    args = p.parse_args(argv)

    import mevora

    sizes = [int(s) for s in args.sizes.split(",")]
    benchlib.header("set() of a new key at the memory limit beside no limit (ns/op, bare loop subtracted)",
                    f"{args.ops:,} new 16-byte keys with 16-byte values per cache per round; allkeys-lru")
    rnd = random.Random(23)
    rows = []
    for n in sizes:
        free = filled(mevora.Cache(), n)
        limited = filled(mevora.Cache(max_memory=free.used_memory, policy="allkeys-lru"), n)
        caches = {"no limit": free, "at limit": limited}
        per = {name: [] for name in caches}
        for r in range(args.rounds):
            pairs = [(b"new:%04d:%010d" % (r, i), b"w%015d" % i) for i in range(args.ops)]
            rnd.shuffle(pairs)
            benchlib.time_pair_round({name: c.set for name, c in caches.items()}, pairs, rnd, per)
        ratio = benchlib.ratios(per["at limit"], per["no limit"])
        rows.append([f"{n:,} keys", benchlib.fmt_ns(benchlib.median(per["no limit"])),
                     benchlib.fmt_ns(benchlib.median(per["at limit"])),
                     f"{benchlib.median(ratio):.2f}x ({min(ratio):.2f}-{max(ratio):.2f})", f"{len(limited):,}"])
        for c in caches.values():
            c.close()
    print(benchlib.table(["filled to", "no limit", "at limit", "ratio (range)", "keys kept at limit"], rows))


if __name__ == "__main__":
    sys.exit(main())
