#include "server_load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <thread>
#include <utility>

namespace mevora::stress {
namespace {

constexpr int kReplyTimeoutS = 60;
constexpr std::size_t kMaxBatch = 24;

enum class Parse { Done, More, Bad };

std::optional<std::int64_t> to_int(std::string_view s) {
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// Parses one reply starting at pos; on Done, pos is just past it and head
// (when given) holds its type and text.
Parse parse_reply(std::string_view b, std::size_t& pos, ReplyHead* head) {
  const std::size_t eol = b.find("\r\n", pos);
  if (eol == std::string_view::npos) return Parse::More;
  const char kind = b[pos];
  const std::string_view line = b.substr(pos + 1, eol - pos - 1);
  std::size_t next = eol + 2;
  if (head != nullptr) {
    head->kind = kind;
    head->text.assign(line);
  }
  switch (kind) {
    case '+':
    case '-':
    case ':':
      pos = next;
      return Parse::Done;
    case '$': {
      const std::optional<std::int64_t> n = to_int(line);
      if (!n.has_value() || *n < -1) return Parse::Bad;
      if (*n >= 0) {
        const auto len = static_cast<std::size_t>(*n);
        if (b.size() < next + len + 2) return Parse::More;
        if (b.substr(next + len, 2) != "\r\n") return Parse::Bad;
        if (head != nullptr) head->text.assign(b.substr(next, len));
        next += len + 2;
      }
      pos = next;
      return Parse::Done;
    }
    case '*': {
      const std::optional<std::int64_t> n = to_int(line);
      if (!n.has_value() || *n < -1) return Parse::Bad;
      for (std::int64_t i = 0; i < *n; ++i) {
        const Parse p = parse_reply(b, next, nullptr);
        if (p != Parse::Done) return p;
      }
      pos = next;
      return Parse::Done;
    }
    default:
      return Parse::Bad;
  }
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Error replies that some request of the mixed key space legitimately gets.
bool expected_error(std::string_view text) {
  static constexpr std::string_view kExpected[] = {
      "WRONGTYPE ",
      "ERR value is not an integer or out of range",
      "ERR increment or decrement would overflow",
      "ERR Background save already in progress",
  };
  for (std::string_view prefix : kExpected) {
    if (starts_with(text, prefix)) return true;
  }
  return false;
}

std::string value(Rng& rng) { return std::string(1 + rng.below(40), static_cast<char>('0' + rng.below(10))); }
std::string ttl_ms(Rng& rng) { return std::to_string(1 + rng.below(30)); }
std::string member(Rng& rng, char prefix) { return prefix + std::to_string(rng.below(16)); }

// One request of any kind on the shared key space (never FLUSHDB, which the
// caller sends under the run's flush generation).
std::vector<std::string> pick_request(Rng& rng) {
  const std::string k = pick_key(rng, 'k');
  switch (rng.below(40)) {
    case 0: return {"GET", k};
    case 1: return {"SET", k, value(rng)};
    case 2: return {"SET", k, value(rng), "PX", ttl_ms(rng)};
    case 3: return {"SET", k, value(rng), rng.chance(2) ? "NX" : "XX"};
    case 4: return {"DEL", k, pick_key(rng, 'h')};
    case 5: return {"INCR", pick_key(rng, 'c')};
    case 6: return {"INCRBY", pick_key(rng, 'c'), std::to_string(rng.below(100))};
    case 7: return {"DECR", pick_key(rng, 'c')};
    case 8: return {"APPEND", k, value(rng)};
    case 9: return {"MGET", k, pick_key(rng, 'c'), pick_key(rng, 'l')};
    case 10: return {"MSET", k, value(rng), pick_key(rng, 'k'), value(rng)};
    case 11: return {"EXISTS", k, pick_key(rng, 's')};
    case 12: return {"HSET", pick_key(rng, 'h'), member(rng, 'f'), value(rng), member(rng, 'f'), value(rng)};
    case 13: return {"HGET", pick_key(rng, 'h'), member(rng, 'f')};
    case 14: return {"HDEL", pick_key(rng, 'h'), member(rng, 'f')};
    case 15: return {"HGETALL", pick_key(rng, 'h')};
    case 16: return {"HLEN", pick_key(rng, 'h')};
    case 17: return {"LPUSH", pick_key(rng, 'l'), value(rng), value(rng)};
    case 18: return {"RPUSH", pick_key(rng, 'l'), value(rng)};
    case 19: return {"LPOP", pick_key(rng, 'l')};
    case 20: return {"RPOP", pick_key(rng, 'l')};
    case 21: return {"LRANGE", pick_key(rng, 'l'), "0", "-1"};
    case 22: return {"LLEN", pick_key(rng, 'l')};
    case 23: return {"SADD", pick_key(rng, 's'), member(rng, 'm'), member(rng, 'm')};
    case 24: return {"SREM", pick_key(rng, 's'), member(rng, 'm')};
    case 25: return {"SMEMBERS", pick_key(rng, 's')};
    case 26: return {"SISMEMBER", pick_key(rng, 's'), member(rng, 'm')};
    case 27: return {"SCARD", pick_key(rng, 's')};
    case 28: return {"EXPIRE", k, "1"};
    case 29: return {"PEXPIRE", k, ttl_ms(rng)};
    case 30: return {"PERSIST", k};
    case 31: return {rng.chance(2) ? "TTL" : "PTTL", k};
    case 32: return {"SETEX", k, "1", value(rng)};
    case 33: return {"KEYS", rng.chance(2) ? "c1*" : "*"};
    case 34: return {"DBSIZE"};
    case 35: return {"INFO"};
    case 36: return {"PING"};
    case 37: return {"ECHO", value(rng)};
    case 38: return {rng.chance(3) ? "SAVE" : "BGSAVE"};
    default: return {"LASTSAVE"};
  }
}

using Batch = std::vector<std::vector<std::string>>;

// Sends the batch, reads one reply per request and checks each: the
// replies, or nullopt once a failure was recorded.
std::optional<std::vector<ReplyHead>> round_trip(Run& run, RespConn& conn, const Batch& batch,
                                                 const std::string& who) {
  std::string out;
  for (const auto& args : batch) out += encode(args);
  if (!conn.send_all(out)) {
    run.failures.add(who + ": send failed");
    return std::nullopt;
  }
  std::vector<ReplyHead> replies;
  for (const auto& args : batch) {
    std::optional<ReplyHead> reply = conn.read_reply();
    if (!reply.has_value()) {
      run.failures.add(who + ": no reply to " + args[0]);
      return std::nullopt;
    }
    if (reply->kind == '-' && !expected_error(reply->text)) {
      run.failures.add(who + ": " + args[0] + " answered " + reply->text);
      return std::nullopt;
    }
    replies.push_back(std::move(*reply));
  }
  return replies;
}

}  // namespace

std::optional<RespConn> RespConn::connect(std::uint16_t port, int timeout_s) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::nullopt;
  timeval tv{timeout_s, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return std::nullopt;
  return RespConn(std::move(fd));
}

bool RespConn::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    timed_out_ = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool RespConn::fill() {
  if (pos_ > 0) {
    in_.erase(0, pos_);
    pos_ = 0;
  }
  char buf[16384];
  while (true) {
    const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    timed_out_ = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    if (n <= 0) return false;
    in_.append(buf, static_cast<std::size_t>(n));
    return true;
  }
}

std::optional<ReplyHead> RespConn::read_reply() {
  while (true) {
    ReplyHead head;
    std::size_t pos = pos_;
    switch (parse_reply(in_, pos, &head)) {
      case Parse::Done:
        pos_ = pos;
        return head;
      case Parse::Bad:
        malformed_ = true;
        return std::nullopt;
      case Parse::More:
        if (!fill()) return std::nullopt;
        break;
    }
  }
}

bool RespConn::wait_closed() {
  char c;
  while (true) {
    const ssize_t n = ::recv(fd_.get(), &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    timed_out_ = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }
}

std::string encode(const std::vector<std::string>& args) {
  std::string out = "*" + std::to_string(args.size()) + "\r\n";
  for (const std::string& a : args) out += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
  return out;
}

void client_worker(Run& run, std::uint16_t port, const std::string& password, bool pipelined, std::uint64_t seed,
                   int id, Counters& counters) {
  Rng rng(seed);
  const std::string who = "client " + std::to_string(id);
  std::optional<RespConn> conn = RespConn::connect(port, kReplyTimeoutS);
  if (!conn.has_value()) return run.failures.add(who + ": cannot connect");
  if (!round_trip(run, *conn, {{"AUTH", password}}, who)) return;
  const std::string own = "own:client" + std::to_string(id);
  OwnCounter own_counter;
  while (run.going()) {
    if (rng.chance(400)) {
      counters.hit("FLUSHDB");
      bool ok = true;
      run.flushing([&] { ok = round_trip(run, *conn, {{"FLUSHDB"}}, who).has_value(); });
      if (!ok) return;
      continue;
    }
    if (rng.chance(50)) {
      counters.hit("inline PING");
      const std::optional<ReplyHead> pong =
          conn->send_all("PING\r\n") ? conn->read_reply() : std::optional<ReplyHead>();
      if (!pong.has_value() || pong->text != "PONG") return run.failures.add(who + ": inline PING not answered");
      continue;
    }
    Batch batch(pipelined ? 1 + rng.below(kMaxBatch) : 1);
    for (auto& args : batch) {
      args = pick_request(rng);
      counters.hit(args[0]);
    }
    // Every batch ends with an increment of a private counter, which must
    // count exactly, pipelined or not.
    batch.push_back({"INCR", own});
    const std::uint64_t before = run.flush_generation.load(std::memory_order_acquire);
    const std::optional<std::vector<ReplyHead>> replies = round_trip(run, *conn, batch, who);
    if (!replies.has_value()) return;
    const std::uint64_t after = run.flush_generation.load(std::memory_order_acquire);
    const ReplyHead& incr = replies->back();
    const std::optional<std::int64_t> v = incr.kind == ':' ? to_int(incr.text) : std::nullopt;
    if (!v.has_value()) return run.failures.add(who + ": INCR of a private counter answered " + incr.text);
    own_counter.check(run, before, after, *v, who);
  }
  if (round_trip(run, *conn, {{"QUIT"}}, who) && !conn->wait_closed()) {
    run.failures.add(who + ": connection still open after QUIT");
  }
}

void churn_worker(Run& run, std::uint16_t port, const std::string& password, std::uint64_t seed, Counters& counters) {
  Rng rng(seed);
  while (run.going()) {
    std::optional<RespConn> conn = RespConn::connect(port, kReplyTimeoutS);
    if (!conn.has_value()) return run.failures.add("churn: cannot connect");
    const std::uint64_t how = rng.below(6);
    if (how != 0 && !round_trip(run, *conn, {{"AUTH", password}}, "churn")) return;
    switch (how) {
      case 0: {
        counters.hit("churn: request before AUTH");
        if (!conn->send_all(encode({"GET", "k1"}))) return run.failures.add("churn: send failed");
        const std::optional<ReplyHead> r = conn->read_reply();
        if (!r.has_value() || !starts_with(r->text, "NOAUTH")) return run.failures.add("churn: GET before AUTH");
        break;
      }
      case 1:
        counters.hit("churn: QUIT");
        if (!round_trip(run, *conn, {{"PING"}, {"QUIT"}}, "churn")) return;
        if (!conn->wait_closed()) return run.failures.add("churn: open after QUIT");
        break;
      case 2:
        counters.hit("churn: close mid-request");
        (void)conn->send_all(encode({"SET", "k1", std::string(100, 'x')}).substr(0, 1 + rng.below(30)));
        break;
      case 3:
        counters.hit("churn: protocol error");
        if (!conn->send_all("*1\r\n$x\r\n")) return run.failures.add("churn: send failed");
        if (const auto r = conn->read_reply(); !r.has_value() || !starts_with(r->text, "ERR Protocol error")) {
          return run.failures.add("churn: bad bulk length not refused");
        }
        if (!conn->wait_closed()) return run.failures.add("churn: open after a protocol error");
        break;
      default:
        counters.hit("churn: close after requests");
        if (!round_trip(run, *conn, {pick_request(rng), pick_request(rng)}, "churn")) return;
        break;
    }
    conn->close();
    std::this_thread::sleep_for(std::chrono::milliseconds(rng.below(5)));
  }
}

void doomed_client(Run& run, std::uint16_t port, const std::string& password, bool store_may_close,
                   std::uint64_t seed, Counters& counters) {
  Rng rng(seed);
  std::optional<RespConn> conn = RespConn::connect(port, kReplyTimeoutS);
  if (!conn.has_value()) return;  // the server was already shut down
  Batch batch{{"AUTH", password}};
  while (true) {
    std::string out;
    for (const auto& args : batch) out += encode(args);
    if (!conn->send_all(out)) {
      if (conn->timed_out()) run.failures.add("doomed client: a send timed out");
      return;
    }
    for (const auto& args : batch) {
      const std::optional<ReplyHead> reply = conn->read_reply();
      if (!reply.has_value()) {
        if (conn->timed_out()) run.failures.add("doomed client: the shutdown did not end the connection");
        if (conn->malformed()) run.failures.add("doomed client: a malformed reply to " + args[0]);
        return;
      }
      counters.hit("doomed " + args[0]);
      if (reply->kind == '-' && !expected_error(reply->text) &&
          !(store_may_close && starts_with(reply->text, "ERR save failed: "))) {
        return run.failures.add("doomed client: " + args[0] + " answered " + reply->text);
      }
    }
    batch.clear();
    const std::size_t size = 1 + rng.below(kMaxBatch);
    for (std::size_t i = 0; i < size; ++i) batch.push_back(pick_request(rng));
  }
}

}  // namespace mevora::stress
