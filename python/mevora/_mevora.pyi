"""Type information for the `_mevora` extension module.

Keys, values, fields and members are accepted as bytes, str (stored as
UTF-8), int or float (stored as their str()); bool is refused at run time
although the type system counts it as an int. Everything read back is bytes.
"""

import builtins
import os
from collections.abc import Iterable, Iterator
from types import TracebackType
from typing import Literal, Protocol, SupportsIndex, TypedDict, TypeVar, final, overload, type_check_only

from typing_extensions import Self, TypeAlias

__all__ = ["Cache", "Server", "CacheLockedError", "CorruptDataError", "Transaction", "WatchError"]

_Value: TypeAlias = bytes | str | int | float
_KeyKind: TypeAlias = Literal["string", "list", "hash", "set"]

_K_co = TypeVar("_K_co", covariant=True)
_V_co = TypeVar("_V_co", covariant=True)

@type_check_only
class _SupportsItems(Protocol[_K_co, _V_co]):
    # What `mset` needs: any mapping, or any object whose items() yields
    # (key, value) tuples.
    def items(self) -> Iterable[tuple[_K_co, _V_co]]: ...

@type_check_only
class _PersistStats(TypedDict):
    last_save_ms: int
    snapshot_bytes: int
    wal_bytes: int
    loaded_keys: int
    last_error: str | None
    writes_refused: bool

class Cache:
    """Bytes-level cache. The Python `mevora.Cache` subclass adds decoding,
    JSON handling and dict-style sugar on top of this class."""

    def __new__(
        cls,
        max_memory: SupportsIndex = 0,
        policy: str = "noeviction",
        shards: SupportsIndex = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: SupportsIndex = 300,
    ) -> Self: ...
    def __len__(self) -> int: ...
    @property
    def persistent(self) -> bool:
        """True when this cache was opened with a `persist_dir`."""
    @property
    def persist_stats(self) -> _PersistStats | None:
        """Persistence counters as a dict, or None when persistence is off."""
    @property
    def used_memory(self) -> int: ...
    def close(self) -> None: ...
    def save(self) -> None:
        """Writes a snapshot now. Raises OSError on I/O failure, ValueError if persistence is off."""
    @overload
    def set(
        self,
        key: _Value,
        value: _Value,
        ex: int | None = None,
        px: int | None = None,
        nx: bool = False,
        xx: bool = False,
        get: Literal[False] = False,
        keepttl: bool = False,
        exat: int | None = None,
        pxat: int | None = None,
    ) -> bool: ...
    @overload
    def set(
        self,
        key: _Value,
        value: _Value,
        ex: int | None = None,
        px: int | None = None,
        nx: bool = False,
        xx: bool = False,
        *,
        get: Literal[True],
        keepttl: bool = False,
        exat: int | None = None,
        pxat: int | None = None,
    ) -> bytes | None:
        """With get=True: the value before the call (None if absent), whether or not it wrote."""
    def get(self, key: _Value) -> bytes | None: ...
    def mget(self, keys: Iterable[_Value]) -> list[bytes | None]: ...
    def mset(self, mapping: _SupportsItems[_Value, _Value]) -> None: ...
    def incr(self, key: _Value, amount: SupportsIndex = 1) -> int: ...
    def decr(self, key: _Value, amount: SupportsIndex = 1) -> int: ...
    def append(self, key: _Value, value: _Value) -> int: ...
    def delete(self, *keys: _Value) -> int: ...
    def exists(self, key: _Value) -> bool: ...
    def expire(self, key: _Value, seconds: int) -> bool: ...
    def pexpire(self, key: _Value, milliseconds: int) -> bool: ...
    def persist(self, key: _Value) -> bool: ...
    def ttl(self, key: _Value) -> int:
        """Remaining TTL in whole seconds, rounded up. -2 if missing, -1 if no expiry."""
    def pttl(self, key: _Value) -> int: ...
    def keys(self, pattern: str = "*") -> list[bytes]: ...
    def scan(
        self,
        cursor: SupportsIndex = 0,
        match: str | bytes | None = None,
        count: int | None = None,
        type: _KeyKind | None = None,
    ) -> tuple[int, list[bytes]]:
        """One step of a cursor iteration: returns (next_cursor, keys). Start with
        cursor 0 and pass each returned cursor back until it is 0. Every key that
        exists for the whole iteration is returned at least once, also while keys
        are added and removed; a key may come more than once. Each call does about
        `count` (default 10) steps of work. `match` is a glob pattern (str or
        bytes), `type` one of 'string', 'list', 'hash', 'set'."""
    def scan_iter(
        self, match: str | bytes | None = None, count: int | None = None, type: _KeyKind | None = None
    ) -> Iterator[bytes]:
        """An iterator over the keys (bytes), fetching them `count` steps at a time
        with the guarantee of `scan`; it never builds one list of all keys."""
    def flush(self) -> None: ...
    def hset(self, key: _Value, field: _Value, value: _Value) -> bool: ...
    def hget(self, key: _Value, field: _Value) -> bytes | None: ...
    def hdel(self, key: _Value, *fields: _Value) -> int: ...
    def hgetall(self, key: _Value) -> dict[bytes, bytes]: ...
    def hlen(self, key: _Value) -> int: ...
    def lpush(self, key: _Value, *values: _Value) -> int: ...
    def rpush(self, key: _Value, *values: _Value) -> int: ...
    def lpop(self, key: _Value) -> bytes | None: ...
    def rpop(self, key: _Value) -> bytes | None: ...
    def lrange(self, key: _Value, start: SupportsIndex, stop: SupportsIndex) -> list[bytes]: ...
    def llen(self, key: _Value) -> int: ...
    def sadd(self, key: _Value, *members: _Value) -> int: ...
    def srem(self, key: _Value, *members: _Value) -> int: ...
    def smembers(self, key: _Value) -> builtins.set[bytes]: ...
    def sismember(self, key: _Value, member: _Value) -> bool: ...
    def scard(self, key: _Value) -> int: ...
    def getset(self, key: _Value, value: _Value) -> bytes | None:
        """Stores value without a deadline and returns the previous value, in one step."""
    def getdel(self, key: _Value) -> bytes | None:
        """Removes a string key and returns its value, in one step."""
    def transaction(self, watch: Iterable[_Value] = ()) -> Transaction:
        """A Transaction: calls on it run atomically when its `with` block ends.
        Raises WatchError there if a key in `watch` changed since this call."""

@final
class Transaction:
    """A group of Cache calls run atomically: no other thread or connection
    sees a state between two of them.

    Made by `Cache.transaction()`; use it as a context manager. Each data
    method records its call and returns None; the calls run in order when
    the `with` block ends without an exception, and `results` then holds
    what each returned (or the exception a failing call raised, while the
    others still ran). An exception in the block discards the calls."""

    @property
    def results(self) -> list[object] | None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> Literal[False]: ...
    def set(
        self,
        key: _Value,
        value: _Value,
        ex: int | None = None,
        px: int | None = None,
        nx: bool = False,
        xx: bool = False,
        get: bool = False,
        keepttl: bool = False,
        exat: int | None = None,
        pxat: int | None = None,
    ) -> None: ...
    def get(self, key: _Value) -> None: ...
    def mget(self, keys: Iterable[_Value]) -> None: ...
    def mset(self, mapping: _SupportsItems[_Value, _Value]) -> None: ...
    def incr(self, key: _Value, amount: SupportsIndex = 1) -> None: ...
    def decr(self, key: _Value, amount: SupportsIndex = 1) -> None: ...
    def append(self, key: _Value, value: _Value) -> None: ...
    def delete(self, *keys: _Value) -> None: ...
    def exists(self, key: _Value) -> None: ...
    def expire(self, key: _Value, seconds: int) -> None: ...
    def pexpire(self, key: _Value, milliseconds: int) -> None: ...
    def persist(self, key: _Value) -> None: ...
    def ttl(self, key: _Value) -> None: ...
    def pttl(self, key: _Value) -> None: ...
    def keys(self, pattern: str = "*") -> None: ...
    def flush(self) -> None: ...
    def hset(self, key: _Value, field: _Value, value: _Value) -> None: ...
    def hget(self, key: _Value, field: _Value) -> None: ...
    def hdel(self, key: _Value, *fields: _Value) -> None: ...
    def hgetall(self, key: _Value) -> None: ...
    def hlen(self, key: _Value) -> None: ...
    def lpush(self, key: _Value, *values: _Value) -> None: ...
    def rpush(self, key: _Value, *values: _Value) -> None: ...
    def lpop(self, key: _Value) -> None: ...
    def rpop(self, key: _Value) -> None: ...
    def lrange(self, key: _Value, start: SupportsIndex, stop: SupportsIndex) -> None: ...
    def llen(self, key: _Value) -> None: ...
    def sadd(self, key: _Value, *members: _Value) -> None: ...
    def srem(self, key: _Value, *members: _Value) -> None: ...
    def smembers(self, key: _Value) -> None: ...
    def sismember(self, key: _Value, member: _Value) -> None: ...
    def scard(self, key: _Value) -> None: ...
    def getset(self, key: _Value, value: _Value) -> None: ...
    def getdel(self, key: _Value) -> None: ...

class Server:
    """RESP2 server that serves a `Cache` over TCP."""

    def __new__(
        cls,
        cache: Cache,
        host: str = "127.0.0.1",
        port: SupportsIndex = 6380,
        password: str | None = None,
        max_clients: SupportsIndex | None = None,
        idle_timeout: SupportsIndex = 0,
    ) -> Self: ...
    def start(self) -> None:
        """Binds and starts accepting connections. Calling it on a running server does nothing.
        Raises OSError if the address cannot be bound."""
    def stop(self) -> None:
        """Stops accepting connections and closes open ones. Safe to call more than once."""
    @property
    def port(self) -> int:
        """The bound port. With port=0 this is the port the OS picked after `start()`."""
    @property
    def running(self) -> bool:
        """True between a successful `start()` and the next `stop()`."""

class CacheLockedError(OSError):
    """The persistence directory is in use by another live process."""

class CorruptDataError(ValueError):
    """The persisted snapshot failed its checksum or structure check."""

class WatchError(Exception):
    """A key watched by a transaction changed before the transaction ran; nothing of it ran."""
