"""Every background thread a cache or a server starts is joined when the
cache is closed or dropped and the server is stopped: afterwards no thread
named "mevora-..." is left, whatever the order of the shutdown steps, even
with a background save in the middle of its work."""

import gc
import time

import pytest

from mevora import Cache, Server
from resp_client import Client, thread_names

EVERY_KIND = {
    "mevora-sweeper",
    "mevora-heal",
    "mevora-fsync",
    "mevora-snapshot",
    "mevora-bgsave",
    "mevora-accept",
    "mevora-conn",
}


def mevora_threads():
    return sorted(n for n in thread_names() if n.startswith("mevora-"))


def left_over(before):
    """The mevora threads alive now that were not alive before. A joined
    thread can stay listed for a moment while the kernel reaps it, so a few
    quick re-reads are allowed; a thread that ends on its own (after a sleep
    or a save) takes far longer than that."""
    extra = []
    for _ in range(20):
        extra = [n for n in mevora_threads() if n not in before]
        if not extra:
            break
        time.sleep(0.001)
    return extra


# Each shutdown gets the only references to the cache and the server in
# `owned` and takes them out as it goes.


def stop_server_then_drop_cache(owned):
    owned["server"].stop()
    del owned["server"]
    owned["cache"].close()
    del owned["cache"]


def drop_cache_then_stop_server(owned):
    # The server keeps the store alive; stopping and dropping it is what
    # releases the store's last reference.
    del owned["cache"]
    owned["server"].stop()
    del owned["server"]


def close_cache_then_stop_server(owned):
    # close waits for the running background save.
    owned["cache"].close()
    del owned["cache"]
    owned["server"].stop()
    del owned["server"]


def drop_both_without_stop_or_close(owned):
    # Dropping a running server stops it; dropping the cache drops the store.
    del owned["server"]
    del owned["cache"]


@pytest.mark.parametrize(
    "shutdown",
    [stop_server_then_drop_cache, drop_cache_then_stop_server, close_cache_then_stop_server,
     drop_both_without_stop_or_close],
)
def test_no_thread_survives_the_shutdown(tmp_path, shutdown):
    gc.collect()
    before = mevora_threads()
    cache = Cache(persist_dir=tmp_path, fsync="everysec", snapshot_interval=1)
    # Enough data that a save takes a while, so the background save is
    # still running when the shutdown begins.
    value = "v" * 100
    for start in range(0, 300_000, 10_000):
        cache.mset({f"key{i}": value for i in range(start, start + 10_000)})
    cache.set("due", "x")
    cache.pexpire("due", 1)
    server = Server(cache, port=0)
    server.start()
    client = Client(server.port)
    try:
        for _ in range(50):
            assert client.call("BGSAVE", "SCHEDULE") in ("Background saving started",
                                                         "Background save already in progress")
            running = set(mevora_threads())
            if EVERY_KIND <= running:
                break
        else:
            pytest.fail(f"not every kind of thread ran at once: {sorted(EVERY_KIND - running)} missing")
        owned = {"cache": cache, "server": server}
        del cache, server
        shutdown(owned)
        gc.collect()
        assert left_over(before) == []
    finally:
        client.close()
