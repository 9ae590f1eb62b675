"""The RESP2 wire protocol over real loopback connections: framings,
pipelining, protocol limits at and just past their bounds, and protocol
errors that close one connection only.

After sending a request that must fail, a test sends nothing more and reads
the error before the close: input the server never reads would make the
kernel reset the connection and could discard the error reply."""

import pytest

from resp_client import Client, Err, encode

LINE_LIMIT = 65538  # bytes of one line, terminator included
MAX_COUNT = 1048576
MAX_BULK = 536870912


def protocol_error(server, data, message):
    """Sends data on a fresh connection; expects exactly the protocol error
    reply followed by the close."""
    with Client(server.port) as k:
        k.send(data)
        assert k.read_all_until_close() == b"-ERR Protocol error: " + message + b"\r\n"


def test_both_framings_and_binary_values(server):
    with Client(server.port) as k:
        k.send(b'SET k "a b"\r\n')
        assert k.read_reply() == "OK"
        assert k.call("GET", "k") == b"a b"
        k.send(b"set   q 'it\\'s'\r\nGET q\n")
        assert k.read_reply() == "OK"
        assert k.read_reply() == b"it's"
        k.send(b'ECHO "\\x\\n"x\r\n')  # a closing quote ends the argument
        assert k.read_reply() == Err("ERR wrong number of arguments for 'echo' command")
        value = bytes(range(256)) * 4
        assert k.call("SET", b"\xff\x00key", value) == "OK"
        assert k.call("GET", b"\xff\x00key") == value
        k.send(b"*1\n$4\nPING\r\n")  # LF alone ends header lines
        assert k.read_reply() == "PONG"


def test_empty_requests_get_no_reply(server):
    with Client(server.port) as k:
        k.send(b"*0\r\n*-1\r\n\r\n   \r\nPING\r\n")
        assert k.read_reply() == "PONG"
        assert k.buf == b""


def test_pipelined_requests_are_answered_in_order(server):
    requests, expected, model = [], [], {}
    for i in range(1000):
        key = f"key{i % 50}"
        kind = i % 4
        if kind == 0:
            requests.append(encode("SET", key, f"v{i}"))
            model[key] = f"v{i}".encode()
            expected.append("OK")
        elif kind == 1:
            requests.append(f"GET {key}\r\n".encode())  # inline framing mixed in
            expected.append(model.get(key))
        elif kind == 2:
            requests.append(encode("INCR", "n" + key))
            model["n" + key] = model.get("n" + key, 0) + 1
            expected.append(model["n" + key])
        else:
            requests.append(b"PING\r\n")
            expected.append("PONG")
    with Client(server.port) as k:
        k.send(b"".join(requests))
        replies = [k.read_reply() for _ in range(1000)]
    assert replies == expected


def test_a_request_split_across_packets_is_answered_after_its_last_byte(server):
    data = encode("SET", "split", "x" * 20000)
    with Client(server.port) as k:
        for start in range(0, len(data), 997):
            k.send(data[start : start + 997])
        assert k.read_reply() == "OK"
        assert k.call("NOSUCHCOMMAND", "split") == Err("ERR unknown command 'NOSUCHCOMMAND'")
        assert k.call("STRLEN", "split") == 20000
        assert len(k.call("GET", "split")) == 20000


@pytest.mark.parametrize("header", [b"*", b"$"])
def test_header_and_inline_line_limit(server, header):
    with Client(server.port) as k:
        # Inline: 65,536 bytes plus CR LF is read whole.
        payload = b"x" * (LINE_LIMIT - 2 - len(b"ECHO "))
        k.send(b"ECHO " + payload + b"\r\n")
        assert k.read_reply() == payload
        # A header line at the limit: zeros before the number are digits too.
        if header == b"*":
            k.send(b"*" + b"0" * (LINE_LIMIT - 4) + b"1\r\n$4\r\nPING\r\n")
        else:
            k.send(b"*1\r\n$" + b"0" * (LINE_LIMIT - 4) + b"4\r\nPING\r\n")
        assert k.read_reply() == "PONG"
    # One byte more (no LF among the first 65,538 bytes) is refused.
    protocol_error(server, b"x" * LINE_LIMIT, b"too big line in request")
    prefix = b"*" if header == b"*" else b"*1\r\n$"
    protocol_error(server, prefix + b"0" * (LINE_LIMIT - 1), b"too big line in request")


@pytest.mark.parametrize(
    "data, message",
    [
        (b"*%d\r\n" % (MAX_COUNT + 1), b"invalid multibulk length"),
        (b"*abc\r\n", b"invalid multibulk length"),
        (b"*1\r\n$%d\r\n" % (MAX_BULK + 1), b"invalid bulk length"),
        (b"*1\r\n$-1\r\n", b"invalid bulk length"),
        (b"*1\r\n$abc\r\n", b"invalid bulk length"),
        (b"*1\r\nPING\r\n", b"expected '$' bulk string header"),
        (b"*1\r\n\r\n", b"expected '$' bulk string header"),
        (b"*1\r\n$4\r\nPINGxx", b"bulk string not terminated by CRLF"),
        (b'SET k "x\r\n', b"unbalanced quotes in request"),
    ],
)
def test_protocol_errors_close_only_their_connection(server, data, message):
    with Client(server.port) as other:
        assert other.call("SET", "shared", "1") == "OK"
        protocol_error(server, data, message)
        assert other.call("GET", "shared") == b"1"


def test_replies_before_a_protocol_error_are_sent(server):
    with Client(server.port) as k:
        k.send(b"PING\r\nSET a 1\r\n*1\r\n$x\r\n")
        assert k.read_all_until_close() == b"+PONG\r\n+OK\r\n-ERR Protocol error: invalid bulk length\r\n"


def test_a_client_closing_mid_request_gets_no_reply(server):
    with Client(server.port) as k:
        k.send(b"*1\r\n$4\r\nPI")
        k.sock.shutdown(1)  # SHUT_WR: the server sees the end of the stream
        assert k.read_all_until_close() == b""


@pytest.mark.parametrize(
    "hostile",
    [
        b"*%d\r\n" % MAX_COUNT,  # at the limit: accepted, then nothing arrives
        b"*1\r\n$%d\r\n" % MAX_BULK,
        b"*2\r\n$3\r\nSET\r\n$%d\r\n" % MAX_BULK + b"partial",
    ],
)
def test_hostile_headers_then_silence_do_not_block_others(server, hostile):
    hostiles = [Client(server.port) for _ in range(3)]
    try:
        for h in hostiles:
            h.send(hostile)
        with Client(server.port) as k:
            for i in range(20):
                assert k.call("SET", f"k{i}", "v") == "OK"
            assert k.call("DBSIZE") == 20
    finally:
        server.stop()
        for h in hostiles:
            assert h.is_closed_by_server()
            h.close()


def test_reply_text_cannot_break_lines(server):
    with Client(server.port) as k:
        k.send(encode("NO\r\nPE"))
        assert k.read_reply() == Err("ERR unknown command 'NO  PE'")
        assert k.call("PING") == "PONG"
