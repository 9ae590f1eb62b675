"""Counters, append, mget and mset through the Python API."""

import threading
import time
from collections import OrderedDict, namedtuple

import pytest

from conftest import check_wrongtype_changes_nothing, fill_other_kinds

NOT_INTEGER = "value is not an integer or out of range"
OVERFLOW = "increment or decrement would overflow"
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


# ---- incr / decr ---------------------------------------------------------------------


def test_incr_of_missing_key_creates_counter_without_deadline(cache):
    assert cache.incr("k", 5) == 5
    assert cache.get("k") == b"5"
    assert cache.ttl("k") == -1


@pytest.mark.parametrize(
    "method, amount, result",
    [("incr", None, 1), ("decr", None, -1), ("incr", -3, -3), ("decr", -5, 5), ("decr", 0, 0),
     ("incr", I64_MIN, I64_MIN), ("decr", I64_MAX, -I64_MAX)],
)
def test_incr_and_decr_on_missing_key(cache, method, amount, result):
    args = ("k",) if amount is None else ("k", amount)
    assert getattr(cache, method)(*args) == result
    assert cache.get("k") == str(result).encode()


@pytest.mark.parametrize(
    "stored, amount, result, text",
    [
        (b"007", 1, 8, b"8"),
        (b"-007", 1, -6, b"-6"),
        (b"-0", 1, 1, b"1"),
        (b"0", -1, -1, b"-1"),
        (b"10", -10, 0, b"0"),
        (b"9223372036854775807", 0, I64_MAX, b"9223372036854775807"),
        (b"-9223372036854775808", 0, I64_MIN, b"-9223372036854775808"),
        (b"-9223372036854775807", -1, I64_MIN, b"-9223372036854775808"),
        (b"00000000000000000000000000042", 0, 42, b"42"),
    ],
)
def test_counter_text_is_parsed_and_rewritten_canonically(cache, stored, amount, result, text):
    cache.set("k", stored)
    assert cache.incr("k", amount) == result
    assert cache.get("k") == text


@pytest.mark.parametrize(
    "stored",
    [b"+1", b" 1", b"1 ", b"1.0", b"", b"-", b"--1", b"1e3", b"0x10", b"abc", "\u0661".encode(),
     b"9223372036854775808", b"-9223372036854775809", b"99999999999999999999999"],
)
def test_non_counter_values_are_refused_and_left_alone(cache, stored):
    cache.set("k", stored, ex=100)
    for call in (lambda: cache.incr("k"), lambda: cache.decr("k"), lambda: cache.incr("k", 0)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == NOT_INTEGER
    assert cache.get("k") == stored
    assert cache.ttl("k") > 0


@pytest.mark.parametrize(
    "stored, method, amount",
    [
        (b"9223372036854775807", "incr", 1),
        (b"9223372036854775807", "decr", -1),
        (b"1", "incr", I64_MAX),
        (b"-9223372036854775808", "incr", -1),
        (b"-9223372036854775808", "decr", 1),
        (b"-1", "incr", I64_MIN),
        (b"-2", "decr", I64_MAX),
    ],
)
def test_overflow_leaves_the_value(cache, stored, method, amount):
    cache.set("k", stored)
    with pytest.raises(ValueError) as info:
        getattr(cache, method)("k", amount)
    assert str(info.value) == OVERFLOW
    assert cache.get("k") == stored


@pytest.mark.parametrize("stored", [None, b"5"])
def test_decr_by_int64_min_is_refused_before_the_store(cache, stored):
    if stored is not None:
        cache.set("k", stored, ex=100)
    with pytest.raises(ValueError) as info:
        cache.decr("k", I64_MIN)
    assert str(info.value) == "decrement would overflow"
    assert cache.get("k") == stored
    assert cache.ttl("k") == (-2 if stored is None else 100)


@pytest.mark.parametrize("method", ["incr", "decr"])
@pytest.mark.parametrize("bad", [1.5, "2", b"2", None, [1]])
def test_amount_must_be_an_integer(cache, method, bad):
    with pytest.raises(TypeError) as info:
        getattr(cache, method)("k", bad)
    assert str(info.value).startswith("argument 'amount': ")
    assert cache.exists("k") is False


@pytest.mark.parametrize("method", ["incr", "decr"])
def test_amount_is_converted_before_the_key(cache, method):
    # Both arguments are bad: the amount's error is the one reported.
    with pytest.raises(TypeError) as info:
        getattr(cache, method)(None, "x")
    assert str(info.value).startswith("argument 'amount': ")
    with pytest.raises(OverflowError):
        getattr(cache, method)(None, 2**63)
    # With a good amount the key's conversion error follows.
    with pytest.raises(TypeError) as info:
        getattr(cache, method)(None, 1)
    assert str(info.value) == "expected bytes, str, int or float, not NoneType"


@pytest.mark.parametrize("amount", [2**63, -(2**63) - 1, 2**70])
def test_amount_outside_int64_raises_overflow_error(cache, amount):
    with pytest.raises(OverflowError):
        cache.incr("k", amount)
    assert cache.exists("k") is False


def test_amount_accepts_index_objects_and_bool(cache):
    class Three:
        def __index__(self):
            return 3

    assert cache.incr("k", Three()) == 3
    assert cache.incr("k", True) == 4
    assert cache.decr("k", amount=Three()) == 1
    assert cache.incr(key="k", amount=False) == 1


def test_incr_and_append_keep_the_ttl(cache):
    cache.set("n", "1", ex=100)
    cache.set("s", "ab", ex=100)
    assert cache.incr("n", 2) == 3
    assert cache.decr("n") == 2
    assert cache.append("s", "cd") == 4
    assert cache.get("n") == b"2"
    assert cache.get("s") == b"abcd"
    for key in ("n", "s"):
        assert 0 < cache.ttl(key) <= 100


def test_concurrent_increments_lose_nothing(big):
    def work():
        for _ in range(10_000):
            big.incr("counter")

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert big.get("counter") == b"80000"


# ---- append --------------------------------------------------------------------------


def test_append_grows_the_buffer_with_exact_accounting(cache):
    cache.set(b"abc", b"12345")
    assert cache.used_memory == 208
    # Capacity 8 -> 16: align16(16) - align16(8) = 0.
    assert cache.append(b"abc", b"6") == 6
    assert cache.used_memory == 208
    # Length 18 needs more than 16: capacity 32, 16 bytes more.
    assert cache.append(b"abc", b"789012345") == 15
    assert cache.used_memory == 224
    assert cache.get(b"abc") == b"123456789012345"
    assert cache.delete(b"abc") == 1
    assert cache.used_memory == 0


def test_append_doubles_capacity_from_a_minimum_of_8(cache):
    # The created buffer holds key and value exactly; each growth takes
    # max(2 x capacity, new length, 8), accounted rounded up to 16.
    assert cache.append("k", "x") == 1
    capacity = 2
    for n in range(2, 200):
        assert cache.append("k", "x") == n
        if capacity < n + 1:
            capacity = max(2 * capacity, n + 1, 8)
        assert cache.used_memory == 192 + (capacity + 15) // 16 * 16, n
    assert cache.get("k") == b"x" * 199


def test_incr_rebuilds_the_entry_without_spare_capacity(cache):
    cache.set("k", "0")
    cache.append("k", "0" * 17 + "5")  # 19 digits after a 1-byte key: capacity 32
    assert cache.used_memory == 192 + 32
    assert cache.incr("k") == 6
    assert cache.used_memory == 192 + 16
    assert cache.incr("k", I64_MAX - 6) == I64_MAX
    assert cache.used_memory == 192 + 32


@pytest.mark.parametrize("value, length", [(b"", 0), (b"xyz", 3), (12, 2), (1.5, 3), ("é", 2)])
def test_append_to_missing_key_creates_it(cache, value, length):
    assert cache.append("k", value) == length
    assert cache.exists("k") is True
    assert cache.ttl("k") == -1
    assert len(cache.get("k")) == length


def test_append_of_empty_to_missing_key_stores_empty_value(cache):
    assert cache.append("k", b"") == 0
    assert cache.get("k") == b""
    assert cache.used_memory == 192 + 16  # the one-byte key rounds up to 16
    assert cache.append("k", b"") == 0
    assert cache.used_memory == 192 + 16


def test_append_conversion_failure_writes_nothing(cache):
    cache.set("k", "ab")
    with pytest.raises(TypeError):
        cache.append("k", None)
    with pytest.raises(TypeError):
        cache.append(True, "x")
    assert cache.get("k") == b"ab"
    assert len(cache) == 1


# ---- WrongType on collections ------------------------------------------------------


@pytest.mark.parametrize("key", ["hash", "list", "set"])
@pytest.mark.parametrize(
    "call",
    [
        lambda c, k: c.get(k),
        lambda c, k: c.incr(k),
        lambda c, k: c.decr(k, 2),
        lambda c, k: c.append(k, "x"),
    ],
    ids=["get", "incr", "decr", "append"],
)
def test_string_operations_on_collections_raise_wrongtype(cache, key, call):
    check_wrongtype_changes_nothing(cache, "string", key, call)


# ---- mget ----------------------------------------------------------------------------


def test_mget_yields_none_for_collections_and_missing(cache):
    cache.set("s", "value")
    fill_other_kinds(cache, "string")
    assert cache.mget(["s", "hash", "missing", "list", "set", "s"]) == [b"value", None, None, None, None, b"value"]


@pytest.mark.parametrize(
    "keys_of",
    [
        lambda: ["a", "b"],
        lambda: ("a", "b"),
        lambda: iter(["a", "b"]),
        lambda: (k for k in ["a", b"b"]),
        lambda: {"a": 0, "b": 1},
        lambda: "ab",
    ],
    ids=["list", "tuple", "iterator", "generator", "dict", "str"],
)
def test_mget_takes_any_iterable(cache, keys_of):
    cache.set("a", 1)
    assert cache.mget(keys_of()) == [b"1", None]
    cache.set("b", "x")
    assert cache.mget(keys_of()) == [b"1", b"x"]


def test_mget_keeps_generated_keys_alive_until_the_lookup(cache):
    cache.mset({i: -i for i in range(1000)})
    expected = [str(-i).encode() for i in range(1000)]
    assert cache.mget(f"{i}" for i in range(1000)) == expected
    assert cache.mget(i for i in range(1000)) == expected
    assert cache.mget(float(i) for i in range(3)) == [None, None, None]


def test_mget_converts_each_item(cache):
    cache.set("97", "int key")
    cache.set("1.5", "float key")
    # Iterating bytes yields ints, so b"a" looks up the key "97".
    assert cache.mget(b"a") == [b"int key"]
    assert cache.mget([97, 1.5, "é"]) == [b"int key", b"float key", None]
    assert cache.mget([]) == []
    assert cache.mget(keys=["97"]) == [b"int key"]


@pytest.mark.parametrize("bad", [5, None, 1.5, object()])
def test_mget_of_non_iterable_raises_type_error(cache, bad):
    with pytest.raises(TypeError):
        cache.mget(bad)


def test_mget_item_conversion_errors(cache):
    with pytest.raises(TypeError) as info:
        cache.mget(["a", None])
    assert str(info.value) == "expected bytes, str, int or float, not NoneType"
    with pytest.raises(TypeError):
        cache.mget([True])

    def failing():
        yield "a"
        raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        cache.mget(failing())


def test_mget_of_expired_key_is_none(cache):
    cache.set("k", "v", px=1)
    cache.set("live", "v")
    time.sleep(0.02)
    assert cache.mget(["k", "live"]) == [None, b"v"]


# ---- mset ----------------------------------------------------------------------------


def test_mset_stores_converted_pairs(cache):
    assert cache.mset({"a": 1, "b": "x", b"c": 1.5, 7: b"raw"}) is None
    assert cache.mget(["a", "b", "c", "7"]) == [b"1", b"x", b"1.5", b"raw"]
    assert cache.mset({}) is None
    assert len(cache) == 4


def test_mset_clears_deadlines_and_replaces_collections(cache):
    cache.set("a", "old", ex=100)
    cache.hset("h", "f", "v")
    cache.mset({"a": "new", "h": "now a string"})
    assert cache.get("a") == b"new"
    assert cache.ttl("a") == -1
    assert cache.get("h") == b"now a string"


def test_mset_accepts_mapping_like_objects(cache):
    class Pairs:
        def items(self):
            return [("a", 1), ("b", 2)]

    class Gen:
        def items(self):
            yield ("c", 3)

    Pair = namedtuple("Pair", "key value")

    class Named:
        def items(self):
            return [Pair("d", 4)]

    cache.mset(Pairs())
    cache.mset(Gen())
    cache.mset(Named())
    cache.mset(OrderedDict([("e", 5)]))
    cache.mset(mapping={"f": 6})
    assert cache.mget("abcdef") == [b"1", b"2", b"3", b"4", b"5", b"6"]


def test_mset_later_pair_wins(cache):
    class Pairs:
        def items(self):
            return [("a", 1), ("a", 2)]

    cache.mset(Pairs())
    assert cache.get("a") == b"2"


@pytest.mark.parametrize(
    "arg, name",
    [([("a", 1)], "list"), (("a", 1), "tuple"), (5, "int"), (None, "NoneType"), ("ab", "str")],
)
def test_mset_without_items_is_not_a_mapping(cache, arg, name):
    with pytest.raises(TypeError) as info:
        cache.mset(arg)
    assert str(info.value) == f"expected a mapping, not {name}"
    assert len(cache) == 0


class ItemsOf:
    """A mapping-like object whose items() returns the given sequence."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize(
    "items, error, message",
    [
        ([("a", 1), ["b", 2]], TypeError, None),
        ([("a", 1), "bc"], TypeError, None),
        ([("a", 1), 5], TypeError, None),
        ([("a", 1), ("b", 2, 3)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("a", 1), ("b",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([("a", 1), ()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([("a", 1), ("b", None)], TypeError, "expected bytes, str, int or float, not NoneType"),
        ([("a", 1), (None, "b")], TypeError, "expected bytes, str, int or float, not NoneType"),
        ([("a", 1), ("b", True)], TypeError, "expected bytes, str, int or float, not bool"),
        (5, TypeError, None),
    ],
)
def test_mset_bad_items_write_nothing(cache, items, error, message):
    with pytest.raises(error) as info:
        cache.mset(ItemsOf(items))
    if message is not None:
        assert str(info.value) == message
    assert len(cache) == 0
    assert cache.used_memory == 0


def test_mset_of_dict_with_none_writes_nothing(cache):
    with pytest.raises(TypeError):
        cache.mset({"a": None})
    with pytest.raises(TypeError):
        cache.mset({"b": 1, "a": None})
    assert cache.exists("a") is False
    assert cache.exists("b") is False


def test_mset_errors_from_items_propagate(cache):
    class Raising:
        def items(self):
            raise RuntimeError("items failed")

    class BadAttribute:
        @property
        def items(self):
            raise KeyError("lookup failed")

    with pytest.raises(RuntimeError, match="items failed"):
        cache.mset(Raising())
    with pytest.raises(KeyError):
        cache.mset(BadAttribute())
    assert len(cache) == 0
