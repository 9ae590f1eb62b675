"""Finding and cutting away damage in a data directory: ``mevora.repair``.

Opening a data directory fails with ``CorruptDataError`` when a log segment
holds a bad frame anywhere but at the very end of the last segment (where a
crash can leave a torn tail), or when the snapshot fails its checks: the
open then changes nothing, because cutting the damage away loses changes
that were acknowledged. ``repair`` is the deliberate way to accept that
loss. It reads every file, reports what it finds, and only when asked to
(``fix=True``, or ``--yes`` on the command line) cuts each damaged segment
back to its first bad frame and moves a damaged snapshot aside as
"snapshot.qvs.damaged", after which the directory opens.

A directory that a cache has open (it holds the OS lock on "LOCK") is
refused with ``OSError`` (EBUSY).
"""

from __future__ import annotations

import argparse
import errno
import fcntl
import os
import re
import struct
import sys
import zlib
from dataclasses import dataclass, field

__all__ = ["RepairReport", "FileDamage", "repair"]

_SEGMENT = re.compile(r"wal-([0-9]+)\.log\Z")
_SNAPSHOT = "snapshot.qvs"
_SNAPSHOT_MAGIC = b"QVSNAP01"
_HEADER = 8
_KINDS_WITH_DEADLINE = {1, 3}  # SET, EXPIRE
_KINDS_KEY_ONLY = {2, 8, 9}  # DEL, LPOP, RPOP
_KINDS_WITH_LIST = {5, 6, 7, 10, 11}  # HDEL, LPUSH, RPUSH, SADD, SREM


@dataclass(frozen=True)
class FileDamage:
    """One damaged file: its name, the byte offset of the first bad data,
    and what is wrong there."""

    name: str
    offset: int
    reason: str


@dataclass
class RepairReport:
    """What ``repair`` found in a directory, and what it changed.

    ``segments`` lists the log segments read (ascending numbers);
    ``damage`` every damaged file; ``fixed`` whether the damage was cut
    away (only with ``fix=True``). ``clean`` is true when nothing is
    damaged."""

    directory: str
    segments: list[int] = field(default_factory=list)
    damage: list[FileDamage] = field(default_factory=list)
    fixed: bool = False

    @property
    def clean(self) -> bool:
        return not self.damage

    def lines(self) -> list[str]:
        out = [f"{self.directory}: {len(self.segments)} log segment(s)"]
        for d in self.damage:
            out.append(f"  {d.name}: {d.reason} at byte {d.offset}")
        if self.clean:
            out.append("  no damage found")
        elif self.fixed:
            out.append("  damage cut away; the directory opens now")
        return out


def _varint(data: bytes, p: int) -> tuple[int, int]:
    value = 0
    for i in range(10):
        if p >= len(data):
            raise ValueError
        b = data[p]
        p += 1
        if i == 9 and b & 0x80:
            raise ValueError
        value |= (b & 0x7F) << (7 * i)
        if not b & 0x80:
            return value, p
    raise ValueError


def _field(data: bytes, p: int) -> int:
    n, p = _varint(data, p)
    if n > len(data) - p:
        raise ValueError
    return p + n


def _record_is_valid(payload: bytes) -> bool:
    """Whether a payload that passed its checksum also decodes."""
    if not payload:
        return False
    kind, p = payload[0], 1
    try:
        if kind in _KINDS_WITH_DEADLINE:
            if len(payload) - p < 8:
                return False
            _field(payload, p + 8)
        elif kind in _KINDS_KEY_ONLY:
            _field(payload, p)
        elif kind == 4:  # HSET: key, field, value = the rest
            _field(payload, _field(payload, p))
        elif kind in _KINDS_WITH_LIST:
            p = _field(payload, p)
            count, p = _varint(payload, p)
            if count > len(payload) - p:
                return False
            for _ in range(count):
                p = _field(payload, p)
        elif kind != 12:  # FLUSH has no body
            return False
    except ValueError:
        return False
    return True


def _scan_segment(data: bytes, last: bool) -> tuple[int, str] | None:
    """The first bad frame of a segment as (offset, reason), or None. A torn
    tail of the last segment counts as damage too (the open cuts it by
    itself, so repair may as well)."""
    p, size = 0, len(data)
    while p < size:
        if size - p < _HEADER:
            return p, "incomplete frame header"
        length, crc = struct.unpack_from("<II", data, p)
        if length == 0 and crc == 0:
            if last and not data[p:].strip(b"\0"):
                return p, "zero bytes to the end of the file"
            return p, "empty frame"
        end = p + _HEADER + length
        if end > size:
            return p, "frame runs past the end of the file"
        payload = data[p + _HEADER:end]
        if length == 0 or zlib.crc32(payload) != crc:
            return p, "checksum mismatch"
        if not _record_is_valid(payload):
            return p, "malformed record"
        p = end
    return None


def _scan_snapshot(data: bytes) -> tuple[int, str] | None:
    if len(data) < 33:
        return 0, "snapshot shorter than its frame"
    (crc,) = struct.unpack_from("<I", data, len(data) - 4)
    if zlib.crc32(data[:-4]) != crc:
        return 0, "snapshot checksum mismatch"
    if data[:8] != _SNAPSHOT_MAGIC:
        return 0, "snapshot magic"
    return None


def _refuse_if_in_use(directory: str) -> int | None:
    """Takes the OS lock an open cache holds on LOCK (released when the
    returned descriptor is closed); raises OSError(EBUSY) when a cache has
    the directory open."""
    lock = os.path.join(directory, "LOCK")
    try:
        fd = os.open(lock, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise OSError(errno.EBUSY, f"data directory {directory} is in use by a cache") from None
    return fd


def repair(path: str | os.PathLike[str], *, fix: bool = False) -> RepairReport:
    """Checks the data directory at ``path`` and reports its damage.

    With ``fix=True`` every damaged log segment is truncated at its first bad
    frame (the frames after it are lost, even when they were intact), and a
    damaged snapshot or anything that is not a regular file in place of one
    of these files is renamed to "<name>.damaged" (the keys a snapshot held
    are lost, except what the remaining segments rebuild); the changes are
    synced. Without it nothing is changed. Raises ``OSError`` when the
    directory or a file cannot be read or changed, and with errno EBUSY
    when a cache has the directory open.
    """
    directory = os.fspath(path)
    held = _refuse_if_in_use(directory)
    try:
        return _repair(directory, fix)
    finally:
        if held is not None:
            os.close(held)


def _repair(directory: str, fix: bool) -> RepairReport:
    report = RepairReport(directory)
    numbers = sorted({int(m.group(1)) for name in os.listdir(directory)
                      if (m := _SEGMENT.match(name)) and int(m.group(1)) < 2**64})
    report.segments = numbers
    snapshot = os.path.join(directory, _SNAPSHOT)
    if os.path.lexists(snapshot):
        if os.path.isfile(snapshot):
            with open(snapshot, "rb") as f:
                found = _scan_snapshot(f.read())
        else:
            found = (0, "not a regular file")
        if found is not None:
            report.damage.append(FileDamage(_SNAPSHOT, *found))
    for n in numbers:
        name = f"wal-{n}.log"
        seg = os.path.join(directory, name)
        if not os.path.isfile(seg):  # a FIFO would block a plain open
            report.damage.append(FileDamage(name, 0, "not a regular file"))
            continue
        with open(seg, "rb") as f:
            found = _scan_segment(f.read(), n == numbers[-1])
        if found is not None:
            report.damage.append(FileDamage(name, *found))
    if fix and report.damage:
        for d in report.damage:
            target = os.path.join(directory, d.name)
            if d.name == _SNAPSHOT or not os.path.isfile(target):
                os.replace(target, target + ".damaged")
                continue
            fd = os.open(target, os.O_WRONLY)
            try:
                os.ftruncate(fd, d.offset)
                os.fsync(fd)
            finally:
                os.close(fd)
        dfd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)
        report.fixed = True
    return report


def main(argv: list[str]) -> int:
    """``python -m mevora repair DIR [--yes]``: exit status 0 when the
    directory is clean or was repaired, 1 when damage was found and left."""
    parser = argparse.ArgumentParser(
        prog="python -m mevora repair",
        description="Report damage in a data directory; with --yes cut it away.")
    parser.add_argument("dir", help="the data directory (not open in any cache)")
    parser.add_argument("--yes", action="store_true",
                        help="cut each damaged segment at its first bad frame and move a damaged snapshot aside")
    args = parser.parse_args(argv)
    try:
        report = repair(args.dir, fix=args.yes)
    except OSError as e:
        print(f"mevora repair: {e}", file=sys.stderr)
        return 2
    for line in report.lines():
        print(line)
    if not report.clean and not report.fixed:
        print("  run again with --yes to cut the damage away (the data after it is lost)")
        return 1
    return 0
