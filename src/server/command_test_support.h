// Test support for the command-layer tests: wire forms of expected
// replies, a harness around one connection to a fresh in-memory store with
// a fake clock, and scripts of (request, expected reply) steps.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "server/commands.h"

namespace mevora::server::command_test {

// ---- wire forms of expected replies -----------------------------------------

inline std::string ok() { return "+OK\r\n"; }
inline std::string nil() { return "$-1\r\n"; }
inline std::string simple(const std::string& s) { return "+" + s + "\r\n"; }
inline std::string err(const std::string& s) { return "-" + s + "\r\n"; }
inline std::string num(long long n) { return ":" + std::to_string(n) + "\r\n"; }
inline std::string bulk(const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; }
inline std::string arr(const std::vector<std::string>& items) {
  std::string out = "*" + std::to_string(items.size()) + "\r\n";
  for (const std::string& i : items) out += i;
  return out;
}

inline const std::string kNotInt = err("ERR value is not an integer or out of range");
inline const std::string kSyntax = err("ERR syntax error");
inline const std::string kWrongType = err("WRONGTYPE Operation against a key holding the wrong kind of value");
inline const std::string kOverflow = err("ERR increment or decrement would overflow");
inline const std::string kNoAuth = err("NOAUTH Authentication required.");
inline const std::string kWrongPass = err("WRONGPASS invalid password");
inline std::string wrong(const std::string& name) { return err("ERR wrong number of arguments for '" + name + "' command"); }
inline std::string bad_expire(const std::string& cmd) { return err("ERR invalid expire time in '" + cmd + "' command"); }

// One request and the wire form of its expected reply; the fake clock moves
// forward by advance_ms before the request runs.
struct Step {
  std::vector<std::string> args;
  std::string want;
  std::uint64_t advance_ms = 0;
};

struct Script {
  const char* name;
  std::vector<Step> steps;
};

// A fresh in-memory store with a fake clock, no sweeper, and one
// connection to a server with the given password.
class Harness {
 public:
  explicit Harness(std::optional<std::string> password = std::nullopt) {
    StoreConfig config;
    config.shards = 4;
    config.sweep_interval_ms = 0;
    clock = std::make_shared<FakeClock>(1'700'000'000'000);
    store = Store::create(config, clock);
    ctx = ServerContext::create(std::move(password), store);
    conn = ConnectionState::initial(*ctx);
  }

  Reply reply(std::vector<std::string> args) {
    DispatchResult r = dispatch(args, conn, *ctx);
    closed = r.close;
    protocol = r.protocol;
    return std::move(r.reply);
  }

  // The wire form, in the protocol the connection speaks after the command
  // (as the connection loop encodes it).
  std::string run(std::vector<std::string> args) {
    Reply r = reply(std::move(args));
    std::string wire;
    r.append_to(wire, protocol);
    return wire;
  }

  std::shared_ptr<FakeClock> clock;
  std::shared_ptr<Store> store;
  std::shared_ptr<ServerContext> ctx;
  ConnectionState conn;
  bool closed = false;
  Protocol protocol = Protocol::Resp2;
};

inline std::string show(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += "[" + a + "]";
  return s;
}

inline void run_scripts(const std::vector<Script>& scripts, std::optional<std::string> password = std::nullopt) {
  for (const Script& script : scripts) {
    SCOPED_TRACE(script.name);
    Harness h(password);
    for (const Step& step : script.steps) {
      h.clock->advance(step.advance_ms);
      EXPECT_EQ(h.run(step.args), step.want) << show(step.args);
    }
  }
}

}  // namespace mevora::server::command_test
