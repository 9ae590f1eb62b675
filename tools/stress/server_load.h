// The server side of the stress program: a blocking RESP2 client over a
// loopback TCP socket, and the threads that drive a running server with it.
//
// client_worker: one connection that sends every kind of command until the
// run ends, one request at a time or in pipelined batches of up to 24, and
// checks that each request gets one well-formed reply that is not an
// unexpected error. churn_worker: short connections that end every way a
// client can (QUIT, closing, closing in the middle of a request, a request
// before AUTH, a protocol error), so connection threads start, end and are
// reaped throughout the run. doomed_client: pipelined batches to a server
// that is about to be shut down, until it ends the connection.
//
// Thread safety: a RespConn belongs to one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stress_common.h"
#include "util/unique_fd.h"

namespace mevora::stress {

// One reply: its type byte and, for simple strings, errors, integers and
// bulk strings, its text (arrays are checked for shape only).
struct ReplyHead {
  char kind = 0;
  std::string text;
};

class RespConn {
 public:
  // Connects to 127.0.0.1:port; receives time out after timeout_s.
  static std::optional<RespConn> connect(std::uint16_t port, int timeout_s);

  bool send_all(std::string_view bytes);
  // The next complete reply; nullopt on the end of the stream, a receive
  // error or timeout, or bytes that are not a RESP2 reply.
  std::optional<ReplyHead> read_reply();
  // True when the server ended the stream (or reset it) before timeout_s
  // and sent nothing more.
  bool wait_closed();
  // Whether the last send or receive gave up after timeout_s.
  bool timed_out() const { return timed_out_; }
  // Whether read_reply met bytes that are not a RESP2 reply.
  bool malformed() const { return malformed_; }
  void close() { fd_.reset(); }

 private:
  explicit RespConn(UniqueFd fd) : fd_(std::move(fd)) {}
  bool fill();

  UniqueFd fd_;
  std::string in_;
  std::size_t pos_ = 0;
  bool timed_out_ = false;
  bool malformed_ = false;
};

// The multibulk form of one request.
std::string encode(const std::vector<std::string>& args);

void client_worker(Run& run, std::uint16_t port, const std::string& password, bool pipelined, std::uint64_t seed,
                   int id, Counters& counters);
void churn_worker(Run& run, std::uint16_t port, const std::string& password, std::uint64_t seed, Counters& counters);
// Returns once the server has ended the connection (or refused it). Every
// reply before that must be well formed; error replies are accepted only
// where the request may legitimately get one, and when store_may_close
// also "ERR save failed: ..." (the store was closed under the server).
void doomed_client(Run& run, std::uint16_t port, const std::string& password, bool store_may_close,
                   std::uint64_t seed, Counters& counters);

}  // namespace mevora::stress
