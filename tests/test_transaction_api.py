"""Cache.transaction(): calls recorded on a Transaction run atomically when
its with block ends, with optional watched keys."""

import sys
import threading

import pytest

from mevora import Cache, Transaction, WatchError


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
