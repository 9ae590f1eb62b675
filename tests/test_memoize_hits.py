"""The extension's hit path of Cache.memoize: it derives the very key the
Python derivation gives (so results stored by earlier runs stay hits),
decodes stored JSON exactly as json.loads does, always reads the value the
store holds now, and leaves every other call to the Python wrapper."""

import copy
import enum
import gc
import json
import pickle
import sys
import weakref

import pytest

import mevora
from mevora import _mevora


@pytest.fixture
def c():
    cache = mevora.Cache(shards=4)
    yield cache
    cache.close()


class Calls:
    """A stand-in for the Python wrapper that records the calls handed to it."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "from the Python wrapper"


def hits_in_c(cache, typed=False, loads=json.loads):
    fallback = Calls()
    return _mevora._Memoized(cache, "memo:m.f:", typed, loads, loads is json.loads, fallback), fallback


def python_key(cache, args, kwargs, typed):
    def f(*a, **k):
        pass

    f.__module__, f.__qualname__ = "m", "f"
    return cache.memoize(typed=typed)(f).cache_key(*args, **kwargs)


class Color(enum.Enum):
    RED = 1


class Text(str):
    pass


class Plain:
    pass


NESTED = 1
for _ in range(20):
    NESTED = (NESTED,)


# args, kwargs, typed, the argument text the Python derivation gives.
KEYS = [
    ((0,), {}, False, "0"),
    ((-5,), {}, False, "-5"),
    ((2**63,), {}, False, "9223372036854775808"),
    ((-(2**70), 1), {}, False, "-1180591620717411303424,1"),
    ((10**300,), {}, False, "1" + "0" * 300),  # one int argument is never digested
    (("text",), {}, False, "'text'"),
    (("",), {}, False, "''"),
    (("it's",), {}, False, '"it\'s"'),
    (("a\\b\n\t",), {}, False, "'a\\\\b\\n\\t'"),
    (("é€😀",), {}, False, "'é€😀'"),
    (("\udc80",), {}, False, "'\\udc80'"),
    (("\x7f\x00",), {}, False, "'\\x7f\\x00'"),
    (("x" * 1000,), {}, False, "'" + "x" * 1000 + "'"),
    (("é" * 150, 1), {}, False, "'" + "é" * 150 + "',1"),  # 300 bytes, 154 characters
    ((b"\x00\xff",), {}, False, "b'\\x00\\xff'"),
    ((b"plain", b"it's", b""), {}, False, "b'plain',b\"it's\",b''"),
    ((None,), {}, False, "None"),
    ((True, False), {}, False, "1,0"),
    ((True, False), {}, True, "True,False"),
    ((1.0, -0.0, 2.5, 1e20), {}, False, "1,0,2.5,100000000000000000000"),
    ((1.0, -0.0, 1e16, 1e-7), {}, True, "1.0,-0.0,1e+16,1e-07"),
    ((float("nan"), float("inf"), -float("inf")), {}, False, "nan,inf,-inf"),
    (((),), {}, False, "t()"),
    (((1,),), {}, False, "t(1)"),
    (((1, ("a", None, (b"b", 2.0))),), {}, False, "t(1,t('a',None,t(b'b',2)))"),
    (((True,),), {}, True, "t(True)"),
    ((), {}, False, ""),
    ((), {"b": 1, "a": 2}, False, ";a=2,b=1"),
    ((1, "x"), {"z": None, "é": (1,), "a_": True}, False, "1,'x';a_=1,z=None,é=t(1)"),
    ((1,), {"k": 1.0}, True, "1;k=1.0"),
]


@pytest.mark.parametrize("args, kwargs, typed, text", KEYS)
def test_hits_use_the_key_of_the_python_derivation(c, args, kwargs, typed, text):
    key = python_key(c, args, kwargs, typed)
    assert key == "memo:m.f:" + text
    c.set(key, '"stored"')
    hits, fallback = hits_in_c(c, typed)
    assert hits(*args, **kwargs) == "stored"
    assert fallback.calls == []


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (([1, 2],), {}),
        (({"a": 1},), {}),
        (({1},), {}),
        ((Color.RED,), {}),
        ((Text("a"),), {}),
        ((Plain(),), {}),
        (((1, [2]),), {}),
        (("x" * 150, "y" * 60), {}),  # over 200 characters: digested
        ((1e300,), {}),  # integral: 301 digits
        ((), {"k": "x" * 300}),
        ((NESTED,), {}),
    ],
)
def test_other_calls_go_to_the_python_wrapper_even_when_a_plain_key_would_hit(c, args, kwargs):
    # The key holds a value: still only the Python derivation answers.
    c.set(python_key(c, args, kwargs, False), '"stored"')
    hits, fallback = hits_in_c(c)
    assert hits(*args, **kwargs) == "from the Python wrapper"
    assert fallback.calls == [(args, kwargs)]


DOCS = [
    b"0", b"-0", b"123", b"-123456789012345678", b"1234567890123456789", b"99999999999999999999999",
    b"1.5", b"-0.0", b"1e5", b"1E-5", b"2.5e+3", b"0.1", b"1e400", b"-1e400", b"1e-400", b"NaN", b"-Infinity",
    b'"abc"', b'""', '"é€"'.encode(), b'"\\u00e9"', b'"a\\"b"', b'"\xed\xb2\x80"',
    b"null", b"true", b"false", b"[1, 2]", b'{"a": [null]}', b" 1", b"1 ",
]

BAD_DOCS = [b"01", b"1.", b".5", b"-", b"1e", b"+1", b"nul", b"truex", b'"a', b'"\x01"', b'"\xff"', b"", b"--1"]


@pytest.mark.parametrize("doc", DOCS)
def test_a_hit_decodes_as_json_loads_does(c, doc):
    c.set("memo:m.f:1", doc)
    hits, fallback = hits_in_c(c)
    got, want = hits(1), json.loads(doc)
    assert type(got) is type(want) and repr(got) == repr(want)
    assert fallback.calls == []


@pytest.mark.parametrize("doc", BAD_DOCS)
def test_a_stored_value_that_is_not_json_raises_what_json_loads_raises(c, doc):
    c.set("memo:m.f:1", doc)
    hits, _ = hits_in_c(c)
    with pytest.raises(ValueError) as got:
        hits(1)
    with pytest.raises(ValueError) as want:
        json.loads(doc)
    assert type(got.value) is type(want.value) and str(got.value) == str(want.value)


def test_a_hit_reflects_the_value_stored_now(c):
    calls = []

    @c.memoize()
    def f(x):
        calls.append(x)
        return x * 2

    assert type(f) is _mevora._Memoized
    assert [f(21), f(21)] == [42, 42] and calls == [21]
    for stored in (b"7", b'"seven"', b"7.5", b"[7]", b"7"):
        c.set(f.cache_key(21), stored)
        assert f(21) == json.loads(stored)
    c.delete(f.cache_key(21))
    assert f(21) == 42 and calls == [21, 21]


def test_other_serializers_decode_with_their_loads(c):
    @c.memoize(serializer="pickle")
    def pair(x):
        return (x, {x})

    assert pair(3) == pair(3) == (3, {3})
    c.set(pair.cache_key(3), pickle.dumps("replaced"))
    assert pair(3) == "replaced"

    hits, _ = hits_in_c(c, loads=lambda raw: ("loaded", raw))
    c.set("memo:m.f:1", b"7")  # not decoded as JSON: loads is not json.loads
    assert hits(1) == ("loaded", b"7")


def test_a_key_holding_another_kind_of_value_raises_as_get_does(c):
    f = c.memoize()(lambda x: x)
    c.hset(f.cache_key(1), "field", "v")
    with pytest.raises(TypeError):
        f(1)


def test_the_wrapper_behaves_like_a_function(c, monkeypatch):
    calls = []

    class Shop:
        def __init__(self, rate):
            self.rate = rate

        @c.memoize()
        def price(self, amount):
            calls.append(amount)
            return amount * self.rate

        def __repr__(self):
            return f"Shop({self.rate})"

    shop = Shop(2)
    bound = shop.price
    assert bound.__self__ is shop and bound.__func__ is Shop.__dict__["price"]
    assert [bound(5), shop.price(5), Shop.price(shop, 5)] == [10, 10, 10] and calls == [5]
    assert Shop.price is Shop.__dict__["price"]

    ref = weakref.ref(Shop.__dict__["price"])
    assert ref() is Shop.price

    def module_level(x):
        return x

    module_level.__module__, module_level.__qualname__ = __name__, "module_level"
    module_level = c.memoize()(module_level)
    monkeypatch.setattr(sys.modules[__name__], "module_level", module_level, raising=False)
    assert copy.deepcopy(module_level) is module_level
    assert pickle.loads(pickle.dumps(module_level)) is module_level


def test_a_wrapper_in_a_reference_cycle_is_collected(c):
    def f(x):
        return x

    f = c.memoize()(f)
    f.self = f  # a cycle through the wrapper's __dict__
    f(1)
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is None


def test_the_constructor_checks_its_arguments(c):
    with pytest.raises(TypeError):
        _mevora._Memoized(object(), "p", False, json.loads, True, print)
    with pytest.raises(TypeError):
        _mevora._Memoized(c, "p", False, None, True, print)
    with pytest.raises(UnicodeEncodeError):
        _mevora._Memoized(c, "\udc80", False, json.loads, True, print)


def test_floats_that_are_integral_share_the_int_key(c):
    # The C derivation prints integral floats itself up to 2**62 and asks
    # int() above: both ends of that range agree with the Python one.
    for v in (2.0**62 - 1024, 2.0**62, -(2.0**62), 2.0**63, 1e18):
        assert python_key(c, (v, 0), {}, False) == python_key(c, (int(v), 0), {}, False)
        c.set(python_key(c, (int(v), 0), {}, False), "1")
        hits, fallback = hits_in_c(c)
        assert hits(v, 0) == 1 and fallback.calls == []
