#include "server/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace mevora::server {
namespace {

// A small command set for exercising the loop: PING, QUIT, BOOM (throws),
// BIG n (an n-byte bulk), LEN x (x's length); anything else echoes its
// arguments back as an array of bulks.
DispatchResult test_dispatch(Request& args) {
  const std::string& name = args[0];
  if (name == "PING") return {Reply::simple("PONG"), false};
  if (name == "QUIT") return {Reply::simple("OK"), true};
  if (name == "BOOM") throw std::bad_alloc();
  if (name == "BIG") return {Reply::bulk(std::string(std::stoul(args.at(1)), 'b')), false};
  if (name == "LEN") return {Reply::integer(static_cast<std::int64_t>(args.at(1).size())), false};
  std::vector<Reply> echo;
  for (std::string& a : args) echo.push_back(Reply::bulk(std::move(a)));
  return {Reply::array(std::move(echo)), false};
}

std::pair<UniqueFd, UniqueFd> make_socketpair(int type) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds), 0);
  // Guard against a hang if a reply never comes; no assertion depends on it.
  timeval tv{30, 0};
  ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ASSERT_GT(n, 0) << "send failed: errno " << errno;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// One receive: with SOCK_SEQPACKET, exactly what one send of the peer wrote.
std::string recv_once(int fd, int flags = 0) {
  std::string buf(1 << 18, '\0');
  ssize_t n = ::recv(fd, buf.data(), buf.size(), flags);
  buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return buf;
}

// Everything the peer has received so far, without waiting.
std::string recv_available(int fd) {
  std::string all;
  for (;;) {
    std::string part = recv_once(fd, MSG_DONTWAIT);
    if (part.empty()) return all;
    all += part;
  }
}

std::string recv_to_eof(int fd) {
  std::string all;
  for (;;) {
    std::string part = recv_once(fd);
    if (part.empty()) return all;
    all += part;
  }
}

// Runs the connection loop on its own thread over one end of a socketpair;
// the test speaks through the other end.
class LoopHarness {
 public:
  explicit LoopHarness(int type) {
    auto [conn_end, peer_end] = make_socketpair(type);
    peer_ = std::move(peer_end);
    auto conn = Connection::open(std::move(conn_end));
    EXPECT_TRUE(conn.ok());
    conn_ = std::move(conn.value());
    thread_ = std::thread([this] { run_connection(*conn_, test_dispatch); });
  }
  ~LoopHarness() {
    peer_.reset();
    join();
  }

  int peer() const { return peer_.get(); }
  void close_peer() { peer_.reset(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  UniqueFd peer_;
  std::unique_ptr<Connection> conn_;
  std::thread thread_;
};

// ---- the loop ---------------------------------------------------------------

TEST(ConnectionLoop, PipelinedBatchIsAnsweredInOneSend) {
  LoopHarness h(SOCK_SEQPACKET);
  send_all(h.peer(), "PING\r\n*0\r\n*2\r\n$4\r\nECHO\r\n$2\r\nhi\r\n\r\n  \r\n*-1\r\nPING\r\n");
  EXPECT_EQ(recv_once(h.peer()), "+PONG\r\n*2\r\n$4\r\nECHO\r\n$2\r\nhi\r\n+PONG\r\n");
  // Empty requests alone get no reply, and the connection stays usable.
  send_all(h.peer(), "*0\r\n");
  send_all(h.peer(), "PING\r\n");
  EXPECT_EQ(recv_once(h.peer()), "+PONG\r\n");
}

TEST(ConnectionLoop, ReplyGoesOutAtOnceWhenOnlyPartOfTheNextRequestIsBuffered) {
  LoopHarness h(SOCK_SEQPACKET);
  send_all(h.peer(), "PING\r\nPI");
  EXPECT_EQ(recv_once(h.peer()), "+PONG\r\n");
  send_all(h.peer(), "NG\r\n");
  EXPECT_EQ(recv_once(h.peer()), "+PONG\r\n");
}

TEST(ConnectionLoop, RequestSplitAcrossWritesIsAnsweredAfterItsLastByte) {
  LoopHarness h(SOCK_SEQPACKET);
  for (std::string_view part : {"*2\r\n$4\r\nEC", "HO\r\n$3", "\r\nab", "c\r", "\n"}) {
    send_all(h.peer(), part);
  }
  EXPECT_EQ(recv_once(h.peer()), "*2\r\n$4\r\nECHO\r\n$3\r\nabc\r\n");
}

TEST(ConnectionLoop, ProtocolErrorIsAnsweredThenTheConnectionCloses) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"*1048577\r\n", "invalid multibulk length"},
      {"*1\r\nGET\r\n", "expected '$' bulk string header"},
      {"*1\r\n$536870913\r\n", "invalid bulk length"},
      {"*1\r\n$4\r\nPINGxx", "bulk string not terminated by CRLF"},
      {"SET k \"x\r\n", "unbalanced quotes in request"},
      {std::string(65537, 'a') + "\r\n", "too big line in request"},
  };
  for (const auto& [bad, message] : cases) {
    SCOPED_TRACE(message);
    LoopHarness h(SOCK_STREAM);
    // A good request before it is answered; whatever follows is not read.
    send_all(h.peer(), "PING\r\n" + bad + "PING\r\n");
    EXPECT_EQ(recv_to_eof(h.peer()), "+PONG\r\n-ERR Protocol error: " + message + "\r\n");
  }
}

TEST(ConnectionLoop, QuitIsAnsweredThenTheConnectionCloses) {
  LoopHarness h(SOCK_STREAM);
  send_all(h.peer(), "PING\r\nQUIT extra\r\nPING\r\n");
  EXPECT_EQ(recv_to_eof(h.peer()), "+PONG\r\n+OK\r\n");
}

TEST(ConnectionLoop, PeerClosingMidRequestGetsNoReply) {
  for (std::string_view partial : {"*1\r\n$4\r\nPI", "*1\r\n$4\r\nPING\r", "*1\r\n$4", "PIN"}) {
    LoopHarness h(SOCK_STREAM);
    send_all(h.peer(), partial);
    ::shutdown(h.peer(), SHUT_WR);
    EXPECT_EQ(recv_to_eof(h.peer()), "") << partial;
    h.join();
  }
}

TEST(ConnectionLoop, DispatcherFailureClosesAfterSendingEarlierReplies) {
  LoopHarness h(SOCK_SEQPACKET);
  send_all(h.peer(), "PING\r\nBOOM\r\nPING\r\n");
  EXPECT_EQ(recv_to_eof(h.peer()), "+PONG\r\n");
}

TEST(ConnectionLoop, VanishedPeerEndsTheLoopWithoutASignal) {
  LoopHarness h(SOCK_STREAM);
  send_all(h.peer(), "PING\r\nBIG 4000000\r\n");
  h.close_peer();
  h.join();  // the sends fail with EPIPE; SIGPIPE would have killed the process
}

TEST(ConnectionLoop, LargePayloadsAndRepliesCrossTheBuffersIntact) {
  LoopHarness h(SOCK_STREAM);
  std::string payload(3 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + (i >> 11));
  std::string request = "PING\r\n*2\r\n$4\r\nECHO\r\n$" + std::to_string(payload.size()) + "\r\n" +
                        payload + "\r\nBIG 100000\r\nPING\r\n";
  send_all(h.peer(), request);
  ::shutdown(h.peer(), SHUT_WR);
  std::string expected = "+PONG\r\n*2\r\n$4\r\nECHO\r\n$" + std::to_string(payload.size()) + "\r\n" +
                         payload + "\r\n$100000\r\n" + std::string(100000, 'b') + "\r\n+PONG\r\n";
  std::string got = recv_to_eof(h.peer());
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

// ---- the pieces, driven directly --------------------------------------------

TEST(ConnectionIo, HugeAnnouncementsReserveNoMoreThanTheCaps) {
  struct Case {
    std::string bytes;
    std::size_t arg_bytes;  // bytes of the unfinished argument that arrived
  };
  const std::vector<Case> cases = {
      {"*1048576\r\n", 0},
      {"*1\r\n$536870912\r\n" + std::string(1000, 'x'), 1000},
      {"*1\r\n$536870912\r\n" + std::string(500000, 'x'), 500000},
  };
  for (const Case& c : cases) {
    auto [conn_end, peer] = make_socketpair(SOCK_STREAM);
    auto conn = Connection::open(std::move(conn_end));
    ASSERT_TRUE(conn.ok());
    std::thread writer([&peer = peer, &c] {
      send_all(peer.get(), c.bytes);
      ::shutdown(peer.get(), SHUT_WR);
    });
    EXPECT_EQ(conn.value()->read_request().status, ReadStatus::End);
    writer.join();
    const Request& args = conn.value()->request();
    EXPECT_LE(args.capacity(), kArgsReserveCap);
    if (c.arg_bytes > 0) {
      ASSERT_EQ(args.size(), 1u);
      EXPECT_EQ(args[0].size(), c.arg_bytes);
      EXPECT_LE(args[0].capacity(), std::max(kBulkReserveCap, 2 * c.arg_bytes));
    }
  }
}

TEST(ConnectionIo, OutputIsBufferedUntilFullOrFlushed) {
  auto [conn_end, peer] = make_socketpair(SOCK_STREAM);
  auto opened = Connection::open(std::move(conn_end));
  ASSERT_TRUE(opened.ok());
  Connection& conn = *opened.value();
  const std::string piece(3000, 'p');

  ASSERT_TRUE(conn.write_reply(Reply::bulk(piece)));
  ASSERT_TRUE(conn.write_reply(Reply::bulk(piece)));
  EXPECT_EQ(recv_available(peer.get()), "");  // still buffered

  // The third payload does not fit: the buffer goes out first, ending with
  // the third header.
  ASSERT_TRUE(conn.write_reply(Reply::bulk(piece)));
  std::string one = "$3000\r\n" + piece + "\r\n";
  EXPECT_EQ(recv_available(peer.get()), one + one + "$3000\r\n");

  // A piece larger than the buffer is sent directly after what is buffered.
  const std::string big(20000, 'q');
  ASSERT_TRUE(conn.write_reply(Reply::bulk(big)));
  EXPECT_EQ(recv_available(peer.get()), piece + "\r\n$20000\r\n" + big);
  ASSERT_TRUE(conn.flush());
  EXPECT_EQ(recv_available(peer.get()), "\r\n");
  ASSERT_TRUE(conn.flush());  // nothing buffered: nothing to send

  peer.reset();
  EXPECT_TRUE(conn.write_reply(Reply::simple("OK")));  // buffered only
  EXPECT_FALSE(conn.flush());
  EXPECT_FALSE(conn.write_reply(Reply::simple("OK")));
}

TEST(ConnectionIo, CloseSendsWhatIsBufferedAndEndsTheStream) {
  auto [conn_end, peer] = make_socketpair(SOCK_STREAM);
  auto opened = Connection::open(std::move(conn_end));
  ASSERT_TRUE(opened.ok());
  ASSERT_TRUE(opened.value()->write_reply(Reply::integer(1)));
  opened.value()->close();
  opened.value()->close();  // idempotent
  EXPECT_EQ(recv_to_eof(peer.get()), ":1\r\n");
}

TEST(ConnectionIo, OpenRefusesAnInvalidSocket) {
  auto opened = Connection::open(UniqueFd());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error(), EBADF);
}

}  // namespace
}  // namespace mevora::server
