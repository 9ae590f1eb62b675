"""The Server class: construction, start/stop, the port and running
properties, destruction, and the keyspace it shares with its Cache."""

import gc
import inspect
import socket
import threading

import pytest

from mevora import Cache, Server
from resp_client import Client, Err, server_threads


@pytest.fixture
def cache():
    c = Cache(shards=4)
    yield c
    c.close()


@pytest.fixture
def server(cache):
    s = Server(cache, port=0)
    s.start()
    yield s
    s.stop()


def refused(port):
    with socket.socket() as s:
        s.settimeout(5)
        return s.connect_ex(("127.0.0.1", port)) != 0


# ---- the type -------------------------------------------------------------------


def test_type_identity_and_docs(cache):
    assert Server.__module__ == "mevora._mevora"
    assert Server.__qualname__ == "Server"
    assert Server.__doc__ == "RESP2 server that serves a `Cache` over TCP."
    assert str(inspect.signature(Server)) == (
        "(cache, host='127.0.0.1', port=6380, password=None, max_clients=None, idle_timeout=0)"
    )
    assert "__init__" not in Server.__dict__
    assert Server.start.__doc__ == (
        "Binds and starts accepting connections. Calling it on a running server does nothing.\n"
        "Raises OSError if the address cannot be bound."
    )
    assert Server.stop.__doc__ == "Stops accepting connections and closes open ones. Safe to call more than once."
    assert Server.start.__text_signature__ == "($self)"
    assert Server.stop.__text_signature__ == "($self)"
    assert Server.port.__doc__ == "The bound port. With port=0 this is the port the OS picked after `start()`."
    assert Server.running.__doc__ == "True between a successful `start()` and the next `stop()`."


def test_instances_have_no_dict_but_subclasses_do(cache):
    s = Server(cache, port=0)
    with pytest.raises(AttributeError):
        s.extra = 1
    with pytest.raises(AttributeError):
        s.port = 5

    class Sub(Server):
        pass

    sub = Sub(cache, port=0)
    sub.extra = 1
    sub.start()
    assert sub.running and sub.port != 0
    del sub  # a running subclass instance stops when dropped too
    gc.collect()
    assert server_threads() == []


def test_defaults_do_not_bind(cache):
    s = Server(cache)
    assert s.running is False
    assert s.port == 6380
    s.stop()  # stopping a stopped server does nothing
    assert s.running is False


class Indexable:
    def __index__(self):
        return 0


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {"port": -1}, ValueError, "port must be between 0 and 65535"),
        ((), {"port": 65536}, ValueError, "port must be between 0 and 65535"),
        ((), {"port": 2**70}, OverflowError, None),
        ((), {"port": "1"}, TypeError, "argument 'port': "),
        ((), {"port": 1.5}, TypeError, "argument 'port': "),
        ((), {"host": 5}, TypeError, "argument 'host': "),
        ((), {"host": b"127.0.0.1"}, TypeError, "argument 'host': "),
        ((), {"password": ""}, ValueError, "password must not be empty"),
        ((), {"password": b"secret"}, TypeError, "password must be a str"),
        ((), {"password": 5}, TypeError, "password must be a str"),
        ((), {"password": "\ud800"}, UnicodeEncodeError, None),
        # validation order: cache, host, port conversion, port range, password
        ((), {"port": 70000, "password": ""}, ValueError, "port must be between 0 and 65535"),
        ((), {"port": 2**70, "password": b"x"}, OverflowError, None),
        ((), {"host": 1, "port": -1}, TypeError, "argument 'host': "),
        (("127.0.0.1", 6380, None, "extra"), {}, TypeError, None),
        ((), {"nope": 1}, TypeError, None),
        (("127.0.0.1", 6380, None, None, 0, "extra"), {}, TypeError, None),
        ((), {"max_clients": 0}, ValueError, "max_clients must be >= 1"),
        ((), {"max_clients": -5}, ValueError, "max_clients must be >= 1"),
        ((), {"max_clients": 2**70}, OverflowError, None),
        ((), {"max_clients": "10"}, TypeError, "argument 'max_clients': "),
        ((), {"max_clients": 1.5}, TypeError, "argument 'max_clients': "),
        ((), {"idle_timeout": -1}, ValueError, "idle_timeout must be >= 0"),
        ((), {"idle_timeout": 2**70}, OverflowError, None),
        ((), {"idle_timeout": None}, TypeError, "argument 'idle_timeout': "),
        ((), {"idle_timeout": 0.5}, TypeError, "argument 'idle_timeout': "),
        # ... then max_clients, then idle_timeout
        ((), {"password": "", "max_clients": 0}, ValueError, "password must not be empty"),
        ((), {"max_clients": 0, "idle_timeout": -1}, ValueError, "max_clients must be >= 1"),
        ((), {"max_clients": "x", "idle_timeout": -1}, TypeError, "argument 'max_clients': "),
    ],
)
def test_constructor_validation(cache, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Server(cache, *args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value).startswith(message), str(info.value)


@pytest.mark.parametrize("bad", [object(), None, "cache", Server])
def test_cache_argument_must_be_a_cache(bad):
    with pytest.raises(TypeError, match="^argument 'cache': "):
        Server(bad)
    with pytest.raises(TypeError, match="^argument 'cache': "):
        Server(bad, port=-1)  # the cache is checked first
    with pytest.raises(TypeError):
        Server()


@pytest.mark.parametrize("port, expected", [(0, 0), (65535, 65535), (True, 1), (Indexable(), 0)])
def test_constructor_accepts(cache, port, expected):
    s = Server(cache, "localhost", port, None)
    assert s.port == expected
    assert s.running is False


def test_cache_subclass_is_accepted():
    class MyCache(Cache):
        pass

    c = MyCache(shards=1)
    s = Server(c, port=0)
    s.start()
    with Client(s.port) as k:
        assert k.call("SET", "a", "1") == "OK"
    assert c.get("a") == b"1"
    s.stop()


# ---- start, stop and the port property ----------------------------------------------


def test_port_property_across_start_stop_start(cache):
    s = Server(cache, port=0)
    assert (s.port, s.running) == (0, False)
    assert s.start() is None
    first = s.port
    assert first != 0 and s.running
    with Client(first) as k:
        assert k.call("PING") == "PONG"
    assert s.start() is None  # already running: nothing changes
    assert s.port == first
    assert s.stop() is None
    assert (s.port, s.running) == (first, False)
    assert refused(first)
    assert s.stop() is None
    assert s.port == first
    s.start()  # binds port 0 again, not the reported port
    assert s.running and s.port != 0
    with Client(s.port) as k:
        assert k.call("PING") == "PONG"
    s.stop()


def test_port_in_use_raises_oserror_and_stays_stopped(cache, server):
    other = Server(cache, port=server.port)
    with pytest.raises(OSError) as info:
        other.start()
    assert type(info.value) is OSError
    assert info.value.errno is None
    assert info.value.args == (str(info.value),)
    assert str(info.value).startswith(f"cannot bind 127.0.0.1:{server.port}: "), str(info.value)
    assert str(info.value).endswith("(os error 98)")
    assert other.running is False
    assert other.port == server.port
    # the first server is unaffected
    with Client(server.port) as k:
        assert k.call("PING") == "PONG"


def test_unresolvable_host_raises_oserror(cache):
    s = Server(cache, host="no-such-host.invalid", port=0)
    with pytest.raises(OSError, match=r"^cannot bind no-such-host\.invalid:0: failed to lookup address information: "):
        s.start()
    assert s.running is False


def test_start_after_a_failed_start(cache):
    s = Server(cache, host="no-such-host.invalid", port=0)
    with pytest.raises(OSError):
        s.start()
    blocker = Server(cache, port=0)
    blocker.start()
    busy = Server(cache, port=blocker.port)
    with pytest.raises(OSError):
        busy.start()
    blocker.stop()
    busy.start()  # the port is free now
    assert busy.running and busy.port == blocker.port
    busy.stop()


def test_stop_with_idle_clients_closes_them_and_ends_every_thread(cache):
    s = Server(cache, port=0, password="pw")
    s.start()
    clients = [Client(s.port) for _ in range(10)]
    for k in clients:
        assert k.call("PING") == Err("NOAUTH Authentication required.")
    clients[0].send(b"*2\r\n$3\r\nGET\r\n$1")  # in the middle of a request
    assert server_threads().count("mevora-conn") == 10
    assert server_threads().count("mevora-accept") == 1
    s.stop()
    for k in clients:
        assert k.is_closed_by_server()
        k.close()
    assert server_threads() == []
    assert refused(s.port)


def test_deleting_a_running_server_frees_its_port(cache):
    s = Server(cache, port=0)
    s.start()
    port = s.port
    k = Client(port)
    assert k.call("PING") == "PONG"
    del s
    gc.collect()
    assert k.is_closed_by_server()
    k.close()
    assert server_threads() == []
    again = Server(cache, port=port)
    again.start()  # the port is free again
    assert again.port == port
    again.stop()


def test_dropping_the_cache_keeps_the_server_serving():
    c = Cache(shards=1)
    c.set("a", "1")
    s = Server(c, port=0)
    s.start()
    del c
    gc.collect()
    with Client(s.port) as k:
        assert k.call("GET", "a") == b"1"
        assert k.call("SET", "b", "2") == "OK"
        assert k.call("DBSIZE") == 2
    s.stop()


def test_closing_the_cache_does_not_stop_the_server(cache, server):
    cache.set("a", "1")
    cache.close()
    assert server.running
    with Client(server.port) as k:
        assert k.call("GET", "a") == b"1"
        assert k.call("SAVE") == Err("ERR persistence is not enabled for this server")


def test_concurrent_start_and_stop_are_serialised(cache):
    s = Server(cache, port=0)
    errors = []

    def toggle():
        try:
            for _ in range(15):
                s.start()
                assert s.port != 0 or not s.running
                s.stop()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=toggle) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    assert not any(t.is_alive() for t in threads)
    assert s.running is False
    assert server_threads() == []


# ---- one keyspace --------------------------------------------------------------------


def test_python_and_network_clients_see_the_same_keyspace(cache, server):
    cache.set("py", "from python")
    cache.hset("h", "f", "v")
    cache.rpush("l", "a", "b")
    with Client(server.port) as k:
        assert k.call("GET", "py") == b"from python"
        assert k.call("HGET", "h", "f") == b"v"
        assert k.call("LRANGE", "l", "0", "-1") == [b"a", b"b"]
        assert k.call("SET", "net", b"\x00\xff") == "OK"
        assert k.call("SADD", "s", "m1", "m2") == 2
        assert k.call("INCRBY", "n", "41") == 41
        assert k.call("PEXPIRE", "py", "100000") == 1
    assert cache.get("net") == b"\x00\xff"
    assert cache.smembers("s") == {b"m1", b"m2"}
    assert cache.incr("n") == 42
    assert 0 < cache.pttl("py") <= 100000
    assert sorted(cache.keys()) == [b"h", b"l", b"n", b"net", b"py", b"s"]
    cache.flush()
    with Client(server.port) as k:
        assert k.call("DBSIZE") == 0
