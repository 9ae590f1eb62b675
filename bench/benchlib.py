"""Helpers shared by the benchmark scripts in this directory.

Every benchmark interleaves its contenders round by round, keeps one sample
per contender and round, and reports medians; ratios are taken per round
(both sides measured back to back) and then reduced to their median, so a
burst of load from another process on this shared machine moves both sides
of a ratio together instead of skewing it.
"""

from __future__ import annotations

import gc
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time


def median(xs):
    """Median of the finite samples in xs, or None when there are none."""
    vals = [x for x in xs if x is not None]
    return statistics.median(vals) if vals else None


def ratios(num, den):
    """Per-round ratios num[i] / den[i] (skipping rounds where either is missing)."""
    out = []
    for a, b in zip(num, den):
        if a is None or b is None or b <= 0:
            continue
        out.append(a / b)
    return out


def fmt_ns(x):
    if x is None:
        return "n/a"
    if x >= 1e6:
        return f"{x / 1e6:.2f} ms"
    if x >= 1e4:
        return f"{x / 1e3:.1f} us"
    return f"{x:.0f}"


def fmt_ratio(x, digits=2):
    return "n/a" if x is None else f"{x:.{digits}f}x"


def fmt_rate(x):
    """Operations (or records) per second, with a k/M suffix."""
    if x is None:
        return "n/a"
    if x >= 1e6:
        return f"{x / 1e6:.2f} M/s"
    if x >= 1e3:
        return f"{x / 1e3:.1f} k/s"
    return f"{x:.0f} /s"


def table(headers, rows, title=None):
    """Renders rows (lists of cells) under headers as an aligned text table.

    The first column is left-aligned (it names the row), the rest right-aligned.
    """
    cells = [[str(h) for h in headers]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]

    def line(r):
        parts = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])]
        return "  ".join(parts).rstrip()

    out = []
    if title:
        out.append(title)
    out.append(line(cells[0]))
    out.append("  ".join("-" * w for w in widths))
    out.extend(line(r) for r in cells[1:])
    return "\n".join(out)


def verdict(met, what, measured):
    """One target line: met/missed, what the target says, what was measured."""
    if met is None:
        return f"  n/a     {what}: {measured}"
    return f"  {'met   ' if met else 'MISSED'}  {what}: {measured}"


def header(name, note=""):
    """Prints the benchmark's name and the facts a reader needs to judge the numbers."""
    import mevora

    load = os.getloadavg()
    print(f"== {name} ==")
    print(
        f"python {platform.python_version()} | {os.cpu_count()} CPUs | "
        f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at start | "
        f"mevora from {os.path.dirname(mevora.__file__)}"
    )
    if note:
        print(note)
    print()


def persistence_unavailable():
    """None when `Cache(persist_dir=...)` works here, else the reason as text."""
    from mevora import Cache

    d = tempfile.mkdtemp(prefix="mevora-bench-probe-")
    try:
        c = Cache(persist_dir=d, fsync="never", snapshot_interval=0)
    except NotImplementedError as e:
        return f"Cache(persist_dir=...) raises NotImplementedError: {e}"
    else:
        c.close()
        return None
    finally:
        shutil.rmtree(d, ignore_errors=True)


def server_unavailable():
    """None when `mevora.Server` exists, else the reason as text."""
    import mevora

    if not hasattr(mevora, "Server"):
        return "mevora.Server is not available in this build"
    return None


def timed_pair_calls(fn, pairs):
    """Nanoseconds to call fn(k, v) for every (k, v) in pairs."""
    t0 = time.perf_counter_ns()
    for k, v in pairs:
        fn(k, v)
    return time.perf_counter_ns() - t0


def timed_bare_pair_loop(pairs):
    """The same loop over pairs calling a function that does nothing: the
    cost to subtract from timed_pair_calls."""

    def nothing(k, v):
        pass

    return timed_pair_calls(nothing, pairs)


def time_pair_round(fns, pairs, rnd, per):
    """One round: times fn(k, v) over pairs for every fn in the dict fns, in
    an order shuffled with rnd, and appends each one's ns per call (the bare
    loop, measured in the same round, subtracted) to per[name]."""
    order = list(fns)
    rnd.shuffle(order)
    loop = timed_bare_pair_loop(pairs)
    for name in order:
        gc.collect()
        per[name].append((timed_pair_calls(fns[name], pairs) - loop) / len(pairs))


class TimeBudget:
    """A wall-clock budget: `left()` seconds remain until `expired()`."""

    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        return self.end - time.monotonic()

    def expired(self):
        return self.left() <= 0


def die(msg):
    print(msg, file=sys.stderr)
    sys.exit(2)
