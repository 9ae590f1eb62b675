import pytest

from mevora import Cache, Server


@pytest.fixture
def cache():
    """A small in-memory cache with one shard, so memory figures are exact."""
    c = Cache(shards=1)
    yield c
    c.close()


@pytest.fixture
def big():
    """The default in-memory cache (64 shards)."""
    c = Cache()
    yield c
    c.close()


@pytest.fixture
def server():
    """A running server on a free port over its own 4-shard cache (test
    modules that need another setup define their own `server`)."""
    c = Cache(shards=4)
    s = Server(c, port=0)
    s.start()
    yield s
    s.stop()
    c.close()


KIND_FILLERS = {
    "string": lambda c: c.set("string", "text"),
    "hash": lambda c: c.hset("hash", "f", "v"),
    "list": lambda c: c.rpush("list", "x"),
    "set": lambda c: c.sadd("set", "m"),
}


# What each filler stored, read back.
KIND_READERS = {
    "string": (lambda c: c.get("string"), b"text"),
    "hash": (lambda c: c.hgetall("hash"), {b"f": b"v"}),
    "list": (lambda c: c.lrange("list", 0, -1), [b"x"]),
    "set": (lambda c: c.smembers("set"), {b"m"}),
}

WRONGTYPE = "WRONGTYPE Operation against a key holding the wrong kind of value"


def fill_other_kinds(c, kind):
    """Stores one key of every kind but `kind`, named after its kind."""
    for name, fill in KIND_FILLERS.items():
        if name != kind:
            fill(c)


def check_wrongtype_changes_nothing(c, kind, key, call):
    """With one key of every kind but `kind` stored, call(c, key) on one of
    them raises the WRONGTYPE TypeError and changes nothing: the memory
    figure and every stored key stay as they were."""
    fill_other_kinds(c, kind)
    before = c.used_memory
    with pytest.raises(TypeError) as info:
        call(c, key)
    assert str(info.value) == WRONGTYPE
    assert c.used_memory == before
    for name, (read, expected) in KIND_READERS.items():
        if name != kind:
            assert read(c) == expected
