// Connection: one client connection's buffered streams, and the connection
// loop that reads requests, dispatches them and writes the replies.
//
// Streams: the accepted socket is read through a duplicate of its descriptor
// (close-on-exec, number >= 3) behind an 8192-byte input buffer, and written
// through the accepted descriptor itself behind an 8192-byte output buffer.
// The Connection owns both descriptors and both buffers; close() (or the
// destructor) flushes, shuts the socket down both ways and releases them.
//
// Flush policy (run_connection): replies are buffered; the buffer is flushed
// after a reply only when the input buffer holds no further whole request
// (read_buffered_request), so a pipelined batch is answered with as few sends as
// possible while a lone request is answered at once. The output buffer also
// sends on its own whenever the next piece does not fit.
//
// Guards (run_connection): while the connection is not authenticated its
// requests must fit kPreAuthLimits and it must authenticate within
// auth_timeout; with an idle timeout, a receive that waits that long ends
// the connection. Both end it silently, like a peer that went away.
//
// Thread safety: a Connection is used by its own thread only. Another thread
// may end it by shutting down a duplicate of the socket descriptor; the
// blocked receive then reports the end of the stream.
// Errors: I/O failures are reported as false; nothing throws except
// std::bad_alloc from argument allocation, which run_connection catches.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "server/dispatch_result.h"
#include "server/reply.h"
#include "server/resp.h"
#include "util/result.h"
#include "util/unique_fd.h"

namespace mevora::server {

// A ByteReader over a socket: recv, retried on EINTR. A failed receive reads
// as the end of the stream. The descriptor is borrowed.
class SocketReader final : public ByteReader {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SocketReader(int fd) : fd_(fd) {}
  std::size_t read_some(char* dst, std::size_t len) override;

  // Bounds the waits of later receives: each may wait at most idle (zero:
  // no bound) and none past deadline. A receive that runs out of either
  // reads as the end of the stream.
  void set_wait(std::chrono::milliseconds idle, std::optional<Clock::time_point> deadline) {
    idle_ = idle;
    deadline_ = deadline;
  }

 private:
  // Waits until the socket has input (or an error or end to report) within
  // the bounds of set_wait. False when a bound passed first.
  bool wait_for_input() const;

  int fd_;
  std::chrono::milliseconds idle_{0};
  std::optional<Clock::time_point> deadline_;
};

// What bounds a connection besides the protocol's own limits. The default
// bounds nothing.
struct ConnectionGuard {
  // The connection's authentication flag, read before every request (it
  // belongs to the dispatcher, on the same thread). Null: always
  // authenticated.
  const bool* authenticated = nullptr;
  // How long the connection may stay unauthenticated, counted from its
  // start or from the request that lost it authentication. Zero: no limit.
  std::chrono::milliseconds auth_timeout{0};
  // The longest a receive may wait. Zero: no limit.
  std::chrono::milliseconds idle_timeout{0};
};

class Connection {
 public:
  // Takes ownership of the accepted socket and duplicates it for reading.
  // Returns the errno of a failed duplication; the socket is closed then.
  static Result<std::unique_ptr<Connection>, int> open(UniqueFd socket);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Reads the next request into request() under limits, blocking as needed.
  // End covers the peer closing, receive failures and a wait that ran out
  // (set_read_wait), also in the middle of a request.
  ReadResult read_request(const RequestLimits& limits = {});

  // The next request if the bytes already received hold one (see
  // RequestReader::read_buffered); End, receiving nothing, otherwise.
  ReadResult read_buffered_request(const RequestLimits& limits = {}) { return requests_.read_buffered(args_, limits); }

  // Bounds the waits of the receives that follow (SocketReader::set_wait).
  void set_read_wait(std::chrono::milliseconds idle, std::optional<SocketReader::Clock::time_point> deadline) {
    reader_.set_wait(idle, deadline);
  }

  // The arguments of the last read_request. The dispatcher may move out of
  // them. After End they hold what arrived of the unfinished request, so
  // tests can check how much was reserved ahead of the data.
  Request& request() { return args_; }

  // Appends the reply's wire form under protocol p to the output buffer,
  // sending buffered bytes first whenever the next piece does not fit and
  // sending a piece larger than the buffer directly. False once a send has
  // failed.
  [[nodiscard]] bool write_reply(const Reply& reply, Protocol p = Protocol::Resp2);

  // Sends everything buffered (send retried on EINTR; a send that accepts
  // nothing is a failure). False on failure.
  [[nodiscard]] bool flush();

  // Whether the bytes already received hold a whole request, an empty
  // request or a protocol error. Reads nothing, consumes nothing.
  bool request_pending(const RequestLimits& limits = {}) const { return requests_.request_pending(limits); }

  // Flushes (ignoring failure), shuts the socket down both ways, then closes
  // the output side and the input side. Idempotent; no other call after it.
  void close() noexcept;

 private:
  Connection(UniqueFd socket, UniqueFd read_fd);

  struct OutputSink;
  void put(std::string_view piece);
  bool send_all(const char* data, std::size_t len);

  UniqueFd read_fd_;
  UniqueFd socket_;
  SocketReader reader_;
  RequestReader requests_;
  std::unique_ptr<char[]> out_;
  std::size_t out_used_ = 0;
  bool write_failed_ = false;
  bool closed_ = false;
  Request args_;
};

// The connection loop: read a request, dispatch it, write the reply, flush
// when nothing further is pending, until the peer goes, QUIT, a protocol
// error (answered with "ERR Protocol error: " + message), an I/O failure or
// a bound of guard running out. Always ends with conn.close(). Never
// throws: a failure such as std::bad_alloc in the dispatcher closes the
// connection.
void run_connection(Connection& conn, const Dispatcher& dispatch, const ConnectionGuard& guard = {}) noexcept;

// Readies an accepted socket for the connection loop: sets TCP_NODELAY
// (failure ignored) and opens the Connection, read duplicate included, so
// that a connection holds every descriptor it needs before its thread
// starts. Returns the errno of a failed duplication (the socket is closed).
// May throw std::bad_alloc.
Result<std::unique_ptr<Connection>, int> open_accepted(UniqueFd socket);

}  // namespace mevora::server
