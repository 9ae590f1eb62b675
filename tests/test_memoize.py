"""Cache.memoize: results kept in the cache, computed once at a time
(single-flight) for threads and coroutines, exceptions not kept, keys stable
across processes, cache_clear per function, ttl, and persistence."""

import asyncio
import dataclasses
import enum
import functools
import inspect
import pickle
import subprocess
import sys
import threading
import time

import pytest

import mevora


@pytest.fixture(params=[None, "utf-8"], ids=["bytes", "text"])
def c(request):
    cache = mevora.Cache(shards=4, encoding=request.param)
    yield cache
    cache.close()


class Counter:
    def __init__(self):
        self.n = 0
        self.lock = threading.Lock()

    def add(self):
        with self.lock:
            self.n += 1


def test_results_are_kept_and_the_wrapper_looks_like_the_function(c):
    calls = Counter()

    def area(w, h=1):
        """The area."""
        calls.add()
        return {"area": w * h}

    wrapped = c.memoize()(area)
    assert wrapped(2, h=3) == {"area": 6}
    assert wrapped(2, h=3) == {"area": 6}
    assert calls.n == 1
    assert wrapped.__wrapped__ is area
    assert wrapped.__name__ == "area" and wrapped.__doc__ == "The area." and wrapped.__qualname__ == area.__qualname__
    assert inspect.signature(wrapped) == inspect.signature(area)
    # A hit returns a fresh copy: changing it does not change the cache.
    got = wrapped(2, h=3)
    got["area"] = 0
    assert wrapped(2, h=3) == {"area": 6}
    key = wrapped.cache_key(2, h=3)
    assert key.startswith(f"memo:{area.__module__}.{area.__qualname__}:")
    assert c.get_json(key) == {"area": 6}


ARGUMENTS = [
    ((1,), {}),
    (("text",), {}),
    ((b"\x00\xff",), {}),
    ((1.5, None, True), {}),
    (((1, (2, "x")), [3, 4], {"b": 2, "a": 1}, frozenset({1, 2})), {"k": {5, 6}}),
    (("x" * 1000,), {}),
]


def test_keys_are_stable_across_processes():
    code = (
        "import mevora\n"
        "c = mevora.Cache()\n"
        "def f(*a, **k): pass\n"
        "f.__module__ = 'm'; f.__qualname__ = 'f'\n"
        "f = c.memoize()(f)\n"
        f"for args, kwargs in {ARGUMENTS!r}:\n"
        "    print(f.cache_key(*args, **kwargs))\n"
    )
    runs = [subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                           env={"PYTHONHASHSEED": str(seed)}).stdout.splitlines() for seed in (1, 2)]
    assert runs[0] == runs[1]
    assert len(set(runs[0])) == len(ARGUMENTS)
    assert runs[0][0] == "memo:m.f:1"


def test_keys_tell_calls_apart_and_typed_separates_types(c):
    f = c.memoize()(lambda *a, **k: None)
    distinct = [
        ((1,), {}), (("1",), {}), ((b"1",), {}), ((1, 2), {}), (((1, 2),), {}), (([1, 2],), {}),
        ((), {"a": 1}), ((), {"b": 1}), ((1,), {"a": 1}), (({"a": 1},), {}), (({1},), {}), ((None,), {}),
        (("a,b",), {}), (("a", "b"), {}),
    ]
    assert len({f.cache_key(*a, **k) for a, k in distinct}) == len(distinct)
    # Untyped: equal numbers are one key (as with functools.lru_cache).
    assert f.cache_key(1) == f.cache_key(1.0) == f.cache_key(True)
    assert f.cache_key(a=1, b=2) == f.cache_key(b=2, a=1)
    t = c.memoize(typed=True)(lambda *a: None)
    assert len({t.cache_key(1), t.cache_key(1.0), t.cache_key(True)}) == 3


@pytest.mark.parametrize("typed, computations", [(False, 1), (True, 3)])
def test_calls_that_differ_only_in_type_share_results_unless_typed(c, typed, computations):
    calls = Counter()

    @c.memoize(typed=typed)
    def f(x):
        calls.add()
        return 10

    for _ in range(3):
        for arg in (1, True, 1.0):
            assert f(arg) == 10
    assert calls.n == computations
    assert f("1") == 10 and calls.n == computations + 1  # a str is never an int


class Color(enum.Enum):
    RED = 1


@dataclasses.dataclass
class Point:
    x: int
    y: int


class Plain:
    pass


def test_keys_for_other_argument_types(c):
    f = c.memoize()(lambda *a: None)
    assert "Color.RED" in f.cache_key(Color.RED)
    assert f.cache_key(Point(1, 2)) == f.cache_key(Point(1, 2)) != f.cache_key(Point(2, 1))
    assert f.cache_key(Plain) == f.cache_key(Plain)
    # Default-repr objects: one key per live object, never shared.
    a, b = Plain(), Plain()
    assert f.cache_key(a) == f.cache_key(a) != f.cache_key(b)
    keys = set()
    for _ in range(100):
        keys.add(f.cache_key(Plain()))  # each dies at once; ids get reused
    assert len(keys) == 100


def test_methods_are_cached_per_instance(c):
    calls = Counter()

    class Shop:
        def __init__(self, rate):
            self.rate = rate

        @c.memoize()
        def price(self, amount):
            calls.add()
            return amount * self.rate

    a, b = Shop(2), Shop(3)
    assert [a.price(10), a.price(10), b.price(10), b.price(10)] == [20, 20, 30, 30]
    assert calls.n == 2
    assert Shop.price.cache_key(a, 10) != Shop.price.cache_key(b, 10)


def test_the_key_function_and_serializers(c):
    calls = Counter()

    @c.memoize(key=lambda user, *, verbose=False: user.lower())
    def profile(user, *, verbose=False):
        calls.add()
        return [user, verbose]

    assert profile("Ann") == ["Ann", False]
    assert profile("ANN", verbose=True) == ["Ann", False]  # same key by design
    assert calls.n == 1
    assert profile.cache_key("ANN").endswith(":k:ann")

    @c.memoize(serializer="pickle")
    def pair(x):
        return (x, {x})

    assert pair(1) == (1, {1}) and pair(1) == (1, {1})  # tuples and sets survive pickling

    class Upper:
        @staticmethod
        def dumps(v):
            return v.upper()

        @staticmethod
        def loads(b):
            return b.decode() + "!"

    shout = c.memoize(serializer=Upper())(lambda s: s)
    assert shout("hi") == "hi" and shout("hi") == "HI!"

    @c.memoize()
    def not_json():
        return object()

    with pytest.raises(TypeError):
        not_json()


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"ttl": 0}, ValueError),
        ({"ttl": -1}, ValueError),
        ({"ttl": float("inf")}, ValueError),
        ({"ttl": "1"}, TypeError),
        ({"ttl": True}, TypeError),
        ({"serializer": "yaml"}, ValueError),
        ({"serializer": object()}, TypeError),
        ({"key": "name"}, TypeError),
    ],
)
def test_option_errors(c, kwargs, error):
    with pytest.raises(error):
        c.memoize(**kwargs)


def test_bare_decorator_is_refused_with_a_hint(c):
    with pytest.raises(TypeError, match=r"memoize\(\)"):
        c.memoize(lambda: 1)


def test_sixteen_threads_same_argument_compute_once(c):
    calls = Counter()
    start = threading.Barrier(16)

    @c.memoize()
    def slow(x):
        calls.add()
        time.sleep(0.2)
        return x * 2

    results = []

    def run():
        start.wait()
        results.append(slow(21))

    threads = [threading.Thread(target=run) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [42] * 16
    assert calls.n == 1


def test_different_arguments_compute_in_parallel(c):
    calls = Counter()
    inside = threading.Barrier(8, timeout=10)

    @c.memoize()
    def work(x):
        calls.add()
        inside.wait()  # all 8 must be computing at the same time to get past
        return x

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert calls.n == 8 and not inside.broken
    assert [work(i) for i in range(8)] == list(range(8)) and calls.n == 8


def test_an_exception_is_not_kept_and_waiters_retry(c):
    calls = Counter()
    first = threading.Event()
    release = threading.Event()

    @c.memoize()
    def flaky(x):
        calls.add()
        if calls.n == 1:
            first.set()
            release.wait(10)
            raise RuntimeError("boom")
        return x

    errors, results = [], []

    def run():
        try:
            results.append(flaky(7))
        except RuntimeError as e:
            errors.append(e)

    leader = threading.Thread(target=run)
    leader.start()
    first.wait(10)
    waiters = [threading.Thread(target=run) for _ in range(5)]
    for t in waiters:
        t.start()
    time.sleep(0.1)  # let the waiters block on the computation
    release.set()
    for t in [leader, *waiters]:
        t.join()
    assert len(errors) == 1 and str(errors[0]) == "boom"  # only its own caller saw it
    assert results == [7] * 5
    assert calls.n == 2  # one failure, then one computation for all waiters
    assert flaky(7) == 7 and calls.n == 2


def test_fifty_coroutines_compute_once_and_failures_are_retried(c):
    calls = Counter()

    @c.memoize()
    async def fetch(x):
        calls.add()
        await asyncio.sleep(0.05)
        if x == "bad" and calls.n == 1:
            raise ValueError("first try fails")
        return {"x": x}

    assert inspect.iscoroutinefunction(fetch)

    async def main():
        same = await asyncio.gather(*[fetch("a") for _ in range(50)])
        assert same == [{"x": "a"}] * 50 and calls.n == 1
        others = await asyncio.gather(*[fetch(f"k{i}") for i in range(10)])
        assert others == [{"x": f"k{i}"} for i in range(10)] and calls.n == 11
        calls.n = 0
        outcome = await asyncio.gather(*[fetch("bad") for _ in range(10)], return_exceptions=True)
        assert sum(isinstance(o, ValueError) for o in outcome) == 1
        assert outcome.count({"x": "bad"}) == 9 and calls.n == 2

    asyncio.run(main())


def test_a_cancelled_waiter_leaves_the_computation_running(c):
    calls = Counter()

    @c.memoize()
    async def slow():
        calls.add()
        await asyncio.sleep(0.1)
        return 1

    async def main():
        leader = asyncio.ensure_future(slow())
        await asyncio.sleep(0.01)
        waiter = asyncio.ensure_future(slow())
        await asyncio.sleep(0.01)
        waiter.cancel()
        assert await leader == 1
        with pytest.raises(asyncio.CancelledError):
            await waiter
        assert await slow() == 1 and calls.n == 1

    asyncio.run(main())


def test_cache_clear_removes_only_this_functions_results(c):
    def f(x):
        return x

    def g(x):
        return x

    f, g = c.memoize()(f), c.memoize()(g)
    c.set("unrelated", "v")
    for i in range(300):
        f(i), g(i)
    assert len(c) == 601

    def text(k):
        return k if isinstance(k, str) else k.decode()

    g_prefix = g.cache_key(0)[:-1]
    others = {text(k) for k in c.keys() if not text(k).startswith(g_prefix)}
    assert len(others) == 301
    g.cache_clear()
    assert {text(k) for k in c.keys()} == others
    assert f(5) == 5 and c.exists(f.cache_key(5)) and not c.exists(g.cache_key(5))


def test_cache_clear_escapes_glob_characters(c):
    def h(x):
        return x

    h.__qualname__ = "h[*]?"
    h = c.memoize()(h)
    h(1)
    decoy = f"memo:{h.__module__}.h*Z:1"  # what the pattern would match unescaped
    c.set(decoy, "stays")
    h.cache_clear()
    assert not c.exists(h.cache_key(1))
    assert c.exists(decoy)


def test_ttl_expires_results(c):
    calls = Counter()

    @c.memoize(ttl=0.05)
    def now(x):
        calls.add()
        return calls.n

    assert now(1) == 1 and now(1) == 1
    assert 0 < c.pttl(now.cache_key(1)) <= 50
    time.sleep(0.08)
    assert now(1) == 2


def test_results_survive_closing_and_reopening(tmp_path):
    def run():
        c = mevora.Cache(persist_dir=tmp_path, fsync="always", snapshot_interval=0)
        calls = Counter()

        @c.memoize(serializer="pickle")
        def compute(x):
            calls.add()
            return (x, x * x)

        result = compute(12)
        c.close()
        return result, calls.n

    assert run() == ((12, 144), 1)
    assert run() == ((12, 144), 0)  # read back from the data directory


def test_a_full_cache_still_returns_results():
    c = mevora.Cache(max_memory=1, shards=1)  # refuses every write

    @c.memoize()
    def f(x):
        return x + 1

    assert f(1) == 2 and f(1) == 2 and len(c) == 0


def test_pickle_serializer_round_trips_through_the_store(c):
    @c.memoize(serializer="pickle")
    def obj():
        return Point(1, 2)

    assert obj() == Point(1, 2)
    raw = mevora._mevora.Cache.get(c, obj.cache_key())
    assert pickle.loads(raw) == Point(1, 2)


def test_update_wrapper_attributes_are_those_of_functools():
    c = mevora.Cache()

    def f():
        pass

    f.custom = 1
    w = c.memoize()(f)
    for attr in functools.WRAPPER_ASSIGNMENTS:
        if hasattr(f, attr):
            assert getattr(w, attr) == getattr(f, attr)
    assert w.custom == 1
