from mevora._cache import Cache as Cache
from mevora._mevora import CacheLockedError as CacheLockedError
from mevora._mevora import CorruptDataError as CorruptDataError
from mevora._mevora import Server as Server
from mevora._mevora import Transaction as Transaction
from mevora._mevora import WatchError as WatchError

__all__ = ["Cache", "Server", "CacheLockedError", "CorruptDataError", "Transaction", "WatchError"]
