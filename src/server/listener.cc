#include "server/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "server/commands.h"
#include "server/connection.h"
#include "util/platform.h"

namespace mevora::server {
namespace {

constexpr int kBacklog = 128;
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(10);
constexpr auto kWakeRetryPause = std::chrono::milliseconds(20);
constexpr int kWakeConnectTimeoutMs = 1000;

struct Address {
  sockaddr_storage storage{};
  socklen_t len = 0;
};

void set_port(Address& a, std::uint16_t port) {
  if (a.storage.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&a.storage)->sin_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in6*>(&a.storage)->sin6_port = htons(port);
  }
}

std::uint16_t port_of(const sockaddr_storage& s) {
  if (s.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&s)->sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&s)->sin6_port);
}

OsError resolve_error(const char* text) {
  return OsError::with_text(std::string("failed to lookup address information: ") + text);
}

// An address literal gives itself; anything else goes to the resolver,
// whose stream-socket results are taken in order.
Result<std::vector<Address>, OsError> resolve(std::string_view host_view, std::uint16_t port) {
  const std::string host(host_view);
  std::vector<Address> out;
  Address literal;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&literal.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&literal.storage);
  if (host.find('\0') != std::string::npos) return make_err(resolve_error(gai_strerror(EAI_NONAME)));
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    literal.len = sizeof(sockaddr_in);
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    literal.len = sizeof(sockaddr_in6);
  }
  if (literal.len != 0) {
    set_port(literal, port);
    out.push_back(literal);
    return out;
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
  if (rc != 0) return make_err(resolve_error(gai_strerror(rc)));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> results(raw, ::freeaddrinfo);
  for (const addrinfo* ai = raw; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_socktype != SOCK_STREAM || (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)) continue;
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Address a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.len = ai->ai_addrlen;
    set_port(a, port);
    out.push_back(a);
  }
  if (out.empty()) {
    return make_err(OsError::with_text("could not resolve to any addresses"));
  }
  return out;
}

// socket + SO_REUSEADDR + bind + listen for one address.
Result<UniqueFd, OsError> listen_on(const Address& a) {
  UniqueFd fd(platform::stream_socket(a.storage.ss_family, false));
  if (!fd.valid()) return make_err(OsError::from_errno(errno));
  const int one = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.len) != 0 ||
      ::listen(fd.get(), kBacklog) != 0) {
    const int err = errno;
    return make_err(OsError::from_errno(err));
  }
  return fd;
}

// Sets a flag when it goes out of scope: the last act of a thread body.
class MarkOnExit {
 public:
  explicit MarkOnExit(std::atomic<bool>& flag) : flag_(flag) {}
  ~MarkOnExit() { flag_.store(true, std::memory_order_release); }
  MarkOnExit(const MarkOnExit&) = delete;
  MarkOnExit& operator=(const MarkOnExit&) = delete;

 private:
  std::atomic<bool>& flag_;
};

// What a connection thread starts with. Shared with the starting code only
// until the thread takes the connection and the context out.
struct ConnectionTask {
  std::unique_ptr<Connection> conn;
  std::shared_ptr<ServerContext> ctx;
  std::shared_ptr<std::atomic<bool>> finished;
  std::chrono::milliseconds idle_timeout{0};
  std::chrono::milliseconds auth_timeout{0};
  std::string peer;   // "ip:port" of the client, for CLIENT LIST
  std::string local;  // "ip:port" of the server's end
};

// Gives back a connection's place in connected_clients when it ends.
class ClientSlot {
 public:
  explicit ClientSlot(ServerContext& ctx) : ctx_(ctx) {}
  ~ClientSlot() { ctx_.connected_clients.fetch_sub(1, std::memory_order_relaxed); }
  ClientSlot(const ClientSlot&) = delete;
  ClientSlot& operator=(const ClientSlot&) = delete;

 private:
  ServerContext& ctx_;
};

// "ip:port" of one end of a connected socket (the peer's or the local
// one), or empty when the system cannot say.
std::string end_address(int fd, bool peer) {
  sockaddr_storage s{};
  socklen_t len = sizeof s;
  auto* sa = reinterpret_cast<sockaddr*>(&s);
  if ((peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len)) != 0) return {};
  char host[INET6_ADDRSTRLEN] = "";
  const void* ip = nullptr;
  if (s.ss_family == AF_INET) ip = &reinterpret_cast<const sockaddr_in*>(&s)->sin_addr;
  if (s.ss_family == AF_INET6) ip = &reinterpret_cast<const sockaddr_in6*>(&s)->sin6_addr;
  if (ip == nullptr || ::inet_ntop(s.ss_family, ip, host, sizeof host) == nullptr) return {};
  return std::string(host) + ":" + std::to_string(port_of(s));
}

void connection_thread(ConnectionTask& task) {
  const std::shared_ptr<std::atomic<bool>> finished = task.finished;
  MarkOnExit mark(*finished);
  std::shared_ptr<ServerContext> ctx = std::move(task.ctx);
  ClientSlot slot(*ctx);
  const std::unique_ptr<Connection> conn = std::move(task.conn);
  try {
    ConnectionState state = ConnectionState::initial(*ctx, std::move(task.peer), std::move(task.local));
    const Dispatcher dispatcher = [&state, &ctx](Request& args) { return dispatch(args, state, *ctx); };
    ConnectionGuard guard;
    guard.authenticated = &state.authenticated;
    guard.auth_timeout = ctx->password.has_value() ? task.auth_timeout : std::chrono::milliseconds{0};
    guard.idle_timeout = task.idle_timeout;
    run_connection(*conn, dispatcher, guard);
  } catch (...) {
    // No memory for the connection's state: it is closed unanswered.
    conn->close();
  }
}

// Answers a connection over the client limit and closes it. The socket is
// fresh, so the short reply fits its send buffer; nothing here waits.
void turn_away(UniqueFd socket) {
  static constexpr std::string_view kFull = "-ERR max number of clients reached\r\n";
  (void)::send(socket.get(), kFull.data(), kFull.size(), MSG_DONTWAIT | platform::send_flags());
  (void)::shutdown(socket.get(), SHUT_WR);
  // Closing with unread input would reset the connection, and a reset can
  // discard the reply before the client reads it: take what has arrived.
  char sink[4096];
  for (int i = 0; i < 16 && ::recv(socket.get(), sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
}

// The accept thread's state. Owned (through a shared_ptr) by the thread's
// body only.
class AcceptLoop {
 public:
  AcceptLoop(UniqueFd listener, std::shared_ptr<ServerContext> ctx, std::shared_ptr<ConnectionRegistry> registry,
             const ServerLimits& limits)
      : listener_(std::move(listener)), ctx_(std::move(ctx)), registry_(std::move(registry)), limits_(limits) {}

  void run() {
    MarkOnExit mark(registry_->accept_finished);
    for (;;) {
      UniqueFd socket(platform::accept_connection(listener_.get()));
      if (!socket.valid()) {
        if (errno == EINTR) continue;
        if (registry_->stop.load(std::memory_order_acquire)) break;
        // Out of descriptors (EMFILE, ENFILE) or memory: the connection
        // waits in the backlog until a connection ends; retrying at once
        // would only spin.
        std::this_thread::sleep_for(kAcceptRetryPause);
        continue;
      }
      const Admission admission = admit(socket);
      if (admission == Admission::Stopping) break;
      if (admission == Admission::Full) turn_away(std::move(socket));
    }
    listener_.reset();
    ctx_.reset();
  }

 private:
  enum class Admission { Started, Full, Stopping };

  // Registers the connection and starts its thread, which takes the
  // socket. Full: max_clients connections are open, the socket is left to
  // the caller. Stopping: the server is stopping; the socket is left to be
  // closed unanswered. A connection that cannot get its descriptors or its
  // thread is closed unanswered (Started). All its descriptors are taken
  // here, so the accept loop can never leave a started connection without
  // one.
  Admission admit(UniqueFd& socket) {
    MutexGuard guard(registry_->mutex);
    if (registry_->stop.load(std::memory_order_acquire)) return Admission::Stopping;
    reap();
    if (ctx_->connected_clients.load(std::memory_order_relaxed) >= ctx_->max_clients) {
      ctx_->rejected_connections.fetch_add(1, std::memory_order_relaxed);
      return Admission::Full;
    }
    bool counted = false;
    try {
      UniqueFd dup(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 3));
      if (!dup.valid()) {
        socket.reset();
        return Admission::Started;
      }
      // Reserve first, so that appending after the thread has started
      // cannot fail and strand a running thread.
      auto& list = registry_->connections;
      if (list.size() == list.capacity()) list.reserve(list.size() < 16 ? 16 : 2 * list.size());
      auto task = std::make_shared<ConnectionTask>();
      task->peer = end_address(socket.get(), true);
      task->local = end_address(socket.get(), false);
      Result<std::unique_ptr<Connection>, int> conn = open_accepted(std::move(socket));
      if (!conn.ok()) return Admission::Started;
      task->conn = std::move(conn.value());
      task->ctx = ctx_;
      task->finished = std::make_shared<std::atomic<bool>>(false);
      task->idle_timeout = limits_.idle_timeout;
      task->auth_timeout = limits_.auth_timeout;
      std::shared_ptr<std::atomic<bool>> finished = task->finished;
      // Counted before the thread runs; the thread gives it back at its end.
      ctx_->connected_clients.fetch_add(1, std::memory_order_relaxed);
      counted = true;
      NamedThread thread("mevora-conn", [task] { connection_thread(*task); });
      registry_->connections.push_back(ConnectionEntry{std::move(thread), std::move(dup), std::move(finished)});
    } catch (...) {
      // No memory or no thread: this one connection is closed unanswered
      // (the task, holding it, is gone); the server goes on.
      if (counted) ctx_->connected_clients.fetch_sub(1, std::memory_order_relaxed);
      socket.reset();
    }
    return Admission::Started;
  }

  // Joins and drops the entries of finished connection threads; the last
  // entry takes a removed one's place. Joining cannot block: the thread has
  // already run its last statement.
  void reap() MEVORA_REQUIRES(registry_->mutex) {
    std::vector<ConnectionEntry>& list = registry_->connections;
    std::size_t i = 0;
    while (i < list.size()) {
      if (!list[i].finished->load(std::memory_order_acquire)) {
        ++i;
        continue;
      }
      list[i].thread.join();
      if (i + 1 != list.size()) list[i] = std::move(list.back());
      list.pop_back();
    }
  }

  UniqueFd listener_;
  std::shared_ptr<ServerContext> ctx_;
  std::shared_ptr<ConnectionRegistry> registry_;
  const ServerLimits limits_;
};

// Opens a connection to the server's own address and closes it at once, so
// that a blocked accept returns. Every failure is ignored.
void wake_accept(const sockaddr_storage& address, socklen_t len) {
  UniqueFd fd(platform::stream_socket(address.ss_family, true));
  if (!fd.valid()) return;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), len) == 0) return;
  if (errno != EINPROGRESS) return;
  pollfd p{fd.get(), POLLOUT, 0};
  if (::poll(&p, 1, kWakeConnectTimeoutMs) <= 0) return;
  int so_error = 0;
  socklen_t so_len = sizeof so_error;
  (void)::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &so_len);
}

}  // namespace

std::uint64_t default_max_clients(std::uint64_t descriptor_limit, std::uint64_t open) {
  if (descriptor_limit == std::numeric_limits<std::uint64_t>::max()) return kMaxDefaultClients;
  const std::uint64_t used = open + kReservedDescriptors;
  const std::uint64_t room = descriptor_limit > used ? descriptor_limit - used : 0;
  return std::clamp<std::uint64_t>(room / kDescriptorsPerConnection, 1, kMaxDefaultClients);
}

Result<RunningServer, OsError> start_server(std::string_view host, std::uint16_t port,
                                            std::optional<std::string> password, std::shared_ptr<Store> store,
                                            const ServerLimits& limits) {
  try {
    const std::uint64_t descriptor_limit = platform::raise_descriptor_limit();
    const std::uint64_t max_clients = limits.max_clients != 0
                                          ? limits.max_clients
                                          : default_max_clients(descriptor_limit, platform::open_descriptor_count());
    Result<std::vector<Address>, OsError> addresses = resolve(host, port);
    if (!addresses.ok()) return make_err(std::move(addresses.error()));
    std::optional<OsError> last_error;
    UniqueFd listener;
    for (const Address& a : addresses.value()) {
      Result<UniqueFd, OsError> fd = listen_on(a);
      if (fd.ok()) {
        listener = std::move(fd.value());
        break;
      }
      last_error = std::move(fd.error());
    }
    if (!listener.valid()) return make_err(std::move(*last_error));

    RunningServer server;
    server.address_len = sizeof server.address;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&server.address), &server.address_len) != 0) {
      return make_err(OsError::from_errno(errno));
    }
    server.port = port_of(server.address);
    server.max_clients = max_clients;
    server.registry = std::make_shared<ConnectionRegistry>();
    server.store = store;
    std::shared_ptr<ServerContext> ctx = ServerContext::create(std::move(password), std::move(store));
    ctx->max_clients = max_clients;
    ctx->port = server.port;
    auto loop = std::make_shared<AcceptLoop>(std::move(listener), std::move(ctx), server.registry, limits);
    try {
      server.accept_thread = NamedThread("mevora-accept", [loop] { loop->run(); });
    } catch (const std::system_error& e) {
      return make_err(OsError::from_errno(e.code().value()));
    }
    return server;
  } catch (const std::bad_alloc&) {
    return make_err(OsError::from_errno(ENOMEM));
  }
}

void shutdown_server(RunningServer& server) {
  if (!server.registry) return;
  ConnectionRegistry& registry = *server.registry;
  registry.stop.store(true, std::memory_order_release);
  if (server.accept_thread.joinable()) {
    // The wake-up connection makes the blocked accept return; the accept
    // thread then sees the stop flag and ends, closing the listener.
    while (!registry.accept_finished.load(std::memory_order_acquire)) {
      wake_accept(server.address, server.address_len);
      if (registry.accept_finished.load(std::memory_order_acquire)) break;
      std::this_thread::sleep_for(kWakeRetryPause);
    }
    server.accept_thread.join();
  }
  // No connection thread can appear any more, so this list is complete.
  std::vector<ConnectionEntry> taken;
  {
    MutexGuard guard(registry.mutex);
    taken.swap(registry.connections);
  }
  for (ConnectionEntry& e : taken) ::shutdown(e.socket.get(), SHUT_RDWR);
  for (ConnectionEntry& e : taken) {
    e.thread.join();
    e.socket.reset();
  }
  // No BGSAVE can start any more either. The server keeps no reference to
  // the store once it is stopped.
  if (server.store != nullptr) server.store->join_background_saves();
  server.store.reset();
}

}  // namespace mevora::server
