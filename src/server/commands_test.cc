#include "server/commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/command_test_support.h"

namespace mevora::server {
namespace {

using namespace std::string_literals;
using namespace command_test;

// ---- names, arity and the table ---------------------------------------------

TEST(Dispatch, NamesAreCaseInsensitiveAndArityIsChecked) {
  run_scripts({
      {"case", {{{"get", "a"}, nil()}, {{"Get", "a"}, nil()}, {{"GET", "a"}, nil()}, {{"pInG"}, simple("PONG")}}},
      {"too many", {{{"Get", "a", "b"}, wrong("get")}, {{"PING", "a", "b"}, wrong("ping")}}},
      {"too few",
       {{{"SET", "k"}, wrong("set")},
        {{"SETEX", "k", "1"}, wrong("setex")},
        {{"ExIsTs"}, wrong("exists")},
        {{"LRANGE", "l", "0"}, wrong("lrange")},
        {{"HSET", "h", "f"}, wrong("hset")}}},
      {"exact counts",
       {{{"DBSIZE", "x"}, wrong("dbsize")},
        {{"FLUSHALL", "a", "b"}, wrong("flushall")},
        {{"INFO", "a", "b"}, wrong("info")},
        {{"SAVE", "x"}, wrong("save")},
        {{"LASTSAVE", "x"}, wrong("lastsave")}}},
      {"pair parity",
       {{{"MSET", "a", "1", "b"}, wrong("mset")},
        {{"HSET", "h", "f", "v", "g"}, wrong("hset")},
        {{"EXISTS", "a"}, num(0)},
        {{"EXISTS", "h"}, num(0)}}},
      {"unknown",
       {{{"FOO", "bar"}, err("ERR unknown command 'FOO'")},
        {{"fOo"}, err("ERR unknown command 'fOo'")},
        {{""}, err("ERR unknown command ''")},
        {{"GETTTTTTTTTTTTTTTTTTTTTTTTTT"}, err("ERR unknown command 'GETTTTTTTTTTTTTTTTTTTTTTTTTT'")},
        {{"G\xff" "T\xe2\x82"}, err("ERR unknown command 'G\xef\xbf\xbdT\xef\xbf\xbd'")}}},
      {"command", {{{"COMMAND"}, arr({})}, {{"COMMAND", "DOCS"}, arr({})}, {{"command", "count", "x"}, arr({})}}},
  });
}

TEST(Dispatch, QuitRepliesOkAndClosesWhateverItsArguments) {
  for (const auto& password : {std::optional<std::string>(), std::optional<std::string>("pw")}) {
    Harness h(password);
    EXPECT_EQ(h.run({"quit", "a", "b"}), ok());
    EXPECT_TRUE(h.closed);
    EXPECT_EQ(h.run({"PING"}), password ? kNoAuth : simple("PONG"));
    EXPECT_FALSE(h.closed);
  }
}

TEST(Dispatch, WrongArgsLowerCasesAndReplacesInvalidUtf8) {
  EXPECT_EQ(wrong_args("GeT").text(), "ERR wrong number of arguments for 'get' command");
  EXPECT_EQ(wrong_args("Ge\xffT").text(), "ERR wrong number of arguments for 'ge\xef\xbf\xbdt' command");
}

TEST(Dispatch, IntArgFollowsTheWireIntegerSyntax) {
  struct Case {
    std::string in;
    std::optional<std::int64_t> want;
  };
  const Case cases[] = {
      {"0", 0},           {"+5", 5},  {"-7", -7}, {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", {}}, {"", {}}, {"+", {}}, {"-", {}}, {" 5", {}}, {"5 ", {}}, {"1.5", {}}, {"0x10", {}},
  };
  for (const Case& c : cases) {
    Result<std::int64_t, Reply> r = int_arg(c.in);
    ASSERT_EQ(r.ok(), c.want.has_value()) << c.in;
    if (r.ok()) {
      EXPECT_EQ(r.value(), *c.want) << c.in;
    } else {
      EXPECT_EQ(r.error(), Reply::error("ERR value is not an integer or out of range")) << c.in;
    }
  }
}

TEST(Dispatch, StoreErrorsHaveTheirFixedTexts) {
  EXPECT_EQ(store_error_reply(StoreError::WrongType).text(),
            "WRONGTYPE Operation against a key holding the wrong kind of value");
  EXPECT_EQ(store_error_reply(StoreError::OutOfMemory).text(), "OOM command not allowed when used memory > 'maxmemory'");
  EXPECT_EQ(store_error_reply(StoreError::NotInteger).text(), "ERR value is not an integer or out of range");
  EXPECT_EQ(store_error_reply(StoreError::Overflow).text(), "ERR increment or decrement would overflow");
  EXPECT_EQ(store_error_reply(StoreError::KeyTooLong).text(), "ERR key longer than 4 GiB");
}

TEST(Dispatch, OutOfMemoryStopsAWriteAndLeavesReadsWorking) {
  StoreConfig config;
  config.shards = 1;
  config.sweep_interval_ms = 0;
  config.max_memory = 1;
  auto ctx = ServerContext::create(std::nullopt, Store::create(config));
  ConnectionState conn = ConnectionState::initial(*ctx);
  std::vector<std::string> set = {"SET", "k", "v"};
  EXPECT_EQ(dispatch(set, conn, *ctx).reply, Reply::error("OOM command not allowed when used memory > 'maxmemory'"));
  std::vector<std::string> get = {"GET", "k"};
  EXPECT_EQ(dispatch(get, conn, *ctx).reply, Reply::null());
}

// ---- strings, keys and counters -----------------------------------------------

TEST(DataCommands, SetOptions) {
  run_scripts({
      {"plain", {{{"SET", "k", "v"}, ok()}, {{"GET", "k"}, bulk("v")}, {{"PTTL", "k"}, num(-1)}}},
      {"nx and xx",
       {{{"SET", "k", "v", "xx"}, nil()},
        {{"GET", "k"}, nil()},
        {{"SET", "k", "v", "nx"}, ok()},
        {{"SET", "k", "w", "nx"}, nil()},
        {{"SET", "k", "w", "NX", "NX"}, nil()},
        {{"GET", "k"}, bulk("v")},
        {{"set", "k", "w", "Xx"}, ok()},
        {{"GET", "k"}, bulk("w")},
        {{"SET", "k", "v", "NX", "XX"}, kSyntax},
        {{"GET", "k"}, bulk("w")}}},
      {"ttl options",
       {{{"SET", "k", "v", "ex", "10"}, ok()},
        {{"PTTL", "k"}, num(10000)},
        {{"SET", "k", "v", "Px", "1500"}, ok()},
        {{"PTTL", "k"}, num(1500)},
        {{"SET", "k", "v", "EX", "+5"}, ok()},
        {{"PTTL", "k"}, num(5000)},
        {{"SET", "k", "v"}, ok()},
        {{"PTTL", "k"}, num(-1)}}},
      {"bad options",
       {{{"SET", "k", "v", "EX", "10", "PX", "100"}, kSyntax},
        {{"SET", "k", "v", "EX", "10", "EX", "10"}, kSyntax},
        {{"SET", "k", "v", "EX"}, kSyntax},
        {{"SET", "k", "v", "KEEPTTL", "EX", "10"}, kSyntax},
        {{"SET", "k", "v", "N"}, kSyntax},
        {{"SET", "k", "v", "EX", "0"}, bad_expire("set")},
        {{"SET", "k", "v", "EX", "-5"}, bad_expire("set")},
        {{"SET", "k", "v", "PX", "0"}, bad_expire("set")},
        {{"SET", "k", "v", "EX", "abc"}, kNotInt},
        {{"SET", "k", "v", "FOO", "EX", "0"}, kSyntax},
        {{"SET", "k", "v", "EX", "0", "FOO"}, bad_expire("set")},
        {{"GET", "k"}, nil()}}},
      {"expire boundaries",
       {{{"SET", "k", "v", "EX", "9223372036854776"}, bad_expire("set")},
        {{"SET", "k", "v", "EX", "9223372036854775"}, ok()},
        {{"SET", "k", "v", "PX", "9223372036854775807"}, ok()},
        {{"SET", "k", "v", "PX", "9223372036854775808"}, kNotInt}}},
      {"setex",
       {{{"SETEX", "k", "10", "v"}, ok()},
        {{"GET", "k"}, bulk("v")},
        {{"PTTL", "k"}, num(10000)},
        {{"SETEX", "k", "0", "v"}, bad_expire("setex")},
        {{"SETEX", "k", "-1", "v"}, bad_expire("setex")},
        {{"SETEX", "k", "9223372036854776", "v"}, bad_expire("setex")},
        {{"SETEX", "k", "x", "v"}, kNotInt}}},
  });
}

TEST(DataCommands, MultiKeyCommands) {
  std::vector<std::string> mset = {"MSET"};
  std::vector<std::string> mget = {"MGET"};
  std::vector<std::string> del = {"DEL"};
  std::vector<std::string> values;
  for (int i = 0; i < 20; ++i) {  // past the on-stack list size
    mset.push_back("k" + std::to_string(i));
    mset.push_back("v" + std::to_string(i));
    mget.push_back("k" + std::to_string(i));
    del.push_back("k" + std::to_string(i));
    values.push_back(bulk("v" + std::to_string(i)));
  }
  run_scripts({
      {"mget mixes kinds",
       {{{"MSET", "a", "1", "b", "2"}, ok()},
        {{"HSET", "h", "f", "v"}, num(1)},
        {{"MGET", "a", "h", "b", "c"}, arr({bulk("1"), nil(), bulk("2"), nil()})}}},
      {"exists counts duplicates, del does not",
       {{{"SET", "a", "1"}, ok()},
        {{"EXISTS", "a", "a"}, num(2)},
        {{"EXISTS", "a", "b", "a"}, num(2)},
        {{"DEL", "a", "a"}, num(1)},
        {{"EXISTS", "a"}, num(0)}}},
      {"many keys", {{mset, ok()}, {mget, arr(values)}, {del, num(20)}, {{"DBSIZE"}, num(0)}}},
      {"append",
       {{{"APPEND", "s", "abc"}, num(3)},
        {{"APPEND", "s", "de"}, num(5)},
        {{"GET", "s"}, bulk("abcde")},
        {{"LPUSH", "l", "x"}, num(1)},
        {{"APPEND", "l", "x"}, kWrongType},
        {{"GET", "l"}, kWrongType}}},
      {"binary values", {{{"SET", "\x00k\xff"s, "\r\n\x00"s}, ok()}, {{"GET", "\x00k\xff"s}, bulk("\r\n\x00"s)}}},
  });
}

TEST(DataCommands, Counters) {
  run_scripts({
      {"basic",
       {{{"INCR", "c"}, num(1)},
        {{"DECR", "c"}, num(0)},
        {{"DECR", "c"}, num(-1)},
        {{"INCRBY", "c", "11"}, num(10)},
        {{"DECRBY", "c", "3"}, num(7)},
        {{"DECRBY", "c", "-3"}, num(10)},
        {{"INCRBY", "c", "x"}, kNotInt},
        {{"DECRBY", "c", "1.5"}, kNotInt},
        {{"GET", "c"}, bulk("10")}}},
      {"overflow",
       {{{"DECRBY", "c", "-9223372036854775808"}, kOverflow},
        {{"EXISTS", "c"}, num(0)},
        {{"SET", "n", "-2"}, ok()},
        {{"DECRBY", "n", "9223372036854775807"}, kOverflow},
        {{"SET", "m", "9223372036854775807"}, ok()},
        {{"INCR", "m"}, kOverflow},
        {{"GET", "m"}, bulk("9223372036854775807")}}},
      {"not an integer or wrong kind",
       {{{"SET", "s", "abc"}, ok()},
        {{"INCR", "s"}, kNotInt},
        {{"SADD", "set", "a"}, num(1)},
        {{"INCRBY", "set", "2"}, kWrongType}}},
  });
}

TEST(DataCommands, ExpiryCommands) {
  run_scripts({
      {"expire below one deletes",
       {{{"SET", "k", "v"}, ok()},
        {{"EXPIRE", "k", "0"}, num(1)},
        {{"EXISTS", "k"}, num(0)},
        {{"EXPIRE", "k", "0"}, num(0)},
        {{"SADD", "s", "m"}, num(1)},
        {{"PEXPIRE", "s", "-1"}, num(1)},
        {{"EXISTS", "s"}, num(0)}}},
      {"expire sets deadlines",
       {{{"EXPIRE", "missing", "10"}, num(0)},
        {{"SET", "k", "v"}, ok()},
        {{"EXPIRE", "k", "10"}, num(1)},
        {{"PTTL", "k"}, num(10000)},
        {{"TTL", "k"}, num(10)},
        {{"PEXPIRE", "k", "250"}, num(1)},
        {{"PTTL", "k"}, num(250)},
        {{"EXPIRE", "k", "abc"}, kNotInt},
        {{"EXPIRE", "k", "9223372036854776"}, bad_expire("expire")},
        {{"PTTL", "k"}, num(250)},
        {{"EXPIRE", "k", "9223372036854775"}, num(1)},
        {{"PEXPIRE", "k", "9223372036854775807"}, num(1)}}},
      {"persist",
       {{{"SET", "k", "v", "EX", "5"}, ok()},
        {{"PERSIST", "k"}, num(1)},
        {{"PERSIST", "k"}, num(0)},
        {{"PTTL", "k"}, num(-1)},
        {{"TTL", "k"}, num(-1)},
        {{"TTL", "missing"}, num(-2)},
        {{"PTTL", "missing"}, num(-2)}}},
      {"ttl rounds to the nearest second, halves up",
       {{{"SET", "k", "v", "PX", "2000"}, ok()},
        {{"TTL", "k"}, num(2)},
        {{"TTL", "k"}, num(2), 500},   // 1,500 ms left
        {{"TTL", "k"}, num(1), 1},     // 1,499
        {{"TTL", "k"}, num(1), 999},   // 500
        {{"TTL", "k"}, num(0), 1},     // 499
        {{"PTTL", "k"}, num(1), 498},  // 1
        {{"TTL", "k"}, num(0)},
        {{"TTL", "k"}, num(-2), 1},
        {{"GET", "k"}, nil()}}},
  });
}

TEST(DataCommands, KeysPattern) {
  run_scripts({{"keys",
                {{{"SET", "a1", "v"}, ok()},
                 {{"SET", "b1", "v"}, ok()},
                 {{"KEYS", "a*"}, arr({bulk("a1")})},
                 {{"KEYS", "z*"}, arr({})},
                 {{"KEYS", "\xff*"}, err("ERR invalid pattern")},
                 {{"KEYS", "\xed\xa0\x80"}, err("ERR invalid pattern")}}}});
}

// ---- hashes, lists, sets --------------------------------------------------------

TEST(DataCommands, Hashes) {
  run_scripts({
      {"hset counts new fields",
       {{{"HSET", "h", "f1", "v1", "f2", "v2"}, num(2)},
        {{"HSET", "h", "f1", "x", "f3", "y"}, num(1)},
        {{"HGET", "h", "f1"}, bulk("x")},
        {{"HGET", "h", "nope"}, nil()},
        {{"HGET", "nope", "f"}, nil()},
        {{"HLEN", "h"}, num(3)},
        {{"HDEL", "h"}, num(0)},
        {{"HDEL", "h", "f1", "nope", "f1"}, num(1)},
        {{"HLEN", "h"}, num(2)},
        {{"HGETALL", "missing"}, arr({})}}},
      {"wrong kind",
       {{{"SET", "s", "v"}, ok()},
        {{"HSET", "s", "f", "v"}, kWrongType},
        {{"HGET", "s", "f"}, kWrongType},
        {{"HGETALL", "s"}, kWrongType},
        {{"GET", "s"}, bulk("v")}}},
  });
}

TEST(DataCommands, HgetallRepliesFieldValuePairs) {
  Harness h;
  ASSERT_EQ(h.run({"HSET", "h", "f1", "v1", "f2", "v2"}), num(2));
  Reply r = h.reply({"HGETALL", "h"});
  // A map, whose RESP2 form is the flat array of pairs.
  ASSERT_EQ(r.kind(), Reply::Kind::Map);
  ASSERT_EQ(r.elements().size(), 4u);
  std::map<std::string, std::string> pairs;
  for (std::size_t i = 0; i < 4; i += 2) pairs[r.elements()[i].text()] = r.elements()[i + 1].text();
  EXPECT_EQ(pairs, (std::map<std::string, std::string>{{"f1", "v1"}, {"f2", "v2"}}));
}

TEST(DataCommands, Lists) {
  run_scripts({
      {"push pop range",
       {{{"LPUSH", "l"}, num(0)},
        {{"EXISTS", "l"}, num(0)},
        {{"RPUSH", "l", "a", "b", "c"}, num(3)},
        {{"LPUSH", "l", "y", "z"}, num(5)},
        {{"RPUSH", "l"}, num(5)},
        {{"LRANGE", "l", "0", "-1"}, arr({bulk("z"), bulk("y"), bulk("a"), bulk("b"), bulk("c")})},
        {{"LRANGE", "l", "1", "2"}, arr({bulk("y"), bulk("a")})},
        {{"LRANGE", "l", "0", "x"}, kNotInt},
        {{"LRANGE", "l", "x", "y"}, kNotInt},
        {{"LPOP", "l"}, bulk("z")},
        {{"RPOP", "l"}, bulk("c")},
        {{"LLEN", "l"}, num(3)},
        {{"LPOP", "missing"}, nil()},
        {{"LLEN", "missing"}, num(0)},
        {{"LRANGE", "missing", "0", "-1"}, arr({})}}},
      {"wrong kind",
       {{{"SET", "s", "v"}, ok()},
        {{"LPUSH", "s", "x"}, kWrongType},
        {{"RPOP", "s"}, kWrongType},
        {{"LRANGE", "s", "0", "1"}, kWrongType}}},
  });
}

TEST(DataCommands, Sets) {
  run_scripts({
      {"members",
       {{{"SADD", "s"}, num(0)},
        {{"EXISTS", "s"}, num(0)},
        {{"SADD", "s", "a", "b", "a"}, num(2)},
        {{"SISMEMBER", "s", "a"}, num(1)},
        {{"SISMEMBER", "s", "z"}, num(0)},
        {{"SCARD", "s"}, num(2)},
        {{"SREM", "s", "a", "z"}, num(1)},
        {{"SREM", "s"}, num(0)},
        {{"SMEMBERS", "s"}, arr({bulk("b")})},
        {{"SMEMBERS", "missing"}, arr({})}}},
      {"wrong kind", {{{"SET", "k", "v"}, ok()}, {{"SADD", "k", "m"}, kWrongType}, {{"SCARD", "k"}, kWrongType}}},
  });
}

// ---- connection and server commands ------------------------------------------------

TEST(ServerCommands, PingEchoSelectDbsizeFlush) {
  run_scripts({
      {"ping echo",
       {{{"PING"}, simple("PONG")},
        {{"PING", "hello"}, bulk("hello")},
        {{"ECHO", "a\r\nb\xff"}, bulk("a\r\nb\xff")},
        {{"ECHO"}, wrong("echo")}}},
      {"select",
       {{{"SELECT", "0"}, ok()},
        {{"SELECT", "+0"}, ok()},
        {{"SELECT", "1"}, err("ERR DB index is out of range")},
        {{"SELECT", "-1"}, err("ERR DB index is out of range")},
        {{"SELECT", "x"}, kNotInt}}},
      {"dbsize and flush",
       {{{"MSET", "a", "1", "b", "2"}, ok()},
        {{"DBSIZE"}, num(2)},
        {{"FLUSHALL", "now"}, kSyntax},
        {{"DBSIZE"}, num(2)},
        {{"FLUSHALL", "async"}, ok()},
        {{"DBSIZE"}, num(0)},
        {{"SET", "a", "1"}, ok()},
        {{"FLUSHDB", "Sync"}, ok()},
        {{"DBSIZE"}, num(0)},
        {{"SET", "a", "1"}, ok()},
        {{"FLUSHDB"}, ok()},
        {{"FLUSHALL"}, ok()},
        {{"DBSIZE"}, num(0)}}},
      {"persistence off",
       {{{"SAVE"}, err("ERR persistence is not enabled for this server")},
        {{"BGSAVE"}, err("ERR persistence is not enabled for this server")},
        {{"LASTSAVE"}, num(0)}}},
  });
}

TEST(ServerCommands, AuthWithoutPassword) {
  run_scripts({{"no password",
                {{{"AUTH", "x"}, err("ERR AUTH <password> called without any password configured")},
                 {{"AUTH"}, wrong("auth")},
                 {{"Auth", "a", "b"}, wrong("auth")},
                 {{"PING"}, simple("PONG")}}}});
}

TEST(ServerCommands, AuthWithPassword) {
  run_scripts(
      {
          {"gate",
           {{{"PING"}, kNoAuth},
            {{"FOO", "bar"}, kNoAuth},
            {{"GET", "a", "b"}, kNoAuth},
            {{"AUTH"}, wrong("auth")},
            {{"AUTH", "wrong"}, kWrongPass},
            {{"auth", "secret"}, ok()},
            {{"PING"}, simple("PONG")},
            {{"FOO", "bar"}, err("ERR unknown command 'FOO'")},
            {{"AUTH", "secret", "x"}, wrong("auth")},
            {{"PING"}, simple("PONG")},
            {{"AUTH", "bad"}, kWrongPass},
            {{"PING"}, kNoAuth}}},
          {"near misses",
           {{{"AUTH", "secre"}, kWrongPass},
            {{"AUTH", "secretx"}, kWrongPass},
            {{"AUTH", "Secret"}, kWrongPass},
            {{"AUTH", ""}, kWrongPass},
            {{"AUTH", "secret\0"s}, kWrongPass},
            {{"GET", "k"}, kNoAuth}}},
      },
      "secret");
}

TEST(ServerCommands, PasswordComparisonCoversEveryPositionAndTheLength) {
  struct Case {
    std::string given, expected;
    bool match;
  };
  const Case cases[] = {
      {"abc", "abc", true},  {"ab", "abc", false},  {"abcd", "abc", false},  {"", "a", false},
      {"a", "", false},      {"abc\0"s, "abc", false}, {"\0"s, "", false}, {"xbc", "abc", false},
      {"abx", "abc", false}, {"", "", true},
  };
  for (const Case& c : cases) EXPECT_EQ(password_matches(c.given, c.expected), c.match) << c.given;
}

TEST(ServerCommands, InfoLayoutWithoutPersistence) {
  Harness h;
  const auto begin = std::chrono::steady_clock::now();
  h.ctx->started = begin - std::chrono::seconds(12);
  std::string text = h.reply({"INFO", "anything"}).text();
  const auto waited = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin);

  const std::string head = "# Server\r\nuptime_in_seconds:";
  ASSERT_EQ(text.substr(0, head.size()), head);
  const std::size_t eol = text.find("\r\n", head.size());
  const long long uptime = std::stoll(text.substr(head.size(), eol - head.size()));
  EXPECT_GE(uptime, 12);
  EXPECT_LE(uptime, 12 + waited.count() + 1);
  EXPECT_EQ(text.substr(eol),
            "\r\n\r\n# Memory\r\nused_memory:0\r\n\r\n# Keyspace\r\nkeys:0\r\n\r\n"
            "# Persistence\r\npersistence_enabled:0\r\n\r\n"
            "# Clients\r\nconnected_clients:0\r\nrejected_connections:0\r\nmaxclients:0\r\n");

  ASSERT_EQ(h.run({"SET", "k", "v"}), ok());
  text = h.reply({"INFO"}).text();
  EXPECT_NE(text.find("\r\nused_memory:" + std::to_string(h.store->used_memory()) + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nkeys:1\r\n"), std::string::npos);
  EXPECT_NE(h.store->used_memory(), 0u);
}

}  // namespace
}  // namespace mevora::server
