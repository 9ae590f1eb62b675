#include "server/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

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

 private:
  UniqueFd fd_;
  bool connected_ = false;
};



RunningServer start(std::shared_ptr<Store> store, std::optional<std::string> password = std::nullopt) {
  auto r = start_server("127.0.0.1", 0, std::move(password), std::move(store));
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

}  // namespace
}  // namespace mevora::server
