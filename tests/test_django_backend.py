"""The Django cache backend, driven through Django's public cache API with a
minimal settings module configured here."""

import atexit
import shutil
import tempfile
import threading
import time
import warnings

import pytest

django = pytest.importorskip(
    "django", reason="Django is not installed; `pip install 'mevora[django]'` to test the Django cache backend"
)

from django.conf import settings  # noqa: E402

BACKEND = "mevora.contrib.django.MevoraCache"
DATA_DIR = tempfile.mkdtemp(prefix="mevora-django-")
atexit.register(shutil.rmtree, DATA_DIR, True)

if not settings.configured:
    settings.configure(
        INSTALLED_APPS=["django.contrib.contenttypes"],
        DATABASES={},
        USE_TZ=True,
        CACHES={
            "default": {"BACKEND": BACKEND, "LOCATION": "main", "KEY_PREFIX": "site"},
            "same_store_other_prefix": {"BACKEND": BACKEND, "LOCATION": "main", "KEY_PREFIX": "other"},
            "versioned": {"BACKEND": BACKEND, "LOCATION": "main", "KEY_PREFIX": "site", "VERSION": 3},
            "short": {"BACKEND": BACKEND, "LOCATION": "short", "TIMEOUT": 1},
            "forever": {"BACKEND": BACKEND, "LOCATION": "forever", "TIMEOUT": None},
            "bounded": {
                "BACKEND": BACKEND,
                "LOCATION": "bounded",
                "OPTIONS": {"max_memory": 1 << 20, "policy": "allkeys-lru", "shards": 4, "MAX_ENTRIES": 10},
            },
            "durable": {
                "BACKEND": BACKEND,
                "OPTIONS": {"persist_dir": DATA_DIR, "fsync": "always", "snapshot_interval": 0},
            },
        },
    )
    django.setup()

from django.contrib.contenttypes.models import ContentType  # noqa: E402
from django.core.cache import InvalidCacheBackendError, cache, caches  # noqa: E402
from django.core.cache.backends.base import CacheKeyWarning  # noqa: E402
from django.core.signals import request_finished  # noqa: E402

from mevora.contrib.django import MevoraCache  # noqa: E402


@pytest.fixture(autouse=True)
def empty_caches():
    for alias in ("default", "short", "forever", "bounded", "durable"):
        caches[alias].clear()
    yield


def test_the_backend_is_what_django_builds():
    assert isinstance(caches["default"], MevoraCache)
    assert caches["default"] is caches["default"]
    # Per thread a backend object, over one shared store.
    other = []
    t = threading.Thread(target=lambda: other.append(caches["default"]))
    t.start()
    t.join()
    assert other[0] is not caches["default"]
    cache.set("shared", 1)
    assert other[0].get("shared") == 1


def test_unknown_options_are_refused():
    with pytest.raises((ValueError, InvalidCacheBackendError), match="nope"):
        MevoraCache("x", {"OPTIONS": {"nope": 1}})


VALUES = [
    "text \u00e9",
    b"\x00bytes\xff",
    0,
    -17,
    2**70,
    1.5,
    True,
    None,
    {"a": [1, 2, {"b": None}]},
    [1, "two", 3.0],
    (1, 2),
    {1, 2},
]


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_values_round_trip(value):
    cache.set("k", value)
    got = cache.get("k", "missing")
    assert got == value and type(got) is type(value)
    assert cache.get_many(["k", "nothing"]) == {"k": value}


def test_model_instances_round_trip_through_pickling():
    ct = ContentType(app_label="shop", model="order")
    cache.set("model", ct)
    got = cache.get("model")
    assert isinstance(got, ContentType) and got is not ct
    assert (got.app_label, got.model) == ("shop", "order")


def test_get_set_add_delete_has_key():
    assert cache.get("k") is None and cache.get("k", 5) == 5
    assert cache.add("k", "first") is True
    assert cache.add("k", "second") is False
    assert cache.get("k") == "first" and cache.has_key("k") and "k" in cache
    cache.set("k", "third")
    assert cache.get("k") == "third"
    assert cache.delete("k") is True and cache.delete("k") is False
    assert not cache.has_key("k")


def test_many_operations():
    assert cache.set_many({"a": 1, "b": "two", "c": [3]}) == []
    assert cache.get_many(["a", "b", "c", "d"]) == {"a": 1, "b": "two", "c": [3]}
    assert cache.get_many([]) == {}
    cache.delete_many(["a", "c", "zzz"])
    assert cache.get_many(["a", "b", "c"]) == {"b": "two"}
    cache.delete_many([])
    cache.set_many({"x": 1}, timeout=0)
    assert cache.get("x") is None


def test_incr_decr():
    cache.set("n", 10)
    assert cache.incr("n") == 11 and cache.incr("n", 5) == 16
    assert cache.decr("n") == 15 and cache.decr("n", 20) == -5
    assert cache.get("n") == -5
    for op in (cache.incr, cache.decr):
        with pytest.raises(ValueError, match="not found"):
            op("missing")
    assert not cache.has_key("missing")  # the failed call created nothing
    cache.set("s", "text")
    with pytest.raises(ValueError):
        cache.incr("s")


def test_get_or_set():
    calls = []

    def make():
        calls.append(1)
        return {"made": True}

    assert cache.get_or_set("g", make) == {"made": True}
    assert cache.get_or_set("g", make) == {"made": True}
    assert len(calls) == 1
    assert cache.get_or_set("plain", 7) == 7 and cache.get("plain") == 7
    assert cache.get_or_set("none", None) is None


def test_timeouts():
    cache.set("zero", 1, timeout=0)
    assert cache.get("zero") is None
    cache.set("old", 1)
    cache.set("old", 2, timeout=-5)  # in the past: gone
    assert not cache.has_key("old")
    assert cache.add("zero-add", 1, timeout=0) is True and cache.get("zero-add") is None
    cache.set("brief", 1, timeout=0.05)
    cache.set("none", 1, timeout=None)
    assert cache.get("brief") == 1
    time.sleep(0.1)
    assert cache.get("brief") is None
    assert cache.get("none") == 1


def test_default_timeouts():
    caches["short"].set("k", 1)  # TIMEOUT 1 s
    caches["forever"].set("k", 1)  # TIMEOUT None
    cache.set("k", 1)  # Django's default, 300 s
    caches["short"].set("longer", 1, timeout=30)
    time.sleep(1.1)
    assert caches["short"].get("k") is None
    assert caches["short"].get("longer") == 1
    assert caches["forever"].get("k") == 1
    assert cache.get("k") == 1


def test_touch():
    cache.set("t", 1, timeout=0.05)
    assert cache.touch("t", None) is True  # now kept forever
    time.sleep(0.08)
    assert cache.get("t") == 1
    assert cache.touch("t", 0.05) is True
    time.sleep(0.08)
    assert cache.get("t") is None
    assert cache.touch("missing") is False and cache.touch("missing", None) is False
    cache.set("t", 1)
    assert cache.touch("t", 0) is True and not cache.has_key("t")


def test_versions_and_prefixes():
    cache.set("k", "v1")
    cache.set("k", "v2", version=2)
    assert cache.get("k") == "v1" and cache.get("k", version=2) == "v2"
    assert caches["versioned"].get("k") is None  # VERSION 3
    caches["versioned"].set("k", "v3")
    assert cache.get("k", version=3) == "v3"
    assert caches["same_store_other_prefix"].get("k") is None
    assert cache.incr_version("k") == 2
    assert cache.get("k", version=2) == "v1" and cache.get("k") is None
    assert cache.decr_version("k", version=2) == 1 and cache.get("k") == "v1"
    with pytest.raises(ValueError):
        cache.incr_version("missing")
    cache.delete("k", version=3)
    assert caches["versioned"].get("k") is None


def test_clear_empties_the_whole_store():
    cache.set("a", 1)
    caches["same_store_other_prefix"].set("a", 1)
    cache.clear()
    assert caches["same_store_other_prefix"].get("a") is None


@pytest.mark.parametrize("key", ["has space", "x" * 251, "ctrl\x01char"])
def test_keys_django_warns_about(key):
    with pytest.warns(CacheKeyWarning):
        cache.set(key, 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CacheKeyWarning)
        assert cache.get(key) == 1


def test_options_reach_the_constructor():
    bounded = caches["bounded"]
    for i in range(3000):
        bounded.set(f"k{i}", "x" * 1000)  # about 3 MB into 1 MiB: evicts, never fails
    store = bounded._cache
    assert store.used_memory <= 1 << 20 and 0 < len(store) < 3000


def test_close_after_a_request_keeps_the_store_open():
    cache.set("k", 1)
    request_finished.send(sender=None)  # Django closes every cache here
    assert cache.get("k") == 1


def test_persistence_across_close_and_reopen():
    durable = caches["durable"]
    durable.set("model", ContentType(app_label="a", model="b"))
    durable.set("n", 41, timeout=None)
    durable.incr("n")
    durable.shutdown()
    reopened = caches["durable"]
    assert reopened.get("n") == 42
    got = reopened.get("model")
    assert (got.app_label, got.model) == ("a", "b")


def test_async_api():
    import asyncio

    async def main():
        await cache.aset("a", {"x": 1})
        assert await cache.aget("a") == {"x": 1}
        assert await cache.aadd("a", 2) is False
        assert await cache.adelete("a") is True

    asyncio.run(main())
