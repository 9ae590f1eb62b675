#include "server/reply.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "server/dispatch_result.h"

namespace mevora::server {
namespace {

using namespace std::string_literals;

std::string wire(const Reply& r) {
  std::string out;
  r.append_to(out);
  return out;
}

TEST(ReplyEncoding, EachVariantHasItsExactWireForm) {
  struct Case {
    const char* name;
    Reply reply;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"simple", Reply::simple("OK"), "+OK\r\n"},
      {"empty simple", Reply::simple(""), "+\r\n"},
      {"simple with CR and LF", Reply::simple("a\r\nb\rc\n"), "+a  b c \r\n"},
      {"error", Reply::error("ERR unknown"), "-ERR unknown\r\n"},
      {"error with CR and LF", Reply::error("\nERR x\r"), "- ERR x \r\n"},
      // Lines of up to 64 characters are built in one piece on the stack;
      // longer ones, and any with CR or LF, in pieces.
      {"64-character error", Reply::error(std::string(64, 'e')), "-" + std::string(64, 'e') + "\r\n"},
      {"65-character error", Reply::error(std::string(65, 'e')), "-" + std::string(65, 'e') + "\r\n"},
      {"long error with LF at its end", Reply::error(std::string(70, 'e') + "\n"),
       "-" + std::string(70, 'e') + " \r\n"},
      {"zero", Reply::integer(0), ":0\r\n"},
      {"negative", Reply::integer(-42), ":-42\r\n"},
      {"max", Reply::integer(std::numeric_limits<std::int64_t>::max()),
       ":9223372036854775807\r\n"},
      {"min", Reply::integer(std::numeric_limits<std::int64_t>::min()),
       ":-9223372036854775808\r\n"},
      {"bulk", Reply::bulk("hello"), "$5\r\nhello\r\n"},
      {"empty bulk", Reply::bulk(""), "$0\r\n\r\n"},
      {"binary bulk keeps CR LF and NUL", Reply::bulk("a\r\n\0b"s), "$5\r\na\r\n\0b\r\n"s},
      {"null", Reply::null(), "$-1\r\n"},
      {"default is null", Reply(), "$-1\r\n"},
      {"empty array", Reply::array({}), "*0\r\n"},
      {"null array", Reply::null_array(), "*-1\r\n"},
      {"nested array",
       Reply::array({Reply::integer(1), Reply::array({Reply::bulk("a"), Reply::null()}),
                     Reply::simple("x\ny")}),
       "*3\r\n:1\r\n*2\r\n$1\r\na\r\n$-1\r\n+x y\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wire(c.reply), c.expected) << c.name;
  }
}

// The kinds RESP3 adds, each under both encoders: RESP2 keeps the forms
// every RESP2 client already reads.
TEST(ReplyEncoding, EachKindUnderEachProtocol) {
  struct Case {
    const char* name;
    Reply reply;
    std::string resp2;
    std::string resp3;
  };
  const Reply nested = Reply::array({Reply::null(), Reply::set({Reply::bulk("m")}),
                                     Reply::map({Reply::bulk("k"), Reply::null_array()})});
  const std::vector<Case> cases = {
      {"simple", Reply::simple("OK"), "+OK\r\n", "+OK\r\n"},
      {"error", Reply::error("ERR x"), "-ERR x\r\n", "-ERR x\r\n"},
      {"integer", Reply::integer(-3), ":-3\r\n", ":-3\r\n"},
      {"bulk", Reply::bulk("a\r\nb"), "$4\r\na\r\nb\r\n", "$4\r\na\r\nb\r\n"},
      {"null", Reply::null(), "$-1\r\n", "_\r\n"},
      {"null array", Reply::null_array(), "*-1\r\n", "_\r\n"},
      {"array", Reply::array({Reply::integer(1)}), "*1\r\n:1\r\n", "*1\r\n:1\r\n"},
      {"empty map", Reply::map({}), "*0\r\n", "%0\r\n"},
      {"map", Reply::map({Reply::bulk("f"), Reply::bulk("v"), Reply::bulk("g"), Reply::integer(2)}),
       "*4\r\n$1\r\nf\r\n$1\r\nv\r\n$1\r\ng\r\n:2\r\n", "%2\r\n$1\r\nf\r\n$1\r\nv\r\n$1\r\ng\r\n:2\r\n"},
      {"set", Reply::set({Reply::bulk("a"), Reply::bulk("b")}), "*2\r\n$1\r\na\r\n$1\r\nb\r\n",
       "~2\r\n$1\r\na\r\n$1\r\nb\r\n"},
      {"empty set", Reply::set({}), "*0\r\n", "~0\r\n"},
      {"double", Reply::floating(1.5), "$3\r\n1.5\r\n", ",1.5\r\n"},
      {"integral double", Reply::floating(-2.0), "$2\r\n-2\r\n", ",-2\r\n"},
      {"tiny double", Reply::floating(1e-300), "$6\r\n1e-300\r\n", ",1e-300\r\n"},
      {"shortest round trip", Reply::floating(0.1), "$3\r\n0.1\r\n", ",0.1\r\n"},
      {"infinity", Reply::floating(std::numeric_limits<double>::infinity()), "$3\r\ninf\r\n", ",inf\r\n"},
      {"minus infinity", Reply::floating(-std::numeric_limits<double>::infinity()), "$4\r\n-inf\r\n",
       ",-inf\r\n"},
      {"nan", Reply::floating(std::numeric_limits<double>::quiet_NaN()), "$3\r\nnan\r\n", ",nan\r\n"},
      {"nested", nested, "*3\r\n$-1\r\n*1\r\n$1\r\nm\r\n*2\r\n$1\r\nk\r\n*-1\r\n",
       "*3\r\n_\r\n~1\r\n$1\r\nm\r\n%1\r\n$1\r\nk\r\n_\r\n"},
  };
  for (const Case& c : cases) {
    std::string two;
    std::string three;
    c.reply.append_to(two, Protocol::Resp2);
    c.reply.append_to(three, Protocol::Resp3);
    EXPECT_EQ(two, c.resp2) << c.name;
    EXPECT_EQ(three, c.resp3) << c.name;
    EXPECT_EQ(wire(c.reply), c.resp2) << c.name << ": RESP2 is the default";
  }
}

TEST(ReplyEncoding, AppendsAfterExistingBytes) {
  std::string out = "prefix";
  Reply::integer(7).append_to(out);
  Reply::bulk("ab").append_to(out);
  EXPECT_EQ(out, "prefix:7\r\n$2\r\nab\r\n");
}

TEST(ReplyEncoding, LargeBulkLengthHeaderIsDecimal) {
  std::string big(100000, 'z');
  std::string out = wire(Reply::bulk(big));
  EXPECT_EQ(out.substr(0, 10), "$100000\r\nz");
  EXPECT_EQ(out.size(), 9 + big.size() + 2);
  EXPECT_EQ(out.substr(out.size() - 3), "z\r\n");
}

TEST(ReplyValue, BulkTakesMovedBytesWithoutCopying) {
  std::string value(1 << 20, 'v');
  const char* storage = value.data();
  Reply r = Reply::bulk(std::move(value));
  EXPECT_EQ(r.text().data(), storage);
  Reply moved = std::move(r);
  EXPECT_EQ(moved.text().data(), storage);
  DispatchResult holder{std::move(moved), false};
  EXPECT_EQ(holder.reply.text().data(), storage);
}

TEST(ReplyValue, AccessorsAndEquality) {
  EXPECT_EQ(Reply::integer(5).kind(), Reply::Kind::Integer);
  EXPECT_EQ(Reply::integer(5).number(), 5);
  EXPECT_EQ(Reply::error("E").kind(), Reply::Kind::Error);
  EXPECT_EQ(Reply::simple("E").text(), "E");
  EXPECT_EQ(Reply::array({Reply::null()}).elements().size(), 1u);
  EXPECT_EQ(Reply::simple("a"), Reply::simple("a"));
  EXPECT_NE(Reply::simple("a"), Reply::error("a"));
  EXPECT_NE(Reply::bulk("a"), Reply::simple("a"));
  EXPECT_NE(Reply::array({Reply::integer(1)}), Reply::array({Reply::integer(2)}));
}

}  // namespace
}  // namespace mevora::server
