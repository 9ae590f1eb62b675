"""mevora: an embeddable in-memory key-value cache with a C++ core.

``Cache`` stores strings, hashes, lists and sets under byte-string keys, with
per-key time-to-live, an optional memory limit with sampled-LRU eviction and
optional durability in a data directory. ``mevora.Cache`` adds text decoding
(``encoding=``), JSON, a mapping interface and ``memoize`` to the
bytes-level ``mevora._mevora.Cache``.
"""

from mevora._mevora import *  # noqa: F401,F403
from mevora._mevora import __all__ as __all__  # noqa: F401
from mevora._cache import Cache as Cache  # noqa: E402  (replaces the bytes-level class)
from mevora._repair import repair as repair  # noqa: E402,F401
