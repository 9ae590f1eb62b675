"""``python -m mevora`` as an operator runs it: the log on stderr, option
errors that name the option, size units, --version, and no data directory
left behind by a start that failed."""

import os
import re
import selectors
import signal
import socket
import subprocess
import time
from importlib.metadata import version

import pytest

from mevora._sizes import parse_size
from resp_client import Client, Err
from test_main import TIMEOUT, finish, launch, listening_port

# One log line: an ISO 8601 UTC timestamp with milliseconds, the level, the event.
LOG_LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (DEBUG|INFO|WARNING|ERROR|CRITICAL) (.+)")


def events(lines):
    """(level, message) of every line; fails on a line that is not a log line."""
    out = []
    for line in lines:
        m = LOG_LINE.fullmatch(line)
        assert m, f"not a log line: {line!r}"
        out.append((m.group(1), m.group(2)))
    return out


class Log:
    """Reads a running server's stderr line by line, with a deadline (from
    the descriptor itself: a buffered reader would hide lines from select)."""

    def __init__(self, proc):
        self.proc = proc
        self.lines = []
        self.partial = b""
        self.sel = selectors.DefaultSelector()
        self.sel.register(proc.stderr.fileno(), selectors.EVENT_READ)

    def wait_for(self, level, message):
        """Waits until a line with this level and message (a regular
        expression matched against the whole message) has been logged."""
        deadline = time.monotonic() + TIMEOUT
        while not any(self._is(line, level, message) for line in self.lines):
            left = deadline - time.monotonic()
            assert left > 0 and self.sel.select(left), f"no {level} {message!r} in {self.lines}"
            chunk = os.read(self.proc.stderr.fileno(), 65536)
            assert chunk, f"stderr closed before {level} {message!r}: {self.lines}"
            *complete, self.partial = (self.partial + chunk).split(b"\n")
            self.lines += [line.decode() for line in complete]

    def rest(self, err):
        self.lines += (self.partial.decode() + err).splitlines()
        self.sel.close()

    def events(self):
        return events(self.lines)

    @staticmethod
    def _is(line, level, message):
        m = LOG_LINE.fullmatch(line)
        return m is not None and m.group(1) == level and re.fullmatch(message, m.group(2)) is not None


@pytest.fixture
def running():
    """Starts `python -m mevora ARGS`; kills it at the end if a test did not stop it."""
    procs = []

    def start(*args):
        proc = launch("--port", "0", "--shards", "4", *args)
        procs.append(proc)
        return proc

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def test_log_of_a_persistent_server(running, tmp_path):
    data = tmp_path / "data"
    proc = running("--dir", str(data))
    port = listening_port(proc)
    log = Log(proc)
    log.wait_for("INFO", f"mevora listening on 127.0.0.1:{port}")
    with Client(port) as k:
        assert k.call("SET", "a", "1") == "OK"
        assert k.call("SET", "b", "2") == "OK"
        # A directory where the snapshot's temporary file goes makes every
        # save fail, whatever the permissions (root ignores those).
        (data / "snapshot.tmp").mkdir()
        assert isinstance(k.call("SAVE"), Err)
        log.wait_for("ERROR", re.escape("persistence error: save failed: Is a directory (os error 21)"))
        (data / "snapshot.tmp").rmdir()
        assert k.call("GET", "x") is None  # requests are not logged
    rc, out, err = finish(proc, signal.SIGTERM)
    assert rc == 0, err
    assert out == ""
    log.rest(err)
    assert log.events() == [
        ("INFO", f"data directory {data} opened, keys loaded: 0"),
        ("INFO", f"mevora listening on 127.0.0.1:{port}"),
        ("ERROR", "persistence error: save failed: Is a directory (os error 21)"),
        ("INFO", "SIGTERM received, stopping"),
        ("INFO", "persistence error cleared"),  # the final save succeeded
        ("INFO", "stopped"),
    ]

    proc = running("--dir", str(data), "--log-level", "INFO")
    port = listening_port(proc)
    rc, _, err = finish(proc, signal.SIGINT)
    assert rc == 0, err
    assert events(err.splitlines()) == [
        ("INFO", f"data directory {data} opened, keys loaded: 2"),
        ("INFO", f"mevora listening on 127.0.0.1:{port}"),
        ("INFO", "SIGINT received, stopping"),
        ("INFO", "stopped"),
    ]


def test_log_of_a_recovery(running, tmp_path):
    data = tmp_path / "data"
    proc = running("--dir", str(data), "--fsync", "always")
    with Client(listening_port(proc)) as k:
        assert k.call("SET", "a", "1") == "OK"
        assert k.call("SET", "b", "2") == "OK"
    proc.kill()  # no final save: the keys are only in the log
    proc.communicate(timeout=TIMEOUT)
    (segment,) = [p for p in data.iterdir() if p.name.startswith("wal-") and p.stat().st_size > 0]
    with open(segment, "ab") as f:
        f.write(b"\x10\x00")  # half a frame header, as a crash in mid-write leaves it

    proc = running("--dir", str(data))
    port = listening_port(proc)
    rc, _, err = finish(proc, signal.SIGTERM)
    assert rc == 0, err
    opened, note, listening = events(err.splitlines())[:3]
    assert opened == ("INFO", f"data directory {data} opened, keys loaded: 2")
    assert note[0] == "WARNING" and note[1].startswith("recovery: ") and segment.name in note[1], note
    assert listening == ("INFO", f"mevora listening on 127.0.0.1:{port}")


def test_log_level_hides_less_severe_events(running, tmp_path):
    proc = running("--dir", str(tmp_path / "d"), "--log-level", "error")
    listening_port(proc)
    rc, out, err = finish(proc, signal.SIGTERM)
    assert (rc, out, err) == (0, "", "")


def test_version():
    proc = launch("--version")
    out, err = proc.communicate(timeout=TIMEOUT)
    assert (proc.returncode, out, err) == (0, f"mevora {version('mevora')}\n", "")


@pytest.mark.parametrize(
    "args, message",
    [
        (["--max-memory", "-5"], "--max-memory must be >= 0"),
        (["--max-memory=-1k"], "--max-memory must be >= 0"),
        (["--max-memory", str(2**64)], "--max-memory must be <= 18446744073709551615"),
        (["--max-memory", "16777216t"], "--max-memory must be <= 18446744073709551615"),
        (["--max-memory", "1.5gb"], "argument --max-memory: invalid size '1.5gb'"),
        (["--max-memory", "12q"], "argument --max-memory: invalid size '12q'"),
        (["--max-memory", "mb"], "argument --max-memory: invalid size 'mb'"),
        (["--snapshot-interval", "-1"], "--snapshot-interval must be >= 0"),
        (["--snapshot-interval", str(2**63)], "--snapshot-interval must be <= 9223372036854775807"),
        (["--snapshot-interval", "5s"], "argument --snapshot-interval: invalid int value: '5s'"),
        (["--port", "-1"], "--port must be between 0 and 65535"),
        (["--port", "65536"], "--port must be between 0 and 65535"),
        (["--shards", "0"], "--shards must be a power of two between 1 and 65536"),
        (["--shards", "-4"], "--shards must be a power of two between 1 and 65536"),
        (["--shards", "131072"], "--shards must be a power of two between 1 and 65536"),
        (["--shards", "48"], "--shards must be a power of two between 1 and 65536"),
        (["--password", ""], "--password must not be empty"),
        (["--log-level", "loud"], "argument --log-level: invalid choice: 'loud'"),
    ],
)
def test_bad_option_names_its_flag(args, message):
    proc = launch(*args)
    out, err = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode == 2
    assert out == ""
    assert err.startswith("usage: ")
    assert err.splitlines()[-1].startswith(f"python -m mevora: error: {message}")


def test_option_errors_name_the_file_options(tmp_path):
    afile = tmp_path / "afile"
    afile.write_text("")
    for args, message in [
        (["--dir", str(afile)], f"--dir {afile} is not a directory"),
        (["--password-file", str(afile)], f"--password-file {afile} holds an empty password"),
    ]:
        proc = launch(*args)
        out, err = proc.communicate(timeout=TIMEOUT)
        assert (proc.returncode, out) == (2, "")
        assert err.endswith(f"error: {message}\n")
    assert os.listdir(tmp_path) == ["afile"]


@pytest.mark.parametrize(
    "text, size",
    [
        ("0", 0),
        ("512", 512),
        ("512b", 512),
        ("64k", 64 * 1024),
        ("64KB", 64 * 1024),
        ("64KiB", 64 * 1024),
        ("512mb", 512 * 1024**2),
        ("512M", 512 * 1024**2),
        ("1gb", 1024**3),
        ("1 GiB", 1024**3),
        ("2t", 2 * 1024**4),
        ("-5", -5),
    ],
)
def test_size_units_are_powers_of_1024(text, size):
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["", "k", "1.5g", "1e6", "64kk", "64 k b", "1p", "0x10", "64bk"])
def test_malformed_sizes_are_refused(text):
    with pytest.raises(ValueError, match="invalid size"):
        parse_size(text)


def test_size_with_a_unit_reaches_the_cache(running):
    # 1k leaves no room for a 2 KiB value; the default (unlimited) would.
    proc = running("--max-memory", "1k")
    port = listening_port(proc)
    with Client(port) as k:
        reply = k.call("SET", "k", "x" * 2048)
        assert isinstance(reply, Err) and reply.text.startswith("OOM "), reply
    rc, _, err = finish(proc, signal.SIGTERM)
    assert rc == 0, err


def _held_port():
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    return holder, ["--port", str(holder.getsockname()[1])]


@pytest.mark.parametrize("where", ["port in use", "address not on this machine"])
def test_failed_start_leaves_no_new_directory(tmp_path, where):
    holder, args = _held_port()
    if where == "address not on this machine":
        # A documentation-only address: resolving and binding it sends nothing.
        args = ["--host", "192.0.2.1", "--port", "0"]
    with holder:
        existing = tmp_path / "existing"
        existing.mkdir()
        for data in (tmp_path / "new" / "nested", existing):
            proc = launch("--dir", str(data), *args)
            out, err = proc.communicate(timeout=TIMEOUT)
            assert proc.returncode == 1
            assert out == ""
            assert "ERROR cannot bind " in err
            assert "Traceback" not in err
    # The directory this start created is gone with its parent; the one that
    # was there is kept, with what the start wrote in it.
    assert sorted(os.listdir(tmp_path)) == ["existing"]
    assert os.listdir(existing)
