// mevora-floor: the floor that bench/server.py measures the server against.
//
//   mevora-floor [--port 0]
//
// The least a thread-per-connection RESP server has to do: one accept loop
// on 127.0.0.1, one thread per connection, and one std::unordered_map of
// byte strings behind one std::mutex. It answers PING, SET key value and
// GET key (anything else is "-ERR unknown command"), which is all the load
// generator sends. Each connection reads through an 8192-byte input buffer
// and writes through an 8192-byte output buffer, flushed the way mevora's
// connection loop flushes: after a reply only when the input buffer holds
// no further whole request, and whenever the next piece does not fit.
//
// It is a measuring stick, not a server: requests are multibulk only and a
// request must fit the input buffer (anything else is a protocol error that
// closes the connection); there is no expiry, no memory limit, no log.
//
// Prints "floor listening on 127.0.0.1:PORT" once listening, then serves
// until SIGTERM or SIGINT: it stops accepting, shuts every connection down,
// joins every thread and exits 0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "util/unique_fd.h"

namespace {

using mevora::UniqueFd;

constexpr std::size_t kBufferSize = 8192;

// The keyspace: one map behind one mutex.
class Keyspace {
 public:
  void set(std::string_view key, std::string_view value) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = map_.find(key);
    if (it != map_.end()) {
      it->second.assign(value);  // same length: reuses the buffer
    } else {
      map_.emplace(std::string(key), std::string(value));
    }
  }

  // Calls f(value) under the lock when the key is present; false otherwise.
  template <class F>
  bool get(std::string_view key, F&& f) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    f(std::string_view(it->second));
    return true;
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::mutex mutex_;
  std::unordered_map<std::string, std::string, Hash, std::equal_to<>> map_;
};

// One request parsed out of the input buffer: up to three arguments.
struct Request {
  std::string_view args[3];
  std::size_t argc = 0;
};

enum class Parse { Done, Incomplete, Bad };

// A "<lead><decimal>\r\n" line at p; advances p past it.
Parse parse_header(const char*& p, const char* end, char lead, long& n) {
  if (p == end) return Parse::Incomplete;
  if (*p != lead) return Parse::Bad;
  const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
  if (cr == nullptr || cr + 1 == end) return Parse::Incomplete;
  auto [q, ec] = std::from_chars(p + 1, cr, n);
  if (ec != std::errc() || q != cr || cr[1] != '\n' || n < 0) return Parse::Bad;
  p = cr + 2;
  return Parse::Done;
}

// One multibulk request at the start of [p, end); on Done, p moves past it.
// Arguments past the third are parsed and dropped (unknown to this server).
Parse parse_request(const char*& p, const char* end, Request& r) {
  const char* q = p;
  long count = 0;
  if (Parse s = parse_header(q, end, '*', count); s != Parse::Done) return s;
  if (count < 1) return Parse::Bad;
  r.argc = 0;
  for (long i = 0; i < count; ++i) {
    long len = 0;
    if (Parse s = parse_header(q, end, '$', len); s != Parse::Done) return s;
    if (static_cast<std::size_t>(len) > kBufferSize) return Parse::Bad;
    if (end - q < len + 2) return Parse::Incomplete;
    if (r.argc < 3) r.args[r.argc] = std::string_view(q, static_cast<std::size_t>(len));
    ++r.argc;
    q += len + 2;
  }
  p = q;
  return Parse::Done;
}

bool equals_upper(std::string_view s, std::string_view upper) {
  if (s.size() != upper.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

class Connection {
 public:
  Connection(UniqueFd fd, Keyspace& keys) : fd_(std::move(fd)), keys_(keys) {}

  void run() {
    std::size_t begin = 0;
    std::size_t end = 0;
    for (;;) {
      // The unfinished request moves to the front; one that fills the
      // whole buffer is too large for this server.
      if (begin > 0) {
        std::memmove(in_, in_ + begin, end - begin);
        end -= begin;
        begin = 0;
      }
      if (end == kBufferSize) {
        put("-ERR Protocol error\r\n");
        (void)flush();
        return;
      }
      const ssize_t n = ::recv(fd_.get(), in_ + end, kBufferSize - end, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      end += static_cast<std::size_t>(n);
      // Answer every whole request buffered, then flush: the same sends as
      // flushing after a reply only when no further whole request is
      // buffered.
      for (;;) {
        const char* p = in_ + begin;
        Request r;
        const Parse s = parse_request(p, in_ + end, r);
        if (s == Parse::Incomplete) break;
        if (s == Parse::Bad) {
          put("-ERR Protocol error\r\n");
          (void)flush();
          return;
        }
        begin = static_cast<std::size_t>(p - in_);
        execute(r);
        if (failed_) return;
      }
      if (!flush()) return;
    }
  }

  int fd() const { return fd_.get(); }

 private:
  void execute(const Request& r) {
    const std::string_view name = r.args[0];
    if (equals_upper(name, "GET") && r.argc == 2) {
      const bool found = keys_.get(r.args[1], [this](std::string_view v) {
        char hdr[24];
        hdr[0] = '$';
        char* e = std::to_chars(hdr + 1, hdr + sizeof hdr - 2, v.size()).ptr;
        *e++ = '\r';
        *e++ = '\n';
        put(std::string_view(hdr, static_cast<std::size_t>(e - hdr)));
        put(v);
        put("\r\n");
      });
      if (!found) put("$-1\r\n");
    } else if (equals_upper(name, "SET") && r.argc == 3) {
      keys_.set(r.args[1], r.args[2]);
      put("+OK\r\n");
    } else if (equals_upper(name, "PING") && r.argc == 1) {
      put("+PONG\r\n");
    } else {
      put("-ERR unknown command\r\n");
    }
  }

  void put(std::string_view piece) {
    if (piece.size() > kBufferSize - out_used_ && !flush()) return;
    std::memcpy(out_ + out_used_, piece.data(), piece.size());  // pieces never exceed the buffer
    out_used_ += piece.size();
  }

  bool flush() {
    const char* p = out_;
    while (!failed_ && out_used_ > 0) {
      const ssize_t n = ::send(fd_.get(), p, out_used_, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed_ = true;
        break;
      }
      p += n;
      out_used_ -= static_cast<std::size_t>(n);
    }
    out_used_ = 0;
    return !failed_;
  }

  UniqueFd fd_;
  Keyspace& keys_;
  char in_[kBufferSize];
  char out_[kBufferSize];
  std::size_t out_used_ = 0;
  bool failed_ = false;
};

// One connection and its thread; the thread sets `finished` last.
struct Worker {
  std::unique_ptr<Connection> conn;
  std::atomic<bool> finished{false};
  std::jthread thread;
};

class Server {
 public:
  explicit Server(UniqueFd listener) : listener_(std::move(listener)) {}

  void accept_loop() {
    for (;;) {
      UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd.valid()) {
        if (!stop_.load() && (errno == EINTR || errno == ECONNABORTED)) continue;
        return;
      }
      int one = 1;
      (void)::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard<std::mutex> g(mutex_);
      if (stop_.load()) return;  // stop() has shut down every registered one
      reap();
      auto& w = workers_.emplace_back();
      w.conn = std::make_unique<Connection>(std::move(fd), keys_);
      w.thread = std::jthread([&w] {
        w.conn->run();
        w.finished.store(true);
      });
    }
  }

  // Wakes the accept loop and every connection; the threads end by
  // themselves and are joined by the destructor of workers_.
  void stop() {
    std::lock_guard<std::mutex> g(mutex_);
    stop_.store(true);
    ::shutdown(listener_.get(), SHUT_RDWR);
    for (Worker& w : workers_) ::shutdown(w.conn->fd(), SHUT_RDWR);
  }

 private:
  void reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
      it = it->finished.load() ? workers_.erase(it) : std::next(it);
    }
  }

  UniqueFd listener_;
  Keyspace keys_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::list<Worker> workers_;  // stable addresses: each thread holds its own
};

std::optional<UniqueFd> listen_loopback(std::uint16_t port, std::uint16_t& bound) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::nullopt;
  const int one = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.get(), 128) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return std::nullopt;
  }
  bound = ntohs(a.sin_port);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long port = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || port > 65535) {
        std::fprintf(stderr, "mevora-floor: bad --port\n");
        return 2;
      }
    } else {
      std::fprintf(stderr, "usage: mevora-floor [--port N]\n");
      return 2;
    }
  }
  // Every thread inherits the blocked signals; main takes them with sigwait.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::uint16_t bound = 0;
  std::optional<UniqueFd> listener = listen_loopback(static_cast<std::uint16_t>(port), bound);
  if (!listener) {
    std::fprintf(stderr, "mevora-floor: cannot listen: %s\n", std::strerror(errno));
    return 1;
  }
  Server server(std::move(*listener));
  std::jthread acceptor([&server] { server.accept_loop(); });
  std::printf("floor listening on 127.0.0.1:%u\n", static_cast<unsigned>(bound));
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop_signals, &sig);
  server.stop();
  acceptor.join();
  return 0;
}
