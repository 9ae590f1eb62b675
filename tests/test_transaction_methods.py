"""Every data method of Cache recorded on a Transaction: the same result and
the same keyspace as the call made directly, its keys declared so that a
refused log undoes all of it, and its arguments read when it is recorded."""

import errno
import inspect

import pytest

from mevora import Cache, Transaction, _mevora
from persist_files import contents

# Public methods of mevora.Cache that a transaction does not record. A
# method added to Cache must be made recordable (a row in
# src/binding/transaction_calls.h and a case in CASES) or listed here.
NOT_RECORDABLE = {
    # An iterator cannot run inside the atomic step.
    "scan_iter", "hscan_iter", "sscan_iter",
    # Not data methods.
    "close", "save", "transaction",
    # Conveniences written in Python over the recordable methods: JSON,
    # memoize and the mapping interface.
    "get_json", "set_json", "memoize", "setdefault", "clear", "items", "values", "pop", "popitem", "update",
}

FAR = 4_000_000_000  # a Unix time in seconds well ahead


def seed(c):
    c.set("s", "hello")
    c.set("n", "10")
    c.set("f", "1.5")
    c.set("t", "x", ex=3600)
    c.set("at", "y", exat=FAR)
    c.hset("h", "a", "1")
    c.hset("h", "b", "two")
    c.hset("h1", "only", "v")
    c.rpush("l", "a", "b", "c", "b")
    c.rpush("l1", "z")
    c.sadd("S", "x")  # one member: random picks are certain
    c.sadd("S3", "x", "y", "z")


def one_key(c):
    c.set("only", "1")


def no_keys(c):
    pass


def unordered_scan(r):
    return (r[0], sorted(r[1])) if isinstance(r, tuple) else r


def unordered(r):
    return sorted(r) if isinstance(r, list) else r


def case(name, call, norm=None, setup=seed):
    """`name` is "method" or "method: variant"; call(c) makes one call of
    that method on a Cache or a Transaction."""
    return pytest.param(call, norm, setup, id=name)


CASES = [
    case("set", lambda c: c.set("k", "v", ex=100)),
    case("set: nx with get", lambda c: c.set("s", "y", nx=True, get=True)),
    case("set: by keyword", lambda c: c.set(key="k", value=1)),
    case("set: missing argument", lambda c: c.set("k")),
    case("get", lambda c: c.get("s")),
    case("get: wrong kind", lambda c: c.get("h")),
    case("mget", lambda c: c.mget(["s", "h", "missing"])),
    case("mget: generator", lambda c: c.mget(k for k in ("n", "s"))),
    case("mget: by keyword", lambda c: c.mget(keys=("s",))),
    case("mset", lambda c: c.mset({"a": 1, "s": "new"})),
    case("mset: by keyword", lambda c: c.mset(mapping={"b": 2})),
    case("incr", lambda c: c.incr("n", 5)),
    case("incr: not an integer", lambda c: c.incr("s")),
    case("incr: wrong kind", lambda c: c.incr("l")),
    case("decr", lambda c: c.decr("n")),
    case("append", lambda c: c.append("s", "!")),
    case("append: new key", lambda c: c.append("new", "x")),
    case("delete", lambda c: c.delete("s", "h", "missing")),
    case("exists", lambda c: c.exists("s")),
    case("expire", lambda c: c.expire("s", 100)),
    case("pexpire", lambda c: c.pexpire("s", 100_000)),
    case("persist", lambda c: c.persist("t")),
    case("ttl", lambda c: c.ttl("s")),
    case("pttl", lambda c: c.pttl("missing")),
    case("keys", lambda c: c.keys(), unordered),
    case("keys: pattern", lambda c: c.keys("h*"), unordered),
    case("scan", lambda c: c.scan(0, count=1000), unordered_scan),
    case("scan: type", lambda c: c.scan(0, match="*", count=1000, type="hash"), unordered_scan),
    case("flush", lambda c: c.flush()),
    case("hset", lambda c: c.hset("h", "c", "3")),
    case("hset: wrong kind", lambda c: c.hset("s", "f", "v")),
    case("hget", lambda c: c.hget("h", "a")),
    case("hdel", lambda c: c.hdel("h", "a", "zz")),
    case("hdel: last field", lambda c: c.hdel("h1", "only")),
    case("hgetall", lambda c: c.hgetall("h")),
    case("hlen", lambda c: c.hlen("h")),
    case("lpush", lambda c: c.lpush("l", "p", "q")),
    case("rpush", lambda c: c.rpush("new", "p")),
    case("lpop", lambda c: c.lpop("l")),
    case("lpop: count", lambda c: c.lpop("l", 2)),
    case("lpop: count on a missing key", lambda c: c.lpop("missing", 2)),
    case("rpop", lambda c: c.rpop("l", count=9)),
    case("lrange", lambda c: c.lrange("l", 0, -1)),
    case("llen", lambda c: c.llen("l")),
    case("llen: wrong kind", lambda c: c.llen("s")),
    case("sadd", lambda c: c.sadd("S3", "w", "x")),
    case("srem", lambda c: c.srem("S3", "x")),
    case("smembers", lambda c: c.smembers("S3")),
    case("sismember", lambda c: c.sismember("S3", "y")),
    case("scard", lambda c: c.scard("S3")),
    case("hmget", lambda c: c.hmget("h", "a", "zz")),
    case("hmset", lambda c: c.hmset("h", {"c": 3, "a": "one"})),
    case("hmset: by keyword", lambda c: c.hmset(key="h2", mapping={"f": 1})),
    case("hmset: wrong kind", lambda c: c.hmset("l", {"f": 1})),
    case("hsetnx", lambda c: c.hsetnx("h", "a", "x")),
    case("hexists", lambda c: c.hexists("h", "b")),
    case("hkeys", lambda c: c.hkeys("h"), unordered),
    case("hvals", lambda c: c.hvals("h"), unordered),
    case("hstrlen", lambda c: c.hstrlen("h", "b")),
    case("hincrby", lambda c: c.hincrby("h", "a", 5)),
    case("hincrby: not an integer", lambda c: c.hincrby("h", "b")),
    case("hincrbyfloat", lambda c: c.hincrbyfloat("h", "a", 0.25)),
    case("hrandfield", lambda c: c.hrandfield("h1")),
    case("hrandfield: count with values", lambda c: c.hrandfield("h", 5, withvalues=True), unordered),
    case("hscan", lambda c: c.hscan("h", 0, count=100)),
    case("lindex", lambda c: c.lindex("l", -1)),
    case("lpos", lambda c: c.lpos("l", "b", rank=-1)),
    case("lpos: count", lambda c: c.lpos("l", "b", count=0)),
    case("lpushx", lambda c: c.lpushx("l", "x")),
    case("lpushx: missing key", lambda c: c.lpushx("missing", "x")),
    case("rpushx", lambda c: c.rpushx("l", "y")),
    case("ltrim", lambda c: c.ltrim("l", 1, 2)),
    case("ltrim: to nothing", lambda c: c.ltrim("l", 5, 9)),
    case("lset", lambda c: c.lset("l", 0, "A")),
    case("lset: out of range", lambda c: c.lset("l", 10, "x")),
    case("lset: missing key", lambda c: c.lset("missing", 0, "x")),
    case("linsert", lambda c: c.linsert("l", "after", "b", "B")),
    case("lrem", lambda c: c.lrem("l", 0, "b")),
    case("lmove", lambda c: c.lmove("l", "l2", "left", "right")),
    case("lmove: by keyword",
         lambda c: c.lmove(source="l", destination="l1", wherefrom="right", whereto="left")),
    case("lmove: onto a string", lambda c: c.lmove("l", "s", "left", "left")),
    case("lmove: last item", lambda c: c.lmove("l1", "new", "left", "left")),
    case("rpoplpush", lambda c: c.rpoplpush("l", "l")),
    case("rpoplpush: destination by keyword", lambda c: c.rpoplpush("l1", destination="new")),
    case("smismember", lambda c: c.smismember("S3", "x", "q")),
    case("srandmember", lambda c: c.srandmember("S")),
    case("srandmember: count", lambda c: c.srandmember("S3", 5), unordered),
    case("srandmember: negative count", lambda c: c.srandmember("S", -3)),
    case("spop", lambda c: c.spop("S")),
    case("spop: count", lambda c: c.spop("S3", 5)),
    case("sscan", lambda c: c.sscan("S3", 0, count=100), unordered_scan),
    case("smove", lambda c: c.smove("S3", "S", "y")),
    case("smove: into a new key", lambda c: c.smove("S", "new", "x")),
    case("smove: wrong kind", lambda c: c.smove("S3", "h", "y")),
    case("sinter", lambda c: c.sinter("S3", "S")),
    case("sunion", lambda c: c.sunion("S3", "S", "missing")),
    case("sdiff", lambda c: c.sdiff("S3", "S")),
    case("sinterstore: destination among the sources", lambda c: c.sinterstore("S3", "S3", "S")),
    case("sunionstore", lambda c: c.sunionstore("new", "S3", "S")),
    case("sdiffstore: empty result deletes", lambda c: c.sdiffstore("S", "S", "S3")),
    case("sdiffstore: wrong kind", lambda c: c.sdiffstore("new", "S3", "h")),
    case("sintercard", lambda c: c.sintercard(["S3", "S"])),
    case("sintercard: limit by keyword", lambda c: c.sintercard(keys=["S3", "S3"], limit=2)),
    case("getset", lambda c: c.getset("s", "new")),
    case("getdel", lambda c: c.getdel("s")),
    case("type", lambda c: c.type("h")),
    case("type: missing key", lambda c: c.type("missing")),
    case("rename", lambda c: c.rename("s", "s2")),
    case("rename: dst by keyword", lambda c: c.rename("l", dst="moved")),
    case("rename: by keyword", lambda c: c.rename(src="h", dst="n")),
    case("rename: keeps the deadline", lambda c: c.rename("t", "t2")),
    case("rename: missing source", lambda c: c.rename("missing", "x")),
    case("renamenx", lambda c: c.renamenx("s", "fresh")),
    case("renamenx: destination exists", lambda c: c.renamenx("s", "n")),
    case("expireat", lambda c: c.expireat("s", FAR)),
    case("expireat: in the past", lambda c: c.expireat("s", 1)),
    case("pexpireat", lambda c: c.pexpireat("s", FAR * 1000)),
    case("expiretime", lambda c: c.expiretime("at")),
    case("pexpiretime", lambda c: c.pexpiretime("at")),
    case("touch", lambda c: c.touch("s", "h", "missing", "s")),
    case("randomkey", lambda c: c.randomkey(), setup=one_key),
    case("randomkey: empty", lambda c: c.randomkey(), setup=no_keys),
    case("strlen", lambda c: c.strlen("s")),
    case("getrange", lambda c: c.getrange("s", 1, -2)),
    case("setrange", lambda c: c.setrange("s", 10, "x")),
    case("msetnx", lambda c: c.msetnx({"a": 1, "b": 2})),
    case("msetnx: one exists", lambda c: c.msetnx({"a": 1, "s": 2})),
    case("msetnx: by keyword", lambda c: c.msetnx(mapping={"c": 3})),
    case("incrbyfloat", lambda c: c.incrbyfloat("f", 0.1)),
    case("incrbyfloat: not a float", lambda c: c.incrbyfloat("s", 1.0)),
    case("getex", lambda c: c.getex("t", persist=True)),
    case("getex: sets an expiry", lambda c: c.getex("s", ex=100)),
]


def outcome(call):
    try:
        return call()
    except Exception as e:  # noqa: BLE001 - compared below
        return e


def comparable(r, norm):
    """A result in a form two runs can be compared by: an exception as its
    type and message."""
    if isinstance(r, BaseException):
        return (type(r), str(r))
    return norm(r) if norm is not None else r


def around(target, call):
    """The calls made in each run: a call before and after the case's own,
    which must run whatever the case's call does."""
    return [lambda: target.set("before", 1), lambda: call(target), lambda: target.incr("after")]


@pytest.mark.parametrize("call,norm,setup", CASES)
def test_a_recorded_call_has_the_result_and_effect_of_a_direct_one(call, norm, setup):
    direct, recorded = Cache(shards=8), Cache(shards=8)
    try:
        setup(direct)
        setup(recorded)
        expected = [outcome(step) for step in around(direct, call)]
        with recorded.transaction() as tx:
            for step in around(tx, call):
                assert step() is None
        assert [comparable(r, norm) for r in tx.results] == [comparable(r, norm) for r in expected]
        assert tx.results[0] is True and tx.results[2] == 1
        assert contents(recorded) == contents(direct)
        assert recorded.used_memory == direct.used_memory
    finally:
        direct.close()
        recorded.close()


@pytest.mark.parametrize("call,norm,setup", CASES)
def test_a_refused_log_undoes_every_key_a_recorded_call_touched(tmp_path, call, norm, setup):
    # Undo puts back exactly the keys the transaction declared: a key the
    # table missed would keep its change.
    c = Cache(persist_dir=str(tmp_path / "data"), fsync="always", snapshot_interval=0)
    try:
        setup(c)
        before, memory = contents(c), c.used_memory
        _mevora._inject_fault("write", 1, errno.ENOSPC, 0)
        try:
            with pytest.raises(OSError, match="transaction rolled back"):
                with c.transaction() as tx:
                    for step in around(tx, call):
                        step()
        finally:
            _mevora._clear_faults()
        assert contents(c) == before
        assert c.used_memory == memory
    finally:
        c.close()


def recordable():
    return {n for n in dir(Transaction) if not n.startswith("_") and callable(getattr(Transaction, n))}


def test_every_public_method_of_cache_is_recordable_or_listed_as_not():
    public = {n for n in dir(Cache) if not n.startswith("_") and callable(getattr(Cache, n))}
    assert recordable() | NOT_RECORDABLE == public
    assert not recordable() & NOT_RECORDABLE
    assert {p.id.split(":")[0] for p in CASES} == recordable(), "every recordable method has a case"


@pytest.mark.parametrize("name", sorted(recordable()))
def test_a_recorder_has_the_signature_and_doc_of_the_cache_method(name):
    cache_method = getattr(_mevora.Cache, name)
    assert inspect.signature(getattr(Transaction, name)) == inspect.signature(cache_method)
    assert getattr(Transaction, name).__doc__ == cache_method.__doc__


@pytest.mark.parametrize("name", sorted(NOT_RECORDABLE))
def test_looking_up_a_method_that_cannot_be_recorded_says_why(name):
    c = Cache(shards=1)
    try:
        tx = c.transaction()
        with pytest.raises(AttributeError, match=f"Cache.{name} cannot be recorded in a transaction"):
            getattr(tx, name)
        with pytest.raises(AttributeError, match="has no attribute 'nonesuch'$"):
            tx.nonesuch  # noqa: B018 - the lookup is the test
    finally:
        c.close()
