"""``python -m mevora``: serve until SIGINT or SIGTERM, report bind errors
cleanly, and reject bad options the argparse way."""

import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from resp_client import Client, ConnectionClosed, Err

TIMEOUT = 30


def launch(*args):
    return subprocess.Popen(
        [sys.executable, "-m", "mevora", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=dict(os.environ),
        text=True,
    )


def listening_port(proc):
    line = proc.stdout.readline()
    assert line.startswith("mevora listening on 127.0.0.1:"), (line, proc.stderr.read() if proc.poll() else "")
    port = int(line.rsplit(":", 1)[1])
    assert port != 0
    return port


def finish(proc, sig):
    proc.send_signal(sig)
    try:
        out, err = proc.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise
    return proc.returncode, out, err


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_serves_until_a_stop_signal(sig):
    # At log level warning a clean run writes nothing to stderr.
    proc = launch("--port", "0", "--shards", "4", "--log-level", "warning")
    try:
        port = listening_port(proc)
        with Client(port) as k:
            assert k.call("SET", "k", "v") == "OK"
            assert k.call("GET", "k") == b"v"
            idle = Client(port)
            assert idle.call("PING") == "PONG"
        rc, out, err = finish(proc, sig)
        assert rc == 0, err
        assert out == ""  # exactly one line was printed, and it was read above
        assert err == ""
        assert idle.is_closed_by_server()
        idle.close()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def test_password_file(tmp_path):
    secret = tmp_path / "pw"
    secret.write_text("hunter2\n")
    proc = launch("--port", "0", "--password-file", str(secret))
    try:
        port = listening_port(proc)
        with Client(port) as k:
            assert k.call("PING") == Err("NOAUTH Authentication required.")
            assert k.call("AUTH", "hunter2\n") == Err("WRONGPASS invalid password")
            assert k.call("AUTH", "hunter2") == "OK"
            assert k.call("PING") == "PONG"
        rc, _, err = finish(proc, signal.SIGTERM)
        assert rc == 0, err
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def test_port_in_use_exits_with_the_bind_error():
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        proc = launch("--port", str(port))
        out, err = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode != 0
    assert out == ""
    assert f"cannot bind 127.0.0.1:{port}: " in err
    assert "Traceback" not in err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--port", "70000"], "port must be between 0 and 65535"),
        (["--port", "x"], "invalid int value"),
        (["--fsync", "sometimes"], "invalid choice"),
        (["--policy", "lru"], "invalid choice"),
        (["--shards", "3"], "shards must be a power of two"),
        (["--password", ""], "password must not be empty"),
        (["--password", "a", "--password-file", "f"], "not allowed with argument"),
        (["--password-file", "/nonexistent/pw"], "cannot read --password-file"),
        (["--bogus"], "unrecognized arguments"),
        (["--max-clients", "0"], "--max-clients must be >= 1"),
        (["--timeout", "-1"], "--timeout must be >= 0"),
        (["--timeout", "1.5"], "invalid int value"),
    ],
)
def test_bad_options_are_usage_errors(args, message):
    proc = launch(*args)
    out, err = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode == 2
    assert out == ""
    assert err.startswith("usage: ")
    assert message in err
    assert "Traceback" not in err


def test_help_mentions_every_option():
    proc = launch("--help")
    out, _ = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode == 0
    for option in [
        "--host",
        "--port",
        "--dir",
        "--fsync",
        "--snapshot-interval",
        "--max-memory",
        "--policy",
        "--shards",
        "--password-file",
        "--password",
        "--max-clients",
        "--timeout",
    ]:
        assert option in out
    assert "process list" in out


def test_max_clients_and_timeout_options():
    proc = launch("--port", "0", "--shards", "4", "--max-clients", "1", "--timeout", "1")
    try:
        port = listening_port(proc)
        with Client(port) as first:
            assert first.call("PING") == "PONG"
            with Client(port) as second:
                assert second.read_all_until_close() == b"-ERR max number of clients reached\r\n"
            assert first.is_closed_by_server()  # idle for a second
        # Its place is free again once its thread has ended.
        for _ in range(1000):
            try:
                with Client(port) as later:
                    reply = later.call("PING")
            except (ConnectionResetError, ConnectionClosed):
                reply = None  # turned away before the request was read
            if reply == "PONG":
                break
            assert reply in (None, Err("ERR max number of clients reached"))
            time.sleep(0.01)
        assert reply == "PONG"
        rc, _, err = finish(proc, signal.SIGTERM)
        assert rc == 0, err
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
