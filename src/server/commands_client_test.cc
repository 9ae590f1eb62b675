// HELLO, CLIENT, COMMAND and the string commands added for ordinary
// clients (SET's GET/KEEPTTL/EXAT/PXAT, SETNX, GETSET, GETDEL, UNLINK),
// checked on the wire in both protocols.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "server/command_test_support.h"

namespace mevora::server {
namespace {

using namespace command_test;

std::string map3(const std::vector<std::string>& flat) {
  std::string out = "%" + std::to_string(flat.size() / 2) + "\r\n";
  for (const std::string& i : flat) out += i;
  return out;
}
std::string set3(const std::vector<std::string>& items) {
  std::string out = "~" + std::to_string(items.size()) + "\r\n";
  for (const std::string& i : items) out += i;
  return out;
}
const std::string kNull3 = "_\r\n";

// HELLO's properties after the given protocol, for connection id 1 (the
// first connection of a fresh harness).
std::vector<std::string> hello_props(int proto) {
  return {bulk("server"), bulk("mevora"),     bulk("version"), bulk(MEVORA_TEST_VERSION),
          bulk("proto"),  num(proto),         bulk("id"),      num(1),
          bulk("mode"),   bulk("standalone"), bulk("role"),    bulk("master"),
          bulk("modules"), arr({})};
}

const std::string kNoProto = err("NOPROTO unsupported protocol version");
const std::string kHelloWrongPass = err("WRONGPASS invalid username-password pair");
const std::string kHelloNoAuth = err(
    "NOAUTH HELLO must be called with the client already authenticated, otherwise the HELLO <proto> AUTH "
    "<user> <pass> option can be used to authenticate the client and select the RESP protocol version at the "
    "same time");

TEST(Hello, ProtocolChoiceAndItsReplies) {
  run_scripts({
      {"no argument keeps RESP2", {{{"HELLO"}, arr(hello_props(2))}, {{"GET", "k"}, nil()}}},
      {"2", {{{"hello", "2"}, arr(hello_props(2))}, {{"GET", "k"}, nil()}}},
      {"3 then every reply in RESP3",
       {{{"HELLO", "3"}, map3(hello_props(3))},
        {{"GET", "k"}, kNull3},
        {{"HELLO"}, map3(hello_props(3))},
        {{"HELLO", "2"}, arr(hello_props(2))},
        {{"GET", "k"}, nil()}}},
      {"unsupported versions change nothing",
       {{{"HELLO", "3"}, map3(hello_props(3))},
        {{"HELLO", "1"}, kNoProto},
        {{"HELLO", "4"}, kNoProto},
        {{"HELLO", "-3"}, kNoProto},
        {{"HELLO", "x"}, kNotInt},
        {{"HELLO", "3.0"}, kNotInt},
        {{"GET", "k"}, kNull3}}},
      {"options",
       {{{"HELLO", "3", "FOO"}, err("ERR Syntax error in HELLO option 'FOO'")},
        {{"HELLO", "3", "SETNAME"}, err("ERR Syntax error in HELLO option 'SETNAME'")},
        {{"HELLO", "3", "AUTH", "default"}, err("ERR Syntax error in HELLO option 'AUTH'")},
        {{"HELLO", "2", "SETNAME", "a b"},
         err("ERR Client names cannot contain spaces, newlines or special characters.")},
        {{"CLIENT", "GETNAME"}, nil()},
        {{"HELLO", "2", "setname", "worker-1"}, arr(hello_props(2))},
        {{"CLIENT", "GETNAME"}, bulk("worker-1")},
        {{"HELLO", "3", "AUTH", "default", "pw"},
         err("ERR AUTH <password> called without any password configured")},
        {{"GET", "k"}, nil()}}},
  });
}

TEST(Hello, AuthenticatesAndNamesInOneStep) {
  run_scripts(
      {
          {"without AUTH",
           {{{"HELLO"}, kHelloNoAuth}, {{"HELLO", "3"}, kHelloNoAuth}, {{"GET", "k"}, kNoAuth}}},
          {"wrong password or user changes nothing",
           {{{"HELLO", "3", "AUTH", "default", "nope", "SETNAME", "n"}, kHelloWrongPass},
            {{"HELLO", "3", "AUTH", "admin", "secret"}, kHelloWrongPass},
            {{"GET", "k"}, kNoAuth}}},
          {"right password",
           {{{"HELLO", "3", "AUTH", "default", "secret", "SETNAME", "n"}, map3(hello_props(3))},
            {{"GET", "k"}, kNull3},
            {{"CLIENT", "GETNAME"}, bulk("n")},
            {{"HELLO", "2", "AUTH", "default", "bad"}, kHelloWrongPass},
            {{"GET", "k"}, kNull3}}},
          {"after AUTH",
           {{{"AUTH", "secret"}, ok()}, {{"HELLO", "3"}, map3(hello_props(3))}, {{"GET", "k"}, kNull3}}},
      },
      "secret");
}

TEST(Resp3, DataRepliesUseTheirKinds) {
  run_scripts({{"kinds",
                {{{"HELLO", "3"}, map3(hello_props(3))},
                 {{"HSET", "h", "f", "v"}, num(1)},
                 {{"HGETALL", "h"}, map3({bulk("f"), bulk("v")})},
                 {{"HGETALL", "none"}, map3({})},
                 {{"SADD", "s", "m"}, num(1)},
                 {{"SMEMBERS", "s"}, set3({bulk("m")})},
                 {{"SMEMBERS", "none"}, set3({})},
                 {{"MGET", "none", "h"}, arr({kNull3, kNull3})},
                 {{"SET", "k", "v", "NX"}, ok()},
                 {{"SET", "k", "v", "NX"}, kNull3},
                 {{"LPOP", "none"}, kNull3},
                 {{"GET", "h"}, kWrongType}}}});
}

TEST(ClientCommand, Subcommands) {
  run_scripts({
      {"id and names",
       {{{"CLIENT", "ID"}, num(1)},
        {{"client", "getname"}, nil()},
        {{"CLIENT", "SETNAME", "app"}, ok()},
        {{"CLIENT", "GETNAME"}, bulk("app")},
        {{"CLIENT", "SETNAME", "has space"},
         err("ERR Client names cannot contain spaces, newlines or special characters.")},
        {{"CLIENT", "SETNAME", "new\nline"},
         err("ERR Client names cannot contain spaces, newlines or special characters.")},
        {{"CLIENT", "GETNAME"}, bulk("app")},
        {{"CLIENT", "SETNAME", ""}, ok()},
        {{"CLIENT", "GETNAME"}, nil()}}},
      {"setinfo",
       {{{"CLIENT", "SETINFO", "LIB-NAME", "py-client"}, ok()},
        {{"CLIENT", "SETINFO", "lib-ver", "5.1.0"}, ok()},
        {{"CLIENT", "SETINFO", "LIB-NAME", "a b"},
         err("ERR LIB-NAME cannot contain spaces, newlines or special characters.")},
        {{"CLIENT", "SETINFO", "COLOUR", "red"}, err("ERR Unrecognized option 'COLOUR'")},
        {{"CLIENT", "SETINFO", "LIB-NAME"}, wrong("client|setinfo")}}},
      {"errors",
       {{{"CLIENT"}, wrong("client")},
        {{"CLIENT", "KILL", "x"}, err("ERR unknown subcommand 'KILL' for 'client'")},
        {{"CLIENT", "ID", "x"}, wrong("client|id")},
        {{"CLIENT", "LIST", "x"}, wrong("client|list")},
        {{"CLIENT", "SETNAME"}, wrong("client|setname")}}},
  });
}

TEST(ClientCommand, ListAndInfoDescribeLiveConnections) {
  Harness h;
  ASSERT_EQ(h.run({"CLIENT", "SETNAME", "first"}), ok());
  ASSERT_EQ(h.run({"CLIENT", "SETINFO", "LIB-NAME", "lib"}), ok());
  ASSERT_EQ(h.run({"CLIENT", "SETINFO", "LIB-VER", "1.2"}), ok());
  ASSERT_EQ(h.run({"GET", "k"}), nil());
  ConnectionState other = ConnectionState::initial(*h.ctx, "127.0.0.1:5000", "127.0.0.1:6380");
  {  // a connection that has ended is not listed
    ConnectionState gone = ConnectionState::initial(*h.ctx, "127.0.0.1:5001", "127.0.0.1:6380");
  }
  EXPECT_EQ(h.reply({"CLIENT", "INFO"}).text(),
            "id=1 addr= laddr= name=first age=0 idle=0 db=0 cmd=client lib-name=lib lib-ver=1.2\n");
  EXPECT_EQ(h.reply({"CLIENT", "LIST"}).text(),
            "id=1 addr= laddr= name=first age=0 idle=0 db=0 cmd=client lib-name=lib lib-ver=1.2\n"
            "id=2 addr=127.0.0.1:5000 laddr=127.0.0.1:6380 name= age=0 idle=0 db=0 cmd=NULL lib-name= lib-ver=\n");
  std::vector<std::string> get = {"GET", "x"};
  (void)dispatch(get, other, *h.ctx);
  EXPECT_NE(h.reply({"CLIENT", "LIST"}).text().find("id=2 addr=127.0.0.1:5000 laddr=127.0.0.1:6380 name= age=0 "
                                                    "idle=0 db=0 cmd=get "),
            std::string::npos);
}

// Connections come and go, run commands and rename themselves while
// others list them: every listing is well formed and names only
// connections that exist. (Run under the thread sanitizer, this also shows
// the client table and the per-connection fields free of data races.)
TEST(ClientCommand, ListingWhileConnectionsChange) {
  Harness h;
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        ConnectionState c = ConnectionState::initial(*h.ctx, "127.0.0.1:" + std::to_string(t), "127.0.0.1:1");
        std::vector<std::string> name = {"CLIENT", "SETNAME", "w" + std::to_string(i)};
        std::vector<std::string> get = {"GET", "k"};
        std::vector<std::string> info = {"CLIENT", "SETINFO", "LIB-VER", std::to_string(i)};
        EXPECT_EQ(dispatch(name, c, *h.ctx).reply, Reply::simple("OK"));
        EXPECT_EQ(dispatch(get, c, *h.ctx).reply, Reply::null());
        EXPECT_EQ(dispatch(info, c, *h.ctx).reply, Reply::simple("OK"));
      }
    });
  }
  std::thread lister([&] {
    while (!stop.load()) {
      const std::string text = h.reply({"CLIENT", "LIST"}).text();
      ASSERT_FALSE(text.empty());
      ASSERT_EQ(text.back(), '\n');
      std::size_t lines = 0;
      for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        ASSERT_EQ(text.compare(at, 3, "id="), 0) << text;
        ++lines;
      }
      ASSERT_LE(lines, 4u);  // the lister and at most one per worker
    }
  });
  for (std::thread& w : workers) w.join();
  stop.store(true);
  lister.join();
  EXPECT_EQ(h.reply({"CLIENT", "LIST"}).text().find("id=1 "), 0u);
  EXPECT_EQ(h.reply({"CLIENT", "LIST"}).text().find("\nid="), std::string::npos);
}

TEST(CommandCommand, CountInfoDocs) {
  Harness h;
  const Reply count = h.reply({"COMMAND", "COUNT"});
  ASSERT_EQ(count.kind(), Reply::Kind::Integer);
  EXPECT_GE(count.number(), 53);
  EXPECT_EQ(h.reply({"COMMAND", "INFO"}).elements().size(), static_cast<std::size_t>(count.number()));
  EXPECT_EQ(h.run({"COMMAND", "INFO", "get", "nosuch", "Del", "hello"}),
            arr({arr({bulk("get"), num(2), arr({}), num(0), num(0), num(0), arr({}), arr({}), arr({}), arr({})}),
                 nil(),
                 arr({bulk("del"), num(-2), arr({}), num(0), num(0), num(0), arr({}), arr({}), arr({}), arr({})}),
                 arr({bulk("hello"), num(-1), arr({simple("no_auth")}), num(0), num(0), num(0), arr({}), arr({}),
                      arr({}), arr({})})}));
  EXPECT_EQ(h.run({"COMMAND", "DOCS", "set", "nosuch"}), arr({bulk("set"), arr({})}));
  ASSERT_EQ(h.run({"HELLO", "3"}), map3(hello_props(3)));
  EXPECT_EQ(h.run({"COMMAND", "DOCS", "set", "nosuch"}), map3({bulk("set"), map3({})}));
  EXPECT_EQ(h.run({"COMMAND", "INFO", "getdel"}),
            arr({arr({bulk("getdel"), num(2), set3({}), num(0), num(0), num(0), set3({}), arr({}), arr({}), arr({})})}));
}

TEST(StringCommands, SetGetKeepttlAndAbsoluteDeadlines) {
  // The harness clock starts at 1,700,000,000,000 ms.
  run_scripts({
      {"get",
       {{{"SET", "k", "a", "GET"}, nil()},
        {{"SET", "k", "b", "get"}, bulk("a")},
        {{"SET", "k", "c", "NX", "GET"}, bulk("b")},
        {{"GET", "k"}, bulk("b")},
        {{"SET", "n", "c", "XX", "GET"}, nil()},
        {{"EXISTS", "n"}, num(0)},
        {{"SET", "k", "d", "XX", "GET", "EX", "5"}, bulk("b")},
        {{"PTTL", "k"}, num(5000)},
        {{"LPUSH", "l", "x"}, num(1)},
        {{"SET", "l", "v", "GET"}, kWrongType},
        {{"LLEN", "l"}, num(1)},
        {{"SET", "l", "v"}, ok()}}},
      {"keepttl",
       {{{"SET", "k", "a", "PX", "3000"}, ok()},
        {{"SET", "k", "b", "KEEPTTL"}, ok(), 1000},
        {{"PTTL", "k"}, num(2000)},
        {{"SET", "k", "c", "keepttl", "GET"}, bulk("b")},
        {{"PTTL", "k"}, num(2000)},
        {{"SET", "k", "d"}, ok()},
        {{"PTTL", "k"}, num(-1)},
        {{"SET", "k", "v", "KEEPTTL", "PX", "5"}, kSyntax},
        {{"SET", "k", "v", "EX", "5", "KEEPTTL"}, kSyntax},
        {{"SET", "k", "v", "KEEPTTL", "KEEPTTL"}, kSyntax}}},
      {"exat and pxat",
       {{{"SET", "k", "v", "EXAT", "1700000010"}, ok()},
        {{"PTTL", "k"}, num(10000)},
        {{"SET", "k", "v", "PXAT", "1700000000500"}, ok()},
        {{"PTTL", "k"}, num(500)},
        {{"SET", "k", "v", "PXAT", "1600000000000"}, ok()},
        {{"EXISTS", "k"}, num(0)},
        {{"SET", "k", "v", "EXAT", "0"}, bad_expire("set")},
        {{"SET", "k", "v", "PXAT", "-1"}, bad_expire("set")},
        {{"SET", "k", "v", "EXAT", "9223372036854776"}, bad_expire("set")},
        {{"SET", "k", "v", "EXAT", "x"}, kNotInt},
        {{"SET", "k", "v", "EXAT"}, kSyntax},
        {{"SET", "k", "v", "EX", "5", "PXAT", "1700000000500"}, kSyntax},
        {{"SET", "k", "v", "NX", "XX", "GET"}, kSyntax},
        {{"EXISTS", "k"}, num(0)}}},
  });
}

TEST(StringCommands, SetnxGetsetGetdelUnlink) {
  run_scripts({
      {"setnx",
       {{{"SETNX", "k", "a"}, num(1)},
        {{"SETNX", "k", "b"}, num(0)},
        {{"GET", "k"}, bulk("a")},
        {{"SETNX", "k"}, wrong("setnx")}}},
      {"getset",
       {{{"GETSET", "k", "a"}, nil()},
        {{"SET", "k", "b", "EX", "100"}, ok()},
        {{"GETSET", "k", "c"}, bulk("b")},
        {{"PTTL", "k"}, num(-1)},
        {{"SADD", "s", "m"}, num(1)},
        {{"GETSET", "s", "v"}, kWrongType},
        {{"SCARD", "s"}, num(1)}}},
      {"getdel",
       {{{"GETDEL", "k"}, nil()},
        {{"SET", "k", "v"}, ok()},
        {{"GETDEL", "k"}, bulk("v")},
        {{"EXISTS", "k"}, num(0)},
        {{"HSET", "h", "f", "v"}, num(1)},
        {{"GETDEL", "h"}, kWrongType},
        {{"HLEN", "h"}, num(1)},
        {{"GETDEL", "a", "b"}, wrong("getdel")}}},
      {"unlink",
       {{{"MSET", "a", "1", "b", "2"}, ok()},
        {{"UNLINK", "a", "b", "c"}, num(2)},
        {{"EXISTS", "a", "b"}, num(0)},
        {{"UNLINK"}, wrong("unlink")}}},
  });
}

}  // namespace
}  // namespace mevora::server
