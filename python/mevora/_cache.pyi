"""Type information for `mevora.Cache`.

`Cache` is generic in what reads return: `Cache[bytes]` (the default, made
with `encoding=None`) or `Cache[str]` (made with an encoding). Inputs are the
same for both: bytes, str, int or float.
"""

import builtins
import os
from collections.abc import Callable, ItemsView, Iterable, Iterator, MutableMapping, ValuesView
from typing import Any, Generic, Literal, Protocol, SupportsIndex, TypeVar, overload, type_check_only

from typing_extensions import Concatenate, ParamSpec, Self, TypeAlias
from typing_extensions import TypeVar as _TypeVarWithDefault

from mevora import _mevora

__all__ = ["Cache"]

_Value: TypeAlias = bytes | str | int | float
_KeyKind: TypeAlias = Literal["string", "list", "hash", "set"]
_S = _TypeVarWithDefault("_S", bytes, str, default=bytes)
_V = TypeVar("_V", bound=_Value)
_T = TypeVar("_T")
_P = ParamSpec("_P")
_P2 = ParamSpec("_P2")
_R = TypeVar("_R")
_R_co = TypeVar("_R_co", covariant=True)

@type_check_only
class _Serializer(Protocol):
    def dumps(self, value: Any, /) -> bytes | str: ...
    def loads(self, data: bytes, /) -> Any: ...

@type_check_only
class _BoundMemoized(Protocol[_P, _R_co]):
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
    def cache_clear(self) -> None: ...
    def cache_key(self, *args: _P.args, **kwargs: _P.kwargs) -> str: ...

@type_check_only
class _Memoized(Protocol[_P, _R_co]):
    """What `Cache.memoize` returns: the function's own signature, plus
    `cache_clear`, `cache_key` and `__wrapped__`."""

    @property
    def __wrapped__(self) -> Callable[_P, _R_co]: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
    def cache_clear(self) -> None: ...
    def cache_key(self, *args: _P.args, **kwargs: _P.kwargs) -> str: ...
    # Looked up on an instance, a memoized method binds its first argument.
    @overload
    def __get__(self, instance: None, owner: type[Any], /) -> Self: ...
    @overload
    def __get__(
        self: _Memoized[Concatenate[_T, _P2], _R], instance: _T, owner: type[Any] | None = None, /
    ) -> _BoundMemoized[_P2, _R]: ...

class Cache(_mevora.Cache, MutableMapping[_S, _S], Generic[_S]):
    """An in-process key-value cache: the bytes-level methods of
    `mevora._mevora.Cache`, reads decoded to str when made with an
    `encoding`, JSON, a mapping interface and `memoize`."""

    def __new__(
        cls,
        max_memory: SupportsIndex = 0,
        policy: str = "noeviction",
        shards: SupportsIndex = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: SupportsIndex = 300,
        encoding: str | None = None,
        errors: str = "strict",
    ) -> Self: ...
    @overload
    def __init__(
        self: Cache[bytes],
        max_memory: SupportsIndex = 0,
        policy: str = "noeviction",
        shards: SupportsIndex = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: SupportsIndex = 300,
        encoding: None = None,
        errors: str = "strict",
    ) -> None: ...
    @overload
    def __init__(
        self: Cache[str],
        max_memory: SupportsIndex = 0,
        policy: str = "noeviction",
        shards: SupportsIndex = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: SupportsIndex = 300,
        *,
        encoding: str,
        errors: str = "strict",
    ) -> None: ...
    @property
    def encoding(self) -> str | None:
        """The codec that decodes what is read back, or None for bytes."""
    @property
    def errors(self) -> str:
        """The codec error handler used with `encoding`."""

    # Reads, typed by the cache's parameter.
    def get(self, key: _Value) -> _S | None: ...  # type: ignore[override]
    def mget(self, keys: Iterable[_Value]) -> list[_S | None]: ...  # type: ignore[override]
    @overload  # type: ignore[override]
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
    ) -> _S | None: ...
    def getset(self, key: _Value, value: _Value) -> _S | None: ...  # type: ignore[override]
    def getdel(self, key: _Value) -> _S | None: ...  # type: ignore[override]
    def hget(self, key: _Value, field: _Value) -> _S | None: ...  # type: ignore[override]
    def hgetall(self, key: _Value) -> dict[_S, _S]: ...  # type: ignore[override]
    @overload  # type: ignore[override]
    def lpop(self, key: _Value, count: None = None) -> _S | None: ...
    @overload
    def lpop(self, key: _Value, count: SupportsIndex) -> list[_S] | None: ...
    @overload  # type: ignore[override]
    def rpop(self, key: _Value, count: None = None) -> _S | None: ...
    @overload
    def rpop(self, key: _Value, count: SupportsIndex) -> list[_S] | None: ...
    def lindex(self, key: _Value, index: SupportsIndex) -> _S | None: ...  # type: ignore[override]
    def lmove(  # type: ignore[override]
        self, source: _Value, destination: _Value, wherefrom: _mevora._ListEnd, whereto: _mevora._ListEnd
    ) -> _S | None: ...
    def rpoplpush(self, source: _Value, destination: _Value) -> _S | None: ...  # type: ignore[override]
    def lrange(self, key: _Value, start: SupportsIndex, stop: SupportsIndex) -> list[_S]: ...  # type: ignore[override]
    def smembers(self, key: _Value) -> builtins.set[_S]: ...  # type: ignore[override]
    def sinter(self, key: _Value, *keys: _Value) -> builtins.set[_S]: ...  # type: ignore[override]
    def sunion(self, key: _Value, *keys: _Value) -> builtins.set[_S]: ...  # type: ignore[override]
    def sdiff(self, key: _Value, *keys: _Value) -> builtins.set[_S]: ...  # type: ignore[override]
    def hmget(self, key: _Value, *fields: _Value) -> list[_S | None]: ...  # type: ignore[override]
    def hkeys(self, key: _Value) -> list[_S]: ...  # type: ignore[override]
    def hvals(self, key: _Value) -> list[_S]: ...  # type: ignore[override]
    @overload  # type: ignore[override]
    def hrandfield(self, key: _Value, count: None = None, withvalues: Literal[False] = False) -> _S | None: ...
    @overload
    def hrandfield(self, key: _Value, count: int, withvalues: Literal[False] = False) -> list[_S]: ...
    @overload
    def hrandfield(self, key: _Value, count: int, withvalues: Literal[True]) -> list[tuple[_S, _S]]: ...
    def hscan(  # type: ignore[override]
        self, key: _Value, cursor: SupportsIndex = 0, match: str | bytes | None = None, count: int | None = None
    ) -> tuple[int, dict[_S, _S]]: ...
    def hscan_iter(
        self, key: _Value, match: str | bytes | None = None, count: int | None = None
    ) -> Iterator[tuple[_S, _S]]:
        """The (field, value) pairs of the hash, fetched `count` steps at a
        time with the guarantee of `hscan`."""
    @overload  # type: ignore[override]
    def srandmember(self, key: _Value, count: None = None) -> _S | None: ...
    @overload
    def srandmember(self, key: _Value, count: SupportsIndex) -> list[_S]: ...
    @overload  # type: ignore[override]
    def spop(self, key: _Value, count: None = None) -> _S | None: ...
    @overload
    def spop(self, key: _Value, count: SupportsIndex) -> builtins.set[_S]: ...
    def sscan(  # type: ignore[override]
        self, key: _Value, cursor: SupportsIndex = 0, match: str | bytes | None = None, count: int | None = None
    ) -> tuple[int, list[_S]]: ...
    def sscan_iter(
        self, key: _Value, match: str | bytes | None = None, count: int | None = None
    ) -> Iterator[_S]:
        """The members of the set, fetched `count` steps at a time with the
        guarantee of `sscan`."""
    def keys(self, pattern: str = "*") -> list[_S]: ...  # type: ignore[override]
    def scan(  # type: ignore[override]
        self,
        cursor: SupportsIndex = 0,
        match: str | bytes | None = None,
        count: int | None = None,
        type: _KeyKind | None = None,
    ) -> tuple[int, list[_S]]: ...
    def scan_iter(  # type: ignore[override]
        self, match: str | bytes | None = None, count: int | None = None, type: _KeyKind | None = None
    ) -> Iterator[_S]: ...
    def randomkey(self) -> _S | None: ...  # type: ignore[override]
    def getrange(self, key: _Value, start: SupportsIndex, end: SupportsIndex) -> _S: ...  # type: ignore[override]
    def getex(  # type: ignore[override]
        self,
        key: _Value,
        ex: int | None = None,
        px: int | None = None,
        exat: int | None = None,
        pxat: int | None = None,
        persist: bool = False,
    ) -> _S | None: ...

    # JSON.
    def get_json(self, key: _Value, default: Any = None) -> Any:
        """The JSON value stored under `key`, or `default` when the key is
        absent. Raises ValueError naming the key when the stored bytes are not
        valid JSON, TypeError when the key holds a hash, list or set."""
    def set_json(
        self,
        key: _Value,
        value: Any,
        *,
        ex: int | None = None,
        px: int | None = None,
        nx: bool = False,
        xx: bool = False,
    ) -> bool:
        """Stores `value` as compact JSON with sorted object keys; options as
        for `set`. Raises TypeError, storing nothing, when JSON cannot encode
        the value."""

    # The mapping interface (over string values; keys of every kind).
    def __getitem__(self, key: _Value, /) -> _S: ...  # type: ignore[override]
    def __setitem__(self, key: _Value, value: _Value, /) -> None: ...
    def __delitem__(self, key: _Value, /) -> None: ...
    def __contains__(self, key: object) -> bool: ...
    def __iter__(self) -> Iterator[_S]: ...
    def items(self) -> ItemsView[_S, _S]:
        """A view of (key, value) pairs of the string keys; a key removed or
        expired while the view is iterated is left out."""
    def values(self) -> ValuesView[_S]:
        """A view of the values of the string keys; a key removed or expired
        while the view is iterated is left out."""
    def __len__(self) -> int: ...
    def clear(self) -> None:
        """Removes every key at once (one flush)."""
    def setdefault(self, key: _Value, default: _V) -> _S | _V:
        """The value of `key`; when absent, stores `default` (only if the key
        is still absent at that moment) and returns it. There is no None
        default: None cannot be stored."""

    # Identity, not content.
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

    def memoize(
        self,
        ttl: float | None = None,
        *,
        key: Callable[..., str | bytes | int] | None = None,
        typed: bool = False,
        serializer: Literal["json", "pickle"] | _Serializer = "json",
    ) -> Callable[[Callable[_P, _R]], _Memoized[_P, _R]]:
        """Decorator: keeps the results of a function, method or coroutine
        function in this cache, computing each at most once at a time."""
