"""Crash-consistency harness for persistent caches.

A child process opens a persistent cache on a data directory, reports the
keyspace it recovered, then runs an endless stream of mutating operations
(every kind there is, plus saves and reopens: close or drop the cache, open
it again), acknowledging each one on its stdout only after the call
returned. The cache runs with a 1 s snapshot interval, so kills also land
in the snapshot thread's periodic save. The parent kills the child with
SIGKILL at a seeded random moment, many times in a row on the same
directory, and after every reopen compares the whole keyspace with a model
replayed from the acknowledged operations. The one operation in flight at
the kill may or may not have taken effect (mset and delete, which change
one key at a time, may have changed only their first keys): the model
keeps each possible state until the next reopen decides between them. A
process kill loses nothing under any fsync policy (the kernel keeps what
was written).

SPOP is random: the model takes the members the cache reports as popped,
after checking that they were members and that there are as many as the
count asks for. An SPOP cut short by the kill left either the set as it
was or the set minus some valid pop; that candidate is resolved against
the recovered keyspace (the members missing from the recovered set are
the pop, which must be a valid one).

The operation stream is a pure function of (seed, index), so the parent
knows which operation was in flight without the child announcing it first.
TTLs are hours long, so no key expires during a run; deadlines are compared
loosely (present, positive, and near the model's deadline window).

Usage:
    python tests/crash_harness.py --rounds 300 --policy always [--seed 7]
        [--dir DIR] [--keep] [--verbose]
Exit status 0 when every round matched; otherwise the first mismatch is
printed with the round, the seed and the directory.
"""

import argparse
import copy
import json
import math
import os
import pathlib
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# ---- the operation stream ------------------------------------------------------

STRING_KEYS = [b"s%d" % i for i in range(8)] + [b"\xffbin\x00key", b""]
COUNTER_KEYS = [b"c0", b"c1", b"c2"]
HASH_KEYS = [b"h%d" % i for i in range(5)]
LIST_KEYS = [b"l%d" % i for i in range(5)]
SET_KEYS = [b"x%d" % i for i in range(5)]
ALL_KEYS = STRING_KEYS + COUNTER_KEYS + HASH_KEYS + LIST_KEYS + SET_KEYS
FIELDS = [b"f%d" % i for i in range(6)] + [b"", b"\x00\xff"]
MEMBERS = [b"m%d" % i for i in range(8)] + [b"", b"\r\n"]
ALPHABET = b"ab\x00\xff\r\n -0123456789"
HOUR_MS = 3_600_000
FLOAT_AMOUNTS = [0.5, -1.25, 3, 1e10, 0.1, -7.75e-3, 1e300]
FAR_FUTURE_MS = 4_000_000_000_000  # in 2096

# (name, weight); flush is rare so the keyspace usually holds something.
WEIGHTS = [
    ("set", 10), ("set_ttl", 4), ("set_nx", 3), ("set_xx", 3), ("mset", 3),
    ("incr", 4), ("decr", 3), ("append", 4), ("delete", 4),
    ("expire", 3), ("pexpire", 3), ("persist", 3),
    ("hset", 8), ("hdel", 4), ("hmset", 3), ("hsetnx", 2), ("hincrby", 3), ("hincrbyfloat", 2),
    ("lpush", 4), ("rpush", 4), ("lpop", 4), ("rpop", 4),
    ("lpushx", 2), ("rpushx", 2), ("lpop_count", 2), ("rpop_count", 2), ("ltrim", 2), ("lmove", 3),
    ("lset", 2), ("linsert", 2), ("lrem", 2),
    ("sadd", 6), ("srem", 4), ("spop", 3), ("smove", 3),
    ("sinterstore", 1.5), ("sunionstore", 1.5), ("sdiffstore", 1.5),
    ("flush", 0.15), ("save", 1.2), ("reopen", 0.3),
    ("rename", 2), ("renamenx", 1.5), ("pexpireat", 2), ("setrange", 3), ("msetnx", 2),
    ("incrbyfloat", 3), ("getex", 2),
]
_NAMES = [n for n, _ in WEIGHTS]
_CUM = []
_total = 0.0
for _n, _w in WEIGHTS:
    _total += _w
    _CUM.append(_total)


def _pick_name(r):
    x = r.random() * _total
    for name, edge in zip(_NAMES, _CUM):
        if x < edge:
            return name
    return _NAMES[-1]


def _key(r, pool):
    """Mostly a key of the operation's own kind; sometimes any key, so the
    wrong-kind paths run too."""
    return r.choice(ALL_KEYS) if r.random() < 0.1 else r.choice(pool)


def _value(r):
    roll = r.random()
    if roll < 0.02:
        return bytes(r.choice(ALPHABET) for _ in range(r.randint(1000, 3000)))
    if roll < 0.2:
        return str(r.randint(-1000, 1000)).encode()
    return bytes(r.choice(ALPHABET) for _ in range(r.choice([0, 1, 2, 5, 12, 40])))


def _counter_text(r):
    return r.choice([
        str(r.randint(-50, 50)).encode(), b"9223372036854775800", b"-9223372036854775800",
        b"007", b"abc", b"",
    ])


def _amount(r):
    roll = r.random()
    if roll < 0.05:
        return r.choice([2**62, -(2**62), 2**63 - 1, -(2**63)])
    return r.randint(-100, 100)


def _ttl(r):
    if r.random() < 0.5:
        return ("ex", r.randint(3600, 7200))
    return ("px", r.randint(HOUR_MS, 2 * HOUR_MS))


def op_at(seed, index):
    """Operation number index of the stream of seed: a plain tuple whose
    first item is the name."""
    r = random.Random(f"{seed}/{index}")
    name = _pick_name(r)
    if name in ("set", "set_ttl", "set_nx", "set_xx"):
        if r.random() < 0.3:
            key = r.choice(COUNTER_KEYS)
            value = _counter_text(r)
        else:
            key = _key(r, STRING_KEYS)
            value = _value(r)
        ttl = _ttl(r) if name == "set_ttl" or (name != "set" and r.random() < 0.5) else None
        return ("set", key, value, ttl, name == "set_nx", name == "set_xx")
    if name == "mset":
        pairs = {}
        for _ in range(r.randint(1, 3)):
            pairs[_key(r, STRING_KEYS)] = _value(r)
        return ("mset", list(pairs.items()))
    if name in ("incr", "decr"):
        key = r.choice(COUNTER_KEYS) if r.random() < 0.8 else r.choice(ALL_KEYS)
        return (name, key, _amount(r))
    if name == "append":
        return ("append", _key(r, STRING_KEYS), _value(r))
    if name == "delete":
        return ("delete", [r.choice(ALL_KEYS) for _ in range(r.randint(1, 3))])
    if name == "expire":
        return ("expire", r.choice(ALL_KEYS), r.randint(3600, 7200))
    if name == "pexpire":
        return ("pexpire", r.choice(ALL_KEYS), r.randint(HOUR_MS, 2 * HOUR_MS))
    if name == "persist":
        return ("persist", r.choice(ALL_KEYS))
    if name == "hset":
        return ("hset", _key(r, HASH_KEYS), r.choice(FIELDS), _value(r))
    if name == "hdel":
        return ("hdel", _key(r, HASH_KEYS), [r.choice(FIELDS) for _ in range(r.randint(0, 3))])
    if name == "hmset":
        return ("hmset", _key(r, HASH_KEYS), [(r.choice(FIELDS), _value(r)) for _ in range(r.randint(1, 3))])
    if name == "hsetnx":
        return ("hsetnx", _key(r, HASH_KEYS), r.choice(FIELDS), _value(r))
    if name == "hincrby":
        return ("hincrby", _key(r, HASH_KEYS), r.choice(FIELDS), _amount(r))
    if name == "hincrbyfloat":
        return ("hincrbyfloat", _key(r, HASH_KEYS), r.choice(FIELDS), r.choice(FLOAT_AMOUNTS))
    if name in ("lpush", "rpush"):
        return (name, _key(r, LIST_KEYS), [_value(r) for _ in range(r.randint(0, 3))])
    if name in ("lpop", "rpop"):
        return (name, _key(r, LIST_KEYS))
    if name in ("lpushx", "rpushx"):
        return (name, _key(r, LIST_KEYS), [_value(r) for _ in range(r.randint(1, 3))])
    if name in ("lpop_count", "rpop_count"):
        return (name, _key(r, LIST_KEYS), r.randint(0, 4))
    if name == "ltrim":
        return ("ltrim", _key(r, LIST_KEYS), r.randint(-4, 3), r.randint(-4, 3))
    if name == "lset":
        return ("lset", _key(r, LIST_KEYS), r.randint(-4, 3), _value(r))
    if name == "linsert":
        return ("linsert", _key(r, LIST_KEYS), r.choice(["before", "after"]), _value(r), _value(r))
    if name == "lrem":
        return ("lrem", _key(r, LIST_KEYS), r.randint(-2, 2), _value(r))
    if name == "lmove":
        return ("lmove", _key(r, LIST_KEYS), _key(r, LIST_KEYS), r.choice(["left", "right"]), r.choice(["left", "right"]))
    if name in ("sadd", "srem"):
        return (name, _key(r, SET_KEYS), [r.choice(MEMBERS) for _ in range(r.randint(0, 3))])
    if name == "spop":
        return ("spop", _key(r, SET_KEYS), r.choice([None, None, 0, 1, 2, 4]))
    if name == "smove":
        return ("smove", _key(r, SET_KEYS), _key(r, SET_KEYS), r.choice(MEMBERS))
    if name in ("sinterstore", "sunionstore", "sdiffstore"):
        # The destination is now and then a key of another kind, which the
        # result replaces, or one of the sources.
        sources = [_key(r, SET_KEYS) for _ in range(r.randint(1, 3))]
        destination = r.choice(sources) if r.random() < 0.2 else _key(r, SET_KEYS)
        return (name, destination, sources)
    if name in ("rename", "renamenx"):
        return (name, r.choice(ALL_KEYS), r.choice(ALL_KEYS))
    if name == "pexpireat":
        # Absolute times must not depend on when the stream is generated:
        # long past (the key is removed) or decades ahead.
        when = r.randint(1, 10**6) if r.random() < 0.3 else FAR_FUTURE_MS + r.randint(0, 10**6)
        return ("pexpireat", r.choice(ALL_KEYS), when)
    if name == "setrange":
        value = _value(r) if r.random() < 0.9 else b""
        return ("setrange", _key(r, STRING_KEYS), r.choice([0, 1, 3, 17, 60]), value[:50])
    if name == "msetnx":
        pairs = {}
        for _ in range(r.randint(1, 3)):
            pairs[_key(r, STRING_KEYS)] = _value(r)
        return ("msetnx", list(pairs.items()))
    if name == "incrbyfloat":
        key = r.choice(COUNTER_KEYS) if r.random() < 0.8 else r.choice(ALL_KEYS)
        return ("incrbyfloat", key, r.choice(FLOAT_AMOUNTS))
    if name == "getex":
        mode = r.choice(["persist", "ex", "pxat", "pxat-past"])
        if mode == "ex":
            arg = r.randint(3600, 7200)
        elif mode == "pxat":
            arg = FAR_FUTURE_MS + r.randint(0, 10**6)
        else:
            arg = r.randint(1, 10**6)
        return ("getex", _key(r, STRING_KEYS), mode, arg)
    if name == "reopen":
        return ("reopen", r.random() < 0.5)  # closed first, or just dropped
    return (name,)  # flush, save


# ---- results -------------------------------------------------------------------

WRONGTYPE = ["err", "TypeError", "WRONGTYPE Operation against a key holding the wrong kind of value"]
NOT_INTEGER = ["err", "ValueError", "value is not an integer or out of range"]
OVERFLOW = ["err", "ValueError", "increment or decrement would overflow"]
DECR_OVERFLOW = ["err", "ValueError", "decrement would overflow"]
NOT_FLOAT = ["err", "ValueError", "value is not a valid float"]
NOT_FINITE = ["err", "ValueError", "increment would produce NaN or Infinity"]
NO_SUCH_KEY = ["err", "KeyError", "'no such key'"]
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
_FLOAT = re.compile(rb"-?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?\Z")


def _parse_float(text):
    """The stored float as incrbyfloat reads it, or None when it is not one."""
    if not _FLOAT.match(text):
        return None
    v = float(text)
    return v if math.isfinite(v) else None


def float_text(v):
    """The text incrbyfloat stores for v: the shortest digits that read back
    as v, in fixed or exponent form, whichever is shorter (fixed on a tie; a
    whole number in fixed form is written with its exact digits); zero is
    b"0"."""
    if v == 0:
        return b"0"
    m = re.match(r"-?([0-9]+)(?:\.([0-9]+))?(?:e([-+][0-9]+))?\Z", repr(v))
    whole, frac, exp = m.group(1), m.group(2) or "", int(m.group(3) or 0)
    n, e10 = int(whole + frac), exp - len(frac)
    while n % 10 == 0:
        n //= 10
        e10 += 1
    digits = str(n)
    if e10 >= 0:
        fixed = str(abs(int(v)))  # a whole number in fixed form is written exactly
    elif len(digits) + e10 > 0:
        k = len(digits) + e10
        fixed = digits[:k] + "." + digits[k:]
    else:
        fixed = "0." + "0" * -(len(digits) + e10) + digits
    power = e10 + len(digits) - 1
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    sci = f"{mantissa}e{'+' if power >= 0 else '-'}{abs(power):02d}"
    sign = "-" if v < 0 else ""
    return (sign + (fixed if len(fixed) <= len(sci) else sci)).encode()
_COUNTER = re.compile(rb"-?[0-9]+\Z")


def norm(x):
    """A JSON-able form of a method result."""
    if isinstance(x, bytes):
        return ["b", x.hex()]
    return x


class Session:
    """One open cache on a directory; "reopen" replaces it by a fresh one
    (after close(), or after dropping the last reference without it)."""

    def __init__(self, directory, policy, snapshot_interval):
        self.args = {"persist_dir": str(directory), "fsync": policy, "snapshot_interval": snapshot_interval}
        self.cache = self._open()

    def _open(self):
        from mevora import Cache

        return Cache(**self.args)

    def run(self, op):
        if op[0] != "reopen":
            return run_op(self.cache, op)
        if op[1]:
            self.cache.close()
        self.cache = None  # the store goes with its last reference
        self.cache = self._open()
        return None


def run_op(cache, op):
    """Runs op on a Cache; returns the normalised result or error."""
    name = op[0]
    try:
        if name == "set":
            _, key, value, ttl, nx, xx = op
            kw = {ttl[0]: ttl[1]} if ttl else {}
            return cache.set(key, value, nx=nx, xx=xx, **kw)
        if name == "mset":
            return cache.mset(dict(op[1]))
        if name in ("incr", "decr", "append", "expire", "pexpire"):
            return norm(getattr(cache, name)(op[1], op[2]))
        if name == "persist" or name in ("lpop", "rpop"):
            return norm(getattr(cache, name)(op[1]))
        if name == "delete":
            return cache.delete(*op[1])
        if name in ("hset", "hsetnx", "hincrby"):
            return getattr(cache, name)(op[1], op[2], op[3])
        if name == "hmset":
            return cache.hmset(op[1], dict(op[2]))
        if name in ("lpushx", "rpushx"):
            return getattr(cache, name)(op[1], *op[2])
        if name in ("lpop_count", "rpop_count"):
            r = getattr(cache, name[:4])(op[1], op[2])
            return None if r is None else [norm(v) for v in r]
        if name in ("ltrim", "lset", "lrem"):
            return getattr(cache, name)(op[1], op[2], op[3])
        if name == "linsert":
            return cache.linsert(*op[1:])
        if name == "lmove":
            return norm(cache.lmove(*op[1:]))
        if name in ("hdel", "lpush", "rpush", "sadd", "srem"):
            return getattr(cache, name)(op[1], *op[2])
        if name == "spop":
            if op[2] is None:
                return norm(cache.spop(op[1]))
            return sorted(norm(m) for m in cache.spop(op[1], op[2]))
        if name == "smove":
            return cache.smove(op[1], op[2], op[3])
        if name in ("sinterstore", "sunionstore", "sdiffstore"):
            return getattr(cache, name)(op[1], *op[2])
        if name == "flush":
            return cache.flush()
        if name == "save":
            return cache.save()
        if name in ("rename", "renamenx", "pexpireat"):
            return getattr(cache, name)(op[1], op[2])
        if name == "setrange":
            return cache.setrange(op[1], op[2], op[3])
        if name == "msetnx":
            return cache.msetnx(dict(op[1]))
        if name == "incrbyfloat":
            return cache.incrbyfloat(op[1], op[2])
        if name == "hincrbyfloat":
            return cache.hincrbyfloat(op[1], op[2], op[3])
        if name == "getex":
            _, key, mode, arg = op
            kw = {"persist": True} if mode == "persist" else {"ex": arg} if mode == "ex" else {"pxat": arg}
            return norm(cache.getex(key, **kw))
    except KeyError as e:
        return ["err", "KeyError", str(e)]
    except (TypeError, ValueError, IndexError) as e:
        return ["err", type(e).__name__, str(e)]
    raise AssertionError(f"unknown operation {name}")


# ---- the model -----------------------------------------------------------------


class Model:
    """The keyspace as the acknowledged operations define it: key ->
    [kind, value, deadline], deadline None or a (lo, hi) window of absolute
    wall-clock ms in which the real deadline must lie."""

    def __init__(self):
        self.data = {}

    def clone(self):
        m = Model()
        m.data = copy.deepcopy(self.data)
        return m

    def resolve(self, snapshot):
        """The model this candidate stands for, given the recovered
        keyspace (None: none can match it): itself (see _PopOutcome for one
        that depends on it)."""
        return self

    def in_flight_states(self, op, t0, t1):
        """Every state op may leave if it was cut short between t0 and t1:
        untouched, after each of its steps, done. mset and delete change
        one key at a time (each under its own lock, so a kill can land
        between two keys); every other operation is one step. An spop's
        done state depends on what it drew: it is resolved at the next
        reopen from what the cache recovered."""
        if op[0] == "spop":
            return [self, _PopOutcome(self, op, t0, t1)]
        if op[0] in ("mset", "delete"):
            steps = [(op[0], op[1][:j]) for j in range(1, len(op[1]) + 1)]
        else:
            steps = [op]
        states = [self]
        for step in steps:
            m = self.clone()
            m.apply(step, t0, t1)
            states.append(m)
        return states

    def _kind(self, key, kind):
        """The entry if it holds kind, None if absent; raises on another kind."""
        e = self.data.get(key)
        if e is not None and e[0] != kind:
            raise _WrongType()
        return e

    def apply(self, op, t0, t1, reported=None):
        """Applies op as if called between wall-clock ms t0 and t1; returns
        the result the cache must have given. For spop, whose result is
        random, `reported` is what the cache returned: a valid pop is
        applied and returned as is; anything else leaves the model as it
        was and returns a description of what was allowed."""
        try:
            return self._apply(op, t0, t1, reported)
        except _WrongType:
            return WRONGTYPE

    def _spop(self, key, count, reported):
        e = self._kind(key, "set")
        members = e[1] if e is not None else set()
        if count is None:
            want = 1 if members else 0
            popped = [] if reported is None else [reported]
        else:
            want = min(count, len(members))
            popped = reported if isinstance(reported, list) else [None]
        taken = {bytes.fromhex(m[1]) for m in popped if isinstance(m, list) and len(m) == 2 and m[0] == "b"}
        if len(popped) != want or len(taken) != want or not taken <= members:
            return ["spop of", want, "distinct members of", sorted(m.hex() for m in members)]
        members -= taken
        if e is not None and not members:
            del self.data[key]
        return reported if count is None or reported is not None else []

    def _set_algebra(self, name, destination, sources):
        entries = [self._kind(k, "set") for k in sources]  # every kind checked first
        sets = [e[1] if e is not None else set() for e in entries]
        if name == "sinterstore":
            result = set.intersection(*sets)
        elif name == "sunionstore":
            result = set.union(*sets)
        else:
            result = sets[0].difference(*sets[1:])
        self.data.pop(destination, None)
        if result:
            self.data[destination] = ["set", set(result), None]
        return len(result)

    def _apply(self, op, t0, t1, reported=None):
        name, d = op[0], self.data
        if name == "spop":
            return self._spop(op[1], op[2], reported)
        if name == "smove":
            _, src, dst, member = op
            e, f = self._kind(src, "set"), self._kind(dst, "set")  # both checked first
            if e is None or member not in e[1]:
                return False
            if src == dst:
                return True
            e[1].discard(member)
            if not e[1]:
                del d[src]
            if f is None:
                f = d[dst] = ["set", set(), None]
            f[1].add(member)
            return True
        if name in ("sinterstore", "sunionstore", "sdiffstore"):
            return self._set_algebra(name, op[1], op[2])
        if name == "set":
            _, key, value, ttl, nx, xx = op
            if (nx and key in d) or (xx and key not in d):
                return False
            deadline = None
            if ttl:
                ms = ttl[1] * 1000 if ttl[0] == "ex" else ttl[1]
                deadline = (t0 + ms, t1 + ms)
            d[key] = ["string", value, deadline]
            return True
        if name == "mset":
            for key, value in op[1]:
                d[key] = ["string", value, None]
            return None
        if name in ("incr", "decr"):
            _, key, amount = op
            if name == "decr":
                if amount == I64_MIN:
                    return DECR_OVERFLOW
                amount = -amount
            e = self._kind(key, "string")
            current, deadline = 0, None
            if e is not None:
                if not _COUNTER.match(e[1]) or not I64_MIN <= int(e[1]) <= I64_MAX:
                    return NOT_INTEGER
                current, deadline = int(e[1]), e[2]
            new = current + amount
            if not I64_MIN <= new <= I64_MAX:
                return OVERFLOW
            d[key] = ["string", str(new).encode(), deadline]
            return new
        if name == "append":
            _, key, value = op
            e = self._kind(key, "string")
            if e is None:
                d[key] = ["string", value, None]
            else:
                e[1] += value
            return len(d[key][1])
        if name == "delete":
            count = 0
            for key in op[1]:
                if d.pop(key, None) is not None:
                    count += 1
            return count
        if name in ("expire", "pexpire"):
            _, key, amount = op
            ms = amount * 1000 if name == "expire" else amount
            if key not in d:
                return False
            d[key][2] = (t0 + ms, t1 + ms)
            return True
        if name == "persist":
            e = d.get(op[1])
            if e is None or e[2] is None:
                return False
            e[2] = None
            return True
        if name == "hset":
            _, key, field, value = op
            e = self._kind(key, "hash")
            if e is None:
                e = d[key] = ["hash", {}, None]
            new = field not in e[1]
            e[1][field] = value
            return new
        if name in ("hmset", "hsetnx"):
            key = op[1]
            e = self._kind(key, "hash")
            if e is None:
                e = d[key] = ["hash", {}, None]
            pairs = op[2] if name == "hmset" else [(op[2], op[3])]
            if name == "hsetnx" and op[2] in e[1]:
                return False
            for field, value in pairs:
                e[1][field] = value
            return None if name == "hmset" else True
        if name == "hincrby":
            _, key, field, amount = op
            e = self._kind(key, "hash")
            old = b"0" if e is None else e[1].get(field, b"0")
            if not _COUNTER.match(old) or not I64_MIN <= int(old) <= I64_MAX:
                return NOT_INTEGER
            new = int(old) + amount
            if not I64_MIN <= new <= I64_MAX:
                return OVERFLOW
            if e is None:
                e = d[key] = ["hash", {}, None]
            e[1][field] = str(new).encode()
            return new
        if name in ("hdel", "srem"):
            _, key, items = op
            e = self._kind(key, "hash" if name == "hdel" else "set")
            if e is None:
                return 0
            count = 0
            for item in items:
                if item in e[1]:
                    if name == "hdel":
                        del e[1][item]
                    else:
                        e[1].discard(item)
                    count += 1
            if not e[1]:
                del d[key]
            return count
        if name in ("lpush", "rpush"):
            _, key, values = op
            e = self._kind(key, "list") or ["list", [], None]
            for v in values:
                if name == "lpush":
                    e[1].insert(0, v)
                else:
                    e[1].append(v)
            if e[1]:
                d[key] = e
            return len(e[1])
        if name in ("lpop", "rpop"):
            e = self._kind(op[1], "list")
            if e is None:
                return None
            v = e[1].pop(0 if name == "lpop" else -1)
            if not e[1]:
                del d[op[1]]
            return norm(v)
        if name in ("lpushx", "rpushx"):
            _, key, values = op
            e = self._kind(key, "list")
            if e is None:
                return 0
            for v in values:
                if name == "lpushx":
                    e[1].insert(0, v)
                else:
                    e[1].append(v)
            return len(e[1])
        if name in ("lpop_count", "rpop_count"):
            _, key, count = op
            e = self._kind(key, "list")
            if e is None:
                return None
            out = []
            for _ in range(min(count, len(e[1]))):
                out.append(norm(e[1].pop(0 if name == "lpop_count" else -1)))
            if not e[1]:
                del d[key]
            return out
        if name == "ltrim":
            _, key, start, stop = op
            e = self._kind(key, "list")
            if e is None:
                return None
            n = len(e[1])
            first = start if start >= 0 else max(n + start, 0)
            last = min(stop, n - 1) if stop >= 0 else n + stop
            e[1][:] = e[1][first : last + 1] if first <= last else []
            if not e[1]:
                del d[key]
            return None
        if name == "lset":
            _, key, index, value = op
            e = self._kind(key, "list")
            if e is None:
                return NO_SUCH_KEY
            if not -len(e[1]) <= index < len(e[1]):
                return ["err", "IndexError", "index out of range"]
            e[1][index] = value
            return None
        if name == "linsert":
            _, key, where, pivot, value = op
            e = self._kind(key, "list")
            if e is None:
                return 0
            if pivot not in e[1]:
                return -1
            at = e[1].index(pivot)
            e[1].insert(at + 1 if where == "after" else at, value)
            return len(e[1])
        if name == "lrem":
            _, key, count, value = op
            e = self._kind(key, "list")
            if e is None:
                return 0
            order = range(len(e[1])) if count >= 0 else range(len(e[1]) - 1, -1, -1)
            hits = [i for i in order if e[1][i] == value]
            if count != 0:
                hits = hits[: abs(count)]
            for i in sorted(hits, reverse=True):
                del e[1][i]
            if not e[1]:
                del d[key]
            return len(hits)
        if name == "lmove":
            _, src, dst, wherefrom, whereto = op
            e = self._kind(src, "list")
            if e is None:
                return None
            f = self._kind(dst, "list")
            v = e[1].pop(0 if wherefrom == "left" else -1)
            if f is None:
                f = d[dst] = ["list", [], None]
            if whereto == "left":
                f[1].insert(0, v)
            else:
                f[1].append(v)
            if not e[1]:
                del d[src]
            return norm(v)
        if name == "sadd":
            _, key, members = op
            e = self._kind(key, "set") or ["set", set(), None]
            count = 0
            for m in members:
                if m not in e[1]:
                    e[1].add(m)
                    count += 1
            if e[1]:
                d[key] = e
            return count
        if name == "flush":
            d.clear()
            return None
        if name in ("save", "reopen"):
            return None
        if name in ("rename", "renamenx"):
            _, src, dst = op
            nx = name == "renamenx"
            if src not in d:
                return NO_SUCH_KEY
            if src == dst:
                return False if nx else None
            if nx and dst in d:
                return False
            d[dst] = d.pop(src)
            return True if nx else None
        if name == "pexpireat":
            _, key, when = op
            if key not in d:
                return False
            if when <= t0:  # the times are long past or decades ahead
                del d[key]
            else:
                d[key][2] = (when, when)
            return True
        if name == "setrange":
            _, key, offset, value = op
            e = self._kind(key, "string")
            if not value:
                return 0 if e is None else len(e[1])
            old = bytearray(e[1] if e is not None else b"")
            if len(old) < offset + len(value):
                old.extend(b"\0" * (offset + len(value) - len(old)))
            old[offset:offset + len(value)] = value
            d[key] = ["string", bytes(old), e[2] if e is not None else None]
            return len(old)
        if name == "msetnx":
            if any(key in d for key, _ in op[1]):
                return False
            for key, value in op[1]:
                d[key] = ["string", value, None]
            return True
        if name == "incrbyfloat":
            _, key, amount = op
            e = self._kind(key, "string")
            current, deadline = 0.0, None
            if e is not None:
                current = _parse_float(e[1])
                if current is None:
                    return NOT_FLOAT
                deadline = e[2]
            new = current + amount
            if math.isinf(new):
                return OVERFLOW
            d[key] = ["string", float_text(new), deadline]
            return float(float_text(new))
        if name == "hincrbyfloat":
            _, key, field, amount = op
            e = self._kind(key, "hash")
            old = None if e is None else e[1].get(field)
            current = 0.0 if old is None else _parse_float(old)
            if current is None:
                return NOT_FLOAT
            new = current + amount
            if math.isinf(new):
                return NOT_FINITE
            if e is None:
                e = d[key] = ["hash", {}, None]
            e[1][field] = float_text(new)
            return float(float_text(new))
        if name == "getex":
            _, key, mode, arg = op
            e = self._kind(key, "string")
            if e is None:
                return None
            value = e[1]
            if mode == "persist":
                e[2] = None
            elif mode == "ex":
                e[2] = (t0 + arg * 1000, t1 + arg * 1000)
            elif arg <= t0:
                del d[key]
            else:
                e[2] = (arg, arg)
            return norm(value)
        raise AssertionError(f"unknown operation {name}")


class _WrongType(Exception):
    pass


class _PopOutcome:
    """The state an spop left if it completed before the kill: the set
    minus the members it drew, which only the recovered keyspace tells.
    Resolved there: the members missing from the recovered set are taken
    as the pop; when they are not a valid one (too many or too few, or the
    set gained members), this outcome did not happen: resolve gives None."""

    def __init__(self, model, op, t0, t1):
        self.model, self.op, self.t0, self.t1 = model, op, t0, t1

    def resolve(self, snapshot):
        _, key, count = self.op
        m = self.model.clone()
        e = m.data.get(key)
        if e is None or e[0] != "set":
            m.apply(self.op, self.t0, self.t1)  # no member to draw: no change
            return m
        got = snapshot["entries"].get(key.hex())
        after = {bytes.fromhex(h) for h in got[1]} if got is not None and got[0] == "set" else set()
        popped = sorted(norm(x) for x in e[1] - after)
        if count is None:
            reported = popped[0] if len(popped) == 1 else popped
        else:
            reported = popped
        if not after <= e[1] or m.apply(self.op, self.t0, self.t1, reported) != reported:
            return None
        return m


# ---- keyspace dumps ------------------------------------------------------------


def now_ms():
    return time.time_ns() // 1_000_000


def dump(cache):
    """The whole keyspace of an open cache: every key's kind (found by trying
    the readers in turn), contents and remaining TTL, with the wall-clock
    window in which the TTLs were read."""
    t0 = now_ms()
    entries = {}
    for key in cache.keys():
        try:
            value = cache.get(key)
            kind, content = ("string", value.hex()) if value is not None else ("missing", None)
        except TypeError:
            try:
                content = sorted([f.hex(), v.hex()] for f, v in cache.hgetall(key).items())
                kind = "hash"
            except TypeError:
                try:
                    content = [v.hex() for v in cache.lrange(key, 0, -1)]
                    kind = "list"
                except TypeError:
                    content = sorted(m.hex() for m in cache.smembers(key))
                    kind = "set"
        entries[key.hex()] = [kind, content, cache.pttl(key)]
    t1 = now_ms()
    stats = cache.persist_stats
    return {"t0": t0, "t1": t1, "len": len(cache), "entries": entries,
            "last_error": stats["last_error"] if stats else "not persistent"}


def _model_content(kind, value):
    if kind == "string":
        return value.hex()
    if kind == "hash":
        return sorted([f.hex(), v.hex()] for f, v in value.items())
    if kind == "list":
        return [v.hex() for v in value]
    return sorted(m.hex() for m in value)


DEADLINE_SLACK_MS = 60_000  # wall-clock steps and rounding; TTLs are hours


def differences(model, snapshot):
    """What differs between a model and a dump; empty when they agree."""
    out = []
    entries = snapshot["entries"]
    want = {k.hex(): e for k, e in model.data.items()}
    for k in sorted(set(want) | set(entries)):
        if k not in entries:
            out.append(f"key {k}: missing, model has {want[k][0]}")
            continue
        if k not in want:
            out.append(f"key {k}: unexpected {entries[k][:2]}")
            continue
        kind, value, deadline = want[k]
        got_kind, got_content, pttl = entries[k]
        if got_kind != kind or got_content != _model_content(kind, value):
            out.append(f"key {k}: {got_kind} {got_content} != model {kind} {_model_content(kind, value)}")
        if deadline is None:
            if pttl != -1:
                out.append(f"key {k}: pttl {pttl}, model has no deadline")
        elif pttl <= 0:
            out.append(f"key {k}: pttl {pttl}, model has a deadline")
        else:
            lo, hi = snapshot["t0"] + pttl, snapshot["t1"] + pttl
            if hi < deadline[0] - DEADLINE_SLACK_MS or lo > deadline[1] + DEADLINE_SLACK_MS:
                out.append(f"key {k}: deadline in [{lo}, {hi}], model [{deadline[0]}, {deadline[1]}]")
    if snapshot["len"] != len(entries):
        out.append(f"len() is {snapshot['len']} but keys() lists {len(entries)}")
    note = snapshot["last_error"]
    if note is not None and not note.startswith("truncated torn WAL tail in wal-"):
        out.append(f"last_error after reopen: {note!r}")
    return out


# ---- the child -----------------------------------------------------------------


def child_main(directory, policy, seed, start):
    """Opens the cache, reports its keyspace ("R" line), then runs the
    stream from start, one "A" line per returned call, until killed."""
    session = Session(directory, policy, snapshot_interval=1)
    out = sys.stdout.buffer
    out.write(b"R " + json.dumps(dump(session.cache)).encode() + b"\n")
    out.flush()
    index = start
    while True:
        op = op_at(seed, index)
        t0 = now_ms()
        result = session.run(op)
        t1 = now_ms()
        # Written only now that the call has returned.
        out.write(b"A " + json.dumps([index, op[0], result, t0, t1]).encode() + b"\n")
        out.flush()
        index += 1


# ---- the parent ----------------------------------------------------------------


class ConsistencyError(AssertionError):
    pass


STALL_TIMEOUT_S = 60  # a child that says nothing for this long is hung


def _child_env():
    import mevora

    env = dict(os.environ)
    root = str(pathlib.Path(mevora.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = root + os.pathsep + env.get("PYTHONPATH", "")
    return env


class Harness:
    """Runs kill-and-reopen rounds on one directory; see the module text."""

    def __init__(self, directory, policy, seed=1, log=None):
        self.directory = str(directory)
        self.policy = policy
        self.seed = seed
        self.rng = random.Random(f"harness/{seed}/{policy}")
        self.log = log
        # One model, or several while the in-flight operation of the last
        # kill is undecided: the states after each prefix of its steps.
        self.candidates = [Model()]
        self.next_index = 0
        self.round = 0
        self.env = _child_env()
        self.stats = {"rounds": 0, "acked": 0, "verified": 0, "in_flight_kept": 0, "in_flight_lost": 0,
                      "in_flight_partial": 0, "in_flight_no_change": 0, "killed_before_ready": 0,
                      "torn_tails": 0, "parent_reopens": 0,
                      # What the kills left on disk: a temporary snapshot (the
                      # kill hit a save while it wrote), several segments (a
                      # save had rotated but not yet deleted the old ones).
                      "left_snapshot_tmp": 0, "left_several_segments": 0}
        self.kill_modes = {}

    def _fail(self, message):
        raise ConsistencyError(
            f"{message}\n(policy {self.policy}, seed {self.seed}, round {self.round}, "
            f"next op {self.next_index}, directory {self.directory})")

    def verify(self, snapshot):
        """Decides between the candidate models with a fresh dump."""
        self.stats["verified"] += 1
        if snapshot["last_error"] is not None:
            self.stats["torn_tails"] += 1
        models = [c.resolve(snapshot) for c in self.candidates]
        diffs = [["not a possible outcome of the in-flight operation"] if m is None else differences(m, snapshot)
                 for m in models]
        matching = [i for i, d in enumerate(diffs) if not d]
        if matching:
            last = len(models) - 1
            if last > 0:
                if len(matching) == len(models):
                    outcome = "in_flight_no_change"
                elif matching == [0]:
                    outcome = "in_flight_lost"
                elif matching == [last]:
                    outcome = "in_flight_kept"
                else:
                    outcome = "in_flight_partial"
                self.stats[outcome] += 1
            self.candidates = [models[matching[0]]]
            return
        text = "\n".join(f"against model {i} (after {i} steps of the in-flight op):\n  "
                         + "\n  ".join(d[:20]) for i, d in enumerate(diffs))
        self._fail("keyspace after reopen matches no model\n" + text)

    def verify_in_parent(self, close):
        from mevora import Cache

        cache = Cache(persist_dir=self.directory, fsync=self.policy, snapshot_interval=0)
        try:
            self.verify(dump(cache))
        finally:
            if close:
                cache.close()
            del cache
        self.stats["parent_reopens"] += 1

    def _choose_kill(self):
        """(mode, parameter): when this round's child is killed."""
        mode = self.rng.choices(["acks", "time", "save", "periodic", "opening"],
                                weights=[45, 20, 15, 10, 10])[0]
        if mode == "acks":
            limit = 300 if self.policy != "always" else 60
            return mode, self.rng.choice([0, 1, 2, self.rng.randint(3, limit)])
        if mode == "time":
            return mode, self.rng.uniform(0.0, 1.5)
        if mode == "save":
            # Kill a few ms after the ack before a save or a reopen (close,
            # final save, recovery): it is then running.
            j = self.next_index + 1 + self.rng.randint(0, 40)
            while op_at(self.seed, j)[0] not in ("save", "reopen"):
                j += 1
            return mode, (j, self.rng.uniform(0.0, 0.02))
        if mode == "periodic":
            # The snapshot thread's first save is due about 1 s after open.
            return mode, self.rng.uniform(0.95, 1.15)
        return mode, self.rng.uniform(0.0, 0.15)  # "opening": often before ready

    def run_round(self):
        """One child: spawned on the directory, killed at the chosen moment,
        its report replayed into the model."""
        self.round += 1
        start = self.next_index
        mode, param = self._choose_kill()
        self.kill_modes[mode] = self.kill_modes.get(mode, 0) + 1
        with tempfile.TemporaryFile() as errfile:
            p = subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "--child", self.directory, self.policy,
                 str(self.seed), str(start + 1)],
                stdout=subprocess.PIPE, stderr=errfile, env=self.env)
            try:
                lines, eof = self._watch(p.stdout.fileno(), mode, param)
            finally:
                if p.returncode is None:
                    p.kill()  # SIGKILL
                killed_ms = now_ms()
                p.wait()  # reaped: its LOCK now names a dead process
                rest = p.stdout.read()
                p.stdout.close()
            errfile.seek(0)
            stderr = errfile.read().decode(errors="replace")
        if eof or p.returncode != -signal.SIGKILL:
            self._fail(f"child ended by itself with status {p.returncode}:\n{stderr}")
        names = os.listdir(self.directory) if os.path.isdir(self.directory) else []
        self.stats["left_snapshot_tmp"] += "snapshot.tmp" in names
        self.stats["left_several_segments"] += sum(n.startswith("wal-") for n in names) > 1
        *complete, _partial = (lines.pop() + rest).split(b"\n")  # a partial last line is no ack
        self._absorb(lines + complete, start, killed_ms)
        self.stats["rounds"] += 1

    def _watch(self, fd, mode, param):
        """Reads the child's report until the kill is due (or the child ends
        by itself). Returns (lines, eof); the last item of lines is the
        unfinished rest."""
        lines, buf = [], b""
        spawned = last_output = time.monotonic()
        kill_at = spawned + param if mode in ("time", "opening") else None
        acks = 0
        while True:
            now = time.monotonic()
            if kill_at is not None and now >= kill_at:
                return lines + [buf], False
            if now - last_output > STALL_TIMEOUT_S:
                self._fail(f"child said nothing for {STALL_TIMEOUT_S} s")
            wait = 1.0 if kill_at is None else min(1.0, kill_at - now)
            if not select.select([fd], [], [], wait)[0]:
                continue
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                return lines + [buf], True
            last_output = time.monotonic()
            *complete, buf = (buf + chunk).split(b"\n")
            for line in complete:
                lines.append(line)
                if line.startswith(b"R "):
                    if mode == "periodic":
                        kill_at = last_output + param
                    elif mode == "acks" and param == 0:
                        kill_at = last_output
                    continue
                acks += 1
                if mode == "acks" and acks == param:
                    kill_at = last_output
                elif mode == "save" and json.loads(line[2:])[0] == param[0] - 1:
                    kill_at = last_output + param[1]

    def _absorb(self, lines, start, killed_ms):
        """Replays the child's report into the model."""
        expected = start + 1
        last_t1 = None
        ready = False
        for line in lines:
            tag, body = line[:2], json.loads(line[2:])
            if tag == b"R ":
                self.verify(body)
                ready = True
                last_t1 = body["t1"]
                continue
            index, name, result, t0, t1 = body
            if not ready or index != expected:
                self._fail(f"ack {index} out of order (expected {expected})")
            op = op_at(self.seed, index)
            if name != op[0]:
                self._fail(f"ack {index} names {name}, the stream has {op}")
            (model,) = self.candidates
            want = model.apply(op, t0, t1, reported=result)
            if result != want:
                self._fail(f"op {index} {op!r} returned {result!r}, the model says {want!r}")
            expected += 1
            last_t1 = t1
            self.stats["acked"] += 1
        if not ready:
            self.stats["killed_before_ready"] += 1
            return  # nothing ran; any undecided candidates stay undecided
        # The op after the last ack may have been running at the kill.
        (model,) = self.candidates
        self.candidates = model.in_flight_states(op_at(self.seed, expected), last_t1, killed_ms)
        self.next_index = expected  # the next child starts after the in-flight op

    def run(self, rounds):
        for _ in range(rounds):
            self.run_round()
            roll = self.rng.random()
            if roll < 0.1:
                self.verify_in_parent(close=True)  # the final save compacts the directory
            elif roll < 0.15:
                self.verify_in_parent(close=False)
            if self.log:
                self.log(f"round {self.round}: {self.stats}")
        self.verify_in_parent(close=True)
        return self.summary()

    def summary(self):
        return dict(self.stats, kill_modes=dict(sorted(self.kill_modes.items())))


def run(directory, policy, rounds, seed=1, log=None):
    """Runs rounds kill-and-reopen rounds; returns the summary or raises
    ConsistencyError on the first mismatch."""
    return Harness(directory, policy, seed, log).run(rounds)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "--child":
        directory, policy, seed, start = argv[1:5]
        child_main(directory, policy, int(seed), int(start))
        return 0
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=100)
    p.add_argument("--policy", choices=["always", "everysec", "never"], default="everysec")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--dir", default=None, help="data directory (default: a fresh temporary one)")
    p.add_argument("--keep", action="store_true", help="keep the temporary directory")
    p.add_argument("--verbose", action="store_true", help="print the counters after every round")
    args = p.parse_args(argv)
    directory = args.dir or tempfile.mkdtemp(prefix="mevora-crash-")
    log = (lambda s: print(s, flush=True)) if args.verbose else None
    started = time.monotonic()
    try:
        summary = run(directory, args.policy, args.rounds, args.seed, log)
    except ConsistencyError as e:
        print(f"FAILED: {e}", file=sys.stderr)
        return 1  # the directory stays for inspection
    if args.dir is None and not args.keep:
        shutil.rmtree(directory, ignore_errors=True)
    print(f"policy {args.policy}, seed {args.seed}: {summary} in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
