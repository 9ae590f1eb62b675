"""The type stubs: strict mypy accepts correct use, rejects misuse, and the
stubs agree with the signatures the extension publishes at run time."""

import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import mevora
from mevora import _mevora

pytest.importorskip("mypy")

REPO_PYTHON = pathlib.Path(__file__).resolve().parent.parent / "python"


def stub_root():
    """The directory holding the `mevora` package whose stubs are checked:
    the imported package when it ships them, else the source tree."""
    imported = pathlib.Path(mevora.__file__).resolve().parent
    if (imported / "_mevora.pyi").exists():
        return imported.parent
    if (REPO_PYTHON / "mevora" / "_mevora.pyi").exists():
        return REPO_PYTHON
    pytest.fail("no _mevora.pyi next to the imported package or in the source tree")


def installed(root):
    """True when root is where the interpreter installs packages: mypy finds
    those by itself (and refuses them on MYPYPATH)."""
    import site
    import sysconfig

    candidates = set(site.getsitepackages()) | {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}
    if hasattr(site, "getusersitepackages"):
        candidates.add(site.getusersitepackages())
    return any(pathlib.Path(c).resolve() == root.resolve() for c in candidates)


def run_tool(args, cwd):
    env = dict(os.environ)
    root = stub_root()
    runtime_root = pathlib.Path(mevora.__file__).resolve().parent.parent
    if not installed(root):
        env["MYPYPATH"] = str(root)
        # The runtime package first, so stubtest introspects the module under test.
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(runtime_root), env.get("PYTHONPATH")) if p)
    # Under a sanitizer build the leak checker would report what mypy and its
    # compiled dependencies leave behind at exit, which is not ours to fix;
    # memory errors in these processes are still caught.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300)


def mypy(tmp_path, source):
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent(source))
    result = run_tool(["mypy", "--strict", "--python-version", "3.10", "--cache-dir", os.devnull, "--no-color-output",
                       "--show-error-codes", str(program)], tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    return result, errors


GOOD = """
    import pathlib

    from mevora import Cache, CacheLockedError, CorruptDataError, Server, Transaction, WatchError


    class Index:
        def __index__(self) -> int:
            return 2


    def use(c: Cache) -> None:
        counts: dict[str, int] = {"a": 1}
        c.mset(counts)
        c.mset({b"x": 1.5, "y": "z", 3: b"w"})
        value: bytes | None = c.get("a")
        n: int = c.incr("n", Index()) + c.decr("n") + c.append("s", b"x")
        ok: bool = c.set("k", 1, ex=10, nx=True) and c.exists(b"k") and c.expire("k", 5) and c.persist("k")
        ok = c.set("k", 2, keepttl=True) or c.set("k", 3, exat=2_000_000_000, xx=True)
        previous: bytes | None = c.set("k", 4, get=True, pxat=2_000_000_000_000)
        previous = c.getset("k", 5) or c.getdel("k")
        ttl: int = c.ttl("k") + c.pttl("k") + c.delete("a", b"b", 3)
        values: list[bytes | None] = c.mget(["a", "b"])
        values = c.mget("ab")
        keys: list[bytes] = c.keys() + c.keys(pattern="a*")
        fields: dict[bytes, bytes] = c.hgetall("h")
        new: bool = c.hset("h", "f", 1)
        field: bytes | None = c.hget("h", "f")
        n = c.hdel("h", "f", "g") + c.hlen("h")
        n = c.lpush("l", "a", 1) + c.rpush("l") + c.llen("l")
        items: list[bytes] = c.lrange("l", 0, Index())
        popped: bytes | None = c.lpop("l") or c.rpop("l")
        members: set[bytes] = c.smembers("s")
        n = c.sadd("s", "a", b"b") + c.srem("s", "a") + c.scard("s")
        member: bool = c.sismember("s", "a")
        c.flush()
        size: int = len(c) + c.used_memory
        persistent: bool = c.persistent
        stats = c.persist_stats
        if stats is not None:
            error: str | None = stats["last_error"]
            saved: int = stats["last_save_ms"] + stats["wal_bytes"]
        c.save()
        c.close()
        print(value, n, ok, ttl, values, keys, fields, new, field, items, popped, members, member, size,
              persistent)


    def transfer(c: Cache) -> list[object] | None:
        try:
            with c.transaction(watch=["a", b"b", 3]) as tx:
                same: Transaction = tx
                same.set("a", 1, ex=5, nx=True)
                tx.incr("n", Index())
                tx.mset({"x": 1})
                tx.mget(["a", "x"])
                tx.delete("a", "b")
                tx.rename("x", "y")
                tx.lmove("l", "m", "left", "right")
                tx.hmset("h", {"f": 1})
                tx.msetnx({"p": 2})
                tx.hincrbyfloat("h", "g", 0.5)
                tx.lpos("l", "v", count=Index())
                tx.scan(0, match="a*", type="string")
                tx.getex("y", persist=True)
                tx.type("y")
        except WatchError:
            return None
        return tx.results


    def serve() -> None:
        c = Cache(max_memory=1 << 20, policy="allkeys-lru", shards=1, fsync="never", snapshot_interval=0)
        server = Server(c, host="127.0.0.1", port=0, password=None)
        server.start()
        port: int = server.port
        running: bool = server.running
        server.stop()
        limited = Server(c, port=0, password="pw", max_clients=100, idle_timeout=30)
        derived = Server(c, max_clients=None, idle_timeout=0)
        print(port, running, limited.running, derived.port)


    def open_dir(path: pathlib.Path) -> Cache | None:
        try:
            return Cache(persist_dir=path)
        except CacheLockedError as e:
            print(e.errno)
        except CorruptDataError as e:
            print(e.args)
        return None


    class Mine(Cache):
        pass


    use(Mine(persist_dir="/tmp/x"))
"""


def test_correct_use_passes_strict_mypy(tmp_path):
    result, errors = mypy(tmp_path, GOOD)
    assert errors == [], result.stdout
    assert result.returncode == 0, result.stdout + result.stderr


# Each line marked "# E" must draw an error, and no other line may.
BAD = """
    from mevora import Cache, Server

    c = Cache()
    c.get("k") + 1  # E
    c.set("k", None)  # E
    c.set("k", [1])  # E
    c.get(bytearray(b"k"))  # E
    c.mget(5)  # E
    c.mset([("a", 1)])  # E
    c.mset({"a": None})  # E
    c.hgetall("h")["f"]  # E
    c.smembers("s").append(b"x")  # E
    c.keys(b"*")  # E
    c.lrange("l", 0.5, 1)  # E
    c.incr("k", 1.5)  # E
    c.expire("k", 1.5)  # E
    c.used_memory = 5  # E
    Cache(persist_dir=b"/tmp")  # E
    Cache(shards="64")  # E
    c.flush(1)  # E
    c.lpush("l", None)  # E
    Server(c, password=b"pw")  # E
    Server(c, port="6380")  # E
    Server("not a cache")  # E
    Server(c, max_clients="10")  # E
    Server(c, idle_timeout=1.5)  # E
    text: str = c.lpop("l")  # E
    flag: bool = c.set("k", 1, get=True)  # E
    wal: int = c.persist_stats["wal_bytes"]  # E
    count: str = len(c)  # E
    c.nosuchmethod()  # E
    with c.transaction() as tx:
        tx.scan_iter()  # E
        tx.rename("a")  # E
        tx.lmove("a", "b", "up", "left")  # E
"""


def test_misuse_fails_strict_mypy(tmp_path):
    result, errors = mypy(tmp_path, BAD)
    assert result.returncode == 1, result.stdout + result.stderr
    source_lines = (tmp_path / "program.py").read_text().splitlines()
    marked = {i + 1 for i, line in enumerate(source_lines) if line.endswith("# E")}
    flagged = {int(m.group(1)) for m in (re.search(r"program\.py:(\d+):", e) for e in errors) if m}
    assert flagged == marked, result.stdout


LAYER_GOOD = """
    import asyncio
    from collections.abc import MutableMapping

    from mevora import Cache, Server
    from mevora import _mevora


    def raw(c: _mevora.Cache) -> bytes | None:
        return c.get("k")


    b = Cache()
    t = Cache(shards=4, encoding="utf-8", errors="replace")
    raw(b)
    raw(t)
    Server(t, port=0)
    mapping: MutableMapping[str, str] = t
    bmapping: MutableMapping[bytes, bytes] = b
    value_b: bytes | None = b.get("k")
    value_t: str | None = t.get("k")
    item_b: bytes = b["k"]
    item_t: str = t["k"]
    b["k"] = 1
    t[b"k"] = "v"
    del t["k"]
    present: bool = "k" in t
    keys_t: list[str] = t.keys() + list(t) + list(t.scan_iter(match="a*", type="hash"))
    keys_b: list[bytes] = b.keys() + list(b)
    cursor, page = t.scan(0, count=100)
    page_t: list[str] = page
    fields: dict[str, str] = t.hgetall("h")
    members: set[str] = t.smembers("s")
    items: list[str] = t.lrange("l", 0, -1)
    popped: str | None = t.lpop("l")
    many: list[str | None] = t.mget(["a", "b"])
    stored: bool = t.set_json("j", {"a": [1]}, ex=5, nx=True)
    loaded = t.get_json("j", default={})
    got: str | bytes = t.setdefault("d", b"x")
    t.clear()
    encoding: str | None = t.encoding


    @t.memoize(ttl=5, typed=True, serializer="pickle")
    def area(w: int, h: int = 1) -> list[int]:
        return [w * h]


    result: list[int] = area(2, h=3)
    area.cache_clear()
    key: str = area.cache_key(2)
    original = area.__wrapped__


    class Shop:
        @b.memoize(key=lambda self, amount: str(amount))
        def price(self, amount: float) -> float:
            return amount


    price: float = Shop().price(2.5)


    @b.memoize()
    async def fetch(url: str) -> bytes:
        return b""


    async def main() -> None:
        body: bytes = await fetch("x")
        print(body)


    asyncio.run(main())
    print(mapping, bmapping, value_b, value_t, item_b, item_t, present, keys_t, keys_b, cursor,
          page_t, fields, members, items, popped, many, stored, loaded, got, encoding, result, key, original, price)
"""


def test_python_layer_passes_strict_mypy(tmp_path):
    result, errors = mypy(tmp_path, LAYER_GOOD)
    assert errors == [], result.stdout
    assert result.returncode == 0, result.stdout + result.stderr


# Each line marked "# E" must draw an error, and no other line may.
LAYER_BAD = """
    from mevora import Cache

    b = Cache()
    t = Cache(encoding="utf-8")
    text: str | None = b.get("k")  # E
    data: bytes | None = t.get("k")  # E
    t.get("k") + b""  # E
    item: bytes = t["k"]  # E
    keys: list[bytes] = t.keys()  # E
    Cache(encoding=1)  # E
    b.set_json("k", 1, 5)  # E
    t["k"] = None  # E
    t.memoize(ttl="1")  # E
    t.memoize(serializer="yaml")  # E


    @t.memoize()
    def area(w: int, h: int = 1) -> int:
        return w * h


    area("2")  # E
    area(1, z=2)  # E
    s: str = area(1)  # E
    area.cache_key(1, 2, 3)  # E
    area.nothing()  # E
"""


def test_python_layer_misuse_fails_strict_mypy(tmp_path):
    result, errors = mypy(tmp_path, LAYER_BAD)
    assert result.returncode == 1, result.stdout + result.stderr
    source_lines = (tmp_path / "program.py").read_text().splitlines()
    marked = {i + 1 for i, line in enumerate(source_lines) if line.endswith("# E")}
    flagged = {int(m.group(1)) for m in (re.search(r"program\.py:(\d+):", e) for e in errors) if m}
    assert flagged == marked, result.stdout


def test_stubs_match_the_runtime_signatures(tmp_path):
    if not hasattr(_mevora, "Server"):
        pytest.skip("the extension was built without Server")
    help_text = run_tool(["mypy.stubtest", "--help"], tmp_path).stdout
    # Cache and Server have no instance dict; the stubs do not mark that.
    extra = ["--ignore-disjoint-bases"] if "--ignore-disjoint-bases" in help_text else []
    result = run_tool(["mypy.stubtest", *extra, "mevora._mevora", "mevora._cache"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
