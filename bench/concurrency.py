"""Throughput of one mevora Cache used from 1, 2 and 4 Python threads.

    python bench/concurrency.py [--rounds 5] [--seconds 0.2]

Every thread runs the same loop of gets (hits) or sets (overwrites) of
16-byte keys and values over a 100,000-key working set, each thread in its
own shuffled order, all released together by a barrier. Throughput is all
threads' operations divided by the span from the first thread's start to the
last thread's end. Thread counts are interleaved within each round; the
report gives median ops/s and the per-round ratio of 2 threads to 1 thread.
A dict under the same loops is shown for reference: it holds the
interpreter lock throughout, so it cannot gain from a second thread.

Runs against the installed `mevora` package (see bench/README.md).
"""

from __future__ import annotations

import argparse
import itertools
import os
import random
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchlib  # noqa: E402

N_KEYS = 100_000
THREADS = (1, 2, 4)


def worker(op, target, items, barrier, out, idx):
    if op == "get":
        g = target.get
        barrier.wait()
        t0 = time.perf_counter()
        for k in items:
            g(k)
    else:
        if isinstance(target, dict):
            barrier.wait()
            t0 = time.perf_counter()
            for k, v in items:
                target[k] = v
        else:
            s = target.set
            barrier.wait()
            t0 = time.perf_counter()
            for k, v in items:
                s(k, v)
    out[idx] = (t0, time.perf_counter())


def run_once(op, target, n_threads, per_thread, orders):
    """Runs n_threads threads of per_thread ops each; returns ops/s."""
    barrier = threading.Barrier(n_threads)
    out = [None] * n_threads
    threads = []
    for i in range(n_threads):
        items = orders[op][i][:per_thread]
        threads.append(threading.Thread(target=worker, args=(op, target, items, barrier, out, i)))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    span = max(e for _, e in out) - min(s for s, _ in out)
    return n_threads * per_thread / span


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=5, help="rounds (default: %(default)s)")
    p.add_argument("--seconds", type=float, default=0.2, help="aimed length of one single-thread run (default: %(default)s)")
    args = p.parse_args(argv)

    import mevora

    benchlib.header(
        "one Cache from 1, 2 and 4 threads (ops/s, median of rounds)",
        f"gets (hits) and sets (overwrites) of 16-byte keys and values over {N_KEYS:,} keys; "
        f"every thread runs the same number of ops in its own shuffled order",
    )
    rnd = random.Random(11)
    keys = [b"key:%012d" % i for i in range(N_KEYS)]
    vals = [b"v%015d" % i for i in range(N_KEYS)]
    orders = {"get": [], "set": []}
    for _ in range(max(THREADS)):
        ks = list(keys)
        rnd.shuffle(ks)
        orders["get"].append(ks)
        orders["set"].append([(k, b"w" + k[1:]) for k in ks])

    cache = mevora.Cache()
    cache.mset(dict(zip(keys, vals)))
    plain = dict(zip(keys, vals))
    targets = {"mevora": cache, "dict": plain}

    # One calibration run per op sizes the loops so that a single thread
    # takes about --seconds; the others do the same count per thread.
    per_thread = {}
    for op in ("get", "set"):
        rate = run_once(op, cache, 1, 20_000, orders)
        per_thread[op] = int(max(20_000, min(20 * N_KEYS, rate * args.seconds)))
        # Longer runs cycle through each thread's shuffled order again.
        orders[op] = [list(itertools.islice(itertools.cycle(o), per_thread[op])) for o in orders[op]]

    cases = [(name, op) for name in targets for op in ("get", "set")]
    res = {(name, op, t): [] for name, op in cases for t in THREADS}
    t_start = time.monotonic()
    for _ in range(args.rounds):
        for name, op in cases:
            ts = list(THREADS)
            rnd.shuffle(ts)
            for t in ts:
                res[(name, op, t)].append(run_once(op, targets[name], t, per_thread[op], orders))
    elapsed = time.monotonic() - t_start
    cache.close()

    rows = []
    for name, op in cases:
        r1 = res[(name, op, 1)]
        row = [f"{name} {op}"] + [benchlib.fmt_rate(benchlib.median(res[(name, op, t)])) for t in THREADS]
        for t in THREADS[1:]:
            row.append(benchlib.fmt_ratio(benchlib.median(benchlib.ratios(res[(name, op, t)], r1))))
        rows.append(row)
    hdr = ["ops/s"] + [f"{t} thread{'s' if t > 1 else ''}" for t in THREADS] + [f"{t}T / 1T" for t in THREADS[1:]]
    print(benchlib.table(hdr, rows))
    print(f"  ops per thread per run: get {per_thread['get']:,}, set {per_thread['set']:,}; "
          f"{args.rounds} rounds in {elapsed:.1f} s; sys.getswitchinterval() = {sys.getswitchinterval()} s")
    print()
    rs = benchlib.ratios(res[("mevora", "get", 2)], res[("mevora", "get", 1)])
    g = benchlib.median(rs)
    print("targets:")
    print(benchlib.verdict(g >= 1.3, "mevora gets: 2 threads >= 1.3x the ops/s of 1 thread",
                           f"{benchlib.fmt_ratio(g)} (rounds {min(rs):.2f}-{max(rs):.2f})"))


if __name__ == "__main__":
    main()
