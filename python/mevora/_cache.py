"""``mevora.Cache``: the extension's cache with text, JSON, a mapping
interface and ``memoize``.

The class adds no per-call cost to the bytes-level methods: a cache made with
``encoding=None`` runs the extension's methods unchanged. A cache made with
an encoding is an instance of a subclass (one per user class, made once)
whose reading methods decode what the extension returns.
"""

from __future__ import annotations

import codecs
import json
import types
from collections.abc import ItemsView, MutableMapping, ValuesView

from mevora import _mevora
from mevora._memoize import memoize as _memoize

__all__ = ["Cache"]

_Base = _mevora.Cache

# The compact, deterministic JSON form of set_json.
_json_encoder = json.JSONEncoder(separators=(",", ":"), sort_keys=True, ensure_ascii=False, allow_nan=False)


class Cache(_Base, MutableMapping):
    """Cache(max_memory=0, policy="noeviction", shards=64, persist_dir=None, fsync="everysec",
    snapshot_interval=300, encoding=None, errors="strict")

    An in-process key-value cache. The arguments up to `snapshot_interval`
    are those of the bytes-level `mevora._mevora.Cache`. With
    `encoding=None` every value, field, member and key read back is bytes;
    with an encoding (e.g. "utf-8") each one is decoded to str with it, using
    the codec error handler `errors`. What may be passed in is the same
    either way: bytes, str (stored as UTF-8), int or float.

    Beyond the bytes-level methods: `get_json`/`set_json`, the
    `collections.abc.MutableMapping` interface (`c[key]` reads a string
    value and raises KeyError when the key is absent, `c[key] = value`,
    `del c[key]` and `key in c` work on keys of every kind, iteration walks
    all keys by cursor, `items()` and `values()` cover the string keys,
    `clear()` is one flush), and the `memoize` decorator. `get` keeps the
    bytes-level form: one argument, None when absent. Two caches are equal
    only when they are the same object.
    """

    __module__ = "mevora"

    def __new__(
        cls,
        max_memory=0,
        policy="noeviction",
        shards=64,
        persist_dir=None,
        fsync="everysec",
        snapshot_interval=300,
        encoding=None,
        errors="strict",
    ):
        if encoding is not None:
            if not isinstance(encoding, str):
                raise TypeError(f"argument 'encoding': expected str or None, not {type(encoding).__name__}")
            if not isinstance(errors, str):
                raise TypeError(f"argument 'errors': expected str, not {type(errors).__name__}")
            encoding = codecs.lookup(encoding).name  # LookupError for an unknown codec
            cls = _text_class(cls)
        elif errors != "strict" and not isinstance(errors, str):
            raise TypeError(f"argument 'errors': expected str, not {type(errors).__name__}")
        self = _Base.__new__(cls, max_memory, policy, shards, persist_dir, fsync, snapshot_interval)
        self._encoding = encoding
        self._errors = errors
        if encoding is not None:
            # c[key] and get() then decode in the extension itself.
            _Base._decode_reads(self, encoding, errors)
        return self

    def __init__(
        self,
        max_memory=0,
        policy="noeviction",
        shards=64,
        persist_dir=None,
        fsync="everysec",
        snapshot_interval=300,
        encoding=None,
        errors="strict",
    ):
        pass  # everything happens in __new__

    @property
    def encoding(self):
        """The codec that decodes what is read back, or None for bytes."""
        return self._encoding

    @property
    def errors(self):
        """The codec error handler used with `encoding`."""
        return self._errors

    # Identity, not content: caches are handles to a store.
    __eq__ = object.__eq__
    __ne__ = object.__ne__
    __hash__ = object.__hash__

    def __repr__(self):
        kind = "persistent" if self.persistent else "in-memory"
        text = "" if self._encoding is None else f", encoding={self._encoding!r}"
        return f"<{type(self).__module__}.{type(self).__qualname__} {kind}, {len(self)} keys{text}>"

    # ---- JSON ------------------------------------------------------------------------

    def get_json(self, key, default=None):
        """The JSON value stored under `key`, or `default` when the key is
        absent. Raises ValueError naming the key when the stored bytes are not
        valid JSON, TypeError when the key holds a hash, list or set."""
        raw = _Base.get(self, key)
        if raw is None:
            return default
        try:
            return json.loads(raw)
        except ValueError as e:  # includes UnicodeDecodeError
            raise ValueError(f"the value of key {key!r} is not valid JSON: {e}") from e

    def set_json(self, key, value, *, ex=None, px=None, nx=False, xx=False):
        """Stores `value` as compact JSON with sorted object keys (the same
        value always gives the same bytes); options as for `set`. Raises
        TypeError, storing nothing, when JSON cannot encode the value (also
        NaN, infinities and circular references)."""
        try:
            text = _json_encoder.encode(value)
        except (TypeError, ValueError, RecursionError) as e:
            raise TypeError(f"cannot encode a {type(value).__name__} value as JSON: {e}") from e
        return _Base.set(self, key, text, ex, px, nx, xx)

    # ---- mapping ---------------------------------------------------------------------

    # c[key], c[key] = value and del c[key] are the extension type's own:
    # get (KeyError(key) when absent), set, and delete (KeyError(key) when
    # there was no such key).
    __getitem__ = _Base.__getitem__
    __setitem__ = _Base.__setitem__
    __delitem__ = _Base.__delitem__

    __contains__ = _Base.exists

    def __iter__(self):
        return self.scan_iter()

    def items(self):
        """A view of (key, value) pairs of the string keys; a key removed or
        expired while the view is iterated is left out."""
        return _LiveItems(self)

    def values(self):
        """A view of the values of the string keys; a key removed or expired
        while the view is iterated is left out."""
        return _LiveValues(self)

    def setdefault(self, key, default):
        """The value of `key`; when absent, stores `default` (only if the key
        is still absent at that moment) and returns it. There is no None
        default: None cannot be stored."""
        while True:
            if _Base.set(self, key, default, nx=True):
                return default
            value = self.get(key)
            if value is not None:
                return value

    def hscan_iter(self, key, match=None, count=None):
        """The (field, value) pairs of the hash, fetched `count` steps at a
        time with the guarantee of `hscan`: every field present for the
        whole iteration comes at least once; one may come more than once."""
        cursor = 0
        while True:
            cursor, page = self.hscan(key, cursor, match, count)
            yield from page.items()
            if cursor == 0:
                return

    def sscan_iter(self, key, match=None, count=None):
        """The members of the set, fetched `count` steps at a time with the
        guarantee of `sscan`: every member present for the whole iteration
        comes at least once; one may come more than once."""
        cursor = 0
        while True:
            cursor, page = self.sscan(key, cursor, match, count)
            yield from page
            if cursor == 0:
                return

    def clear(self):
        """Removes every key at once (one flush)."""
        _Base.flush(self)

    memoize = _memoize


def _live_pairs(mapping):
    for key in mapping.scan_iter(type="string"):
        try:
            value = mapping.get(key)
        except TypeError:  # became another kind meanwhile
            continue
        if value is not None:
            yield key, value


class _LiveItems(ItemsView):
    __slots__ = ()

    def __iter__(self):
        return _live_pairs(self._mapping)


class _LiveValues(ValuesView):
    __slots__ = ()

    def __iter__(self):
        for _, value in _live_pairs(self._mapping):
            yield value


# One decoding subclass per class, made on first use.
_text_classes = {}


def _text_class(cls):
    text_cls = _text_classes.get(cls)
    if text_cls is None:
        if issubclass(cls, _TextReads):
            return cls
        text_cls = type(cls.__name__, (_TextReads, cls), {"__module__": cls.__module__, "__slots__": ()})
        text_cls.__qualname__ = cls.__qualname__
        _text_classes[cls] = text_cls
    return text_cls


class _TextReads:
    """The reading methods of a decoding cache: the bytes-level result,
    decoded with the cache's encoding and error handler."""

    __slots__ = ()

    # The methods whose results carry bytes are the extension's own,
    # decoding with the codec set in Cache.__new__ (see below the class);
    # c[key] is the extension's subscript, which decodes for a text cache
    # too. What is left here decodes in Python.

    def scan_iter(self, match=None, count=None, type=None):
        enc, err = self._encoding, self._errors
        for b in _Base.scan_iter(self, match, count, type):
            yield b.decode(enc, err)

    def randomkey(self):
        b = _Base.randomkey(self)
        return None if b is None else b.decode(self._encoding, self._errors)


# set, get, mget, getset, getdel, getrange, getex, keys, scan, hget, hmget,
# hgetall, hkeys, hvals, hrandfield, hscan, lpop, rpop, lindex, lrange,
# lmove, rpoplpush, smembers, srandmember, spop, sscan, sinter, sunion and
# sdiff.
for _name, _fn in _mevora._decoded_reads.items():
    setattr(_TextReads, _name, _fn)

for _name, _fn in list(vars(_TextReads).items()):
    if isinstance(_fn, types.FunctionType) and not _name.startswith("_"):
        _fn.__doc__ = getattr(_Base, _name).__doc__
del _name, _fn
