import pytest

from mevora import Cache


@pytest.fixture
def cache():
    """A small in-memory cache with one shard, so memory figures are exact."""
    c = Cache(shards=1)
    yield c
    c.close()


@pytest.fixture
def big():
    """The default in-memory cache (64 shards)."""
    c = Cache()
    yield c
    c.close()
