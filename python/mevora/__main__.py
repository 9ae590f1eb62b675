"""Run a mevora RESP2 server: ``python -m mevora [options]``.

Serves one cache (in memory, or persistent with ``--dir``) until SIGINT or
SIGTERM, then stops the server and closes the cache cleanly. Prints one line,
"mevora listening on HOST:PORT", once it accepts connections (with
``--port 0`` the port is the one the system picked).
"""

import argparse
import signal
import sys

from mevora._mevora import Cache, CorruptDataError, Server

_FSYNC_CHOICES = ("always", "everysec", "never")
_POLICY_CHOICES = ("noeviction", "allkeys-lru", "volatile-lru")
_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


def _parser():
    p = argparse.ArgumentParser(
        prog="python -m mevora",
        description="Serve a mevora cache over TCP (RESP2) until SIGINT or SIGTERM.",
    )
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    p.add_argument("--port", type=int, default=6380, help="port to listen on; 0 picks a free one (default: %(default)s)")
    p.add_argument("--dir", default=None, help="data directory; without it the cache lives in memory only")
    p.add_argument("--fsync", choices=_FSYNC_CHOICES, default="everysec", help="write-ahead log flush policy (default: %(default)s)")
    p.add_argument(
        "--snapshot-interval",
        type=int,
        default=300,
        help="seconds between background snapshots; 0 disables them (default: %(default)s)",
    )
    p.add_argument("--max-memory", type=int, default=0, help="memory limit in bytes; 0 means unlimited (default: %(default)s)")
    p.add_argument("--policy", choices=_POLICY_CHOICES, default="noeviction", help="eviction policy (default: %(default)s)")
    p.add_argument("--shards", type=int, default=64, help="number of shards, a power of two (default: %(default)s)")
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


def _display(host, port):
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["repair"]:  # python -m mevora repair DIR [--yes]
        from mevora._repair import main as repair_main

        return repair_main(argv[1:])
    parser = _parser()
    args = parser.parse_args(argv)

    password = args.password
    if args.password_file is not None:
        try:
            password = _read_password(args.password_file)
        except (OSError, UnicodeDecodeError) as e:
            parser.error(f"cannot read --password-file: {e}")

    # Block the stop signals before any thread starts (threads inherit the
    # mask), so exactly one place receives them: the sigwait below.
    signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)

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
        print(f"mevora: {e}", file=sys.stderr)
        return 1
    except (ValueError, OverflowError) as e:
        parser.error(str(e))

    try:
        try:
            server = Server(cache, host=args.host, port=args.port, password=password)
        except (ValueError, OverflowError) as e:
            parser.error(str(e))
        try:
            server.start()
        except OSError as e:
            print(f"mevora: {e}", file=sys.stderr)
            return 1
        print(f"mevora listening on {_display(args.host, server.port)}", flush=True)
        signal.sigwait(_STOP_SIGNALS)
        server.stop()
    finally:
        cache.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
