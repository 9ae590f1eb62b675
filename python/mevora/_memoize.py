"""``Cache.memoize``: function results kept in a mevora cache.

A result is stored under ``memo:<module>.<qualname>:<arguments>``, where the
argument part is a canonical text of the call's arguments (long ones are
replaced by their BLAKE2b digest). For arguments of the built-in types
(None, bool, int, float, str, bytes, and tuples, lists, dicts, sets and
frozensets of them), of enums, and of any class whose ``__repr__`` is its
own and stable, the text is the same in every process and run, so a
persistent cache keeps results across restarts. An object with the default
``repr`` (which shows its address) is represented by a token unique to the
object for its lifetime in this process: results computed for it are reused
only while it lives, and never for another object.

Single-flight: concurrent calls of one wrapper with the same key compute the
result once; threads wait on an event, coroutines await a future (per event
loop). An exception reaches the caller that raised it and is not stored;
the callers that were waiting for it then try again, one of them computing.
"""

from __future__ import annotations

import asyncio
import functools
import hashlib
import inspect
import itertools
import json
import math
import os
import pickle
import threading
import weakref
from enum import Enum

from mevora import _mevora

__all__ = ["memoize"]

_Base = _mevora.Cache
_MISSING = object()

# Argument texts longer than this are replaced by their digest.
_MAX_INLINE = 200

# Results of these types are immutable, so one decoded object may be handed
# to every caller that reads the same stored bytes.
_IMMUTABLE = frozenset({int, float, str, bytes, bool, type(None)})
_DECODED_ITEMS = 1024
_DECODED_BYTES = 128
_KNOWN_KEYS = 1024

# Single arguments whose canonical text is their repr, in both modes.
_FAST = frozenset({int, str})


# ---- canonical argument text -------------------------------------------------------

_token_of = {}  # id(obj) -> token, while obj lives
_token_lock = threading.Lock()
_token_serial = itertools.count()
_process = os.urandom(8).hex()  # tokens of two processes never coincide


def _token(obj):
    i = id(obj)
    t = _token_of.get(i)
    if t is not None:
        return t
    with _token_lock:
        t = _token_of.get(i)
        if t is None:
            try:
                # Runs when obj is freed, before its id can be reused.
                weakref.finalize(obj, _token_of.pop, i, None)
            except TypeError:
                raise TypeError(
                    f"cannot derive a cache key from a {type(obj).__name__} argument: give the class a "
                    "__repr__ that identifies its value, or pass key= to memoize"
                ) from None
            t = f"@{_process}.{next(_token_serial)}"
            _token_of[i] = t
    return t


def _qualified(t):
    return f"{t.__module__}.{t.__qualname__}"


def _canon(x, typed):
    """The canonical text of one argument."""
    t = type(x)
    if t is int or t is str or t is bytes or x is None:
        return repr(x)
    if t is bool:
        return repr(x) if typed else repr(int(x))
    if t is float:
        if not typed and x.is_integer():
            return repr(int(x))  # 1.0 and 1 are one key unless typed
        return repr(x)
    if t is tuple:
        return "t(" + ",".join([_canon(v, typed) for v in x]) + ")"
    if t is list:
        return "l[" + ",".join([_canon(v, typed) for v in x]) + "]"
    if t is dict:
        items = sorted(_canon(k, typed) + ":" + _canon(v, typed) for k, v in x.items())
        return "d{" + ",".join(items) + "}"
    if t is set or t is frozenset:
        return "s{" + ",".join(sorted(_canon(v, typed) for v in x)) + "}"
    if isinstance(x, Enum):
        return f"e:{_qualified(t)}.{x.name}"
    if isinstance(x, type):
        return f"c:{_qualified(x)}"
    if t.__repr__ is object.__repr__:
        return _token(x)
    return f"r:{_qualified(t)}:{x!r}"


def _args_text(args, kwargs, typed):
    text = ",".join([_canon(a, typed) for a in args])
    if kwargs:
        text += ";" + ",".join(f"{name}={_canon(v, typed)}" for name, v in sorted(kwargs.items()))
    if len(text) > _MAX_INLINE:
        text = "#" + hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=20).hexdigest()
    return text


def _glob_escape(text):
    return "".join("\\" + c if c in "*?[]\\" else c for c in text)


# ---- options ----------------------------------------------------------------------------


def _ttl_ms(ttl):
    if ttl is None:
        return None
    if isinstance(ttl, bool) or not isinstance(ttl, (int, float)):
        raise TypeError(f"ttl must be a number of seconds or None, not {type(ttl).__name__}")
    if not ttl > 0 or math.isinf(ttl):
        raise ValueError("ttl must be a positive finite number of seconds")
    return max(1, math.ceil(ttl * 1000))


def _json_dumps(value):
    return json.dumps(value, separators=(",", ":")).encode()


def _pickle_dumps(value):
    return pickle.dumps(value, protocol=5)  # one protocol for every Python this supports


def _serializer(serializer):
    if serializer == "json":
        return _json_dumps, json.loads
    if serializer == "pickle":
        return _pickle_dumps, pickle.loads
    if isinstance(serializer, str):
        raise ValueError(f"unknown serializer {serializer!r}; expected 'json', 'pickle' or an object with dumps/loads")
    dumps = getattr(serializer, "dumps", None)
    loads = getattr(serializer, "loads", None)
    if not callable(dumps) or not callable(loads):
        raise TypeError("serializer must be 'json', 'pickle' or an object with dumps() and loads()")
    return dumps, loads


# ---- the decorator ----------------------------------------------------------------------


class _Flight:
    """One computation in progress; `raw` is its stored form once it succeeded."""

    __slots__ = ("done", "raw")

    def __init__(self, done):
        self.done = done
        self.raw = None


def memoize(self, ttl=None, *, key=None, typed=False, serializer="json"):
    """Decorator: keeps the results of a function, method or coroutine
    function in this cache.

    `ttl`: seconds a result is kept (None: until evicted or removed).
    `key`: a function of the call's arguments returning the text (str,
    bytes or int) that identifies them; by default a canonical text of the
    arguments is used (see the module documentation). `typed`: when true,
    arguments of different types are cached apart (1 and 1.0, True and 1).
    `serializer`: "json" (the default; tuples come back as lists), "pickle"
    (only for caches that no untrusted party can write to: loading a pickle
    runs code), or an object with `dumps(value) -> bytes | str` and
    `loads(bytes) -> value`.

    Concurrent calls with the same arguments compute once (threads block,
    coroutines await); an exception is not stored, and the waiting callers
    try again. The wrapper has `__wrapped__`, the function's metadata,
    `cache_clear()` (removes this function's results only) and
    `cache_key(*args, **kwargs)` (the key a call uses).
    """
    if callable(ttl):
        raise TypeError("memoize takes options: decorate with @cache.memoize(), not @cache.memoize")
    px = _ttl_ms(ttl)
    if key is not None and not callable(key):
        raise TypeError("key must be a function of the call's arguments or None")
    dumps, loads = _serializer(serializer)
    typed = bool(typed)

    def decorate(func):
        if not callable(func):
            raise TypeError(f"memoize needs a callable, not {type(func).__name__}")
        return _wrap(self, func, px, key, typed, dumps, loads)

    return decorate


def _wrap(cache, func, px, key_fn, typed, dumps, loads):
    prefix = f"memo:{getattr(func, '__module__', None)}.{getattr(func, '__qualname__', repr(func))}:"
    raw_get = _Base.get.__get__(cache)
    raw_set = _Base.set.__get__(cache)
    decoded = {}
    fast = _FAST

    if key_fn is None:

        def cache_key(*args, **kwargs):
            if not kwargs and len(args) == 1 and type(args[0]) in fast:
                return prefix + repr(args[0])
            return prefix + _args_text(args, kwargs, typed)

        def full_key(args, kwargs):
            return prefix + _args_text(args, kwargs, typed)

    else:

        def cache_key(*args, **kwargs):
            part = key_fn(*args, **kwargs)
            if isinstance(part, bytes):
                part = part.hex()
            elif isinstance(part, bool) or not isinstance(part, (str, int)):
                raise TypeError(f"the key function must return str, bytes or int, not {type(part).__name__}")
            text = f"k:{part}"
            if len(text) > _MAX_INLINE:
                text = "#" + hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=20).hexdigest()
            return prefix + text

        fast = frozenset()  # every call goes through the key function

        def full_key(args, kwargs):
            return cache_key(*args, **kwargs)

    def load(raw):
        value = loads(raw)
        if type(value) in _IMMUTABLE and len(raw) <= _DECODED_BYTES:
            if len(decoded) >= _DECODED_ITEMS:
                try:
                    del decoded[next(iter(decoded))]  # the oldest
                except (StopIteration, KeyError, RuntimeError):
                    pass  # another thread changed it meanwhile
            decoded[raw] = value
        return value

    def store(k, value):
        raw = dumps(value)
        if isinstance(raw, str):
            raw = raw.encode()
        try:
            raw_set(k, raw, None, px)
        except MemoryError:
            pass  # the cache is full and may not evict: the result is still good
        return raw

    def cache_clear():
        batch = []
        for k in _Base.scan_iter(cache, _glob_escape(prefix) + "*", 1000):
            batch.append(k)
            if len(batch) == 1000:
                _Base.delete(cache, *batch)
                batch.clear()
        if batch:
            _Base.delete(cache, *batch)
        decoded.clear()

    # The keys of recent one-int-or-str calls, so a hit skips building the
    # text. Only ints and strs go in, and no int equals a str, so a lookup
    # never finds another type's key.
    known = {}

    def remember(arg):
        k = prefix + repr(arg)
        if len(known) >= _KNOWN_KEYS:
            try:
                del known[next(iter(known))]  # the oldest
            except (StopIteration, KeyError, RuntimeError):
                pass  # another thread changed it meanwhile
        known[arg] = k
        return k

    keys = (fast, known, remember, full_key)
    if inspect.iscoroutinefunction(func):
        wrapper = _async_wrapper(func, keys, raw_get, decoded, load, store)
    else:
        wrapper = _sync_wrapper(func, keys, raw_get, decoded, load, store)
        if key_fn is None:
            wrapper = _with_hits_in_c(cache, prefix, typed, loads, wrapper)
    functools.update_wrapper(wrapper, func)
    wrapper.cache_clear = cache_clear
    wrapper.cache_key = cache_key
    return wrapper


def _with_hits_in_c(cache, prefix, typed, loads, wrapper):
    """The extension's callable that answers hits of calls with arguments of
    the simple built-in types itself (deriving the same key as cache_key)
    and hands every other call to `wrapper`."""
    try:
        return _mevora._Memoized(cache, prefix, typed, loads, loads is json.loads, wrapper)
    except UnicodeEncodeError:
        return wrapper  # a name with lone surrogates: no key of it can be stored


# The wrappers take the key of a call with one int or str argument from
# `known` or build it inline (the same text as cache_key gives), else use
# full_key.


def _sync_wrapper(func, keys, raw_get, decoded, load, store):
    fast, known, remember, full_key = keys
    flights = {}
    lock = threading.Lock()
    missing = _MISSING

    def compute(k, args, kwargs):
        while True:
            with lock:
                flight = flights.get(k)
                leader = flight is None
                if leader:
                    flight = flights[k] = _Flight(threading.Event())
            if not leader:
                flight.done.wait()
                if flight.raw is None:
                    continue  # it failed: try again, perhaps as the one computing
                raw = raw_get(k)
                return load(flight.raw if raw is None else raw)
            try:
                raw = raw_get(k)  # finished by another caller since our read
                if raw is not None:
                    flight.raw = raw
                    return load(raw)
                value = func(*args, **kwargs)
                flight.raw = store(k, value)
                return value
            finally:
                with lock:
                    del flights[k]
                flight.done.set()

    def wrapper(*args, **kwargs):
        if not kwargs and len(args) == 1 and type(args[0]) in fast:
            k = known.get(args[0])
            if k is None:
                k = remember(args[0])
        else:
            k = full_key(args, kwargs)
        raw = raw_get(k)
        if raw is None:
            return compute(k, args, kwargs)
        value = decoded.get(raw, missing)
        return load(raw) if value is missing else value

    return wrapper


def _async_wrapper(func, keys, raw_get, decoded, load, store):
    fast, known, remember, full_key = keys
    flights = {}  # (key, event loop) -> _Flight; touched only from that loop's thread
    missing = _MISSING

    async def compute(k, args, kwargs):
        loop = asyncio.get_running_loop()
        fk = (k, loop)
        while True:
            flight = flights.get(fk)
            if flight is not None:
                await asyncio.shield(flight.done)  # a waiter's cancellation leaves it running
                if flight.raw is None:
                    continue
                raw = raw_get(k)
                return load(flight.raw if raw is None else raw)
            flight = flights[fk] = _Flight(loop.create_future())
            try:
                raw = raw_get(k)
                if raw is not None:
                    flight.raw = raw
                    return load(raw)
                value = await func(*args, **kwargs)
                flight.raw = store(k, value)
                return value
            finally:
                del flights[fk]
                flight.done.set_result(None)

    async def wrapper(*args, **kwargs):
        if not kwargs and len(args) == 1 and type(args[0]) in fast:
            k = known.get(args[0])
            if k is None:
                k = remember(args[0])
        else:
            k = full_key(args, kwargs)
        raw = raw_get(k)
        if raw is None:
            return await compute(k, args, kwargs)
        value = decoded.get(raw, missing)
        return load(raw) if value is missing else value

    return wrapper
