"""RESP server throughput and latency under our own load generator, beside a floor.

    python bench/server.py [--rounds 3] [--seconds 2.5] [--client-threads 1]

Builds bench/loadgen and bench/floor (C++, with g++; each rebuilt when a
source is newer than its binary, into build/ of this checkout), starts
`python -m mevora --port 0` and the floor server (a minimal
thread-per-connection server: one hash map behind one mutex, the same 8 KiB
buffers and flush policy) on 127.0.0.1, prefills 100,000 keys with 16-byte
values in each, and runs PING, SET and GET at 1 connection without
pipelining, 50 connections without pipelining and 50 connections with
pipeline depth 16, each for --seconds after a short warm-up. Within each
scenario and round the three commands alternate and each command runs
against both servers back to back (the order flips every round); the report
gives median ops/s, mevora's latency percentiles (per request, or per batch
of 16 with pipelining, from send to last reply), and per-round ratios of
mevora to the floor and of SET and GET to PING. Both servers are stopped
with SIGTERM at the end, and mevora must exit cleanly.

Runs against the installed `mevora` package (see bench/README.md).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchlib  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
LOADGEN_SRC = os.path.join(HERE, "loadgen")
LOADGEN_BIN = os.path.join(REPO, "build", "loadgen", "mevora-loadgen")
FLOOR_SRC = os.path.join(HERE, "floor")
FLOOR_BIN = os.path.join(REPO, "build", "floor", "mevora-floor")
KEYS = 100_000
VALUE_SIZE = 16
SCENARIOS = [("1 conn", 1, 1), ("50 conns", 50, 1), ("50 conns x16", 50, 16)]
COMMANDS = [("PING", "ping=1"), ("SET", "set=1"), ("GET", "get=1")]
CONTENDERS = ("mevora", "floor")


def gxx_command(source_dir, source, binary):
    """The one g++ command that builds a bench program (also in bench/README.md)."""
    cxx = os.environ.get("CXX", "g++")
    return [
        cxx, "-std=c++20", "-O2", "-Wall", "-Wextra", "-Wshadow", "-Wpedantic",
        "-I", os.path.join(REPO, "src"),
        os.path.join(source_dir, source),
        "-pthread", "-o", binary,
    ]


def build(source_dir, source, binary, what):
    """Builds binary from source_dir unless it is newer than every source."""
    sources = [os.path.join(source_dir, f) for f in os.listdir(source_dir) if f.endswith((".cc", ".h"))]
    sources.append(os.path.join(REPO, "src", "util", "unique_fd.h"))
    newest = max(os.path.getmtime(s) for s in sources)
    if os.path.exists(binary) and os.path.getmtime(binary) >= newest:
        return
    os.makedirs(os.path.dirname(binary), exist_ok=True)
    cmd = gxx_command(source_dir, source, binary)
    print(f"building {what}:", " ".join(cmd))
    subprocess.run(cmd, check=True, timeout=300)


class ServerProcess:
    """A server as a child process that prints "... listening on HOST:PORT" when ready,
    stopped with SIGTERM."""

    def __init__(self, argv, banner):
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 20)
        line = self.proc.stdout.readline() if ready else ""
        m = re.search(banner + r" listening on (\S+):(\d+)\s*$", line)
        if not m:
            self.proc.kill()
            _, err = self.proc.communicate(timeout=10)
            raise RuntimeError(f"{argv[0]} did not report its port (got {line!r}; stderr {err.strip()!r})")
        self.port = int(m.group(2))

    def stop(self):
        """SIGTERM, then wait; returns the exit code (killed after 15 s)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
            return "killed after 15 s without exiting on SIGTERM"


def start_mevora():
    return ServerProcess([sys.executable, "-m", "mevora", "--host", "127.0.0.1", "--port", "0"], "mevora")


def start_floor():
    return ServerProcess([FLOOR_BIN, "--port", "0"], "floor")


def loadgen(port, *args, timeout):
    cmd = [LOADGEN_BIN, "--host", "127.0.0.1", "--port", str(port), *map(str, args)]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, check=False)
    if r.returncode != 0:
        raise RuntimeError(f"load generator failed ({r.returncode}): {r.stderr.strip()}")
    return json.loads(r.stdout)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=3, help="rounds (default: %(default)s)")
    p.add_argument("--seconds", type=float, default=2.5, help="measured seconds per run (default: %(default)s)")
    p.add_argument("--warmup", type=float, default=0.3, help="warm-up seconds per run (default: %(default)s)")
    p.add_argument("--client-threads", type=int, default=1, help="load generator threads (default: %(default)s)")
    args = p.parse_args(argv)

    benchlib.header(
        "RESP server over 127.0.0.1 (median of rounds)",
        f"servers: python -m mevora --port 0 (in memory) and the floor (bench/floor: thread per connection, "
        f"one std::unordered_map behind one mutex); {KEYS:,} keys of 16 bytes prefilled, "
        f"{VALUE_SIZE}-byte values, keys drawn uniformly; load generator: {args.client_threads} thread(s), "
        f"closed loop, one batch in flight per connection",
    )
    reason = benchlib.server_unavailable()
    if reason:
        print(f"n/a ({reason})")
        return
    build(LOADGEN_SRC, "loadgen.cc", LOADGEN_BIN, "load generator")
    build(FLOOR_SRC, "floor_server.cc", FLOOR_BIN, "floor server")

    servers = {}
    codes = {}
    res = {(who, s[0], c[0]): [] for who in CONTENDERS for s in SCENARIOS for c in COMMANDS}
    t0 = time.monotonic()
    try:
        servers["mevora"] = start_mevora()
        servers["floor"] = start_floor()
        for srv in servers.values():
            loadgen(srv.port, "--prefill", "--keys", KEYS, "--value-size", VALUE_SIZE, "--duration", 0, timeout=120)
        for r in range(args.rounds):
            for name, conns, depth in SCENARIOS:
                order = COMMANDS[r % 3:] + COMMANDS[: r % 3]
                who_order = CONTENDERS if r % 2 == 0 else CONTENDERS[::-1]
                for cmd, mix in order:
                    for who in who_order:
                        out = loadgen(
                            servers[who].port,
                            "--conns", conns, "--threads", min(args.client_threads, conns), "--pipeline", depth,
                            "--mix", mix, "--keys", KEYS, "--value-size", VALUE_SIZE,
                            "--duration", args.seconds, "--warmup", args.warmup, "--seed", r + 1,
                            timeout=args.seconds + args.warmup + 60,
                        )
                        if out["errors"]:
                            raise RuntimeError(f"{who} {cmd} at {name}: {out['errors']} error replies")
                        res[(who, name, cmd)].append(out)
    finally:
        for who, srv in servers.items():
            codes[who] = srv.stop()
    elapsed = time.monotonic() - t0
    report(res, args, codes["mevora"], elapsed)


def report(res, args, code, elapsed):
    def samples(who, name, cmd, field="ops_per_sec"):
        return [o[field] for o in res[(who, name, cmd)]]

    def med(who, name, cmd, field="ops_per_sec"):
        return benchlib.median(samples(who, name, cmd, field))

    def per_round(num, den):
        return benchlib.ratios(samples(*num), samples(*den))

    rows = []
    for name, _, _ in SCENARIOS:
        for cmd, _ in COMMANDS:
            p50, p99 = med("mevora", name, cmd, "p50_us"), med("mevora", name, cmd, "p99_us")
            rows.append([
                f"{name} {cmd}",
                benchlib.fmt_rate(med("mevora", name, cmd)),
                benchlib.fmt_rate(med("floor", name, cmd)),
                f"{p50:.1f}",
                f"{p99:.1f}",
                f"{med('mevora', name, cmd, 'p999_us'):.1f}",
                f"{p99 / p50:.1f}x" if p50 else "n/a",
            ])
    print(benchlib.table(["scenario", "mevora ops/s", "floor ops/s", "p50 us", "p99 us", "p99.9 us", "p99/p50"],
                         rows))
    print(f"  latency (mevora) per request; with x16 per batch of 16 pipelined requests (send to last reply); "
          f"{args.rounds} rounds of {args.seconds} s runs in {elapsed:.0f} s")
    print(f"  server exit after SIGTERM: {code}")
    print()

    def cell(rs):
        m = benchlib.median(rs)
        return f"{benchlib.fmt_ratio(m)} ({min(rs):.2f}-{max(rs):.2f})" if rs else "n/a"

    rows = []
    to_ping = {}
    to_floor = {}
    for name, _, _ in SCENARIOS:
        row = [name]
        for cmd in ("SET", "GET"):
            to_floor[(name, cmd)] = per_round(("mevora", name, cmd), ("floor", name, cmd))
            to_ping[(name, cmd)] = per_round(("mevora", name, cmd), ("mevora", name, "PING"))
            row.append(cell(to_floor[(name, cmd)]))
        row.append(cell(per_round(("mevora", name, "PING"), ("floor", name, "PING"))))
        for cmd in ("SET", "GET"):
            row.append(cell(to_ping[(name, cmd)]))
        rows.append(row)
    print(benchlib.table(["ops/s ratio (rounds)", "SET mev/floor", "GET mev/floor", "PING mev/floor",
                          "SET / PING", "GET / PING"], rows))
    print()
    print("targets:")
    for name, _, _ in SCENARIOS:
        for cmd in ("SET", "GET"):
            rs = to_floor[(name, cmd)]
            m = benchlib.median(rs)
            print(benchlib.verdict(m >= 1.0, f"{name}: {cmd} ops/s >= 1.0x the floor",
                                   f"{m:.2f}x (rounds {min(rs):.2f}-{max(rs):.2f})"))
    for name, _, _ in SCENARIOS:
        for cmd in ("SET", "GET"):
            rs = to_ping[(name, cmd)]
            m = benchlib.median(rs)
            print(benchlib.verdict(m >= 0.9, f"{name}: {cmd} ops/s >= 0.9x PING",
                                   f"{m:.2f}x (rounds {min(rs):.2f}-{max(rs):.2f})"))
    for name, conns, _ in SCENARIOS:
        if conns != 50:
            continue
        for cmd, _ in COMMANDS:
            rs = [o["p99_us"] / o["p50_us"] for o in res[("mevora", name, cmd)] if o["p50_us"]]
            m = benchlib.median(rs)
            print(benchlib.verdict(m <= 2.0, f"{name}: {cmd} p99 <= 2x p50", f"{m:.1f}x (rounds {min(rs):.1f}-{max(rs):.1f})"))
    print(benchlib.verdict(code == 0, "server exits 0 on SIGTERM", str(code)))


if __name__ == "__main__":
    if shutil.which(os.environ.get("CXX", "g++")) is None:
        benchlib.die("bench/server.py needs a C++20 compiler (g++ or $CXX) to build the load generator and the floor")
    main()
