"""mevora.Cache: the mapping interface against a dict model, decoding with
and without an encoding, and JSON."""

import codecs
import collections.abc
import inspect
import json
import math
import random

import pytest

import mevora
from mevora import _mevora


@pytest.fixture(params=[None, "utf-8"], ids=["bytes", "text"])
def c(request):
    cache = mevora.Cache(shards=4, encoding=request.param)
    yield cache
    cache.close()


def test_the_class_and_its_constructor():
    assert mevora.Cache is not _mevora.Cache
    assert issubclass(mevora.Cache, _mevora.Cache)
    b = mevora.Cache()
    t = mevora.Cache(encoding="UTF8", errors="replace")
    assert isinstance(b, collections.abc.MutableMapping) and isinstance(t, mevora.Cache)
    assert (b.encoding, b.errors) == (None, "strict")
    assert str(inspect.signature(mevora.Cache)) == (
        "(max_memory=0, policy='noeviction', shards=64, persist_dir=None, fsync='everysec', "
        "snapshot_interval=300, encoding=None, errors='strict')"
    )
    assert "encoding" in mevora.Cache.__doc__ and mevora.Cache.__module__ == "mevora"
    assert (t.encoding, t.errors) == ("utf-8", "replace")
    # A bytes cache runs the extension's methods themselves.
    assert type(b).get is _mevora.Cache.get and type(b).hgetall is _mevora.Cache.hgetall
    # Identity, not content: two empty caches differ, a cache is hashable.
    assert b != mevora.Cache() and b == b and {b: 1}[b] == 1
    with pytest.raises(LookupError):
        mevora.Cache(encoding="no-such-codec")
    with pytest.raises(TypeError, match="argument 'encoding'"):
        mevora.Cache(encoding=b"utf-8")
    # The extension's own argument checks still apply.
    with pytest.raises(ValueError, match="shards must be a power of two"):
        mevora.Cache(shards=3, encoding="utf-8")


def test_subclasses_keep_their_class_and_gain_decoding():
    class Mine(mevora.Cache):
        def extra(self):
            return "mine"

    m = Mine(encoding="latin-1")
    assert isinstance(m, Mine) and m.extra() == "mine" and type(m).__name__ == "Mine"
    m.set("k", b"\xe9")
    assert m.get("k") == "\xe9"
    assert type(Mine(encoding="utf-8")) is type(m)  # the decoding class is made once
    assert type(Mine()) is Mine


KINDS_READ = [
    # (setup, read, bytes result, text result)
    (lambda c: c.set("k", "h\u00e9"), lambda c: c.get("k"), "h\u00e9".encode(), "h\u00e9"),
    (lambda c: c.set("k", "v"), lambda c: c.mget(["k", "x"]), [b"v", None], ["v", None]),
    (lambda c: c.hset("h", "f", "v"), lambda c: c.hget("h", "f"), b"v", "v"),
    (lambda c: c.hset("h", "f", "v"), lambda c: c.hgetall("h"), {b"f": b"v"}, {"f": "v"}),
    (lambda c: c.rpush("l", "a", "b"), lambda c: c.lrange("l", 0, -1), [b"a", b"b"], ["a", "b"]),
    (lambda c: c.rpush("l", "a", "b"), lambda c: c.lpop("l"), b"a", "a"),
    (lambda c: c.rpush("l", "a", "b"), lambda c: c.rpop("l"), b"b", "b"),
    (lambda c: c.sadd("s", "m"), lambda c: c.smembers("s"), {b"m"}, {"m"}),
    (lambda c: c.set("k", 1), lambda c: c.keys(), [b"k"], ["k"]),
    (lambda c: c.set("k", 1), lambda c: c.scan(0, count=1000), (0, [b"k"]), (0, ["k"])),
    (lambda c: c.set("k", 1), lambda c: list(c.scan_iter()), [b"k"], ["k"]),
    (lambda c: c.set("k", 1), lambda c: list(c), [b"k"], ["k"]),
    (lambda c: c.set("k", 1), lambda c: c["k"], b"1", "1"),
    (lambda c: c.set("k", 1), lambda c: dict(c.items()), {b"k": b"1"}, {"k": "1"}),
    (lambda c: c.set("k", "old"), lambda c: c.set("k", "new", get=True), b"old", "old"),
    (lambda c: c.set("k", "v"), lambda c: c.set("k", "w", nx=True), False, False),
    (lambda c: c.set("k", "old"), lambda c: c.getset("k", "new"), b"old", "old"),
    (lambda c: c.set("k", "v"), lambda c: c.getdel("k"), b"v", "v"),
    (lambda c: None, lambda c: c.getdel("k"), None, None),
    (lambda c: None, lambda c: c.get("k"), None, None),
    (lambda c: None, lambda c: c.hget("h", "f"), None, None),
    (lambda c: None, lambda c: c.lpop("l"), None, None),
]


@pytest.mark.parametrize("setup, read, as_bytes, as_text", KINDS_READ)
def test_every_read_decodes_with_an_encoding_only(c, setup, read, as_bytes, as_text):
    setup(c)
    assert read(c) == (as_bytes if c.encoding is None else as_text)


def test_decoding_errors_follow_the_handler():
    strict = mevora.Cache(encoding="utf-8")
    strict.set("k", b"\xff")
    with pytest.raises(UnicodeDecodeError):
        strict.get("k")
    assert strict.get_json  # reading raw bytes needs no decoding: ValueError below
    lenient = mevora.Cache(encoding="utf-8", errors="replace")
    lenient.set("k", b"\xff")
    lenient.sadd(b"\xfe", b"\xfd")
    assert lenient.get("k") == "\ufffd"
    assert lenient.smembers(b"\xfe") == {"\ufffd"}
    assert sorted(lenient.keys()) == ["k", "\ufffd"]


# A codec and an error handler written in Python that call back into the
# cache being read (_REENTRANT["cache"]) while they decode its value.
# Registered once: the codec registry keeps what it has looked up.
_REENTRANT = {}


def _reentrant_decode(data, errors="strict"):
    _REENTRANT["cache"].set("seen-by-codec", bytes(data))
    return bytes(data).decode("ascii", errors), len(data)


def _reentrant_handler(err):
    _REENTRANT["cache"].incr("handler-calls")
    return "?", err.end


_REENTRANT_CODEC = codecs.CodecInfo(name="mevora-test-reentrant", encode=codecs.utf_8_encode, decode=_reentrant_decode)
codecs.register(lambda name: _REENTRANT_CODEC if name == "mevora_test_reentrant" else None)
codecs.register_error("mevora-test-reentrant", _reentrant_handler)


@pytest.mark.parametrize(
    "encoding, errors, stored, read, side_key, side_value",
    [
        ("mevora-test-reentrant", "strict", b"abc", "abc", "seen-by-codec", "abc"),
        ("utf-8", "mevora-test-reentrant", b"a\xffb", "a?b", "handler-calls", "1"),
    ],
    ids=["codec", "error-handler"],
)
@pytest.mark.parametrize(
    "store, read_back",
    [
        (lambda c, v: c.set("k", v), lambda c: c.get("k")),
        (lambda c, v: c.set("k", v), lambda c: c["k"]),
        (lambda c, v: c.set("k", v), lambda c: c.mget(["k", "absent"])[0]),
        (lambda c, v: c.hset("h", "f", v), lambda c: c.hget("h", "f")),
    ],
    ids=["get", "subscript", "mget", "hget"],
)
def test_python_codecs_may_use_the_cache_while_decoding(
    encoding, errors, stored, read, side_key, side_value, store, read_back
):
    # The decoding runs after the store has been left: a codec or handler
    # calling back into the same cache (even the same shard: one shard
    # here) neither deadlocks nor sees a half-done read.
    c = mevora.Cache(shards=1, encoding=encoding, errors=errors)
    _REENTRANT["cache"] = c
    store(c, stored)
    assert read_back(c) == read
    assert c.get(side_key) == side_value
    c.close()


def _decoded(value):
    """A bytes-level result decoded as a text cache with errors="replace"
    should return it, written out in Python."""

    def dec(b):
        return b.decode("utf-8", "replace")

    if value is None or isinstance(value, (bool, int)):
        return value
    if isinstance(value, bytes):
        return dec(value)
    if isinstance(value, dict):
        return {dec(k): dec(v) for k, v in value.items()}
    if isinstance(value, (set, frozenset)):
        return {dec(b) for b in value}
    return [None if b is None else dec(b) for b in value]


# Reads of values that are not valid UTF-8, and of fields and members that
# decode alike (b"\xfe" and b"\xff" both become U+FFFD): each must match the
# bytes-level read decoded in Python, merges included.
DECODED_READS = [
    ("get", ("s",)),
    ("mget", (["s", "absent", "s"],)),
    ("getrange", ("s", 0, 1)),
    ("getex", ("s",)),
    ("keys", ("s*",)),
    ("hget", ("h", b"\xfe")),
    ("hmget", ("h", b"\xfe", "absent", b"\xff")),
    ("hgetall", ("h",)),
    ("hkeys", ("h",)),
    ("hvals", ("h",)),
    ("lindex", ("l", 1)),
    ("lrange", ("l", 0, -1)),
    ("smembers", ("m",)),
    ("sinter", ("m", "m")),
    ("sunion", ("m", "absent")),
    ("sdiff", ("m", "absent")),
    ("srandmember", ("m", 5)),
]
# Reads that change the store: run on twin caches.
DECODED_CHANGES = [
    ("getset", ("s", b"\xfe\xff")),
    ("getdel", ("s",)),
    ("lpop", ("l",)),
    ("rpop", ("l", 2)),
    ("lmove", ("l", "l2", "left", "right")),
    ("rpoplpush", ("l", "l2")),
    ("spop", ("m",)),
    ("spop", ("m", 5)),
]


def _fill(c):
    c.set("s", b"a\xffb")
    c.set("s2", "\u00e9")
    c.hset("h", b"\xfe", b"1\xff")
    c.hset("h", b"\xff", b"2")
    c.hset("h", "ok", "\u00e9")
    c.rpush("l", b"\xff", "x", b"\xfe")
    c.sadd("m", b"\xfe", b"\xff", "y")


@pytest.mark.parametrize("name, args", DECODED_READS, ids=lambda x: x if isinstance(x, str) else "")
def test_decoded_reads_match_the_bytes_reads_decoded(name, args):
    c = mevora.Cache(shards=1, encoding="utf-8", errors="replace")
    _fill(c)
    got = getattr(c, name)(*args)
    # The bytes-level method on the same cache: the same order of fields.
    want = _decoded(getattr(_mevora.Cache, name)(c, *args))
    if name == "srandmember":  # random picks
        assert len(got) == len(want) and set(got) <= {"\ufffd", "y"}
    else:
        assert got == want and type(got) is type(want)
    c.close()


@pytest.mark.parametrize("name, args", DECODED_CHANGES, ids=lambda x: x if isinstance(x, str) else "")
def test_decoded_changes_match_the_bytes_changes_decoded(name, args):
    # Twin caches, one reading text and one bytes; these reads are
    # deterministic but for spop's pick.
    text = mevora.Cache(shards=1, encoding="utf-8", errors="replace")
    raw = mevora.Cache(shards=1)
    _fill(text)
    _fill(raw)
    got = getattr(text, name)(*args)
    want = _decoded(getattr(raw, name)(*args))
    if name == "spop":
        assert type(got) is type(want)
        assert (got in ("\ufffd", "y")) if len(args) == 1 else got == {"\ufffd", "y"}
    else:
        assert got == want and type(got) is type(want)
    text.close()
    raw.close()


def test_transaction_results_of_a_text_cache_are_decoded():
    c = mevora.Cache(shards=4, encoding="utf-8")
    c.set("k", "\u00e9")
    c.set("bad", b"\xff")
    c.hset("h", "f", "x")
    with c.transaction() as tx:
        tx.get("k")
        tx.get("bad")  # strict: this call's result is the decoding error
        tx.hgetall("h")
        tx.hrandfield("h", 1, withvalues=True)
        tx.incr("n")
        tx.set("k", "w", get=True)
        tx.type("k")
    r = tx.results
    assert r[0] == "\u00e9" and isinstance(r[1], UnicodeDecodeError)
    assert r[2:] == [{"f": "x"}, [("f", "x")], 1, "\u00e9", "string"]
    assert c.get("k") == "w" and c.get("n") == "1"  # every call ran
    # A bytes cache's results stay bytes.
    b = mevora.Cache(shards=4)
    b.set("k", "v")
    with b.transaction() as tx:
        tx.get("k")
        tx.hgetall("absent")
    assert tx.results == [b"v", {}]
    c.close()
    b.close()


def test_a_cache_is_given_its_codec_once():
    t = mevora.Cache(encoding="utf-8")
    with pytest.raises(ValueError, match="already decodes"):
        _mevora.Cache._decode_reads(t, "latin-1", "strict")
    t.set("k", "\u00e9")
    assert t["k"] == t.get("k") == "\u00e9"
    # The bytes-level class never decodes, and its get ignores any codec.
    b = _mevora.Cache()
    b.set("k", "\u00e9")
    assert b["k"] == b.get("k") == "\u00e9".encode()
    with pytest.raises(TypeError, match="no text codec"):
        _mevora._decoded_reads["get"](b, "k")


class _Missing:
    pass


def test_mapping_matches_a_dict_under_random_operations(c):
    rnd = random.Random(17)
    model = {}
    keys = [f"key{i}" for i in range(40)]
    conv = (lambda s: s.encode()) if c.encoding is None else (lambda s: s)

    for step in range(3000):
        k = rnd.choice(keys)
        op = rnd.randrange(12)
        if op < 3:
            v = f"v{rnd.randrange(1000)}"
            c[k] = v
            model[k] = v
        elif op == 3:
            if k in model:
                del c[k]
                del model[k]
            else:
                with pytest.raises(KeyError):
                    del c[k]
        elif op == 4:
            assert (k in c) == (k in model)
        elif op == 5:
            if k in model:
                assert c[k] == conv(model[k])
            else:
                with pytest.raises(KeyError):
                    c[k]
        elif op == 6:
            assert c.get(k) == (conv(model[k]) if k in model else None)
        elif op == 7:
            expected = model.pop(k, _Missing)
            got = c.pop(conv(k), _Missing)
            assert got == (_Missing if expected is _Missing else conv(expected))
        elif op == 8:
            v = f"s{rnd.randrange(10)}"
            # As with a dict: the stored value, or the default itself once stored.
            assert c.setdefault(k, v) == (conv(model[k]) if k in model else v)
            model.setdefault(k, v)
        elif op == 9:
            upd = {rnd.choice(keys): f"u{i}" for i in range(3)}
            c.update(upd)
            model.update(upd)
        elif op == 10:
            assert len(c) == len(model)
            assert sorted(c) == sorted(conv(x) for x in model)
            assert sorted(c.values()) == sorted(conv(x) for x in model.values())
        elif rnd.random() < 0.02:
            if model:
                ck, cv = c.popitem()
                key = ck if c.encoding else ck.decode()
                assert model.pop(key) == (cv if c.encoding else cv.decode())
            else:
                with pytest.raises(KeyError):
                    c.popitem()
    assert dict(c.items()) == {conv(k): conv(v) for k, v in model.items()}


@pytest.mark.parametrize("key", [b"absent", "absent", 7, 2.5], ids=["bytes", "str", "int", "float"])
def test_subscript_of_a_missing_key_raises_keyerror_of_that_key(c, key):
    with pytest.raises(KeyError) as info:
        c[key]
    assert info.value.args == (key,)
    with pytest.raises(KeyError) as info:
        del c[key]
    assert info.value.args == (key,)


def test_subscript_refuses_what_the_methods_refuse(c):
    c.hset("h", "f", "v")

    def same_error(method, subscript):
        with pytest.raises(TypeError) as from_method:
            method()
        with pytest.raises(TypeError) as from_subscript:
            subscript()
        assert str(from_subscript.value) == str(from_method.value)

    for bad in ["h", [1], None]:  # a hash under "h": WRONGTYPE
        same_error(lambda: c.get(bad), lambda: c[bad])
    for bad in [[1], None]:
        same_error(lambda: c.set(bad, "v"), lambda: c.__setitem__(bad, "v"))
        same_error(lambda: c.set("k", bad), lambda: c.__setitem__("k", bad))
        same_error(lambda: c.delete(bad), lambda: c.__delitem__(bad))
    assert c.type("h") == "hash"


def test_subscript_assignment_replaces_any_kind_and_del_removes_it(c):
    c.sadd("k", "m")
    c["k"] = "v"
    assert c["k"] == (b"v" if c.encoding is None else "v")
    del c["k"]
    assert "k" not in c


def test_clear_is_one_flush(c, monkeypatch):
    for i in range(500):
        c[i] = i
    calls = []
    monkeypatch.setattr(_mevora.Cache, "delete", lambda *a: calls.append(a))
    c.clear()
    assert len(c) == 0 and calls == [] and c.used_memory == 0


def test_items_and_values_cover_string_keys_and_skip_vanished_ones(c):
    for i in range(50):
        c[f"k{i}"] = i
    c.hset("h", "f", "v")
    c.rpush("l", "x")
    conv = (lambda s: s.encode()) if c.encoding is None else (lambda s: s)
    assert dict(c.items()) == {conv(f"k{i}"): conv(str(i)) for i in range(50)}
    assert sorted(c.values()) == sorted(conv(str(i)) for i in range(50))
    assert ("k1", "1") in c.items() if c.encoding else (b"k1", b"1") in c.items()
    seen = []
    for key, value in c.items():
        if not seen:  # remove the rest while iterating
            for i in range(50):
                if conv(f"k{i}") != key:
                    del c[f"k{i}"]
        seen.append((key, value))
    assert len(seen) == 1


def test_mapping_on_other_kinds_and_bad_keys(c):
    c.hset("h", "f", "v")
    assert "h" in c and len(c) == 1
    with pytest.raises(TypeError, match="WRONGTYPE"):
        c["h"]
    del c["h"]  # deletes any kind
    assert "h" not in c
    with pytest.raises(TypeError):
        c[None] = 1
    with pytest.raises(TypeError):
        c[b"k"] = [1]


# ---- JSON -------------------------------------------------------------------------------

JSON_VALUES = [
    None,
    True,
    0,
    -(2**63),
    2**80,
    1.5,
    "text \u00e9 \u2603",
    [],
    {},
    [1, "a", None, [2.5, {"x": []}]],
    {"b": 1, "a": {"z": [1, 2], "y": None}},
]


@pytest.mark.parametrize("value", JSON_VALUES, ids=repr)
def test_json_round_trips(c, value):
    assert c.set_json("k", value) is True
    assert c.get_json("k") == value
    assert json.loads(_mevora.Cache.get(c, "k")) == value


def test_json_encoding_is_compact_and_deterministic(c):
    c.set_json("a", {"b": [1, 2], "a": "\u00e9"})
    c.set_json("b", dict(reversed(list({"b": [1, 2], "a": "\u00e9"}.items()))))
    assert _mevora.Cache.get(c, "a") == _mevora.Cache.get(c, "b") == '{"a":"\u00e9","b":[1,2]}'.encode()


def test_json_set_options(c):
    assert c.set_json("k", 1, nx=True) is True
    assert c.set_json("k", 2, nx=True) is False
    assert c.set_json("other", 2, xx=True) is False
    assert c.set_json("k", 3, px=50_000) is True and 0 < c.pttl("k") <= 50_000
    assert c.set_json("k", 4, ex=10) is True and 0 < c.ttl("k") <= 10
    assert c.get_json("k") == 4
    with pytest.raises(ValueError, match="mutually exclusive"):
        c.set_json("k", 1, nx=True, xx=True)


def test_get_json_defaults_and_errors(c):
    assert c.get_json("missing") is None
    assert c.get_json("missing", {"d": 1}) == {"d": 1}
    c.set("bad", "{not json")
    with pytest.raises(ValueError, match="'bad'") as info:
        c.get_json("bad")
    assert "not valid JSON" in str(info.value)
    c.set("bin", b"\xff\xfe")
    with pytest.raises(ValueError, match="'bin'"):
        c.get_json("bin")
    c.rpush("list", "x")
    with pytest.raises(TypeError, match="WRONGTYPE"):
        c.get_json("list")


class Custom:
    pass


@pytest.mark.parametrize("value", [Custom(), {1, 2}, b"bytes", math.nan, math.inf, {"k": object()}, {(1, 2): 3}])
def test_json_unencodable_values_raise_type_error_and_store_nothing(c, value):
    c.set_json("k", "old")
    with pytest.raises(TypeError):
        c.set_json("k", value)
    with pytest.raises(TypeError):
        c.set_json("new", value)
    assert c.get_json("k") == "old" and "new" not in c


def test_json_circular_reference_raises_type_error(c):
    loop = []
    loop.append(loop)
    with pytest.raises(TypeError):
        c.set_json("k", loop)
    assert "k" not in c
