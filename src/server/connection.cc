#include "server/connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "util/platform.h"

namespace mevora::server {

std::size_t SocketReader::read_some(char* dst, std::size_t len) {
  for (;;) {
    ssize_t n = ::recv(fd_, dst, len, 0);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

// ---- Connection -------------------------------------------------------------

struct Connection::OutputSink {
  Connection& conn;
  void put(std::string_view piece) { conn.put(piece); }
};

Result<std::unique_ptr<Connection>, int> Connection::open(UniqueFd socket) {
  UniqueFd read_fd(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 3));
  if (!read_fd.valid()) return make_err(errno);
  return std::unique_ptr<Connection>(new Connection(std::move(socket), std::move(read_fd)));
}

Connection::Connection(UniqueFd socket, UniqueFd read_fd)
    : read_fd_(std::move(read_fd)),
      socket_(std::move(socket)),
      reader_(read_fd_.get()),
      requests_(reader_),
      out_(std::make_unique<char[]>(kIoBufferSize)) {}

Connection::~Connection() { close(); }

ReadResult Connection::read_request() { return requests_.read_request(args_); }

bool Connection::write_reply(const Reply& reply, Protocol p) {
  OutputSink sink{*this};
  if (p == Protocol::Resp2) {
    reply.write_wire<Protocol::Resp2>(sink);
  } else {
    reply.write_wire<Protocol::Resp3>(sink);
  }
  return !write_failed_;
}

void Connection::put(std::string_view piece) {
  if (write_failed_) return;
  if (piece.size() > kIoBufferSize - out_used_) {
    if (!flush()) return;
    if (piece.size() > kIoBufferSize) {
      if (!send_all(piece.data(), piece.size())) write_failed_ = true;
      return;
    }
  }
  std::memcpy(out_.get() + out_used_, piece.data(), piece.size());
  out_used_ += piece.size();
}

bool Connection::flush() {
  if (write_failed_) return false;
  if (out_used_ == 0) return true;
  if (!send_all(out_.get(), out_used_)) {
    write_failed_ = true;
    return false;
  }
  out_used_ = 0;
  return true;
}

bool Connection::send_all(const char* data, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::send(socket_.get(), data, len, platform::send_flags());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

void Connection::close() noexcept {
  if (closed_) return;
  (void)flush();
  closed_ = true;
  ::shutdown(socket_.get(), SHUT_RDWR);
  out_.reset();
  out_used_ = 0;
  socket_.reset();
  requests_.release_buffer();
  read_fd_.reset();
}

// ---- the loop ---------------------------------------------------------------

void run_connection(Connection& conn, const Dispatcher& dispatch) noexcept {
  try {
    for (;;) {
      ReadResult read = conn.read_request();
      if (read.status == ReadStatus::End) break;
      if (read.status == ReadStatus::ProtocolError) {
        (void)conn.write_reply(Reply::error(std::string("ERR Protocol error: ") + read.message));
        break;
      }
      if (read.status == ReadStatus::GotRequest) {
        DispatchResult result = dispatch(conn.request());
        if (!conn.write_reply(result.reply, result.protocol)) break;
        if (result.close) break;
      }
      if (!conn.request_pending() && !conn.flush()) break;
    }
  } catch (...) {
    // Out of memory or a failing dispatcher: the connection cannot go on.
    // Replies already buffered are complete and still go out below.
  }
  conn.close();
}

void serve_connection(UniqueFd socket, const Dispatcher& dispatch) noexcept {
  int one = 1;
  (void)::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  try {
    auto conn = Connection::open(std::move(socket));
    if (!conn.ok()) return;
    run_connection(*conn.value(), dispatch);
  } catch (...) {
    // Allocating the connection failed; the socket has been closed.
  }
}

}  // namespace mevora::server
