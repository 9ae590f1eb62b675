"""What ordinary clients send at their default settings: the handshakes
(HELLO 3 with or without fallback, AUTH), CLIENT, RESP3 replies of every
command, the SET options and the other string commands added for them."""

import threading
import time

import pytest

from mevora import Cache, Server
from resp_client import (
    HANDSHAKES,
    Client,
    Err,
    Set3,
    handshake_hello3,
    library_helpers,
    ordinary_traffic,
    set_client_info,
    transactional_pipeline,
    watch_increment,
)

PASSWORD = "s3cret"


@pytest.fixture
def cache():
    c = Cache(shards=4)
    yield c
    c.close()


def started(cache, **kwargs):
    s = Server(cache, port=0, **kwargs)
    s.start()
    return s


@pytest.fixture
def server(cache):
    s = started(cache)
    yield s
    s.stop()


@pytest.fixture
def locked(cache):
    s = started(cache, password=PASSWORD)
    yield s
    s.stop()


def bulk(b):
    return b"$%d\r\n%s\r\n" % (len(b), b)


# ---- the handshakes clients send, each followed by ordinary traffic ------------


@pytest.mark.parametrize("password", [None, PASSWORD], ids=["no-password", "password"])
@pytest.mark.parametrize("handshake", sorted(HANDSHAKES))
def test_handshake_then_client_info_then_traffic(cache, handshake, password):
    s = started(cache, password=password)
    try:
        with Client(s.port) as k:
            if password is not None:
                assert k.call("GET", "x") == Err("NOAUTH Authentication required.")
            protocol = HANDSHAKES[handshake](k, password)
            assert protocol == (2 if handshake in ("auth", "hello-noproto-fallback") else 3)
            set_client_info(k, "mevora-tests", "1.0")
            ordinary_traffic(k, protocol)
            library_helpers(k, protocol)
            info = k.call("CLIENT", "INFO").decode()
            assert " lib-name=mevora-tests lib-ver=1.0\n" in info
            assert info.endswith(" db=0 cmd=client lib-name=mevora-tests lib-ver=1.0\n")
            transactional_pipeline(k, protocol)
            increments_under_a_concurrent_writer(k, s.port, handshake, password)
    finally:
        s.stop()


def increments_under_a_concurrent_writer(k, port, handshake, password, rounds=200):
    """k's WATCH/MULTI/EXEC increments and a second connection's INCRs on
    one key: every increment of both lands exactly once."""
    done = threading.Event()
    writes = []

    def writer():
        with Client(port) as w:
            HANDSHAKES[handshake](w, password)
            while not done.is_set() and len(writes) < 5000:
                assert w.call("INCR", "counter") >= 1
                writes.append(1)

    t = threading.Thread(target=writer)
    t.start()
    try:
        attempts = sum(watch_increment(k, "counter") for _ in range(rounds))
    finally:
        done.set()
        t.join()
    assert int(k.call("GET", "counter")) == rounds + len(writes)
    assert attempts >= rounds


# ---- HELLO ----------------------------------------------------------------------


def test_hello_properties_in_both_protocols(server):
    with Client(server.port) as k:
        my_id = k.call("CLIENT", "ID")
        other = Client(server.port)  # registered after k: a larger id
        assert other.call("CLIENT", "ID") > my_id
        flat = k.call("HELLO")
        assert flat[::2] == [b"server", b"version", b"proto", b"id", b"mode", b"role", b"modules"]
        props = dict(zip(flat[::2], flat[1::2]))
        assert props[b"server"] == b"mevora"
        assert props[b"proto"] == 2 and props[b"id"] == my_id
        assert props[b"mode"] == b"standalone" and props[b"role"] == b"master" and props[b"modules"] == []
        raw = k.call_raw("HELLO", "3")
        assert raw.startswith(b"%7\r\n$6\r\nserver\r\n$6\r\nmevora\r\n$7\r\nversion\r\n")
        assert raw.endswith(b"$5\r\nproto\r\n:3\r\n$2\r\nid\r\n:%d\r\n$4\r\nmode\r\n$10\r\nstandalone\r\n"
                            b"$4\r\nrole\r\n$6\r\nmaster\r\n$7\r\nmodules\r\n*0\r\n" % my_id)
        assert k.call_raw("GET", "missing") == b"_\r\n"
        assert other.call_raw("GET", "missing") == b"$-1\r\n"  # per connection
        other.close()


@pytest.mark.parametrize(
    "args, reply",
    [
        (["HELLO", "1"], "NOPROTO unsupported protocol version"),
        (["HELLO", "4", "AUTH", "default", PASSWORD], "NOPROTO unsupported protocol version"),
        (["HELLO", "three"], "ERR value is not an integer or out of range"),
        (["HELLO", "3", "AUTH", "default", "wrong"], "WRONGPASS invalid username-password pair"),
        (["HELLO", "3", "AUTH", "someone", PASSWORD], "WRONGPASS invalid username-password pair"),
        (["HELLO", "3", "AUTH", "default"], "ERR Syntax error in HELLO option 'AUTH'"),
        (["HELLO", "3", "SETNAME", "a b", "AUTH", "default", PASSWORD],
         "ERR Client names cannot contain spaces, newlines or special characters."),
        (["HELLO", "3"], "NOAUTH HELLO must be called with the client already authenticated, otherwise the "
                         "HELLO <proto> AUTH <user> <pass> option can be used to authenticate the client and "
                         "select the RESP protocol version at the same time"),
    ],
)
def test_hello_errors_change_nothing(locked, args, reply):
    with Client(locked.port) as k:
        assert k.call(*args) == Err(reply)
        assert k.call("GET", "x") == Err("NOAUTH Authentication required.")
        assert k.call("AUTH", PASSWORD) == "OK"
        assert k.call_raw("GET", "x") == b"$-1\r\n"  # still RESP2
        assert k.call("CLIENT", "GETNAME") is None


# ---- RESP3 replies of every command --------------------------------------------

INFO = object()  # the reply is INFO's text: checked by shape, not bytes
TIME = object()  # the reply is the clock: checked by shape and closeness

# (command, setup, expected RESP3 bytes); each runs on a fresh keyspace
# after HELLO 3.
RESP3_CASES = {
    "GET": (["GET", "s"], [["SET", "s", "v"]], bulk(b"v")),
    "GET missing": (["GET", "nope"], [], b"_\r\n"),
    "GET wrong kind": (["GET", "h"], [["HSET", "h", "f", "v"]],
                       b"-WRONGTYPE Operation against a key holding the wrong kind of value\r\n"),
    "SET": (["SET", "s", "v"], [], b"+OK\r\n"),
    "SET NX declined": (["SET", "s", "v", "NX"], [["SET", "s", "v"]], b"_\r\n"),
    "SET GET": (["SET", "s", "w", "GET"], [["SET", "s", "v"]], bulk(b"v")),
    "SET GET missing": (["SET", "s", "w", "GET"], [], b"_\r\n"),
    "SETNX": (["SETNX", "s", "v"], [], b":1\r\n"),
    "SETEX": (["SETEX", "s", "10", "v"], [], b"+OK\r\n"),
    "GETSET": (["GETSET", "s", "w"], [["SET", "s", "v"]], bulk(b"v")),
    "GETSET missing": (["GETSET", "s", "w"], [], b"_\r\n"),
    "GETDEL": (["GETDEL", "s"], [["SET", "s", "v"]], bulk(b"v")),
    "GETDEL missing": (["GETDEL", "s"], [], b"_\r\n"),
    "DEL": (["DEL", "a", "b"], [["SET", "a", "1"]], b":1\r\n"),
    "UNLINK": (["UNLINK", "a", "b"], [["SET", "a", "1"], ["SET", "b", "1"]], b":2\r\n"),
    "EXISTS": (["EXISTS", "a", "a", "b"], [["SET", "a", "1"]], b":2\r\n"),
    "MGET": (["MGET", "a", "nope"], [["SET", "a", "1"]], b"*2\r\n$1\r\n1\r\n_\r\n"),
    "MSET": (["MSET", "a", "1", "b", "2"], [], b"+OK\r\n"),
    "INCR": (["INCR", "n"], [], b":1\r\n"),
    "DECR": (["DECR", "n"], [], b":-1\r\n"),
    "INCRBY": (["INCRBY", "n", "5"], [], b":5\r\n"),
    "DECRBY": (["DECRBY", "n", "5"], [], b":-5\r\n"),
    "INCR not integer": (["INCR", "s"], [["SET", "s", "x"]], b"-ERR value is not an integer or out of range\r\n"),
    "APPEND": (["APPEND", "s", "xy"], [["SET", "s", "v"]], b":3\r\n"),
    "KEYS": (["KEYS", "k*"], [["SET", "k1", "v"]], b"*1\r\n$2\r\nk1\r\n"),
    "SCAN": (["SCAN", "0", "COUNT", "1000"], [["SET", "k1", "v"]], b"*2\r\n$1\r\n0\r\n*1\r\n$2\r\nk1\r\n"),
    "EXPIRE": (["EXPIRE", "s", "10"], [["SET", "s", "v"]], b":1\r\n"),
    "PEXPIRE": (["PEXPIRE", "s", "10000"], [["SET", "s", "v"]], b":1\r\n"),
    "PERSIST": (["PERSIST", "s"], [["SET", "s", "v", "EX", "10"]], b":1\r\n"),
    "TTL": (["TTL", "s"], [["SET", "s", "v"]], b":-1\r\n"),
    "PTTL": (["PTTL", "nope"], [], b":-2\r\n"),
    "HSET": (["HSET", "h", "f", "v", "g", "w"], [], b":2\r\n"),
    "HGET": (["HGET", "h", "f"], [["HSET", "h", "f", "v"]], bulk(b"v")),
    "HGET missing": (["HGET", "h", "g"], [["HSET", "h", "f", "v"]], b"_\r\n"),
    "HDEL": (["HDEL", "h", "f", "x"], [["HSET", "h", "f", "v"]], b":1\r\n"),
    "HGETALL": (["HGETALL", "h"], [["HSET", "h", "f", "v"]], b"%1\r\n$1\r\nf\r\n$1\r\nv\r\n"),
    "HGETALL missing": (["HGETALL", "h"], [], b"%0\r\n"),
    "HLEN": (["HLEN", "h"], [["HSET", "h", "f", "v"]], b":1\r\n"),
    "LPUSH": (["LPUSH", "l", "a", "b"], [], b":2\r\n"),
    "RPUSH": (["RPUSH", "l", "a"], [], b":1\r\n"),
    "LPOP": (["LPOP", "l"], [["RPUSH", "l", "a", "b"]], bulk(b"a")),
    "RPOP": (["RPOP", "l"], [["RPUSH", "l", "a", "b"]], bulk(b"b")),
    "LPOP missing": (["LPOP", "l"], [], b"_\r\n"),
    "LRANGE": (["LRANGE", "l", "0", "-1"], [["RPUSH", "l", "a", "b"]], b"*2\r\n$1\r\na\r\n$1\r\nb\r\n"),
    "LLEN": (["LLEN", "l"], [["RPUSH", "l", "a"]], b":1\r\n"),
    "SADD": (["SADD", "t", "a", "a"], [], b":1\r\n"),
    "SREM": (["SREM", "t", "a"], [["SADD", "t", "a"]], b":1\r\n"),
    "SMEMBERS": (["SMEMBERS", "t"], [["SADD", "t", "a"]], b"~1\r\n$1\r\na\r\n"),
    "SMEMBERS missing": (["SMEMBERS", "t"], [], b"~0\r\n"),
    "SISMEMBER": (["SISMEMBER", "t", "a"], [["SADD", "t", "a"]], b":1\r\n"),
    "SCARD": (["SCARD", "t"], [["SADD", "t", "a"]], b":1\r\n"),
    "PING": (["PING"], [], b"+PONG\r\n"),
    "PING message": (["PING", "hi"], [], bulk(b"hi")),
    "ECHO": (["ECHO", "hi"], [], bulk(b"hi")),
    "SELECT": (["SELECT", "0"], [], b"+OK\r\n"),
    "DBSIZE": (["DBSIZE"], [["SET", "a", "1"]], b":1\r\n"),
    "FLUSHDB": (["FLUSHDB"], [], b"+OK\r\n"),
    "FLUSHALL": (["FLUSHALL", "SYNC"], [], b"+OK\r\n"),
    "INFO": (["INFO"], [], INFO),
    "SAVE": (["SAVE"], [], b"-ERR persistence is not enabled for this server\r\n"),
    "BGSAVE": (["BGSAVE", "SCHEDULE"], [], b"-ERR persistence is not enabled for this server\r\n"),
    "LASTSAVE": (["LASTSAVE"], [], b":0\r\n"),
    "COMMAND": (["COMMAND"], [], b"*0\r\n"),
    "COMMAND DOCS": (["COMMAND", "DOCS", "get"], [], b"%1\r\n$3\r\nget\r\n%0\r\n"),
    "COMMAND INFO": (["COMMAND", "INFO", "get", "nope"], [],
                     b"*2\r\n*10\r\n$3\r\nget\r\n:2\r\n~0\r\n:0\r\n:0\r\n:0\r\n~0\r\n*0\r\n*0\r\n*0\r\n_\r\n"),
    "CLIENT": (["CLIENT", "GETNAME"], [], b"_\r\n"),
    "CLIENT SETNAME": (["CLIENT", "SETNAME", "n"], [], b"+OK\r\n"),
    "AUTH": (["AUTH", "x"], [], b"-ERR AUTH <password> called without any password configured\r\n"),
    "HELLO": (["HELLO", "2", "SETNAME", "bad name"], [],
              b"-ERR Client names cannot contain spaces, newlines or special characters.\r\n"),
    "QUIT": (["QUIT"], [], b"+OK\r\n"),
    "MULTI": (["MULTI"], [], b"+OK\r\n"),
    "EXEC": (["EXEC"], [["MULTI"], ["SET", "k", "v"], ["GET", "nope"], ["HGETALL", "nope"]],
             b"*3\r\n+OK\r\n_\r\n%0\r\n"),
    "EXEC aborted by a watched key": (["EXEC"], [["WATCH", "k"], ["SET", "k", "changed"], ["MULTI"]], b"_\r\n"),
    "EXEC without MULTI": (["EXEC"], [], b"-ERR EXEC without MULTI\r\n"),
    "DISCARD": (["DISCARD"], [["MULTI"]], b"+OK\r\n"),
    "WATCH": (["WATCH", "k"], [], b"+OK\r\n"),
    "UNWATCH": (["UNWATCH"], [], b"+OK\r\n"),
    "TYPE": (["TYPE", "h"], [["HSET", "h", "f", "v"]], b"+hash\r\n"),
    "RENAME": (["RENAME", "a", "b"], [["SET", "a", "1"]], b"+OK\r\n"),
    "RENAME missing": (["RENAME", "a", "b"], [], b"-ERR no such key\r\n"),
    "RENAMENX": (["RENAMENX", "a", "b"], [["SET", "a", "1"], ["SET", "b", "1"]], b":0\r\n"),
    "EXPIREAT": (["EXPIREAT", "a", "4000000000"], [["SET", "a", "1"]], b":1\r\n"),
    "PEXPIREAT": (["PEXPIREAT", "a", "1"], [["SET", "a", "1"]], b":1\r\n"),
    "EXPIRETIME": (["EXPIRETIME", "a"], [["SET", "a", "1", "EXAT", "4000000000"]], b":4000000000\r\n"),
    "PEXPIRETIME": (["PEXPIRETIME", "a"], [["SET", "a", "1"]], b":-1\r\n"),
    "TOUCH": (["TOUCH", "a", "b"], [["SET", "a", "1"]], b":1\r\n"),
    "RANDOMKEY": (["RANDOMKEY"], [["SET", "a", "1"]], bulk(b"a")),
    "RANDOMKEY empty": (["RANDOMKEY"], [], b"_\r\n"),
    "STRLEN": (["STRLEN", "a"], [["SET", "a", "abc"]], b":3\r\n"),
    "GETRANGE": (["GETRANGE", "a", "-2", "-1"], [["SET", "a", "abc"]], bulk(b"bc")),
    "SETRANGE": (["SETRANGE", "a", "1", "X"], [["SET", "a", "abc"]], b":3\r\n"),
    "MSETNX": (["MSETNX", "a", "1", "b", "2"], [], b":1\r\n"),
    "INCRBYFLOAT": (["INCRBYFLOAT", "a", "0.5"], [["SET", "a", "1"]], bulk(b"1.5")),
    "GETEX": (["GETEX", "a", "PERSIST"], [["SET", "a", "1", "EX", "10"]], bulk(b"1")),
    "GETEX missing": (["GETEX", "a", "EX", "10"], [], b"_\r\n"),
    "TIME": (["TIME"], [], TIME),
    "CONFIG": (["CONFIG", "GET", "databases"], [], b"%1\r\n$9\r\ndatabases\r\n$1\r\n1\r\n"),
    "CONFIG SET": (["CONFIG", "SET", "maxmemory", "1"], [],
                   b"-ERR CONFIG SET is not supported: settings are fixed when the cache and server are created\r\n"),
    "HMGET": (["HMGET", "h", "f", "g"], [["HSET", "h", "f", "v"]], b"*2\r\n$1\r\nv\r\n_\r\n"),
    "HMSET": (["HMSET", "h", "f", "v"], [], b"+OK\r\n"),
    "HSETNX": (["HSETNX", "h", "f", "v"], [], b":1\r\n"),
    "HEXISTS": (["HEXISTS", "h", "f"], [["HSET", "h", "f", "v"]], b":1\r\n"),
    "HKEYS": (["HKEYS", "h"], [["HSET", "h", "f", "v"]], b"*1\r\n$1\r\nf\r\n"),
    "HVALS": (["HVALS", "h"], [["HSET", "h", "f", "v"]], b"*1\r\n$1\r\nv\r\n"),
    "HSTRLEN": (["HSTRLEN", "h", "f"], [["HSET", "h", "f", "v"]], b":1\r\n"),
    "HINCRBY": (["HINCRBY", "h", "n", "-2"], [], b":-2\r\n"),
    "HINCRBYFLOAT": (["HINCRBYFLOAT", "h", "n", "1.25"], [], bulk(b"1.25")),
    "HRANDFIELD": (["HRANDFIELD", "h", "-1", "WITHVALUES"], [["HSET", "h", "f", "v"]],
                   b"*1\r\n*2\r\n$1\r\nf\r\n$1\r\nv\r\n"),
    "HRANDFIELD missing": (["HRANDFIELD", "h"], [], b"_\r\n"),
    "HSCAN": (["HSCAN", "h", "0"], [["HSET", "h", "f", "v"]], b"*2\r\n$1\r\n0\r\n*2\r\n$1\r\nf\r\n$1\r\nv\r\n"),
    "LINDEX": (["LINDEX", "l", "-1"], [["RPUSH", "l", "a", "b"]], bulk(b"b")),
    "LPOS": (["LPOS", "l", "b", "COUNT", "0"], [["RPUSH", "l", "a", "b"]], b"*1\r\n:1\r\n"),
    "LPUSHX": (["LPUSHX", "l", "a"], [], b":0\r\n"),
    "RPUSHX": (["RPUSHX", "l", "c"], [["RPUSH", "l", "a"]], b":2\r\n"),
    "LPOP count": (["LPOP", "l", "5"], [["RPUSH", "l", "a"]], b"*1\r\n$1\r\na\r\n"),
    "RPOP count missing": (["RPOP", "l", "5"], [], b"_\r\n"),
    "LTRIM": (["LTRIM", "l", "0", "0"], [["RPUSH", "l", "a", "b"]], b"+OK\r\n"),
    "LSET": (["LSET", "l", "0", "x"], [], b"-ERR no such key\r\n"),
    "LINSERT": (["LINSERT", "l", "AFTER", "a", "x"], [["RPUSH", "l", "a"]], b":2\r\n"),
    "LREM": (["LREM", "l", "0", "a"], [["RPUSH", "l", "a", "a"]], b":2\r\n"),
    "LMOVE": (["LMOVE", "l", "m", "LEFT", "RIGHT"], [["RPUSH", "l", "a"]], bulk(b"a")),
    "RPOPLPUSH": (["RPOPLPUSH", "l", "m"], [], b"_\r\n"),
    "SMISMEMBER": (["SMISMEMBER", "t", "a", "b"], [["SADD", "t", "a"]], b"*2\r\n:1\r\n:0\r\n"),
    "SRANDMEMBER": (["SRANDMEMBER", "t", "-2"], [["SADD", "t", "a"]], b"*2\r\n$1\r\na\r\n$1\r\na\r\n"),
    "SPOP": (["SPOP", "t", "2"], [["SADD", "t", "a"]], b"~1\r\n$1\r\na\r\n"),
    "SSCAN": (["SSCAN", "t", "0"], [["SADD", "t", "a"]], b"*2\r\n$1\r\n0\r\n*1\r\n$1\r\na\r\n"),
    "SMOVE": (["SMOVE", "t", "u", "a"], [["SADD", "t", "a"]], b":1\r\n"),
    "SINTER": (["SINTER", "t", "u"], [["SADD", "t", "a"], ["SADD", "u", "a"]], b"~1\r\n$1\r\na\r\n"),
    "SUNION": (["SUNION", "t", "u"], [["SADD", "t", "a"]], b"~1\r\n$1\r\na\r\n"),
    "SDIFF": (["SDIFF", "t", "u"], [], b"~0\r\n"),
    "SINTERSTORE": (["SINTERSTORE", "d", "t"], [["SADD", "t", "a"]], b":1\r\n"),
    "SUNIONSTORE": (["SUNIONSTORE", "d", "t"], [], b":0\r\n"),
    "SDIFFSTORE": (["SDIFFSTORE", "d", "t", "u"], [["SADD", "t", "a"]], b":1\r\n"),
    "SINTERCARD": (["SINTERCARD", "1", "t", "LIMIT", "5"], [["SADD", "t", "a"]], b":1\r\n"),
}


def command_names(k):
    return {entry[0].decode().upper() for entry in k.call("COMMAND", "INFO")}


def test_resp3_table_covers_every_command(server):
    with Client(server.port) as k:
        covered = {args[0] for args, _, _ in RESP3_CASES.values()}
        assert command_names(k) <= covered
        assert k.call("COMMAND", "COUNT") == len(command_names(k))


@pytest.mark.parametrize("name", sorted(RESP3_CASES))
def test_resp3_reply_bytes(server, name):
    args, setup, expected = RESP3_CASES[name]
    with Client(server.port) as k:
        handshake_hello3(k)
        assert k.call("FLUSHALL") == "OK"
        for step in setup:
            assert not isinstance(k.call(*step), Err), step
        raw = k.call_raw(*args)
        if expected is INFO:
            assert raw.startswith(b"$") and b"# Server\r\nuptime_in_seconds:" in raw
        elif expected is TIME:
            seconds, micros = k.call("TIME")
            assert raw.startswith(b"*2\r\n$") and abs(int(seconds) - time.time()) < 60 and 0 <= int(micros) < 10**6
        else:
            assert raw == expected


def test_resp3_everywhere_after_hello_including_pipelines(server):
    with Client(server.port) as k:
        handshake_hello3(k)
        k.send(b"HSET h f v\r\nHGETALL h\r\nGET nope\r\nSMEMBERS nope\r\n")
        assert k.read_reply() == 1
        assert k.read_raw_reply() == b"%1\r\n$1\r\nf\r\n$1\r\nv\r\n"
        assert k.read_raw_reply() == b"_\r\n"
        assert k.read_reply() == Set3()


# ---- CLIENT -----------------------------------------------------------------------


def parse_line(line):
    return dict(field.split("=", 1) for field in line.split(" "))


def test_client_list_shows_every_live_connection(server):
    with Client(server.port) as a, Client(server.port) as b:
        assert a.call("CLIENT", "SETNAME", "alpha") == "OK"
        assert b.call("SET", "k", "v") == "OK"
        listing = a.call("CLIENT", "LIST").decode()
        assert listing.endswith("\n")
        lines = {int(parse_line(l)["id"]): parse_line(l) for l in listing.splitlines()}
        a_id, b_id = a.call("CLIENT", "ID"), b.call("CLIENT", "ID")
        assert set(lines) == {a_id, b_id}
        for k, id_ in ((a, a_id), (b, b_id)):
            line = lines[id_]
            host, port = k.sock.getsockname()[:2]
            assert line["addr"] == f"{host}:{port}"
            assert line["laddr"] == f"127.0.0.1:{server.port}"
            assert line["db"] == "0" and 0 <= int(line["idle"]) <= int(line["age"]) < 60
            assert list(line)[:8] == ["id", "addr", "laddr", "name", "age", "idle", "db", "cmd"]
        assert lines[a_id]["name"] == "alpha" and lines[a_id]["cmd"] == "client"
        assert lines[b_id]["name"] == "" and lines[b_id]["cmd"] == "set"
        assert parse_line(a.call("CLIENT", "INFO").decode().rstrip("\n"))["id"] == str(a_id)
    with Client(server.port) as c:
        # The two connections above end on their threads; bounded wait.
        for _ in range(500):
            ids = [parse_line(l)["id"] for l in c.call("CLIENT", "LIST").decode().splitlines()]
            if len(ids) == 1:
                break
            time.sleep(0.01)
        assert ids == [str(c.call("CLIENT", "ID"))]


@pytest.mark.parametrize(
    "args, reply",
    [
        (["CLIENT", "SETNAME", "two words"], Err("ERR Client names cannot contain spaces, newlines or special characters.")),
        (["CLIENT", "SETINFO", "LIB-VER", "1 2"], Err("ERR LIB-VER cannot contain spaces, newlines or special characters.")),
        (["CLIENT", "SETINFO", "LIB-COLOUR", "x"], Err("ERR Unrecognized option 'LIB-COLOUR'")),
        (["CLIENT", "PAUSE", "10"], Err("ERR unknown subcommand 'PAUSE' for 'client'")),
        (["CLIENT", "GETNAME", "x"], Err("ERR wrong number of arguments for 'client|getname' command")),
        (["CLIENT"], Err("ERR wrong number of arguments for 'client' command")),
    ],
)
def test_client_errors(server, args, reply):
    with Client(server.port) as k:
        assert k.call(*args) == reply


def test_client_needs_authentication(locked):
    with Client(locked.port) as k:
        assert k.call("CLIENT", "SETINFO", "LIB-NAME", "x") == Err("NOAUTH Authentication required.")


# ---- SET options and the other string commands ----------------------------------

NOW_S = int(time.time())

# (setup, command, reply, then: (command, reply) checks)
SET_CASES = {
    "GET on missing": ([], ["SET", "k", "v", "GET"], None, [(["GET", "k"], b"v")]),
    "GET returns old": ([["SET", "k", "a"]], ["SET", "k", "b", "GET"], b"a", [(["GET", "k"], b"b")]),
    "NX GET on present": ([["SET", "k", "a"]], ["SET", "k", "b", "NX", "GET"], b"a", [(["GET", "k"], b"a")]),
    "XX GET on missing": ([], ["SET", "k", "b", "XX", "GET"], None, [(["EXISTS", "k"], 0)]),
    "GET wrong kind": ([["RPUSH", "k", "x"]], ["SET", "k", "v", "GET"],
                       Err("WRONGTYPE Operation against a key holding the wrong kind of value"),
                       [(["LLEN", "k"], 1)]),
    "KEEPTTL": ([["SET", "k", "a", "EX", "100"]], ["SET", "k", "b", "KEEPTTL"], "OK", [(["TTL", "k"], 100)]),
    "KEEPTTL on missing": ([], ["SET", "k", "b", "KEEPTTL"], "OK", [(["TTL", "k"], -1)]),
    "plain SET drops TTL": ([["SET", "k", "a", "EX", "100"]], ["SET", "k", "b"], "OK", [(["TTL", "k"], -1)]),
    "EXAT": ([], ["SET", "k", "v", "EXAT", NOW_S + 1000], "OK", [(["EXISTS", "k"], 1)]),
    "PXAT past": ([["SET", "k", "a"]], ["SET", "k", "v", "PXAT", 1000], "OK", [(["EXISTS", "k"], 0)]),
    "EX with KEEPTTL": ([], ["SET", "k", "v", "EX", "10", "KEEPTTL"], Err("ERR syntax error"), [(["EXISTS", "k"], 0)]),
    "KEEPTTL with PXAT": ([], ["SET", "k", "v", "KEEPTTL", "PXAT", "99999999999999"], Err("ERR syntax error"), []),
    "EXAT with PX": ([], ["SET", "k", "v", "EXAT", "99999999999", "PX", "5"], Err("ERR syntax error"), []),
    "EXAT zero": ([], ["SET", "k", "v", "EXAT", "0"], Err("ERR invalid expire time in 'set' command"), []),
    "PXAT not integer": ([], ["SET", "k", "v", "PXAT", "soon"], Err("ERR value is not an integer or out of range"), []),
    "NX and XX": ([], ["SET", "k", "v", "NX", "XX", "GET"], Err("ERR syntax error"), []),
    "SETNX new": ([], ["SETNX", "k", "v"], 1, [(["GET", "k"], b"v")]),
    "SETNX present": ([["SET", "k", "a"]], ["SETNX", "k", "v"], 0, [(["GET", "k"], b"a")]),
    "GETSET drops TTL": ([["SET", "k", "a", "EX", "100"]], ["GETSET", "k", "b"], b"a", [(["TTL", "k"], -1)]),
    "GETSET wrong kind": ([["SADD", "k", "m"]], ["GETSET", "k", "b"],
                          Err("WRONGTYPE Operation against a key holding the wrong kind of value"),
                          [(["SCARD", "k"], 1)]),
    "GETDEL": ([["SET", "k", "a"]], ["GETDEL", "k"], b"a", [(["EXISTS", "k"], 0)]),
    "GETDEL wrong kind": ([["HSET", "k", "f", "v"]], ["GETDEL", "k"],
                          Err("WRONGTYPE Operation against a key holding the wrong kind of value"),
                          [(["HLEN", "k"], 1)]),
    "UNLINK": ([["SET", "k", "a"], ["SADD", "s", "m"]], ["UNLINK", "k", "s", "x"], 2, [(["DBSIZE"], 0)]),
}


@pytest.mark.parametrize("name", sorted(SET_CASES))
def test_string_commands(server, name):
    setup, args, reply, checks = SET_CASES[name]
    with Client(server.port) as k:
        for step in setup:
            assert not isinstance(k.call(*step), Err), step
        assert k.call(*args) == reply
        for check, want in checks:
            assert k.call(*check) == want, check


def test_string_commands_are_visible_to_python(cache, server):
    cache.set("k", "a", ex=100)
    with Client(server.port) as k:
        assert k.call("SET", "k", "b", "KEEPTTL", "GET") == b"a"
        assert 99_000 <= cache.pttl("k") <= 100_000
        assert k.call("GETDEL", "k") == b"b"
    assert cache.get("k") is None


# ---- BGSAVE SCHEDULE ---------------------------------------------------------------


def test_bgsave_schedule(tmp_path):
    c = Cache(persist_dir=tmp_path, snapshot_interval=0)
    try:
        for i in range(2000):
            c.set(f"key{i}", "v" * 100)
        s = started(c)
        try:
            with Client(s.port) as k:
                assert k.call("BGSAVE", "NOW") == Err("ERR syntax error")
                k.send(b"BGSAVE\r\nBGSAVE SCHEDULE\r\n")
                assert k.read_reply() == "Background saving started"
                # The save may already be over when the second request runs.
                assert k.read_reply() in ("Background saving started", "Background save already in progress")
                for _ in range(10000):
                    if k.call("BGSAVE", "schedule") == "Background saving started":
                        break
                else:
                    pytest.fail("BGSAVE SCHEDULE never started a save")
        finally:
            s.stop()
    finally:
        c.close()
