import pathlib

import pytest

from mevora import Cache


def test_defaults():
    c = Cache()
    assert len(c) == 0
    assert c.used_memory == 0
    assert c.persistent is False
    assert c.persist_stats is None


@pytest.mark.parametrize("shards", [1, 2, 64, 1024, 65536])
def test_valid_shard_counts(shards):
    c = Cache(shards=shards)
    c.set("k", "v")
    assert c.get("k") == b"v"


@pytest.mark.parametrize("shards", [0, 3, 6, 65537, 131072, 2**40])
def test_invalid_shard_counts(shards):
    with pytest.raises(ValueError, match=r"^shards must be a power of two between 1 and 65536$"):
        Cache(shards=shards)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"policy": "LRU"}, ValueError,
         "unknown policy \"LRU\"; expected 'noeviction', 'allkeys-lru' or 'volatile-lru'"),
        ({"policy": "NoEviction"}, ValueError,
         "unknown policy \"NoEviction\"; expected 'noeviction', 'allkeys-lru' or 'volatile-lru'"),
        ({"policy": 'a"b\\c\td\r\n\0'}, ValueError,
         "unknown policy \"a\\\"b\\\\c\\td\\r\\n\\0\"; expected 'noeviction', 'allkeys-lru' or 'volatile-lru'"),
        ({"policy": "x\x07é"}, ValueError,
         "unknown policy \"x\\u{7}é\"; expected 'noeviction', 'allkeys-lru' or 'volatile-lru'"),
        ({"fsync": "sometimes"}, ValueError,
         "unknown fsync \"sometimes\"; expected 'always', 'everysec' or 'never'"),
        ({"snapshot_interval": -1}, ValueError, "snapshot_interval must be >= 0"),
        # Validation order: shards, then policy, then fsync.
        ({"policy": "x", "shards": 3}, ValueError, "shards must be a power of two between 1 and 65536"),
        ({"policy": "x", "fsync": "y"}, ValueError,
         "unknown policy \"x\"; expected 'noeviction', 'allkeys-lru' or 'volatile-lru'"),
    ],
)
def test_option_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Cache(**kwargs)
    assert str(info.value) == message


def test_zero_snapshot_interval_accepted():
    Cache(snapshot_interval=0)


@pytest.mark.parametrize(
    "kwargs, exc, prefix",
    [
        ({"max_memory": -1}, OverflowError, None),
        ({"max_memory": 2**64}, OverflowError, None),
        ({"shards": -1}, OverflowError, None),
        ({"snapshot_interval": 2**63}, OverflowError, None),
        ({"max_memory": 1.5}, TypeError, "argument 'max_memory': "),
        ({"max_memory": "1"}, TypeError, "argument 'max_memory': "),
        ({"policy": 5}, TypeError, "argument 'policy': "),
        ({"shards": None}, TypeError, "argument 'shards': "),
        ({"persist_dir": 5}, TypeError, "argument 'persist_dir': "),
        ({"persist_dir": b"/tmp/x"}, TypeError, "argument 'persist_dir': "),
        ({"fsync": b"always"}, TypeError, "argument 'fsync': "),
        ({"snapshot_interval": "5"}, TypeError, "argument 'snapshot_interval': "),
    ],
)
def test_conversion_errors(kwargs, exc, prefix):
    with pytest.raises(exc) as info:
        Cache(**kwargs)
    assert type(info.value) is exc
    if prefix:
        assert str(info.value).startswith(prefix)


def test_index_objects_and_bools_convert():
    class Two:
        def __index__(self):
            return 2

    assert Cache(shards=Two()) is not None
    assert Cache(shards=True) is not None  # True counts as 1
    assert Cache(max_memory=True) is not None


def test_errors_inside_index_propagate_unchanged():
    class Bad:
        def __index__(self):
            raise KeyError("inside")

    with pytest.raises(KeyError):
        Cache(max_memory=Bad())


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((0, "noeviction", 64, None, "everysec", 300, 1), {}),
        ((), {"bogus": 1}),
        ((0,), {"max_memory": 0}),
    ],
)
def test_binding_errors_use_host_wording(args, kwargs):
    with pytest.raises(TypeError):
        Cache(*args, **kwargs)


def test_positional_arguments_bind_in_order():
    c = Cache(0, "allkeys-lru", 4, None, "never", 0)
    assert c.persistent is False


def test_pathlike_persist_dir_is_converted_before_validation(tmp_path):
    # The path is converted (2nd position in order) before shards is checked.
    class Bad:
        def __fspath__(self):
            raise RuntimeError("fspath called")

    with pytest.raises(RuntimeError, match="fspath called"):
        Cache(persist_dir=Bad(), shards=3)
    with pytest.raises(ValueError, match="shards"):
        Cache(persist_dir=pathlib.Path(tmp_path), shards=3)
