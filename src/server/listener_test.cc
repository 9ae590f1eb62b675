#include "server/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "util/thread_names_testing.h"

namespace mevora::server {
namespace {

using testing_threads::thread_count;

std::shared_ptr<Store> make_store() {
  StoreConfig config;
  config.shards = 4;
  config.sweep_interval_ms = 0;
  return Store::create(config);
}

// A blocking loopback client with a generous receive timeout, so a missing
// reply fails the test instead of hanging it.
class Client {
 public:
  explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    timeval tv{30, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool connected() const { return connected_; }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Reads until `want` bytes arrived or the stream ends.
  std::string read(std::size_t want) {
    std::string out;
    char buf[4096];
    while (out.size() < want) {
      ssize_t n = ::recv(fd_.get(), buf, std::min(sizeof buf, want - out.size()), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  // One reply line without its CR LF (empty at the end of the stream).
  std::string line() {
    std::string out;
    char c;
    while (::recv(fd_.get(), &c, 1, 0) == 1) {
      out += c;
      if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) return out.substr(0, out.size() - 2);
    }
    return out;
  }

  // True when the server closed the connection (EOF or reset).
  bool at_eof() {
    char c;
    return ::recv(fd_.get(), &c, 1, 0) <= 0;
  }

  // True when the server closed the connection with nothing unread; false
  // also when the receive timeout ran out instead.
  bool closed_by_server() {
    char c;
    const ssize_t n = ::recv(fd_.get(), &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

 private:
  UniqueFd fd_;
  bool connected_ = false;
};



RunningServer start(std::shared_ptr<Store> store, std::optional<std::string> password = std::nullopt,
                    const ServerLimits& limits = {}) {
  auto r = start_server("127.0.0.1", 0, std::move(password), std::move(store), limits);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return std::move(r).value();
}

TEST(Listener, ServesOnThePortTheSystemPicked) {
  RunningServer server = start(make_store());
  ASSERT_NE(server.port, 0);
  EXPECT_EQ(thread_count("mevora-accept"), 1);
  Client c(server.port);
  ASSERT_TRUE(c.connected());
  c.send("PING\r\n*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$1\r\nv\r\nGET k\r\n");
  EXPECT_EQ(c.read(19), "+PONG\r\n+OK\r\n$1\r\nv\r\n");
  shutdown_server(server);
  EXPECT_TRUE(c.at_eof());
  EXPECT_EQ(thread_count("mevora-accept"), 0);
  EXPECT_EQ(thread_count("mevora-conn"), 0);
  shutdown_server(server);  // again: nothing left to do
}

TEST(Listener, ShutdownRightAfterStartReturns) {
  for (int i = 0; i < 3; ++i) {
    RunningServer server = start(make_store());
    shutdown_server(server);
  }
  EXPECT_EQ(thread_count("mevora-accept"), 0);
}

TEST(Listener, ShutdownEndsIdleAndHalfSentConnections) {
  RunningServer server = start(make_store(), "pw");
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<Client>(server.port));
    ASSERT_TRUE(clients.back()->connected());
    clients.back()->send("PING\r\n");
    ASSERT_EQ(clients.back()->read(34), "-NOAUTH Authentication required.\r\n");
  }
  clients[0]->send("*2\r\n$4\r\nAUTH\r\n$2\r\np");  // cut mid-request
  // Huge announced requests, then silence (only an authenticated
  // connection may announce them).
  for (int i : {1, 2}) {
    clients[i]->send("AUTH pw\r\n");
    ASSERT_EQ(clients[i]->read(5), "+OK\r\n");
  }
  clients[1]->send("*1048576\r\n");
  clients[2]->send("*1\r\n$536870912\r\n");
  ASSERT_EQ(thread_count("mevora-conn"), 8);
  shutdown_server(server);
  for (auto& c : clients) EXPECT_TRUE(c->at_eof());
  EXPECT_EQ(thread_count("mevora-conn"), 0);
}

TEST(Listener, FinishedConnectionThreadsAreReapedOnAccept) {
  RunningServer server = start(make_store());
  for (int i = 0; i < 20; ++i) {
    Client c(server.port);
    c.send("QUIT\r\n");
    ASSERT_EQ(c.read(5), "+OK\r\n");
    ASSERT_TRUE(c.at_eof());
  }
  // Wait until the last of them has marked itself finished; the next accept
  // then reaps all of them.
  for (;;) {
    bool all_done = true;
    {
      MutexGuard g(server.registry->mutex);
      for (const ConnectionEntry& e : server.registry->connections) all_done &= e.finished->load();
    }
    if (all_done) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Client last(server.port);
  last.send("PING\r\n");
  ASSERT_EQ(last.read(7), "+PONG\r\n");
  {
    MutexGuard g(server.registry->mutex);
    EXPECT_EQ(server.registry->connections.size(), 1u);
  }
  shutdown_server(server);
}

TEST(Listener, ManyConcurrentClientsShareOneKeyspace) {
  auto store = make_store();
  RunningServer server = start(store);
  constexpr int kThreads = 8;
  constexpr int kClientsPerThread = 4;
  constexpr int kRounds = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::unique_ptr<Client>> clients;
      for (int c = 0; c < kClientsPerThread; ++c) clients.push_back(std::make_unique<Client>(server.port));
      for (int r = 0; r < kRounds; ++r) {
        for (int c = 0; c < kClientsPerThread; ++c) {
          clients[c]->send("INCR counter\r\n");
          ASSERT_EQ(clients[c]->line().substr(0, 1), ":");
          const std::string key = "k" + std::to_string(t) + "_" + std::to_string(c);
          const std::string v = std::to_string(r);
          clients[c]->send("SET " + key + " " + v + "\r\nGET " + key + "\r\n");
          ASSERT_EQ(clients[c]->line(), "+OK");
          ASSERT_EQ(clients[c]->line(), "$" + std::to_string(v.size()));
          ASSERT_EQ(clients[c]->line(), v);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  auto v = store->get("counter");
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v.value(), std::to_string(kThreads * kClientsPerThread * kRounds));
  shutdown_server(server);
  EXPECT_EQ(thread_count("mevora-conn"), 0);
}

TEST(Listener, BindAndResolveErrors) {
  RunningServer server = start(make_store());
  auto again = start_server("127.0.0.1", server.port, std::nullopt, make_store());
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().text(), PersistError::from_errno(EADDRINUSE).text());

  auto bad = start_server("no-such-host.invalid", 0, std::nullopt, make_store());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text().rfind("failed to lookup address information: ", 0), 0u) << bad.error().text();

  auto nul = start_server(std::string_view("127.0.0.1\0x", 11), 0, std::nullopt, make_store());
  ASSERT_FALSE(nul.ok());

  auto not_local = start_server("192.0.2.1", 0, std::nullopt, make_store());  // TEST-NET-1, not ours
  ASSERT_FALSE(not_local.ok());
  EXPECT_EQ(not_local.error().text(), PersistError::from_errno(EADDRNOTAVAIL).text());
  shutdown_server(server);
  EXPECT_EQ(thread_count("mevora-accept"), 0);
}

TEST(Listener, Ipv6LoopbackLiteralAndHostNames) {
  auto v6 = start_server("::1", 0, std::nullopt, make_store());
  if (v6.ok()) {  // hosts without IPv6 cannot bind ::1
    EXPECT_EQ(v6.value().address.ss_family, AF_INET6);
    shutdown_server(v6.value());
  }
  auto named = start_server("localhost", 0, std::nullopt, make_store());
  ASSERT_TRUE(named.ok()) << named.error().text();
  EXPECT_NE(named.value().port, 0);
  shutdown_server(named.value());
}

// ---- limits -----------------------------------------------------------------

TEST(ListenerLimits, DefaultMaxClientsFitsTheDescriptorLimit) {
  const std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(default_max_clients(1024, 20), (1024u - 20 - kReservedDescriptors) / kDescriptorsPerConnection);
  EXPECT_EQ(default_max_clients(256, 0), (256u - kReservedDescriptors) / kDescriptorsPerConnection);
  EXPECT_EQ(default_max_clients(40, 10), 1u);  // no room left: one all the same
  EXPECT_EQ(default_max_clients(0, 0), 1u);
  EXPECT_EQ(default_max_clients(1 << 20, 10), kMaxDefaultClients);
  EXPECT_EQ(default_max_clients(kUnlimited, 10), kMaxDefaultClients);
  RunningServer server = start(make_store());
  EXPECT_GE(server.max_clients, 1u);
  EXPECT_LE(server.max_clients, kMaxDefaultClients);
  shutdown_server(server);
}

// The value of one "name:value" line of an INFO reply read by c.
std::uint64_t info_field(Client& c, const std::string& name) {
  c.send("INFO\r\n");
  const std::string header = c.line();  // "$" + length
  const std::string text = c.read(std::stoul(header.substr(1)) + 2);
  const std::size_t at = text.find("\r\n" + name + ":");
  EXPECT_NE(at, std::string::npos) << name;
  return std::stoull(text.substr(at + name.size() + 3));
}

TEST(ListenerLimits, ConnectionsOverTheLimitAreTurnedAwayAndOthersServed) {
  ServerLimits limits;
  limits.max_clients = 2;
  RunningServer server = start(make_store(), std::nullopt, limits);
  EXPECT_EQ(server.max_clients, 2u);
  Client first(server.port);
  first.send("PING\r\n");
  ASSERT_EQ(first.line(), "+PONG");
  auto second = std::make_unique<Client>(server.port);
  second->send("PING\r\n");
  ASSERT_EQ(second->line(), "+PONG");
  for (int i = 0; i < 3; ++i) {
    Client over(server.port);
    EXPECT_EQ(over.line(), "-ERR max number of clients reached");
    EXPECT_TRUE(over.closed_by_server());
    first.send("PING\r\n");
    EXPECT_EQ(first.line(), "+PONG");
  }
  EXPECT_EQ(info_field(first, "connected_clients"), 2u);
  EXPECT_EQ(info_field(first, "rejected_connections"), 3u);
  EXPECT_EQ(info_field(first, "maxclients"), 2u);
  // A place that frees up is given to the next connection.
  second.reset();
  for (int i = 0; i < 10000 && info_field(first, "connected_clients") != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Client next(server.port);
  next.send("PING\r\n");
  EXPECT_EQ(next.line(), "+PONG");
  shutdown_server(server);
}

TEST(ListenerLimits, IdleAndUnauthenticatedConnectionsAreClosed) {
  using std::chrono::milliseconds;
  using Clock = std::chrono::steady_clock;
  ServerLimits limits;
  limits.idle_timeout = milliseconds(300);
  limits.auth_timeout = milliseconds(600);
  RunningServer server = start(make_store(), "pw", limits);
  const auto begin = Clock::now();
  Client idle(server.port), active(server.port), unauthenticated(server.port);
  for (Client* c : {&idle, &active}) {
    c->send("AUTH pw\r\n");
    ASSERT_EQ(c->line(), "+OK");
  }
  // Active for three idle timeouts, each request well within one. The
  // unauthenticated client is as busy, yet its deadline ends it.
  bool unauthenticated_open = true;
  for (int i = 0; i < 9; ++i) {
    std::this_thread::sleep_for(milliseconds(100));
    active.send("PING\r\n");
    ASSERT_EQ(active.line(), "+PONG");
    if (unauthenticated_open) {
      unauthenticated.send("PING\r\n");
      const std::string reply = unauthenticated.line();
      if (reply.empty()) {
        unauthenticated_open = false;
        EXPECT_GE(Clock::now() - begin, limits.auth_timeout);
      } else {
        EXPECT_EQ(reply, "-NOAUTH Authentication required.");
      }
    }
  }
  EXPECT_FALSE(unauthenticated_open);
  EXPECT_TRUE(idle.closed_by_server());
  EXPECT_TRUE(unauthenticated.closed_by_server());
  active.send("PING\r\n");
  EXPECT_EQ(active.line(), "+PONG");
  // A connection that logs out gets the deadline anew.
  active.send("AUTH wrong\r\n");
  EXPECT_EQ(active.line(), "-WRONGPASS invalid password");
  const auto logged_out = Clock::now();
  EXPECT_TRUE(active.closed_by_server());
  EXPECT_GE(Clock::now() - logged_out, limits.idle_timeout);
  shutdown_server(server);
}

TEST(ListenerLimits, StopEndsConnectionsWaitingOnTheirTimeouts) {
  ServerLimits limits;
  limits.idle_timeout = std::chrono::hours(1);
  RunningServer server = start(make_store(), "pw", limits);
  Client authenticated(server.port), waiting(server.port);
  authenticated.send("AUTH pw\r\n");
  ASSERT_EQ(authenticated.line(), "+OK");
  waiting.send("PING\r\n");
  ASSERT_EQ(waiting.line(), "-NOAUTH Authentication required.");
  const auto begin = std::chrono::steady_clock::now();
  shutdown_server(server);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
  EXPECT_TRUE(authenticated.closed_by_server());
  EXPECT_TRUE(waiting.closed_by_server());
}

}  // namespace
}  // namespace mevora::server
