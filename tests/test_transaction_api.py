"""Cache.transaction(): calls recorded on a Transaction run atomically when
its with block ends, with optional watched keys."""

import itertools
import sys
import threading
import time

import pytest

from mevora import Cache, Server, Transaction, WatchError
from resp_client import Client


@pytest.fixture
def cache():
    c = Cache(shards=16)
    yield c
    c.close()


def test_results_in_call_order_with_failures_in_their_slots(cache):
    cache.set("s", "text")
    with cache.transaction() as tx:
        assert isinstance(tx, Transaction)
        assert tx.set("a", 1) is None  # recorded, not run
        assert cache.get("a") is None
        tx.incr("a", 4)
        tx.incr("s")
        tx.rpush("l", "x", "y")
        tx.mget(k for k in ["a", "missing"])  # a generator is read while recording
        tx.hgetall("h")
        tx.mset({"m": 1, "n": 2})
        tx.delete("m", "n", "nothing")
        tx.keys("l*")
    results = tx.results
    assert results[:2] == [True, 5]
    assert isinstance(results[2], ValueError) and "not an integer" in str(results[2])
    assert results[3:] == [2, [b"5", None], {}, None, 2, [b"l"]]
    assert cache.get("a") == b"5" and cache.get("s") == b"text"


def test_the_string_steps_of_one_call_run_inside_too(cache):
    cache.set("k", "old", ex=100)
    with cache.transaction() as tx:
        tx.set("k", "new", get=True, keepttl=True)
        tx.getset("k", "newer")
        tx.getdel("k")
        tx.getdel("k")
    assert tx.results == [b"old", b"new", b"newer", None]
    assert cache.get("k") is None


def test_an_exception_in_the_block_runs_nothing(cache):
    with pytest.raises(KeyError):
        with cache.transaction(watch=["w"]) as tx:
            tx.set("a", 1)
            raise KeyError("stop")
    assert cache.get("a") is None and tx.results is None
    with pytest.raises(RuntimeError, match="already ended"):
        tx.set("a", 1)


def test_argument_errors_of_a_call_stay_in_its_slot(cache):
    with cache.transaction() as tx:
        tx.set("a", 1, ex=-1)
        tx.get()
        tx.set("b", 2)
    assert isinstance(tx.results[0], ValueError) and isinstance(tx.results[1], TypeError)
    assert tx.results[2] is True


def test_a_changed_watched_key_raises_and_runs_nothing(cache):
    cache.set("w", 1)
    with pytest.raises(WatchError):
        with cache.transaction(watch=["w", "other"]) as tx:
            cache.set("w", 2)  # the block's own change counts too
            tx.set("a", 1)
    assert cache.get("a") is None and tx.results is None
    # Untouched watched keys never abort, whatever happens around them.
    with cache.transaction(watch=["w"]) as tx:
        for i in range(100):
            cache.set(f"k{i}", i)
        cache.get("w")
        tx.set("a", 1)
    assert tx.results == [True]


def test_watch_takes_an_iterable_of_keys(cache):
    with pytest.raises(TypeError, match="iterable of keys"):
        cache.transaction(watch="w")


def test_the_base_methods_run_not_an_override():
    class Shouting(Cache):
        def set(self, key, value, **kw):  # noqa: ANN001 - test double
            return super().set(key, str(value).upper(), **kw)

    c = Shouting()
    try:
        with c.transaction() as tx:
            tx.set("a", "quiet")
        assert c.get("a") == b"quiet"
    finally:
        c.close()


@pytest.fixture
def fast_switching():
    """Threads take turns every few microseconds, so they interleave inside
    each other's transactions instead of running in long slices."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def test_threads_counting_with_watches_reach_the_exact_total(cache, fast_switching):
    threads, rounds = 8, 2000
    errors = []

    def worker():
        try:
            done = 0
            while done < rounds:
                try:
                    with cache.transaction(watch=["counter"]) as tx:
                        tx.set("counter", int(cache.get("counter") or 0) + 1)
                except WatchError:
                    continue
                done += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    ts = [threading.Thread(target=worker) for _ in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join(120)
    assert not errors and not any(t.is_alive() for t in ts)
    assert cache.get("counter") == str(threads * rounds).encode()


def test_readers_never_see_two_keys_out_of_step(fast_switching):
    cache = Cache(shards=64)
    cache.mset({"left": 0, "right": 0})
    stop = threading.Event()
    errors = []

    def guarded(f):
        def run():
            try:
                f()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
                stop.set()
        return run

    def writer():
        for i in range(1, 3000):
            with cache.transaction() as tx:
                tx.set("left", i)
                tx.incr("right")
        stop.set()

    def reader_mget():
        while not stop.is_set():
            left, right = cache.mget(["left", "right"])
            assert left == right

    def reader_transaction():
        while not stop.is_set():
            with cache.transaction() as tx:
                tx.get("left")
                tx.get("right")
            assert tx.results[0] == tx.results[1]

    ts = [threading.Thread(target=guarded(f)) for f in (writer, reader_mget, reader_transaction)]
    for t in ts:
        t.start()
    for t in ts:
        t.join(120)
    cache.close()
    assert not errors, errors
    assert not any(t.is_alive() for t in ts)


def test_a_transaction_survives_a_reopen_whole(tmp_path):
    c = Cache(persist_dir=tmp_path, snapshot_interval=0)
    with c.transaction() as tx:
        tx.set("a", 1)
        tx.rpush("l", "x", "y")
        tx.hset("h", "f", "v")
        tx.delete("nothing")
    wal = c.persist_stats["wal_bytes"]
    del c, tx  # dropped without close: only the log has the transaction
    c = Cache(persist_dir=tmp_path, snapshot_interval=0)
    try:
        assert wal > 0
        assert c.get("a") == b"1" and c.lrange("l", 0, -1) == [b"x", b"y"] and c.hgetall("h") == {b"f": b"v"}
    finally:
        c.close()


def run_steps(movers, observers, checks=1000, seconds=60, timeout=120):
    """Runs each mover step and each observer step in a loop on a thread of
    its own, until every observer has checked `checks` times (or `seconds`
    have passed: an observer over the wire can fall far behind the movers
    on a loaded machine); returns the failures."""
    done = threading.Event()
    errors = []
    counts = [0] * len(observers)
    deadline = time.monotonic() + seconds

    def mover_loop(step):
        while not done.is_set() and min(counts) < checks and time.monotonic() < deadline:
            step()

    def observer_loop(i, step):
        while not done.is_set():
            step()
            counts[i] += 1

    def guarded(f, *args):
        def run():
            try:
                f(*args)
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
                done.set()
        return run

    movers_t = [threading.Thread(target=guarded(mover_loop, step)) for step in movers]
    observers_t = [threading.Thread(target=guarded(observer_loop, i, step)) for i, step in enumerate(observers)]
    for t in movers_t + observers_t:
        t.start()
    for t in movers_t:
        t.join(timeout)
    done.set()
    for t in observers_t:
        t.join(timeout)
    assert not any(t.is_alive() for t in movers_t + observers_t)
    assert errors or min(counts) >= checks, counts
    return errors


# Each scenario seeds the cache and returns the mover (transactions that
# pass through states nobody may see) and two observers: one calling the
# cache from Python, one over the wire, whose server threads run without
# the interpreter lock and so truly alongside a transaction's body.

def rename_swaps(cache):
    """a and b swap values through tmp, three renames per transaction."""
    cache.mset({"a": "A", "b": "B"})

    def mover():
        with cache.transaction() as tx:
            tx.rename("a", "tmp")
            tx.rename("b", "a")
            tx.renamenx("tmp", "b")
        assert tx.results == [None, None, True]

    def observer():
        a, b, tmp = cache.mget(["a", "b", "tmp"])
        assert sorted([a, b]) == [b"A", b"B"] and tmp is None

    def wire_observer(k):
        a, b, tmp = k.call("MGET", "a", "b", "tmp")
        assert sorted([a, b]) == [b"A", b"B"] and tmp is None

    return mover, observer, wire_observer


def lmove_circulates(cache):
    """Items go from L through T to R and back from R to L; T is empty and
    the lengths add up between transactions."""
    cache.rpush("L", *range(10))

    def mover():
        with cache.transaction() as tx:
            tx.lmove("L", "T", "left", "right")
            tx.rpoplpush("T", "R")
            tx.lmove("R", "L", "right", "right")
        assert all(isinstance(r, bytes) for r in tx.results), tx.results

    def observer():
        assert not cache.exists("T")
        with cache.transaction() as tx:
            tx.llen("L")
            tx.llen("R")
        assert sum(tx.results) == 10

    def wire_observer(k):
        assert k.call("EXISTS", "T") == 0
        assert sum(k.pipeline(("MULTI",), ("LLEN", "L"), ("LLEN", "R"), ("EXEC",))[-1]) == 10

    return mover, observer, wire_observer


def msetnx_replaces(cache):
    """x and y are deleted and set again together; msetnx from outside
    never finds them both absent."""
    cache.mset({"x": 0, "y": 0})

    rounds = itertools.count()

    def mover():
        i = next(rounds)
        with cache.transaction() as tx:
            tx.delete("x", "y")
            tx.msetnx({"x": i, "y": i})
        assert tx.results == [2, True]

    def observer():
        assert cache.msetnx({"x": "intruder", "y": "intruder"}) is False
        x, y = cache.mget(["x", "y"])
        assert x is not None and x == y

    def wire_observer(k):
        assert k.call("MSETNX", "x", "intruder", "y", "intruder") == 0
        x, y = k.call("MGET", "x", "y")
        assert x is not None and x == y

    return mover, observer, wire_observer


@pytest.mark.parametrize("scenario", [rename_swaps, lmove_circulates, msetnx_replaces])
def test_other_threads_never_see_a_multi_key_transaction_half_done(fast_switching, scenario):
    cache = Cache(shards=64)
    server = Server(cache, port=0)
    server.start()
    try:
        mover, observer, wire_observer = scenario(cache)
        with Client(server.port) as k1, Client(server.port) as k2:
            errors = run_steps([mover, mover], [observer, lambda: wire_observer(k1), lambda: wire_observer(k2)])
        assert not errors, errors
    finally:
        server.stop()
        cache.close()


def test_calls_over_every_key_see_one_state(fast_switching):
    cache = Cache(shards=16)
    cache.mset({f"k{i}": i for i in range(50)})

    rounds = itertools.count()

    def writer():
        i = next(rounds)
        cache.set(f"n{i % 50}", i)
        cache.delete(f"k{i % 50}", f"n{(i + 25) % 50}")

    def reader():
        with cache.transaction() as tx:
            tx.keys()
            tx.scan(0, count=10_000)
            tx.randomkey()
        keys, (cursor, scanned), picked = tx.results
        assert cursor == 0 and sorted(scanned) == sorted(keys)
        assert picked is None if not keys else picked in keys

    errors = run_steps([writer], [reader])
    cache.close()
    assert not errors, errors


def test_caller_code_in_arguments_runs_only_while_recording(cache):
    ran = []

    class Key(int):
        def __str__(self):
            ran.append("str")
            return "7"

    class Pairs:
        def items(self):
            ran.append("items")
            return [("p", 1), (Key(0), "seven")]

    def keys():
        ran.append("iter")
        yield "p"
        yield Key(0)

    with cache.transaction() as tx:
        tx.set(Key(0), "x")
        tx.mset(Pairs())
        tx.hmset("h", Pairs())
        tx.mget(keys())
        tx.delete(Key(0), "q")
        while_recording = list(ran)
    assert ran == while_recording
    assert tx.results == [True, None, None, [b"1", b"seven"], 1]
    assert cache.hgetall("h") == {b"p": b"1", b"7": b"seven"}


@pytest.mark.parametrize("call", [
    lambda c: c.get(True),
    lambda c: c.rename("a", None),
    lambda c: c.lmove(b"a", ["b"], "left", "left"),
    lambda c: c.delete("a", 1.5, object()),
    lambda c: c.mget(5),
    lambda c: c.mget(["a", None]),
    lambda c: c.mset([("a", 1)]),
    lambda c: c.msetnx({"a": None}),
    lambda c: c.hmset("h", {"f": (1,)}),
    lambda c: c.hmset(key="h", mapping=7),
], ids=["get", "rename", "lmove", "delete", "mget", "mget item", "mset", "msetnx", "hmset", "hmset by keyword"])
def test_an_argument_that_cannot_be_read_raises_when_recorded(cache, call):
    with pytest.raises(Exception) as direct:  # noqa: PT011 - compared below
        call(cache)
    with cache.transaction() as tx:
        tx.set("a", 1)
        with pytest.raises(type(direct.value)) as recorded:
            call(tx)
        tx.set("b", 2)
    assert str(recorded.value) == str(direct.value)
    assert tx.results == [True, True], "the call was not recorded; the others were"
