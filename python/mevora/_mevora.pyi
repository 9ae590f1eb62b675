"""Type information for the `_mevora` extension module.

Keys, values, fields and members are accepted as bytes, str (stored as
UTF-8), int or float (stored as their str()); bool is refused at run time
although the type system counts it as an int. Everything read back is bytes.
"""

import builtins
import os
from collections.abc import Iterable
from typing import Protocol, SupportsIndex, TypedDict, TypeVar, type_check_only

from typing_extensions import Self, TypeAlias

__all__ = ["Cache", "Server", "CacheLockedError", "CorruptDataError"]

_Value: TypeAlias = bytes | str | int | float

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
    def set(
        self,
        key: _Value,
        value: _Value,
        ex: int | None = None,
        px: int | None = None,
        nx: bool = False,
        xx: bool = False,
    ) -> bool: ...
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

class Server:
    """RESP2 server that serves a `Cache` over TCP."""

    def __new__(
        cls,
        cache: Cache,
        host: str = "127.0.0.1",
        port: SupportsIndex = 6380,
        password: str | None = None,
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
