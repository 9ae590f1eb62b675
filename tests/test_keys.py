import threading
import time

import pytest

from conftest import WRONGTYPE

from mevora import Cache


@pytest.mark.parametrize(
    "value, stored",
    [
        (b"raw", b"raw"),
        (bytearray and b"", b""),
        ("text", b"text"),
        ("é", "é".encode()),
        (42, b"42"),
        (-7, b"-7"),
        (1.5, b"1.5"),
        (1e16, b"1e+16"),
        (float("inf"), b"inf"),
        (2**70, str(2**70).encode()),
    ],
)
def test_to_bytes_conversions(cache, value, stored):
    assert cache.set("k", value) is True
    assert cache.get("k") == stored


def test_subclasses_convert_through_their_own_str(cache):
    class MyInt(int):
        def __str__(self):
            return "custom"

    class MyBytes(bytes):
        pass

    class MyStr(str):
        pass

    cache.set(MyBytes(b"kb"), MyInt(3))
    assert cache.get(b"kb") == b"custom"
    cache.set(MyStr("ks"), "v")
    assert cache.get("ks") == b"v"


@pytest.mark.parametrize(
    "bad, name",
    [(None, "NoneType"), (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), ([], "list"),
     (object(), "object")],
)
def test_to_bytes_refuses_other_types(cache, bad, name):
    with pytest.raises(TypeError) as info:
        cache.set("k", bad)
    assert str(info.value) == f"expected bytes, str, int or float, not {name}"
    with pytest.raises(TypeError):
        cache.get(bad)
    assert cache.exists("k") is False


def test_bool_is_refused_before_int(cache):
    for call in (lambda: cache.set(True, 1), lambda: cache.set("k", False)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "expected bytes, str, int or float, not bool"


def test_lone_surrogate_raises_unicode_encode_error(cache):
    with pytest.raises(UnicodeEncodeError):
        cache.set("\ud800", "v")
    assert len(cache) == 0


def test_str_and_bytes_name_the_same_key(cache):
    cache.set("k", 1)
    assert cache.get(b"k") == b"1"
    assert cache.get("k") == b"1"


def test_empty_key_and_value(cache):
    assert cache.set(b"", b"") is True
    assert cache.get(b"") == b""
    assert cache.exists("") is True
    # An empty entry accounts 0; the shard still charges its table.
    assert cache.used_memory == 192


def test_get_missing_is_none(cache):
    assert cache.get("nope") is None


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"ex": 1, "px": 1}, "ex and px are mutually exclusive"),
        ({"ex": 0}, "ex must be a positive integer"),
        ({"ex": -5}, "ex must be a positive integer"),
        ({"ex": 1.5}, "ex must be a positive integer"),
        ({"ex": True}, "ex must be a positive integer"),
        ({"ex": "5"}, "ex must be a positive integer"),
        ({"ex": 2**63}, "ex is out of range"),
        ({"ex": -(2**63) - 1}, "ex is out of range"),
        ({"ex": 18446744073709552}, "ex is too large"),
        ({"px": 0}, "px must be a positive integer"),
        ({"px": 2**64}, "px is out of range"),
        ({"nx": True, "xx": True}, "nx and xx are mutually exclusive"),
        ({"ex": 0, "nx": True, "xx": True}, "ex must be a positive integer"),
    ],
)
def test_set_option_errors_change_nothing(cache, kwargs, message):
    with pytest.raises(ValueError) as info:
        cache.set("k", "v", **kwargs)
    assert str(info.value) == message
    assert cache.exists("k") is False


@pytest.mark.parametrize("name", ["nx", "xx"])
@pytest.mark.parametrize("bad", [1, 0, None, "yes"])
def test_set_flags_must_be_bool(cache, name, bad):
    with pytest.raises(TypeError) as info:
        cache.set("k", "v", **{name: bad})
    assert str(info.value).startswith(f"argument '{name}': ")


def test_set_flags_accept_numpy_bools(cache):
    np = pytest.importorskip("numpy")
    assert cache.set("k", "v", nx=np.bool_(True)) is True
    assert cache.set("k", "w", nx=np.bool_(True)) is False


def test_large_ex_accepted(cache):
    assert cache.set("k", "v", ex=18446744073709551) is True
    assert cache.ttl("k") > 10**15


def test_nx_and_xx(cache):
    assert cache.set("k", "v", xx=True) is False
    assert cache.exists("k") is False
    assert cache.set("k", "v", nx=True) is True
    assert cache.set("k", "w", nx=True) is False
    assert cache.get("k") == b"v"
    assert cache.set("k", "w", xx=True) is True
    assert cache.get("k") == b"w"


def test_set_without_ttl_clears_deadline(cache):
    cache.set("k", "v", ex=100)
    assert cache.ttl("k") == 100
    cache.set("k", "v2")
    assert cache.ttl("k") == -1


def test_expired_key_is_absent_and_nx_stores_over_it(cache):
    cache.set("k", "v", px=30)
    time.sleep(0.06)
    assert cache.exists("k") is False
    assert cache.get("k") is None
    cache.set("k2", "v", px=30)
    time.sleep(0.06)
    assert cache.set("k2", "new", nx=True) is True
    assert cache.get("k2") == b"new"


def test_exists_for_every_kind(cache):
    cache.set("s", "v")
    cache.hset("h", "f", "v")
    cache.rpush("l", "x")
    cache.sadd("z", "m")
    assert [cache.exists(k) for k in ("s", "h", "l", "z", "missing")] == [True, True, True, True, False]


def test_set_replaces_collection(cache):
    cache.rpush("k", "a", "bc")
    assert cache.used_memory == 192 + 80 + 16 + 2 * (56 + 16)
    cache.set("k", "12345")
    assert cache.get("k") == b"12345"
    assert cache.used_memory == 192 + 16


def test_get_on_collection_is_wrongtype(cache):
    cache.hset("h", "f", "v")
    with pytest.raises(TypeError) as info:
        cache.get("h")
    assert str(info.value) == WRONGTYPE


def test_delete(cache):
    assert cache.delete() == 0
    cache.set("a", 1)
    assert cache.delete("a", "a", "missing") == 1
    cache.set("a", 1)
    with pytest.raises(TypeError):
        cache.delete("a", [])
    assert cache.exists("a") is True  # nothing deleted when a conversion fails


def test_delete_of_expired_key_counts_zero(cache):
    cache.set("k", "v", px=20)
    time.sleep(0.05)
    assert cache.delete("k") == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.get(),
        lambda c: c.get("a", "b"),
        lambda c: c.get(key="a", other=1),
        lambda c: c.set("k"),
        lambda c: c.set("k", "v", key="again"),
        lambda c: c.close(1),
        lambda c: c.flush(None),
    ],
)
def test_argument_binding_errors(cache, call):
    with pytest.raises(TypeError):
        call(cache)


def test_keyword_arguments(cache):
    assert cache.set(key="k", value="v", px=1000, nx=False) is True
    assert cache.get(key="k") == b"v"
    assert cache.exists(key="k") is True


def test_concurrent_mixed_operations_leave_exact_accounting():
    c = Cache(shards=8)
    stop = time.monotonic() + 1.5
    errors = []

    def worker(seed):
        import random

        rnd = random.Random(seed)
        try:
            while time.monotonic() < stop:
                k = f"k{rnd.randrange(200)}"
                op = rnd.randrange(3)
                if op == 0:
                    c.set(k, "x" * rnd.randrange(40))
                elif op == 1:
                    c.get(k)
                else:
                    c.delete(k)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    c.delete(*[f"k{i}" for i in range(200)])
    assert len(c) == 0
    assert c.used_memory == 0
