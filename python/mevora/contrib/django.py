"""A Django cache backend over a mevora cache in the same process.

    CACHES = {
        "default": {
            "BACKEND": "mevora.contrib.django.MevoraCache",
            "LOCATION": "",          # optional: a name, or a data directory
            "TIMEOUT": 300,
            "KEY_PREFIX": "",
            "VERSION": 1,
            "OPTIONS": {             # the arguments of mevora.Cache
                "max_memory": 256 * 2**20,
                "policy": "allkeys-lru",
                "persist_dir": "/var/lib/myapp/cache",   # optional: durable
            },
        }
    }

Django makes one backend object per thread (and per task); they all share
one mevora cache, found by OPTIONS["persist_dir"] when given, else by
LOCATION, so a data directory is opened once per process. Values follow
the rules of Django's own backends: an int is stored as its decimal text
(so `incr` works on it), everything else as a pickle. Timeouts: None keeps
a value until it is removed or evicted, 0 or less expires it at once, the
default comes from TIMEOUT.

`close()` is what Django calls at the end of every request: it keeps the
shared cache open. `shutdown()` closes it (flushing a persistent cache to
its data directory); the next use reopens it.
"""

from __future__ import annotations

import pickle
import threading

from django.core.cache.backends.base import DEFAULT_TIMEOUT, BaseCache

from mevora._cache import Cache

__all__ = ["MevoraCache"]

_OPTION_NAMES = ("max_memory", "policy", "shards", "persist_dir", "fsync", "snapshot_interval")

_shared = {}  # name -> Cache
_shared_lock = threading.Lock()


class MevoraCache(BaseCache):
    pickle_protocol = pickle.HIGHEST_PROTOCOL

    def __init__(self, location, params):
        super().__init__(params)
        options = {k.lower(): v for k, v in params.get("OPTIONS", {}).items()}
        # Django's own options for culling do not apply: memory is bounded by
        # max_memory and its eviction policy.
        options.pop("max_entries", None)
        options.pop("cull_frequency", None)
        unknown = set(options) - set(_OPTION_NAMES)
        if unknown:
            raise ValueError(f"unknown mevora cache OPTIONS: {', '.join(sorted(unknown))}")
        self._options = options
        persist_dir = options.get("persist_dir")
        self._name = ("dir", str(persist_dir)) if persist_dir is not None else ("name", location or "")

    @property
    def _cache(self):
        c = _shared.get(self._name)
        if c is None:
            with _shared_lock:
                c = _shared.get(self._name)
                if c is None:
                    c = _shared[self._name] = Cache(**self._options)
        return c

    # ---- values and timeouts --------------------------------------------------------

    def _dumps(self, value):
        if type(value) is int:
            return str(value).encode()
        return pickle.dumps(value, self.pickle_protocol)

    @staticmethod
    def _loads(raw):
        try:
            return int(raw)
        except ValueError:
            return pickle.loads(raw)

    def _ttl_ms(self, timeout):
        """None (keep), or milliseconds; 0 means expire at once."""
        if timeout is DEFAULT_TIMEOUT:
            timeout = self.default_timeout
        if timeout is None:
            return None
        return max(0, int(timeout * 1000))

    # ---- the cache API ---------------------------------------------------------------

    def add(self, key, value, timeout=DEFAULT_TIMEOUT, version=None):
        key = self.make_and_validate_key(key, version=version)
        ms = self._ttl_ms(timeout)
        if ms == 0:
            return not self._cache.exists(key)  # stored and expired at once
        return self._cache.set(key, self._dumps(value), px=ms, nx=True)

    def get(self, key, default=None, version=None):
        key = self.make_and_validate_key(key, version=version)
        raw = self._cache.get(key)
        return default if raw is None else self._loads(raw)

    def set(self, key, value, timeout=DEFAULT_TIMEOUT, version=None):
        key = self.make_and_validate_key(key, version=version)
        ms = self._ttl_ms(timeout)
        if ms == 0:
            self._cache.delete(key)
        else:
            self._cache.set(key, self._dumps(value), px=ms)

    def touch(self, key, timeout=DEFAULT_TIMEOUT, version=None):
        key = self.make_and_validate_key(key, version=version)
        ms = self._ttl_ms(timeout)
        c = self._cache
        if ms is None:
            return c.persist(key) or c.exists(key)
        if ms == 0:
            return c.delete(key) == 1
        return c.pexpire(key, ms)

    def delete(self, key, version=None):
        key = self.make_and_validate_key(key, version=version)
        return self._cache.delete(key) == 1

    def get_many(self, keys, version=None):
        keys = list(keys)
        if not keys:
            return {}
        made = [self.make_and_validate_key(k, version=version) for k in keys]
        out = {}
        for original, raw in zip(keys, self._cache.mget(made)):
            if raw is not None:
                out[original] = self._loads(raw)
        return out

    def has_key(self, key, version=None):
        key = self.make_and_validate_key(key, version=version)
        return self._cache.exists(key)

    def incr(self, key, delta=1, version=None):
        key = self.make_and_validate_key(key, version=version)
        c = self._cache
        if not c.exists(key):
            raise ValueError(f"Key '{key}' not found")
        try:
            return c.incr(key, delta)
        except ValueError as e:
            raise ValueError(f"the value of key '{key}' is not an integer") from e

    def set_many(self, data, timeout=DEFAULT_TIMEOUT, version=None):
        if not data:
            return []
        ms = self._ttl_ms(timeout)
        pairs = {self.make_and_validate_key(k, version=version): self._dumps(v) for k, v in data.items()}
        c = self._cache
        if ms is None:
            c.mset(pairs)
        elif ms == 0:
            c.delete(*pairs)
        else:
            for k, raw in pairs.items():
                c.set(k, raw, px=ms)
        return []

    def delete_many(self, keys, version=None):
        made = [self.make_and_validate_key(k, version=version) for k in keys]
        if made:
            self._cache.delete(*made)

    def clear(self):
        self._cache.clear()

    def close(self, **kwargs):
        """Called by Django after each request: the shared cache stays open."""

    def shutdown(self):
        """Closes the shared mevora cache (a persistent one writes its data
        directory's files); the next operation opens it again."""
        with _shared_lock:
            c = _shared.pop(self._name, None)
        if c is not None:
            c.close()
