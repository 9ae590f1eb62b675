"""MULTI, EXEC, DISCARD, WATCH and UNWATCH over the network: queueing and
its errors, atomic execution, and optimistic locking against every kind of
change (another connection, the Python API, expiry, eviction, flush)."""

import threading
import time

import pytest

from mevora import Cache, Server
from resp_client import Client, Err

EXECABORT = Err("EXECABORT Transaction discarded because of previous errors.")
WRONGTYPE = Err("WRONGTYPE Operation against a key holding the wrong kind of value")


def started(cache, **kwargs):
    s = Server(cache, port=0, **kwargs)
    s.start()
    return s


@pytest.fixture
def cache():
    c = Cache(shards=8)
    yield c
    c.close()


@pytest.fixture
def server(cache):
    s = started(cache)
    yield s
    s.stop()


# Each case: a script of (request, expected reply) steps on one fresh
# connection, then the keys expected afterwards (None = absent).
QUEUEING_CASES = {
    "exec runs the queue in order": (
        [(("MULTI",), "OK"), (("SET", "a", "1"), "QUEUED"), (("INCR", "a"), "QUEUED"),
         (("GET", "a"), "QUEUED"), (("EXEC",), ["OK", 2, b"2"])],
        {"a": b"2"}),
    "empty transaction": ([(("MULTI",), "OK"), (("EXEC",), [])], {}),
    "runtime errors take their slot, the rest runs": (
        [(("SET", "s", "x"), "OK"), (("MULTI",), "OK"), (("INCR", "s"), "QUEUED"), (("LPUSH", "s", "v"), "QUEUED"),
         (("SET", "b", "1"), "QUEUED"),
         (("EXEC",), [Err("ERR value is not an integer or out of range"), WRONGTYPE, "OK"])],
        {"s": b"x", "b": b"1"}),
    "unknown command dooms the transaction": (
        [(("MULTI",), "OK"), (("SET", "a", "1"), "QUEUED"), (("NOSUCH", "x"), Err("ERR unknown command 'NOSUCH'")),
         (("SET", "b", "1"), "QUEUED"), (("EXEC",), EXECABORT), (("EXEC",), Err("ERR EXEC without MULTI"))],
        {"a": None, "b": None}),
    "wrong argument count dooms the transaction": (
        [(("MULTI",), "OK"), (("SET", "a", "1"), "QUEUED"),
         (("GET",), Err("ERR wrong number of arguments for 'get' command")), (("EXEC",), EXECABORT)],
        {"a": None}),
    "nested multi is refused and changes nothing": (
        [(("MULTI",), "OK"), (("SET", "a", "1"), "QUEUED"), (("MULTI",), Err("ERR MULTI calls can not be nested")),
         (("EXEC",), ["OK"])],
        {"a": b"1"}),
    "exec without multi": ([(("EXEC",), Err("ERR EXEC without MULTI"))], {}),
    "discard without multi": ([(("DISCARD",), Err("ERR DISCARD without MULTI"))], {}),
    "discard drops the queue": (
        [(("MULTI",), "OK"), (("SET", "a", "1"), "QUEUED"), (("DISCARD",), "OK"),
         (("EXEC",), Err("ERR EXEC without MULTI")), (("GET", "a"), None)],
        {"a": None}),
    "watch inside multi is refused and changes nothing": (
        [(("MULTI",), "OK"), (("WATCH", "a"), Err("ERR WATCH inside MULTI is not allowed")),
         (("SET", "a", "1"), "QUEUED"), (("EXEC",), ["OK"])],
        {"a": b"1"}),
    "watch needs a key": ([(("WATCH",), Err("ERR wrong number of arguments for 'watch' command"))], {}),
    "names are case-insensitive": (
        [(("multi",), "OK"), (("set", "a", "1"), "QUEUED"), (("Exec",), ["OK"])], {"a": b"1"}),
    "a transaction over the whole keyspace": (
        [(("SET", "x", "1"), "OK"), (("MULTI",), "OK"), (("SET", "a", "1"), "QUEUED"), (("DBSIZE",), "QUEUED"),
         (("KEYS", "x*"), "QUEUED"), (("FLUSHALL",), "QUEUED"), (("SET", "b", "2"), "QUEUED"),
         (("MGET", "a", "b", "x"), "QUEUED"),
         (("EXEC",), ["OK", 2, [b"x"], "OK", "OK", [None, b"2", None]])],
        {"a": None, "b": b"2", "x": None}),
    "connection commands run inside": (
        [(("MULTI",), "OK"), (("PING",), "QUEUED"), (("ECHO", "hi"), "QUEUED"), (("SELECT", "0"), "QUEUED"),
         (("EXEC",), ["PONG", b"hi", "OK"])],
        {}),
}


@pytest.mark.parametrize("script,after", QUEUEING_CASES.values(), ids=QUEUEING_CASES.keys())
def test_queueing(server, cache, script, after):
    with Client(server.port) as c:
        for request, expected in script:
            assert c.call(*request) == expected, request
    for key, value in after.items():
        assert cache.get(key) == value, key


def test_unauthenticated_connection_gets_noauth_for_everything(cache):
    s = started(cache, password="pw")
    try:
        with Client(s.port) as c:
            noauth = Err("NOAUTH Authentication required.")
            assert c.call("MULTI") == noauth
            assert c.call("WATCH", "a") == noauth
            assert c.call("EXEC") == noauth
            assert c.call("AUTH", "pw") == "OK"
            assert c.pipeline(("MULTI",), ("SET", "a", "1"), ("EXEC",)) == ["OK", "QUEUED", ["OK"]]
    finally:
        s.stop()


def test_save_inside_a_transaction_is_refused(tmp_path):
    c = Cache(persist_dir=tmp_path, snapshot_interval=0)
    s = started(c)
    try:
        with Client(s.port) as cl:
            replies = cl.pipeline(("MULTI",), ("SET", "a", "1"), ("SAVE",), ("EXEC",))
            assert replies[-1] == ["OK", Err("ERR save failed: cannot save inside a transaction")]
            assert cl.call("SAVE") == "OK"
    finally:
        s.stop()
        c.close()


# ---- WATCH ----------------------------------------------------------------------


def watched_exec(c, key):
    """MULTI, SET <key>-done, EXEC on a connection that watches key."""
    return c.pipeline(("MULTI",), ("SET", key + "-done", "1"), ("EXEC",))[-1]


CHANGES = {
    "another connection": lambda port, cache: Client(port).call("SET", "w", "other"),
    "the python api": lambda port, cache: cache.set("w", "python"),
    "a delete": lambda port, cache: cache.delete("w"),
    "an expire": lambda port, cache: cache.expire("w", 100),
    "a hash write on the key": lambda port, cache: (cache.delete("w"), cache.hset("w", "f", "v")),
    "flushall": lambda port, cache: Client(port).call("FLUSHALL"),
    "the python flush": lambda port, cache: cache.flush(),
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_a_change_of_a_watched_key_aborts_exec(server, cache, change):
    cache.set("w", "v")
    with Client(server.port) as c:
        assert c.call("WATCH", "w") == "OK"
        change(server.port, cache)
        assert watched_exec(c, "w") is None
        assert cache.get("w-done") is None
        # The watch ended with EXEC: the next transaction runs.
        assert watched_exec(c, "w") == ["OK"]


def test_untouched_watched_keys_never_abort():
    # One shard: every key shares the watched key's shard.
    cache = Cache(shards=1)
    s = started(cache)
    try:
        cache.set("w", "v")
        with Client(s.port) as c, Client(s.port) as other:
            assert c.call("WATCH", "w", "missing") == "OK"
            for i in range(50):
                assert other.call("SET", f"k{i}", "x") == "OK"
            cache.get("w")
            other.call("GET", "w")
            # A flush changes only live keys: with w gone already, nothing.
            assert watched_exec(c, "w") == ["OK"]
            cache.delete("w")
            assert c.call("WATCH", "w") == "OK"
            assert other.call("FLUSHALL") == "OK"
            assert watched_exec(c, "w") == ["OK"]
    finally:
        s.stop()
        cache.close()


def test_the_transactions_own_change_before_exec_counts(server, cache):
    with Client(server.port) as c:
        assert c.call("WATCH", "w") == "OK"
        assert c.call("SET", "w", "mine") == "OK"
        assert watched_exec(c, "w") is None


def test_expiry_of_a_watched_key_aborts_exec(server, cache):
    with Client(server.port) as c:
        assert c.call("SET", "w", "v", "PX", "50") == "OK"
        assert c.call("WATCH", "w") == "OK"
        time.sleep(0.12)  # nobody touches w: it only expires
        assert watched_exec(c, "w") is None
        # A key already expired when watched does not change later.
        assert c.call("SET", "w", "v", "PX", "20") == "OK"
        time.sleep(0.05)
        assert c.call("WATCH", "w") == "OK"
        time.sleep(0.05)
        assert watched_exec(c, "w") == ["OK"]


def test_eviction_of_a_watched_key_aborts_exec():
    cache = Cache(shards=4, max_memory=64 * 1024, policy="allkeys-lru")
    s = started(cache)
    try:
        with Client(s.port) as c:
            assert c.call("SET", "w", "v") == "OK"
            assert c.call("WATCH", "w") == "OK"
            i = 0
            while cache.exists("w"):
                cache.set(f"fill{i}", "x" * 200)
                i += 1
                assert i < 100_000
            assert watched_exec(c, "w") is None
    finally:
        s.stop()
        cache.close()


@pytest.mark.parametrize("ender", [("UNWATCH",), ("DISCARD",), ("EXEC",)])
def test_unwatch_discard_and_exec_clear_the_watches(server, cache, ender):
    cache.set("w", "v")
    with Client(server.port) as c:
        assert c.call("WATCH", "w") == "OK"
        if ender == ("UNWATCH",):
            assert c.call("UNWATCH") == "OK"
        else:
            assert c.pipeline(("MULTI",), ender)[-1] in ("OK", [])
        cache.set("w", "changed")
        assert watched_exec(c, "w") == ["OK"]


def test_watches_end_with_the_connection(server, cache):
    """A connection that ends while watching leaves nothing registered: the
    key's later changes still work and a new watcher starts clean."""
    for _ in range(200):
        c = Client(server.port)
        assert c.call("WATCH", "w", "x", "y") == "OK"
        c.close()
    cache.set("w", "v")
    with Client(server.port) as c:
        assert c.call("WATCH", "w") == "OK"
        assert watched_exec(c, "w") == ["OK"]


# ---- concurrency ------------------------------------------------------------------


def run_threads(targets, seconds=120):
    errors = []

    def wrap(f):
        def run():
            try:
                f()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds)
    assert not any(t.is_alive() for t in threads), "threads did not finish in time"
    assert not errors, errors


def test_optimistic_counter_has_the_exact_total():
    cache = Cache(shards=16)
    s = started(cache)
    clients, rounds = 8, 2000
    try:
        def worker():
            with Client(s.port) as c:
                done = 0
                attempts = 0
                while done < rounds:
                    attempts += 1
                    assert attempts < rounds * 200
                    _, value = c.pipeline(("WATCH", "counter"), ("GET", "counter"))
                    n = int(value or 0)
                    replies = c.pipeline(("MULTI",), ("SET", "counter", str(n + 1)), ("EXEC",))
                    if replies[-1] is not None:
                        assert replies[-1] == ["OK"]
                        done += 1

        run_threads([worker] * clients)
        assert cache.get("counter") == str(clients * rounds).encode()
    finally:
        s.stop()
        cache.close()


def test_readers_never_see_two_keys_out_of_step():
    cache = Cache(shards=64)
    s = started(cache)
    cache.mset({"left": "0", "right": "0"})
    stop = threading.Event()
    checks = {"multi": 0, "mget": 0}
    try:
        def writer():
            with Client(s.port) as c:
                for i in range(1, 1500):
                    assert c.pipeline(("MULTI",), ("SET", "left", str(i)), ("SET", "right", str(i)), ("EXEC",))[-1] == [
                        "OK", "OK"]
                    # Counters from another angle: the same pair through INCR.
                    assert c.pipeline(("MULTI",), ("INCRBY", "left", "0"), ("INCRBY", "right", "0"), ("EXEC",))[
                        -1] == [i, i]
            stop.set()

        def multi_reader():
            with Client(s.port) as c:
                while not stop.is_set():
                    left, right = c.pipeline(("MULTI",), ("GET", "left"), ("GET", "right"), ("EXEC",))[-1]
                    assert left == right
                    checks["multi"] += 1

        def mget_reader():
            with Client(s.port) as c:
                while not stop.is_set():
                    left, right = c.call("MGET", "left", "right")
                    assert left == right
                    checks["mget"] += 1

        def python_reader():
            while not stop.is_set():
                left, right = cache.mget(["left", "right"])
                assert left == right

        run_threads([writer, multi_reader, mget_reader, python_reader])
        assert checks["multi"] > 10 and checks["mget"] > 10
    finally:
        stop.set()
        s.stop()
        cache.close()
