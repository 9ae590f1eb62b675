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
// (request_pending), so a pipelined batch is answered with as few sends as
// possible while a lone request is answered at once. The output buffer also
// sends on its own whenever the next piece does not fit.
//
// Thread safety: a Connection is used by its own thread only. Another thread
// may end it by shutting down a duplicate of the socket descriptor; the
// blocked receive then reports the end of the stream.
// Errors: I/O failures are reported as false; nothing throws except
// std::bad_alloc from argument allocation, which run_connection catches.
#pragma once

#include <cstddef>
#include <memory>
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
  explicit SocketReader(int fd) : fd_(fd) {}
  std::size_t read_some(char* dst, std::size_t len) override;

 private:
  int fd_;
};

class Connection {
 public:
  // Takes ownership of the accepted socket and duplicates it for reading.
  // Returns the errno of a failed duplication; the socket is closed then.
  static Result<std::unique_ptr<Connection>, int> open(UniqueFd socket);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Reads the next request into request(), blocking as needed. End covers
  // the peer closing and receive failures, also in the middle of a request.
  ReadResult read_request();

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
  bool request_pending() const { return requests_.request_pending(); }

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
// error (answered with "ERR Protocol error: " + message) or an I/O failure.
// Always ends with conn.close(). Never throws: a failure such as
// std::bad_alloc in the dispatcher closes the connection.
void run_connection(Connection& conn, const Dispatcher& dispatch) noexcept;

// The body of a connection thread: sets TCP_NODELAY (failure ignored), opens
// the Connection and runs the loop. If the read duplicate cannot be made,
// the socket is closed unanswered. Never throws.
void serve_connection(UniqueFd socket, const Dispatcher& dispatch) noexcept;

}  // namespace mevora::server
