"""Hash operations through the Python API."""

import time

import pytest

from conftest import check_wrongtype_changes_nothing



def test_hset_creates_then_replaces(cache):
    assert cache.hset("h", "f", "v1") is True
    assert cache.hset("h", "f", "v2") is False
    assert cache.hlen("h") == 1
    assert cache.hget("h", "f") == b"v2"


def test_hset_memory_figures(cache):
    # Table 192, collection 80, key align16(1) = 16, field 56 + 16 + 16.
    assert cache.hset("k", "f", "12345") is True
    assert cache.used_memory == 376
    # A 20-byte value rounds to 32 instead of 16.
    assert cache.hset("k", "f", "x" * 20) is False
    assert cache.used_memory == 392
    assert cache.hset("k", "f", "") is False
    assert cache.used_memory == 376 - 16
    assert cache.hset("k", "g", "") is True
    assert cache.used_memory == 376 - 16 + 56 + 16
    assert cache.hdel("k", "f", "g") == 2
    assert cache.used_memory == 0


def test_hget_of_missing_key_or_field_is_none(cache):
    assert cache.hget("h", "f") is None
    cache.hset("h", "f", "v")
    assert cache.hget("h", "other") is None


def test_hgetall_returns_a_dict_of_bytes(cache):
    assert cache.hgetall("missing") == {}
    assert type(cache.hgetall("missing")) is dict
    fields = {f"f{i}".encode(): str(i).encode() for i in range(50)}
    for f, v in fields.items():
        cache.hset("h", f, v)
    got = cache.hgetall("h")
    assert type(got) is dict
    assert got == fields
    assert all(type(k) is bytes and type(v) is bytes for k, v in got.items())


def test_conversions_of_field_and_value(cache):
    cache.hset(1, 2.5, 3)
    cache.hset(b"1", "é", b"")
    assert cache.hgetall("1") == {b"2.5": b"3", "é".encode(): b""}
    assert cache.hget(key=1, field=2.5) == b"3"


def test_empty_field_and_value_are_legal(cache):
    assert cache.hset("h", b"", b"") is True
    assert cache.hget("h", "") == b""
    assert cache.hgetall("h") == {b"": b""}
    assert cache.hdel("h", "") == 1
    assert cache.exists("h") is False


@pytest.mark.parametrize(
    "fields, removed, left",
    [
        ((), 0, {b"a", b"b", b"c"}),
        (("a",), 1, {b"b", b"c"}),
        (("a", "a"), 1, {b"b", b"c"}),
        (("x", "y"), 0, {b"a", b"b", b"c"}),
        (("a", "x", "c"), 2, {b"b"}),
        (("c", "b", "a"), 3, None),
        (("a", "b", "c", "a", "x"), 3, None),
    ],
)
def test_hdel_counts_removed_fields_and_drops_empty_hash(cache, fields, removed, left):
    for f in "abc":
        cache.hset("h", f, "v")
    assert cache.hdel("h", *fields) == removed
    if left is None:
        assert cache.exists("h") is False
        assert cache.hlen("h") == 0
        assert cache.used_memory == 0
    else:
        assert set(cache.hgetall("h")) == left
        assert cache.hlen("h") == len(left)


def test_hdel_of_missing_key_is_zero(cache):
    assert cache.hdel("missing", "f") == 0
    assert cache.hdel("missing") == 0
    assert cache.exists("missing") is False


def test_hset_keeps_the_deadline(cache):
    cache.hset("h", "f", "v")
    assert cache.expire("h", 100) is True
    cache.hset("h", "g", "v")
    cache.hset("h", "f", "w")
    cache.hdel("h", "g")
    assert 0 < cache.ttl("h") <= 100


def test_expired_hash_behaves_as_missing(cache):
    cache.hset("h", "old", "v")
    cache.hset("h2", "old", "v")
    cache.pexpire("h", 1)
    cache.pexpire("h2", 1)
    time.sleep(0.02)
    assert cache.hget("h", "old") is None
    assert cache.hgetall("h") == {}
    assert cache.hlen("h") == 0
    assert cache.hdel("h", "old") == 0
    # A write starts a new hash without the old fields or deadline.
    assert cache.hset("h2", "new", "v") is True
    assert cache.hgetall("h2") == {b"new": b"v"}
    assert cache.ttl("h2") == -1


@pytest.mark.parametrize("key", ["string", "list", "set"])
@pytest.mark.parametrize(
    "call",
    [
        lambda c, k: c.hset(k, "f", "v"),
        lambda c, k: c.hget(k, "f"),
        lambda c, k: c.hdel(k, "f"),
        lambda c, k: c.hdel(k),
        lambda c, k: c.hgetall(k),
        lambda c, k: c.hlen(k),
    ],
    ids=["hset", "hget", "hdel", "hdel-none", "hgetall", "hlen"],
)
def test_hash_operations_on_other_kinds_raise_wrongtype(cache, key, call):
    check_wrongtype_changes_nothing(cache, "hash", key, call)


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.hset("h", "f", None),
        lambda c: c.hset("h", None, "v"),
        lambda c: c.hset(None, "f", "v"),
        lambda c: c.hset("h", "f", True),
        lambda c: c.hset("h", "f", bytearray(b"v")),
    ],
)
def test_hset_conversion_failure_writes_nothing(cache, call):
    with pytest.raises(TypeError):
        call(cache)
    assert len(cache) == 0
    assert cache.used_memory == 0


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda c: c.hincrbyfloat("h", "n", "1.5"), TypeError, "argument 'amount': expected float or int, not str"),
        (lambda c: c.hincrbyfloat("h", "n", None), TypeError, "argument 'amount': expected float or int, not NoneType"),
        (lambda c: c.hrandfield("h", withvalues=True), ValueError, "withvalues needs a count"),
        (lambda c: c.hrandfield("h", "2"), TypeError, "argument 'count'"),
    ],
)
def test_hash_argument_errors_change_nothing(cache, call, exc, message):
    cache.hset("h", "n", "1")
    with pytest.raises(exc, match=message):
        call(cache)
    assert cache.hgetall("h") == {b"n": b"1"}


def test_hdel_conversion_failure_removes_nothing(cache):
    cache.hset("h", "a", "1")
    cache.hset("h", "b", "2")
    with pytest.raises(TypeError) as info:
        cache.hdel("h", "a", None, "b")
    assert str(info.value) == "expected bytes, str, int or float, not NoneType"
    assert cache.hlen("h") == 2
