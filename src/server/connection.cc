#include "server/connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "util/platform.h"

namespace mevora::server {

std::size_t SocketReader::read_some(char* dst, std::size_t len) {
  for (;;) {
    if (!wait_for_input()) return 0;
    ssize_t n = ::recv(fd_, dst, len, 0);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

bool SocketReader::wait_for_input() const {
  using std::chrono::milliseconds;
  if (idle_.count() <= 0 && !deadline_.has_value()) return true;
  const Clock::time_point start = Clock::now();
  Clock::time_point until = Clock::time_point::max();
  // Saturating: an idle bound beyond the clock's range means no bound.
  if (idle_.count() > 0 && idle_ < std::chrono::duration_cast<milliseconds>(until - start)) until = start + idle_;
  if (deadline_.has_value()) until = std::min(until, *deadline_);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= until) return false;
    // Whole milliseconds, rounded up so the wait never ends early; a day at
    // most per poll, the loop waits the rest.
    const auto left = std::chrono::ceil<milliseconds>(until - now);
    const int wait_ms = static_cast<int>(std::min<std::int64_t>(left.count(), 86'400'000));
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, wait_ms);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return true;  // the receive reports it
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

ReadResult Connection::read_request(const RequestLimits& limits) { return requests_.read_request(args_, limits); }

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

namespace {

// Tracks a connection's authentication for its guard: the request limits
// and the read deadline that apply to the next request.
class AuthWatch {
 public:
  explicit AuthWatch(const ConnectionGuard& guard) : guard_(guard) {}

  bool authenticated() const { return guard_.authenticated == nullptr || *guard_.authenticated; }
  RequestLimits limits() const { return authenticated() ? RequestLimits{} : kPreAuthLimits; }

  // Called before each request: the deadline to authenticate by, if any.
  // The clock starts when the connection is first seen unauthenticated.
  std::optional<SocketReader::Clock::time_point> deadline() {
    const bool now_authenticated = authenticated();
    if (!now_authenticated && was_authenticated_) since_ = SocketReader::Clock::now();
    was_authenticated_ = now_authenticated;
    if (now_authenticated || guard_.auth_timeout.count() <= 0) return std::nullopt;
    return since_ + guard_.auth_timeout;
  }

 private:
  const ConnectionGuard& guard_;
  bool was_authenticated_ = true;
  SocketReader::Clock::time_point since_{};
};

}  // namespace

void run_connection(Connection& conn, const Dispatcher& dispatch, const ConnectionGuard& guard) noexcept {
  try {
    AuthWatch auth(guard);
    ReadResult read;
    bool have_read = false;  // read holds the next request, taken from the buffer
    for (;;) {
      conn.set_read_wait(guard.idle_timeout, auth.deadline());
      if (!have_read) read = conn.read_request(auth.limits());
      have_read = false;
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
      // A further whole request already received is taken at once and the
      // replies stay buffered; otherwise they go out before the next wait.
      read = conn.read_buffered_request(auth.limits());
      if (read.status != ReadStatus::End) {
        have_read = true;
        continue;
      }
      if (!conn.flush()) break;
    }
  } catch (...) {
    // Out of memory or a failing dispatcher: the connection cannot go on.
    // Replies already buffered are complete and still go out below.
  }
  conn.close();
}

Result<std::unique_ptr<Connection>, int> open_accepted(UniqueFd socket) {
  int one = 1;
  (void)::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return Connection::open(std::move(socket));
}

}  // namespace mevora::server
