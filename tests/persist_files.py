"""An independent reader and writer of the data directory's files.

Written from the file formats alone (``zlib.crc32`` for the checksums), so
the persistence tests check the bytes the extension writes instead of
trusting its own decoder.

Log segment ``wal-<n>.log``: frames of ``u32 length | u32 crc32(payload) |
payload``; the payload is a kind byte and its body. Records decode to
tuples:

    ("SET", deadline, key, value)      ("DEL", key)
    ("EXPIRE", deadline, key)          ("HSET", key, field, value)
    ("HDEL", key, [fields])            ("LPUSH" / "RPUSH", key, [values])
    ("LPOP" / "RPOP", key)             ("SADD" / "SREM", key, [members])
    ("FLUSH",)

Snapshot ``snapshot.qvs``: ``"QVSNAP01" | u32 version | u64 wal_seq |
records | 0xFF | u64 count | u32 crc32(everything before)``; a record is
``type | key | u64 deadline | value`` with types 1 string, 2 list, 3 hash,
4 set. Integers are little-endian, lengths unsigned LEB128 varints.
"""

import os
import struct
import zlib

KINDS = {
    1: "SET", 2: "DEL", 3: "EXPIRE", 4: "HSET", 5: "HDEL", 6: "LPUSH",
    7: "RPUSH", 8: "LPOP", 9: "RPOP", 10: "SADD", 11: "SREM", 12: "FLUSH",
}
CODES = {name: code for code, name in KINDS.items()}
LIST_KINDS = {"HDEL", "LPUSH", "RPUSH", "SADD", "SREM"}


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("truncated")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def varint(self):
        value = shift = 0
        while True:
            b = self.take(1)[0]
            value |= (b & 0x7F) << shift
            if not b & 0x80:
                return value
            shift += 7

    def field(self):
        return self.take(self.varint())

    def fields(self):
        return [self.field() for _ in range(self.varint())]

    def rest(self):
        out = self.data[self.pos:]
        self.pos = len(self.data)
        return out


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def field(b):
    return varint(len(b)) + b


# ---- log segments -------------------------------------------------------------


def frame(payload):
    return struct.pack("<II", len(payload), zlib.crc32(payload)) + payload


def payload(kind, *args):
    """The payload of one record, arguments as in the decoded tuples."""
    out = bytes([CODES[kind]])
    if kind == "SET":
        deadline, key, value = args
        return out + struct.pack("<Q", deadline) + field(key) + value
    if kind == "EXPIRE":
        deadline, key = args
        return out + struct.pack("<Q", deadline) + field(key)
    if kind == "HSET":
        key, f, value = args
        return out + field(key) + field(f) + value
    if kind in LIST_KINDS:
        key, items = args
        return out + field(key) + varint(len(items)) + b"".join(field(i) for i in items)
    if kind == "FLUSH":
        return out
    (key,) = args
    return out + field(key)


def record(kind, *args):
    """One complete frame."""
    return frame(payload(kind, *args))


def decode_payload(data):
    r = Reader(data)
    kind = KINDS[r.take(1)[0]]
    if kind == "SET":
        deadline = r.u64()
        return (kind, deadline, r.field(), r.rest())
    if kind == "EXPIRE":
        deadline = r.u64()
        return (kind, deadline, r.field())
    if kind == "HSET":
        return (kind, r.field(), r.field(), r.rest())
    if kind in LIST_KINDS:
        return (kind, r.field(), r.fields())
    if kind == "FLUSH":
        return (kind,)
    return (kind, r.field())


def reserved_tail_start(data):
    """Where the run of zero bytes that ends data begins: from a frame
    boundary on, the space reserved after the frames of a segment that is
    still open (or whose writer was killed)."""
    return len(data.rstrip(b"\0"))  # may lie inside a last frame that ends in zeros


def frame_ends(path):
    """Byte offsets where each complete, checksum-valid frame ends (the
    zeros reserved after the frames end the list)."""
    data = open(path, "rb").read()
    ends, pos, zeros = [], 0, reserved_tail_start(data)
    while pos + 8 <= len(data) and pos < zeros:
        length, crc = struct.unpack_from("<II", data, pos)
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length or zlib.crc32(body) != crc:
            break
        pos += 8 + length
        ends.append(pos)
    return ends


def read_segment(path, still_open=False):
    """Every record of a segment; asserts the file holds whole frames only
    (followed, when still_open, by the zeros reserved after them)."""
    data = open(path, "rb").read()
    out, pos = [], 0
    end = reserved_tail_start(data) if still_open else len(data)
    while pos < end:
        assert pos + 8 <= len(data), f"partial frame header at byte {pos}"
        length, crc = struct.unpack_from("<II", data, pos)
        body = data[pos + 8:pos + 8 + length]
        assert len(body) == length, f"partial frame at byte {pos}"
        assert zlib.crc32(body) == crc, f"checksum mismatch at byte {pos}"
        out.append(decode_payload(body))
        pos += 8 + length
    return out


def segment(directory, n):
    return os.path.join(directory, f"wal-{n}.log")


# ---- snapshots ------------------------------------------------------------------


def read_snapshot(path):
    """(wal_seq, records) with records as (type, key, deadline, value):
    value is bytes, a list, a list of (field, value) pairs or a list of
    members. Asserts every structural rule of the file."""
    data = open(path, "rb").read()
    assert len(data) >= 33
    assert struct.unpack("<I", data[-4:])[0] == zlib.crc32(data[:-4])
    r = Reader(data[:-4])
    assert r.take(8) == b"QVSNAP01"
    assert r.u32() == 1
    wal_seq = r.u64()
    records = []
    while True:
        t = r.take(1)[0]
        if t == 0xFF:
            assert r.u64() == len(records)
            assert r.pos == len(r.data)
            return wal_seq, records
        key = r.field()
        deadline = r.u64()
        if t == 1:
            value = r.field()
        elif t in (2, 4):
            value = r.fields()
        elif t == 3:
            value = [(r.field(), r.field()) for _ in range(r.varint())]
        else:
            raise AssertionError(f"record type {t}")
        records.append(({1: "string", 2: "list", 3: "hash", 4: "set"}[t], key, deadline, value))


def contents(c):
    """Everything observable about the keyspace."""
    out = {}
    for k in sorted(c.keys()):
        ttl = c.pttl(k)
        for read in (c.get, c.hgetall, lambda key: c.lrange(key, 0, -1), c.smembers):
            try:
                out[k] = (read(k), ttl > 0 or ttl)
                break
            except TypeError:
                continue
    return out
