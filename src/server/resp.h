// RESP2 request framing: turns the bytes a client sends into requests.
//
// A request is a list of byte strings (argument 0 is the command name). Two
// framings, chosen per request by its first byte:
//   - multibulk: "*" count, then count elements "$" length, bytes, CRLF;
//   - inline: any other first byte; one line split at whitespace, with
//     double quotes (escapes \n \r \t, any other escaped byte stands for
//     itself) and single quotes (only \' is an escape).
// Lines end at LF; one CR right before it is dropped. Limits, all checked
// before any command runs:
//   - a line (header or inline request) may take 65,538 bytes, LF included;
//   - a multibulk count is 1..1,048,576 (0 or negative: an empty request);
//   - a bulk length is 0..536,870,912;
//   - memory reserved ahead of the data is at most min(count, 1024) argument
//     slots and min(length, 65,536) payload bytes; beyond that, memory grows
//     only as bytes arrive, so announcing a huge request costs nothing.
// A caller may pass tighter RequestLimits (a connection that has not
// authenticated yet takes kPreAuthLimits): a count or length above them is
// a protocol error as soon as its header is parsed, before any of the
// announced data is buffered; inline requests obey the same limits.
//
// One parsing core serves two readers, so they agree on every input:
//   - RequestReader::read_request parses from the 8192-byte input buffer,
//     refilling it from a ByteReader (a socket) as needed; payloads larger
//     than the buffer are received straight into their argument;
//   - parse_buffered runs over a fixed view and reports End where the
//     streaming reader would wait for more bytes. request_pending is that
//     parse over the bytes buffered but not yet consumed.
//
// Thread safety: a RequestReader belongs to one connection thread.
// Errors: protocol errors are returned as values with a static message; the
// caller answers "ERR Protocol error: " + message and closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mevora::server {

inline constexpr std::size_t kIoBufferSize = 8192;
inline constexpr std::size_t kMaxLineBytes = 65538;
inline constexpr std::int64_t kMaxMultibulkCount = 1048576;
inline constexpr std::int64_t kMaxBulkLength = 536870912;
inline constexpr std::size_t kArgsReserveCap = 1024;
inline constexpr std::size_t kBulkReserveCap = 65536;

using Request = std::vector<std::string>;

// The most a request may hold. Values above the protocol's own limits have
// no effect: those limits and their messages always apply first.
struct RequestLimits {
  std::int64_t max_args = kMaxMultibulkCount;
  std::int64_t max_arg_bytes = kMaxBulkLength;
};

// Before authentication a request may carry 16 arguments of 4 KiB each:
// room for AUTH and for a handshake with a user name, a long password and a
// client name, and little for a client that has not proven who it is.
inline constexpr RequestLimits kPreAuthLimits{16, 4096};

enum class ReadStatus {
  GotRequest,     // a non-empty argument list
  EmptyRequest,   // no arguments: nothing runs, nothing is answered
  End,            // stream: the connection ended; view: the bytes stop mid-request
  ProtocolError,  // malformed input; message says why
};

struct ReadResult {
  ReadStatus status = ReadStatus::End;
  // ProtocolError only: one of the fixed texts, e.g. "invalid bulk length".
  // Static storage, never freed.
  const char* message = nullptr;
};

// The one wire integer syntax: an optional "+" or "-", then one or more ASCII
// digits, within the signed 64-bit range. Nothing else, not even spaces.
std::optional<std::int64_t> parse_int(std::string_view bytes);

// Where the input buffer gets its bytes: a socket in production, memory in
// tests.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Reads at least one and at most len (> 0) bytes into dst, blocking as
  // needed. Returns how many were read; 0 means the stream has ended (peer
  // closed or a read error).
  virtual std::size_t read_some(char* dst, std::size_t len) = 0;
};

// Parses one request from the start of bytes without reading anything else.
// If args is given, it receives the arguments (cleared first); if consumed is
// given, it receives the length of the request's bytes (meaningful for
// GotRequest and EmptyRequest only). The outcome is exactly what RequestReader::read_request would return
// for a stream holding these bytes, with End where that reader would wait.
ReadResult parse_buffered(std::string_view bytes, Request* args = nullptr,
                          std::size_t* consumed = nullptr, const RequestLimits& limits = {});

// The streaming side: an 8192-byte input buffer over a ByteReader.
class RequestReader {
 public:
  // The reader must outlive this object. Allocates the input buffer.
  explicit RequestReader(ByteReader& reader);
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Reads one request into args (its old contents replaced; the strings of
  // small arguments are kept and refilled), blocking as needed. On
  // GotRequest, args holds the arguments. On End, args keeps what arrived of
  // the unfinished request (its reservations show what was allocated ahead
  // of the data). On EmptyRequest and ProtocolError, args is empty.
  ReadResult read_request(Request& args, const RequestLimits& limits = {});

  // The next request out of the bytes already buffered, never receiving:
  // what read_request would return when those bytes hold a whole request,
  // an empty request or a protocol error (a request or an empty request is
  // consumed), else End with nothing consumed and args holding an
  // unspecified part of the request. One parse serves both the flush
  // decision of the connection loop and the request itself.
  ReadResult read_buffered(Request& args, const RequestLimits& limits = {});

  // Whether the bytes buffered but not consumed yield a request, an empty
  // request or a protocol error under limits (parse_buffered over
  // buffered()). Never reads and never consumes.
  bool request_pending(const RequestLimits& limits = {}) const;

  // Bytes received but not yet consumed by read_request.
  std::string_view buffered() const;

  // Frees the input buffer; no other call is allowed afterwards.
  void release_buffer();

 private:
  class Stream;  // the parser's view of this object: buffer plus refills

  ByteReader& reader_;
  std::unique_ptr<char[]> buf_;
  std::size_t begin_ = 0;  // first unconsumed byte
  std::size_t end_ = 0;    // one past the last received byte
  std::string spill_;      // a line longer than what the buffer can hold
};

}  // namespace mevora::server
