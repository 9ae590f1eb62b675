"""Run a mevora RESP2 server: ``python -m mevora [options]``.

Serves one cache (in memory, or persistent with ``--dir``) until SIGINT or
SIGTERM, then stops the server and closes the cache cleanly.

Standard output carries exactly one line, "mevora listening on HOST:PORT",
once the server accepts connections (with ``--port 0`` the port is the one
the system picked), so that a script can wait for it. Standard error is the
log: one timestamped line per event (listening, the data directory opened
with the number of keys loaded and any recovery note, each persistence
error as it appears, stopping), never one per request.
"""

import argparse
import logging
import os
import shutil
import signal
import sys
import time
from dataclasses import dataclass
from typing import Callable

from mevora._mevora import Cache, CorruptDataError, Server
from mevora._sizes import parse_size

_FSYNC_CHOICES = ("always", "everysec", "never")
_POLICY_CHOICES = ("noeviction", "allkeys-lru", "volatile-lru")
_LOG_LEVELS = ("debug", "info", "warning", "error")
_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}
_POLL_SECONDS = 1.0  # how often persistence errors are looked for

_I64_MAX = 2**63 - 1
_U64_MAX = 2**64 - 1

log = logging.getLogger("mevora")


def _size(text):
    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _is_power_of_two(n):
    return n > 0 and n & (n - 1) == 0


@dataclass(frozen=True)
class NumberOption:
    """A numeric command-line option and the range it accepts.

    Parsing and range checks happen here, so that a bad value is reported
    with the option's own name before anything is created. ``high`` of
    _I64_MAX or _U64_MAX is only the width of the integer the cache keeps,
    so the message then states the lower bound alone.
    """

    flag: str
    default: int | None  # None: not given, the library chooses
    help: str
    low: int = 0
    high: int = _I64_MAX
    parse: Callable[[str], int] = int
    metavar: str = "N"
    rule: str = ""  # the whole rule, when the range does not say it all
    valid: Callable[[int], bool] = lambda n: True

    @property
    def dest(self):
        return self.flag[2:].replace("-", "_")

    def problem(self, n):
        """None when ``n`` is acceptable, else the message for the operator."""
        if n is None:
            return None
        if self.low <= n <= self.high and self.valid(n):
            return None
        if self.rule:
            return f"{self.flag} must be {self.rule}"
        if self.high in (_I64_MAX, _U64_MAX):
            return f"{self.flag} must be >= {self.low}" if n < self.low else f"{self.flag} must be <= {self.high}"
        return f"{self.flag} must be between {self.low} and {self.high}"


# One row per numeric option.
NUMBER_OPTIONS = (
    NumberOption("--port", 6380, "port to listen on; 0 picks a free one", high=65535, metavar="PORT"),
    NumberOption("--snapshot-interval", 300, "seconds between background snapshots; 0 disables them", metavar="SECONDS"),
    NumberOption(
        "--max-memory",
        0,
        "memory limit in bytes, or with a unit k, m, g or t, each a power of 1024 (64k, 512mb, 1GB); 0 means unlimited",
        high=_U64_MAX,
        parse=_size,
        metavar="SIZE",
    ),
    NumberOption(
        "--shards",
        64,
        "number of shards, a power of two",
        low=1,
        high=65536,
        rule="a power of two between 1 and 65536",
        valid=_is_power_of_two,
    ),
    NumberOption(
        "--max-clients",
        None,
        "most connections served at once; by default derived from the open-file limit",
        low=1,
    ),
    NumberOption("--timeout", 0, "close a connection idle this many seconds; 0 never does", metavar="SECONDS"),
)


def _version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("mevora")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "unknown"


def _parser():
    p = argparse.ArgumentParser(
        prog="python -m mevora",
        description="Serve a mevora cache over TCP (RESP2) until SIGINT or SIGTERM.",
    )
    # What to run: serving, unless a subcommand's parser sets its own `run`
    # (set_defaults(run=...)); main() calls args.run(args, parser).
    p.set_defaults(run=_serve)
    p.add_argument("--version", action="version", version=f"mevora {_version()}")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    p.add_argument("--dir", default=None, help="data directory; without it the cache lives in memory only")
    p.add_argument("--fsync", choices=_FSYNC_CHOICES, default="everysec", help="write-ahead log flush policy (default: %(default)s)")
    p.add_argument("--policy", choices=_POLICY_CHOICES, default="noeviction", help="eviction policy (default: %(default)s)")
    for o in NUMBER_OPTIONS:
        shown = "" if o.default is None else " (default: %(default)s)"
        p.add_argument(o.flag, type=o.parse, default=o.default, metavar=o.metavar, help=o.help + shown)
    p.add_argument("--log-level", type=str.lower, choices=_LOG_LEVELS, default="info", help="least severe log events shown on stderr (default: %(default)s)")
    auth = p.add_mutually_exclusive_group()
    auth.add_argument(
        "--password-file",
        metavar="PATH",
        default=None,
        help="read the password clients must send with AUTH from this file (one trailing newline is ignored)",
    )
    auth.add_argument(
        "--password",
        default=None,
        help="password clients must send with AUTH; visible to other local users via the process list, "
        "prefer --password-file",
    )
    return p


def _read_password(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if text.endswith("\r\n"):
        return text[:-2]
    if text.endswith("\n"):
        return text[:-1]
    return text


def _password(args, parser):
    """The password from --password or --password-file, checked; None without one."""
    if args.password_file is None:
        if args.password == "":
            parser.error("--password must not be empty")
        return args.password
    try:
        password = _read_password(args.password_file)
    except (OSError, UnicodeDecodeError) as e:
        parser.error(f"cannot read --password-file: {e}")
    if password == "":
        parser.error(f"--password-file {args.password_file} holds an empty password")
    return password


def _check_options(args, parser):
    """Everything about the options that can be known before a data directory
    is created or a port is bound."""
    for o in NUMBER_OPTIONS:
        problem = o.problem(getattr(args, o.dest))
        if problem is not None:
            parser.error(problem)
    if args.dir is not None and os.path.exists(args.dir) and not os.path.isdir(args.dir):
        parser.error(f"--dir {args.dir} is not a directory")


def _display(host, port):
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def _setup_logging(level):
    handler = logging.StreamHandler(sys.stderr)
    formatter = logging.Formatter("%(asctime)s.%(msecs)03dZ %(levelname)s %(message)s", datefmt="%Y-%m-%dT%H:%M:%S")
    formatter.converter = time.gmtime
    handler.setFormatter(formatter)
    log.addHandler(handler)
    log.setLevel(level.upper())
    log.propagate = False


def _outermost_missing(path):
    """The outermost directory on the way to ``path`` that does not exist
    yet (``path`` itself when only it is missing), or None if it exists."""
    path = os.path.abspath(path)
    missing = None
    while not os.path.lexists(path):
        missing = path
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    return missing


def _remove_empty_dirs(deepest, outermost):
    """Removes ``deepest`` and its parents up to ``outermost`` while they are
    empty: what a failed open may have created, and nothing anyone wrote."""
    path = os.path.abspath(deepest)
    while True:
        try:
            os.rmdir(path)
        except OSError:
            return
        if path == outermost:
            return
        path = os.path.dirname(path)


class _PersistWatch:
    """Logs each change of the cache's last persistence error."""

    def __init__(self, cache):
        self._cache = cache
        stats = cache.persist_stats
        self._last = None if stats is None else stats["last_error"]

    def poll(self):
        stats = self._cache.persist_stats
        if stats is None or stats["last_error"] == self._last:
            return
        self._last = stats["last_error"]
        if self._last is None:
            log.info("persistence error cleared")
        else:
            log.error("persistence error: %s", self._last)


def _open_cache(args):
    """The cache the options describe and the outermost directory this call
    created for it (None when it created none); (None, None), after logging
    why, if the data directory cannot be opened. A failed open leaves behind
    no directory it created."""
    created = None if args.dir is None else _outermost_missing(args.dir)
    try:
        cache = Cache(
            max_memory=args.max_memory,
            policy=args.policy,
            shards=args.shards,
            persist_dir=args.dir,
            fsync=args.fsync,
            snapshot_interval=args.snapshot_interval,
        )
    except (OSError, CorruptDataError) as e:  # the data directory, not the options
        log.error("%s", e)
        if created is not None:
            _remove_empty_dirs(args.dir, created)
        return None, None
    stats = cache.persist_stats
    if stats is not None:
        log.info("data directory %s opened, keys loaded: %d", os.path.abspath(args.dir), stats["loaded_keys"])
        if stats["last_error"] is not None:
            log.warning("recovery: %s", stats["last_error"])
    return cache, created


def _serve(args, parser):
    _check_options(args, parser)
    password = _password(args, parser)
    _setup_logging(args.log_level)

    # Block the stop signals before any thread starts (threads inherit the
    # mask), so exactly one place receives them: the wait below.
    signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)

    cache, created = _open_cache(args)
    if cache is None:
        return 1
    watch = _PersistWatch(cache)  # from the state the open just logged
    try:
        server = Server(
            cache,
            host=args.host,
            port=args.port,
            password=password,
            max_clients=args.max_clients,
            idle_timeout=args.timeout,
        )
        server.start()
    except OSError as e:
        cache.close()
        log.error("%s", e)
        if created is not None:  # made by this start, under its lock: nobody else's files
            shutil.rmtree(created, ignore_errors=True)
        return 1
    except BaseException:
        cache.close()
        raise

    try:
        line = f"mevora listening on {_display(args.host, server.port)}"
        print(line, flush=True)
        log.info("%s", line)
        while (received := signal.sigtimedwait(_STOP_SIGNALS, _POLL_SECONDS)) is None:
            watch.poll()
        log.info("%s received, stopping", signal.Signals(received.si_signo).name)
        server.stop()
    finally:
        cache.close()
    watch.poll()  # a failed final save shows up here
    log.info("stopped")
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["repair"]:  # python -m mevora repair DIR [--yes]: a parser of its own
        from mevora._repair import main as repair_main

        return repair_main(argv[1:])
    parser = _parser()
    args = parser.parse_args(argv)
    return args.run(args, parser)


if __name__ == "__main__":
    sys.exit(main())
