"""Logged set() beside in-memory set(), in the same process and the same rounds.

    python bench/logged_set.py [--rounds 15] [--ops 200000] [--dir /tmp]

Each round runs the same loop of set() calls (16-byte keys and values,
overwriting 100,000 keys in shuffled order) once per store, in a freshly
shuffled order: an in-memory Cache and Caches with a data directory under
fsync "everysec" and "never" (snapshot_interval=0, so no background save
runs during the loop). The bare loop's cost is measured in the same round
and subtracted. Reported: ns per set, and the ratio logged / in-memory per
round (median and range). Run it under two installs side by side to compare
versions; the target is a ratio of at most 2.5 for both policies.

Runs against the installed `mevora` package (see bench/README.md).
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import sys
import tempfile

import benchlib

N_KEYS = 100_000
POLICIES = ("everysec", "never")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=15, help="rounds (default: %(default)s)")
    p.add_argument("--ops", type=int, default=200_000, help="set() calls per store per round (default: %(default)s)")
    p.add_argument("--dir", default=tempfile.gettempdir(), help="file system for the data directories (default: %(default)s)")
    args = p.parse_args(argv)

    import mevora

    benchlib.header("logged set() beside in-memory set() (ns/op, bare loop subtracted)",
                    f"{args.ops:,} sets per store per round over {N_KEYS:,} keys of 16 bytes, 16-byte values")
    rnd = random.Random(19)
    keys = [b"key:%012d" % i for i in range(N_KEYS)]
    pairs = [(keys[rnd.randrange(N_KEYS)], b"v%015d" % i) for i in range(args.ops)]
    base = tempfile.mkdtemp(prefix="mevora-bench-logged-", dir=args.dir)
    stores = {"memory": mevora.Cache()}
    try:
        for policy in POLICIES:
            stores[policy] = mevora.Cache(persist_dir=os.path.join(base, policy), fsync=policy, snapshot_interval=0)
        for c in stores.values():
            for k in keys:
                c.set(k, b"0" * 16)
        per = {name: [] for name in stores}
        sets = {name: c.set for name, c in stores.items()}
        for _ in range(args.rounds):
            benchlib.time_pair_round(sets, pairs, rnd, per)
        rows = [[name] + [benchlib.fmt_ns(benchlib.median(per[name]))] for name in stores]
        print(benchlib.table(["store", "ns/set"], rows))
        for policy in POLICIES:
            r = benchlib.ratios(per[policy], per["memory"])
            lo, hi, med = min(r), max(r), benchlib.median(r)
            print(benchlib.verdict(med <= 2.5, f"set under {policy} <= 2.5x in-memory set",
                                   f"{med:.2f}x (rounds {lo:.2f}-{hi:.2f})"))
    finally:
        for c in stores.values():
            c.close()
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
