"""One table of cases, run through both ways in: `Cache` methods and RESP
commands over a server on the same kind of cache.

A case names a command as it is sent over the wire, e.g.
``("HINCRBY", "h", "f", "5")``. `World.run` sends it over RESP3 or calls the
`Cache` method that mirrors it (ADAPTERS), and returns the result in one
common form: ints, bytes, None, lists, sets and dicts as the protocol's
RESP3 kinds map to them, and an error as ``Failed(text)`` with the text
the server sends after its ``ERR `` prefix (which is the Python exception's
message).
"""

from dataclasses import dataclass

from mevora import Cache, Server
from resp_client import Client, Err, Set3


@dataclass(frozen=True)
class Failed:
    text: str


def _opt_count(args):
    return int(args[0]) if args else None


def _float_text(v):
    """The server's text for a float result: the shortest exact form,
    without a ".0" for whole numbers."""
    text = repr(v)
    return (text[:-2] if text.endswith(".0") else text).encode()


def _hrandfield(c, key, *rest):
    count = _opt_count(rest)
    withvalues = len(rest) > 1 and rest[1].upper() == "WITHVALUES"
    r = c.hrandfield(key, count, withvalues)
    if withvalues:
        return [list(pair) for pair in r]
    return r


def _hscan(c, key, cursor, *options):
    opts = dict(zip((o.lower() for o in options[::2]), options[1::2]))
    if "count" in opts:
        opts["count"] = int(opts["count"])
    next_cursor, page = c.hscan(key, int(cursor), **opts)
    return [str(next_cursor).encode(), page]


def _lpos(c, key, value, *options):
    opts = {o.lower(): int(v) for o, v in zip(options[::2], options[1::2])}
    return c.lpos(key, value, **opts)


def _sscan(c, key, cursor, *options):
    opts = dict(zip((o.lower() for o in options[::2]), options[1::2]))
    if "count" in opts:
        opts["count"] = int(opts["count"])
    next_cursor, page = c.sscan(key, int(cursor), **opts)
    return [str(next_cursor).encode(), page]


def _sintercard(c, numkeys, *rest):
    n = int(numkeys)
    keys, options = rest[:n], rest[n:]
    if options:
        return c.sintercard(keys, limit=int(options[1]))
    return c.sintercard(keys)


# Command name -> how a Cache does it, with the command's arguments as sent.
ADAPTERS = {
    # what cases set up and check with
    "SET": lambda c, k, v: "OK" if c.set(k, v) else None,
    "DEL": lambda c, *keys: c.delete(*keys),
    "EXISTS": lambda c, k: int(c.exists(k)),
    "HSET": lambda c, k, f, v: int(c.hset(k, f, v)),
    "HGETALL": lambda c, k: c.hgetall(k),
    "RPUSH": lambda c, k, *v: c.rpush(k, *v),
    "LRANGE": lambda c, k, a, b: c.lrange(k, int(a), int(b)),
    "SADD": lambda c, k, *m: c.sadd(k, *m),
    "SMEMBERS": lambda c, k: c.smembers(k),
    # hashes
    "HMGET": lambda c, k, *f: c.hmget(k, *f),
    "HMSET": lambda c, k, *fv: c.hmset(k, dict(zip(fv[::2], fv[1::2]))) or "OK",
    "HSETNX": lambda c, k, f, v: int(c.hsetnx(k, f, v)),
    "HEXISTS": lambda c, k, f: int(c.hexists(k, f)),
    "HKEYS": lambda c, k: c.hkeys(k),
    "HVALS": lambda c, k: c.hvals(k),
    "HSTRLEN": lambda c, k, f: c.hstrlen(k, f),
    "HINCRBY": lambda c, k, f, n: c.hincrby(k, f, int(n)),
    "HINCRBYFLOAT": lambda c, k, f, n: _float_text(c.hincrbyfloat(k, f, float(n))),
    "HRANDFIELD": _hrandfield,
    "HSCAN": _hscan,
    # lists
    "LPUSH": lambda c, k, *v: c.lpush(k, *v),
    "LPOP": lambda c, k, *n: c.lpop(k, *map(int, n)),
    "RPOP": lambda c, k, *n: c.rpop(k, *map(int, n)),
    "LINDEX": lambda c, k, i: c.lindex(k, int(i)),
    "LPOS": _lpos,
    "LPUSHX": lambda c, k, *v: c.lpushx(k, *v),
    "RPUSHX": lambda c, k, *v: c.rpushx(k, *v),
    "LTRIM": lambda c, k, a, b: c.ltrim(k, int(a), int(b)) or "OK",
    "LSET": lambda c, k, i, v: c.lset(k, int(i), v) or "OK",
    "LINSERT": lambda c, k, where, p, v: c.linsert(k, where, p, v),
    "LREM": lambda c, k, n, v: c.lrem(k, int(n), v),
    "LMOVE": lambda c, s, d, a, b: c.lmove(s, d, a, b),
    "RPOPLPUSH": lambda c, s, d: c.rpoplpush(s, d),
    # sets
    "SCARD": lambda c, k: c.scard(k),
    "SMISMEMBER": lambda c, k, *m: [int(b) for b in c.smismember(k, *m)],
    "SRANDMEMBER": lambda c, k, *n: c.srandmember(k, *map(int, n)),
    "SPOP": lambda c, k, *n: c.spop(k, *map(int, n)),
    "SSCAN": _sscan,
    "SMOVE": lambda c, s, d, m: int(c.smove(s, d, m)),
    "SINTER": lambda c, *k: c.sinter(*k),
    "SUNION": lambda c, *k: c.sunion(*k),
    "SDIFF": lambda c, *k: c.sdiff(*k),
    "SINTERSTORE": lambda c, d, *k: c.sinterstore(d, *k),
    "SUNIONSTORE": lambda c, d, *k: c.sunionstore(d, *k),
    "SDIFFSTORE": lambda c, d, *k: c.sdiffstore(d, *k),
    "SINTERCARD": _sintercard,
}


def _common(reply):
    if isinstance(reply, Err):
        text = reply.text
        return Failed(text[4:] if text.startswith("ERR ") else text)
    if isinstance(reply, Set3):
        return set(reply)
    if isinstance(reply, list):
        return [_common(r) for r in reply]
    return reply


class World:
    """A fresh one-shard cache, reached either through its methods
    ("cache") or through RESP3 commands to a server on it ("resp")."""

    def __init__(self, how):
        self.how = how
        self.cache = Cache(shards=1)
        self.server = self.client = None
        if how == "resp":
            self.server = Server(self.cache, port=0)
            self.server.start()
            self.client = Client(self.server.port)
            assert isinstance(self.client.call("HELLO", "3"), dict)

    def close(self):
        if self.client is not None:
            self.client.close()
            self.server.stop()
        self.cache.close()

    def run(self, *command):
        if self.how == "resp":
            return _common(self.client.call(*command))
        try:
            result = ADAPTERS[command[0].upper()](self.cache, *command[1:])
        except (TypeError, ValueError, IndexError, KeyError) as e:
            return Failed(e.args[0] if isinstance(e, KeyError) else str(e))
        if isinstance(result, tuple):
            return list(result)
        return result

    @property
    def used_memory(self):
        return self.cache.used_memory

    def delete_everything(self):
        keys = list(self.cache.keys())
        if keys:
            assert self.run("DEL", *keys) == len(keys)
