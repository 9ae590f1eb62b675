// mevora-loadgen: a closed-loop RESP2 load generator for benchmarks on this
// machine.
//
//   mevora-loadgen --port N [--host 127.0.0.1] [--threads 1] [--conns 1]
//                  [--pipeline 1] [--mix ping=1,set=0,get=0] [--keys 100000]
//                  [--value-size 16] [--duration 3] [--warmup 0.5]
//                  [--prefill] [--seed 1]
//
// Each of --threads threads drives its share of --conns connections with one
// epoll loop. A connection sends a batch of --pipeline commands (each drawn
// from --mix: PING, SET key value or GET key, keys uniform over --keys keys
// of 16 bytes, values of --value-size bytes), waits for all of its replies,
// records the batch's latency (send of the batch to its last reply) and
// sends the next batch. Batches started during the first --warmup seconds
// are not counted; the run stops --duration seconds after the warm-up.
// --prefill first SETs every key of the key space over one connection (so
// GETs hit); --duration 0 with --prefill only prefills.
//
// Prints one JSON object on stdout: ops, window_s, ops_per_sec, batches,
// p50_us, p99_us, p999_us, max_us (batch latencies), errors (error replies).
// Exits 1 on a connection failure or an unreadable reply stream, 2 on bad
// options. Only loopback addresses are accepted as --host, so the load never
// leaves this machine.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reply_scanner.h"
#include "util/unique_fd.h"

namespace mevora::loadgen {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  int threads = 1;
  int conns = 1;
  int pipeline = 1;
  double mix_ping = 1, mix_set = 0, mix_get = 0;
  std::uint32_t keys = 100000;
  std::uint32_t value_size = 16;
  double duration = 3;
  double warmup = 0.5;
  bool prefill = false;
  std::uint64_t seed = 1;
};

[[noreturn]] void usage_error(const std::string& msg) {
  std::fprintf(stderr, "mevora-loadgen: %s\n", msg.c_str());
  std::exit(2);
}

double to_double(const std::string& name, const char* s, double lo, double hi) {
  char* e = nullptr;
  errno = 0;
  const double v = std::strtod(s, &e);
  if (errno != 0 || e == s || *e != '\0' || !(v >= lo && v <= hi)) {
    usage_error(name + " must be a number in [" + std::to_string(lo) + ", " + std::to_string(hi) + "]");
  }
  return v;
}

long to_long(const std::string& name, const char* s, long lo, long hi) {
  char* e = nullptr;
  errno = 0;
  const long v = std::strtol(s, &e, 10);
  if (errno != 0 || e == s || *e != '\0' || v < lo || v > hi) {
    usage_error(name + " must be an integer in [" + std::to_string(lo) + ", " + std::to_string(hi) + "]");
  }
  return v;
}

// --mix ping=W,set=W,get=W (weights; missing ones are 0).
void parse_mix(const std::string& s, Options& o) {
  o.mix_ping = o.mix_set = o.mix_get = 0;
  std::size_t at = 0;
  while (at <= s.size()) {
    std::size_t comma = s.find(',', at);
    if (comma == std::string::npos) comma = s.size();
    const std::string part = s.substr(at, comma - at);
    const std::size_t eq = part.find('=');
    if (eq == std::string::npos) usage_error("--mix wants name=weight pairs, e.g. ping=1,set=0,get=0");
    const std::string name = part.substr(0, eq);
    const double w = to_double("--mix weight", part.c_str() + eq + 1, 0, 1e9);
    if (name == "ping") o.mix_ping = w;
    else if (name == "set") o.mix_set = w;
    else if (name == "get") o.mix_get = w;
    else usage_error("--mix names are ping, set and get");
    at = comma + 1;
  }
  if (o.mix_ping + o.mix_set + o.mix_get <= 0) usage_error("--mix needs a positive weight");
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--prefill") {
      o.prefill = true;
      continue;
    }
    if (i + 1 >= argc) usage_error("missing value for " + a);
    const char* v = argv[++i];
    if (a == "--host") o.host = v;
    else if (a == "--port") o.port = static_cast<int>(to_long(a, v, 1, 65535));
    else if (a == "--threads") o.threads = static_cast<int>(to_long(a, v, 1, 64));
    else if (a == "--conns") o.conns = static_cast<int>(to_long(a, v, 1, 10000));
    else if (a == "--pipeline") o.pipeline = static_cast<int>(to_long(a, v, 1, 100000));
    else if (a == "--mix") parse_mix(v, o);
    else if (a == "--keys") o.keys = static_cast<std::uint32_t>(to_long(a, v, 1, 1000000000));
    else if (a == "--value-size") o.value_size = static_cast<std::uint32_t>(to_long(a, v, 0, 1 << 24));
    else if (a == "--duration") o.duration = to_double(a, v, 0, 600);
    else if (a == "--warmup") o.warmup = to_double(a, v, 0, 60);
    else if (a == "--seed") o.seed = static_cast<std::uint64_t>(to_long(a, v, 0, 1L << 62));
    else usage_error("unknown option " + a);
  }
  if (o.port == 0) usage_error("--port is required");
  if (o.threads > o.conns) o.threads = o.conns;
  return o;
}

// Resolves --host to a loopback socket address; anything else is refused.
sockaddr_storage loopback_address(const Options& o, socklen_t& len) {
  sockaddr_storage ss{};
  const std::string host = o.host == "localhost" ? "127.0.0.1" : o.host;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) usage_error("--host must be a loopback address");
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(o.port));
    len = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) usage_error("--host must be a loopback address");
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(o.port));
    len = sizeof(sockaddr_in6);
  } else {
    usage_error("--host must be a numeric loopback address or localhost");
  }
  return ss;
}

// First failure of any thread; the others stop at their next loop turn.
struct Failure {
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::string message;

  void set(const std::string& m) {
    std::lock_guard<std::mutex> g(mu);
    if (!failed.load()) message = m;
    failed.store(true);
  }
};

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

UniqueFd connect_to(const sockaddr_storage& addr, socklen_t len, std::string& err) {
  UniqueFd fd(::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    err = errno_text("socket");
    return fd;
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    err = errno_text("connect");
    return UniqueFd();
  }
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// xorshift64*: cheap, per-thread, good enough to spread keys and commands.
struct Rng {
  std::uint64_t s;
  explicit Rng(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1Dull;
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

class RequestWriter {
 public:
  explicit RequestWriter(const Options& o) : o_(o), value_(o.value_size, 'x') {
    value_hdr_ = "$" + std::to_string(o.value_size) + "\r\n";
  }

  void append_set(std::string& out, std::uint32_t key) const {
    out += "*3\r\n$3\r\nSET\r\n";
    append_key(out, key);
    out += value_hdr_;
    out += value_;
    out += "\r\n";
  }

  void append_random(std::string& out, Rng& rng) const {
    const double total = o_.mix_ping + o_.mix_set + o_.mix_get;
    const double r = rng.unit() * total;
    if (r < o_.mix_ping) {
      out += "*1\r\n$4\r\nPING\r\n";
      return;
    }
    const auto key = static_cast<std::uint32_t>(rng.next() % o_.keys);
    if (r < o_.mix_ping + o_.mix_set) {
      append_set(out, key);
    } else {
      out += "*2\r\n$3\r\nGET\r\n";
      append_key(out, key);
    }
  }

 private:
  static void append_key(std::string& out, std::uint32_t key) {
    char k[32];
    std::snprintf(k, sizeof k, "key:%012u", key);  // 16 bytes
    out += "$16\r\n";
    out.append(k, 16);
    out += "\r\n";
  }

  const Options& o_;
  std::string value_;
  std::string value_hdr_;
};

struct Conn {
  UniqueFd fd;
  ReplyScanner scanner;
  std::string out;
  std::size_t out_off = 0;
  long pending = 0;
  Clock::time_point started;
  bool polling_out = false;
};

struct ThreadStats {
  std::uint64_t ops = 0;
  std::uint64_t errors = 0;
  std::vector<std::uint64_t> latency_ns;  // one per counted batch
};

class Worker {
 public:
  Worker(const Options& o, const RequestWriter& w, std::vector<std::unique_ptr<Conn>> conns, std::uint64_t seed,
         Clock::time_point count_from, Clock::time_point end, Failure& failure, ThreadStats& stats)
      : o_(o), w_(w), conns_(std::move(conns)), rng_(seed), count_from_(count_from), end_(end),
        failure_(failure), stats_(stats) {}

  void run() {
    ep_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!ep_.valid()) return failure_.set(errno_text("epoll_create1"));
    for (auto& c : conns_) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = c.get();
      if (::epoll_ctl(ep_.get(), EPOLL_CTL_ADD, c->fd.get(), &ev) != 0) return failure_.set(errno_text("epoll_ctl"));
      if (!start_batch(*c)) return;
    }
    epoll_event evs[64];
    while (!failure_.failed.load(std::memory_order_relaxed)) {
      const auto now = Clock::now();
      if (now >= end_) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - now).count();
      const int n = ::epoll_wait(ep_.get(), evs, 64, static_cast<int>(std::clamp<long long>(left, 1, 100)));
      if (n < 0) {
        if (errno == EINTR) continue;
        return failure_.set(errno_text("epoll_wait"));
      }
      for (int i = 0; i < n; ++i) {
        Conn& c = *static_cast<Conn*>(evs[i].data.ptr);
        if ((evs[i].events & EPOLLOUT) && !flush(c)) return;
        if ((evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !receive(c)) return;
      }
    }
  }

 private:
  bool start_batch(Conn& c) {
    c.out.clear();
    c.out_off = 0;
    for (int i = 0; i < o_.pipeline; ++i) w_.append_random(c.out, rng_);
    c.pending = o_.pipeline;
    c.started = Clock::now();
    return flush(c);
  }

  bool set_out_interest(Conn& c, bool on) {
    if (c.polling_out == on) return true;
    epoll_event ev{};
    ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    ev.data.ptr = &c;
    if (::epoll_ctl(ep_.get(), EPOLL_CTL_MOD, c.fd.get(), &ev) != 0) {
      failure_.set(errno_text("epoll_ctl"));
      return false;
    }
    c.polling_out = on;
    return true;
  }

  bool flush(Conn& c) {
    while (c.out_off < c.out.size()) {
      const ssize_t r = ::send(c.fd.get(), c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
      if (r > 0) {
        c.out_off += static_cast<std::size_t>(r);
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return set_out_interest(c, true);
      } else {
        failure_.set(errno_text("send"));
        return false;
      }
    }
    return set_out_interest(c, false);
  }

  bool receive(Conn& c) {
    char buf[65536];
    for (;;) {
      const ssize_t r = ::recv(c.fd.get(), buf, sizeof buf, 0);
      if (r == 0) {
        failure_.set("connection closed by the server");
        return false;
      }
      if (r < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        failure_.set(errno_text("recv"));
        return false;
      }
      const ReplyScanner::Counts got = c.scanner.feed(buf, static_cast<std::size_t>(r));
      if (c.scanner.bad()) {
        failure_.set("unreadable reply stream");
        return false;
      }
      stats_.errors += got.errors;
      c.pending -= static_cast<long>(got.replies);
      if (c.pending < 0) {
        failure_.set("more replies than requests");
        return false;
      }
      if (c.pending == 0) {
        const auto done = Clock::now();
        if (c.started >= count_from_ && done <= end_) {
          stats_.ops += static_cast<std::uint64_t>(o_.pipeline);
          stats_.latency_ns.push_back(
              static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(done - c.started).count()));
        }
        if (done >= end_) return true;
        if (!start_batch(c)) return false;
      }
      // A short read drained the socket; level-triggered epoll reports any
      // later bytes, so skip the recv that would only say EAGAIN.
      if (static_cast<std::size_t>(r) < sizeof buf) return true;
    }
  }

  const Options& o_;
  const RequestWriter& w_;
  std::vector<std::unique_ptr<Conn>> conns_;
  Rng rng_;
  Clock::time_point count_from_;
  Clock::time_point end_;
  Failure& failure_;
  ThreadStats& stats_;
  UniqueFd ep_;
};

// SETs every key once over a blocking connection, 1,000 commands per
// pipelined chunk, so later GETs hit.
bool prefill(const Options& o, const RequestWriter& w, const sockaddr_storage& addr, socklen_t len, std::string& err) {
  UniqueFd fd = connect_to(addr, len, err);
  if (!fd.valid()) return false;
  timeval tv{10, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ReplyScanner scanner;
  std::string out;
  char buf[65536];
  for (std::uint32_t base = 0; base < o.keys; base += 1000) {
    const std::uint32_t n = std::min<std::uint32_t>(1000, o.keys - base);
    out.clear();
    for (std::uint32_t k = base; k < base + n; ++k) w.append_set(out, k);
    std::size_t off = 0;
    while (off < out.size()) {
      const ssize_t r = ::send(fd.get(), out.data() + off, out.size() - off, MSG_NOSIGNAL);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        err = errno_text("send");
        return false;
      }
      off += static_cast<std::size_t>(r);
    }
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::recv(fd.get(), buf, sizeof buf, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        err = r == 0 ? std::string("connection closed by the server") : errno_text("recv");
        return false;
      }
      const ReplyScanner::Counts c = scanner.feed(buf, static_cast<std::size_t>(r));
      if (scanner.bad() || c.errors > 0) {
        err = "prefill got an unreadable or error reply";
        return false;
      }
      got += c.replies;
    }
  }
  return true;
}

std::uint64_t percentile(const std::vector<std::uint64_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  auto idx = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  idx = std::clamp<std::size_t>(idx, 1, sorted.size()) - 1;
  return sorted[idx];
}

int run(int argc, char** argv) {
  const Options o = parse_options(argc, argv);
  socklen_t addr_len = 0;
  const sockaddr_storage addr = loopback_address(o, addr_len);
  const RequestWriter writer(o);
  std::string err;
  if (o.prefill && !prefill(o, writer, addr, addr_len, err)) {
    std::fprintf(stderr, "mevora-loadgen: prefill: %s\n", err.c_str());
    return 1;
  }
  if (o.duration <= 0) {
    std::printf("{\"ops\": 0, \"prefilled\": %u}\n", o.prefill ? o.keys : 0u);
    return 0;
  }

  std::vector<std::vector<std::unique_ptr<Conn>>> per_thread(static_cast<std::size_t>(o.threads));
  for (int i = 0; i < o.conns; ++i) {
    auto c = std::make_unique<Conn>();
    c->fd = connect_to(addr, addr_len, err);
    if (!c->fd.valid()) {
      std::fprintf(stderr, "mevora-loadgen: %s\n", err.c_str());
      return 1;
    }
    if (::fcntl(c->fd.get(), F_SETFL, ::fcntl(c->fd.get(), F_GETFL) | O_NONBLOCK) != 0) {
      std::fprintf(stderr, "mevora-loadgen: %s\n", errno_text("fcntl").c_str());
      return 1;
    }
    per_thread[static_cast<std::size_t>(i % o.threads)].push_back(std::move(c));
  }

  Failure failure;
  std::vector<ThreadStats> stats(static_cast<std::size_t>(o.threads));
  const auto start = Clock::now();
  const auto count_from = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.warmup));
  const auto end = count_from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.duration));
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < o.threads; ++t) {
      const auto ti = static_cast<std::size_t>(t);
      threads.emplace_back([&, ti] {
        Worker(o, writer, std::move(per_thread[ti]), o.seed * 1000 + ti, count_from, end, failure, stats[ti]).run();
      });
    }
  }
  if (failure.failed.load()) {
    std::fprintf(stderr, "mevora-loadgen: %s\n", failure.message.c_str());
    return 1;
  }

  std::uint64_t ops = 0, errors = 0;
  std::vector<std::uint64_t> lat;
  for (auto& s : stats) {
    ops += s.ops;
    errors += s.errors;
    lat.insert(lat.end(), s.latency_ns.begin(), s.latency_ns.end());
  }
  std::sort(lat.begin(), lat.end());
  const double window = o.duration;
  std::printf(
      "{\"ops\": %llu, \"window_s\": %.3f, \"ops_per_sec\": %.1f, \"batches\": %zu, \"p50_us\": %.1f, "
      "\"p99_us\": %.1f, \"p999_us\": %.1f, \"max_us\": %.1f, \"errors\": %llu, \"threads\": %d, \"conns\": %d, "
      "\"pipeline\": %d}\n",
      static_cast<unsigned long long>(ops), window, static_cast<double>(ops) / window, lat.size(),
      static_cast<double>(percentile(lat, 0.50)) / 1e3, static_cast<double>(percentile(lat, 0.99)) / 1e3,
      static_cast<double>(percentile(lat, 0.999)) / 1e3, lat.empty() ? 0.0 : static_cast<double>(lat.back()) / 1e3,
      static_cast<unsigned long long>(errors), o.threads, o.conns, o.pipeline);
  return 0;
}

}  // namespace
}  // namespace mevora::loadgen

int main(int argc, char** argv) { return mevora::loadgen::run(argc, argv); }
