import inspect
import subprocess
import sys

import pytest

import mevora
from mevora import _mevora
from mevora import CacheLockedError, CorruptDataError

# The extension class itself (mevora.Cache is its Python subclass, tested in
# test_pylayer.py).
Cache = _mevora.Cache


def test_all_lists_public_names_in_registration_order():
    assert _mevora.__all__ == ["Cache", "Server", "CacheLockedError", "CorruptDataError", "Transaction", "WatchError"]
    assert mevora.__all__ == _mevora.__all__
    assert _mevora.__doc__ == ""


def test_reimport_returns_same_module():
    import importlib

    again = importlib.import_module("mevora._mevora")
    assert again is _mevora


@pytest.mark.parametrize(
    "cls, base, doc",
    [
        (CacheLockedError, OSError, "The persistence directory is in use by another live process."),
        (CorruptDataError, ValueError, "The persisted snapshot failed its checksum or structure check."),
    ],
)
def test_exception_classes(cls, base, doc):
    assert issubclass(cls, base)
    assert cls.__module__ == "_mevora"
    assert cls.__doc__ == doc
    err = cls("boom")
    assert err.args == ("boom",)


def test_cache_type_identity_and_docs():
    assert Cache.__module__ == "mevora._mevora"
    assert Cache.__qualname__ == "Cache"
    assert Cache.__doc__ == (
        "Bytes-level cache. The Python `mevora.Cache` subclass adds decoding,\n"
        "JSON handling and dict-style sugar on top of this class."
    )
    assert str(inspect.signature(Cache)) == (
        "(max_memory=0, policy='noeviction', shards=64, persist_dir=None, "
        "fsync='everysec', snapshot_interval=300)"
    )
    assert "__init__" not in Cache.__dict__


def test_instances_have_no_dict_but_subclasses_do():
    c = Cache(shards=1)
    with pytest.raises(AttributeError):
        c.extra = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(c)

    class Sub(Cache):
        pass

    s = Sub(shards=2)
    s.extra = 1
    s.set("k", "v")
    assert s.get("k") == b"v"
    import weakref

    assert weakref.ref(s)() is s


METHOD_SIGNATURES = {
    "close": "($self)",
    "save": "($self)",
    "set": "($self, key, value, ex=None, px=None, nx=False, xx=False, get=False, keepttl=False, exat=None, pxat=None)",
    "get": "($self, key)",
    "mget": "($self, keys)",
    "mset": "($self, mapping)",
    "incr": "($self, key, amount=1)",
    "decr": "($self, key, amount=1)",
    "append": "($self, key, value)",
    "delete": "($self, *keys)",
    "exists": "($self, key)",
    "expire": "($self, key, seconds)",
    "pexpire": "($self, key, milliseconds)",
    "persist": "($self, key)",
    "ttl": "($self, key)",
    "pttl": "($self, key)",
    "keys": '($self, pattern="*")',
    "scan": "($self, cursor=0, match=None, count=None, type=None)",
    "scan_iter": "($self, match=None, count=None, type=None)",
    "flush": "($self)",
    "hset": "($self, key, field, value)",
    "hget": "($self, key, field)",
    "hdel": "($self, key, *fields)",
    "hgetall": "($self, key)",
    "hlen": "($self, key)",
    "lpush": "($self, key, *values)",
    "rpush": "($self, key, *values)",
    "lpop": "($self, key, count=None)",
    "rpop": "($self, key, count=None)",
    "lrange": "($self, key, start, stop)",
    "llen": "($self, key)",
    "sadd": "($self, key, *members)",
    "srem": "($self, key, *members)",
    "smembers": "($self, key)",
    "sismember": "($self, key, member)",
    "scard": "($self, key)",
    "hmget": "($self, key, *fields)",
    "hmset": "($self, key, mapping)",
    "hsetnx": "($self, key, field, value)",
    "hexists": "($self, key, field)",
    "hkeys": "($self, key)",
    "hvals": "($self, key)",
    "hstrlen": "($self, key, field)",
    "hincrby": "($self, key, field, amount=1)",
    "hincrbyfloat": "($self, key, field, amount=1.0)",
    "hrandfield": "($self, key, count=None, withvalues=False)",
    "hscan": "($self, key, cursor=0, match=None, count=None)",
    "lindex": "($self, key, index)",
    "lpos": "($self, key, value, rank=None, count=None, maxlen=None)",
    "lpushx": "($self, key, *values)",
    "rpushx": "($self, key, *values)",
    "ltrim": "($self, key, start, stop)",
    "lset": "($self, key, index, value)",
    "linsert": "($self, key, where, pivot, value)",
    "lrem": "($self, key, count, value)",
    "lmove": "($self, source, destination, wherefrom, whereto)",
    "rpoplpush": "($self, source, destination)",
    "smismember": "($self, key, *members)",
    "srandmember": "($self, key, count=None)",
    "spop": "($self, key, count=None)",
    "sscan": "($self, key, cursor=0, match=None, count=None)",
    "smove": "($self, source, destination, member)",
    "sinter": "($self, key, *keys)",
    "sunion": "($self, key, *keys)",
    "sdiff": "($self, key, *keys)",
    "sinterstore": "($self, destination, key, *keys)",
    "sunionstore": "($self, destination, key, *keys)",
    "sdiffstore": "($self, destination, key, *keys)",
    "sintercard": "($self, keys, limit=0)",
    "getset": "($self, key, value)",
    "getdel": "($self, key)",
    "transaction": "($self, watch=())",
    "type": "($self, key)",
    "rename": "($self, src, dst)",
    "renamenx": "($self, src, dst)",
    "expireat": "($self, key, when)",
    "pexpireat": "($self, key, when)",
    "expiretime": "($self, key)",
    "pexpiretime": "($self, key)",
    "touch": "($self, *keys)",
    "randomkey": "($self)",
    "strlen": "($self, key)",
    "getrange": "($self, key, start, end)",
    "setrange": "($self, key, offset, value)",
    "msetnx": "($self, mapping)",
    "incrbyfloat": "($self, key, amount)",
    "getex": "($self, key, ex=None, px=None, exat=None, pxat=None, persist=False)",
}

# The methods whose doc strings say more than their signature.
DESCRIBED = {"type", "rename", "renamenx", "expireat", "pexpireat", "expiretime", "pexpiretime", "touch",
             "randomkey", "strlen", "getrange", "setrange", "msetnx", "incrbyfloat", "getex"}


def test_methods_publish_signatures_in_order():
    published = [name for name in Cache.__dict__ if callable(getattr(Cache, name)) and not name.startswith("_")]
    assert published == list(METHOD_SIGNATURES)
    for name, sig in METHOD_SIGNATURES.items():
        assert getattr(Cache, name).__text_signature__ == sig, name


# Methods whose doc string says more than the signature.
DESCRIBED = set(METHOD_SIGNATURES) - {
    "close", "set", "get", "mget", "mset", "incr", "decr", "append", "delete", "exists", "expire", "pexpire",
    "persist", "pttl", "keys", "flush", "hset", "hget", "hdel", "hgetall", "hlen", "lpush", "rpush", "lrange",
    "llen", "sadd", "srem", "smembers", "sismember", "scard", "getset", "getdel", "hexists",
}


@pytest.mark.parametrize("name", list(METHOD_SIGNATURES))
def test_method_docs(name):
    doc = getattr(Cache, name).__doc__
    if name == "save":
        assert doc == "Writes a snapshot now. Raises OSError on I/O failure, ValueError if persistence is off."
    elif name == "ttl":
        assert doc == "Remaining TTL in whole seconds, rounded up. -2 if missing, -1 if no expiry."
    elif name in ("scan", "scan_iter"):
        assert "at least once" in doc or "guarantee of `scan`" in doc
    elif name == "transaction":
        assert doc.startswith("A Transaction: calls on it run atomically")
    elif name in DESCRIBED:
        assert len(doc) > 20, name
    else:
        assert doc is None


def test_properties_are_read_only_with_docs():
    c = Cache(shards=1)
    for name, doc in [
        ("persistent", "True when this cache was opened with a `persist_dir`."),
        ("persist_stats", "Persistence counters as a dict, or None when persistence is off."),
        ("used_memory", ""),
    ]:
        assert getattr(Cache, name).__doc__ == doc
        with pytest.raises(AttributeError):
            setattr(c, name, 1)


def test_sub_interpreter_is_refused():
    # Run in a fresh process so the refusal does not disturb this one.
    code = (
        "import mevora._mevora\n"
        "try:\n"
        "    import _xxsubinterpreters as si\n"
        "except ImportError:\n"
        "    raise SystemExit(0)\n"
        "i = si.create()\n"
        "try:\n"
        "    si.run_string(i, 'import mevora._mevora')\n"
        "except Exception as e:\n"
        "    assert 'sub-interpreter' in str(e), e\n"
        "    raise SystemExit(0)\n"
        "raise SystemExit('sub-interpreter import was not refused')\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
