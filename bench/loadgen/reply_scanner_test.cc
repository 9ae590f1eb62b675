// Tests for ReplyScanner: reply counts must not depend on how the stream is
// split, and a stream that is not RESP2 must be reported, not miscounted.
#include "reply_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace mevora::loadgen {
namespace {

// Every reply form, with an error, a null bulk, an empty bulk, a bulk that
// holds CR LF, a null array, an empty array and a nested array: 11 replies.
const std::string kStream =
    "+OK\r\n"
    "-ERR wrong\r\n"
    ":-42\r\n"
    "$5\r\nhello\r\n"
    "$-1\r\n"
    "$0\r\n\r\n"
    "$4\r\na\r\nb\r\n"
    "*-1\r\n"
    "*0\r\n"
    "*2\r\n*1\r\n:1\r\n$1\r\nx\r\n"
    "+PONG\r\n";

TEST(ReplyScannerTest, CountsAreTheSameWhereverTheStreamIsSplit) {
  for (std::size_t cut = 0; cut <= kStream.size(); ++cut) {
    ReplyScanner s;
    const auto a = s.feed(kStream.data(), cut);
    const auto b = s.feed(kStream.data() + cut, kStream.size() - cut);
    EXPECT_EQ(a.replies + b.replies, 11u) << "cut at " << cut;
    EXPECT_EQ(a.errors + b.errors, 1u) << "cut at " << cut;
    EXPECT_FALSE(s.bad());
  }
}

TEST(ReplyScannerTest, ByteAtATimeCompletesEachReplyOnItsLastByte) {
  ReplyScanner s;
  std::size_t replies = 0;
  for (std::size_t i = 0; i < kStream.size(); ++i) {
    const auto c = s.feed(kStream.data() + i, 1);
    if (c.replies > 0) {
      EXPECT_EQ(kStream[i], '\n') << "at " << i;
    }
    replies += c.replies;
  }
  EXPECT_EQ(replies, 11u);
}

TEST(ReplyScannerTest, IncompleteRepliesAreNotCounted) {
  const char* cases[] = {"+OK\r", "$5\r\nhell", "$5\r\nhello\r", "*2\r\n:1\r\n", "*1\r\n*1\r\n$2\r\nab"};
  for (const char* c : cases) {
    ReplyScanner s;
    EXPECT_EQ(s.feed(c, std::char_traits<char>::length(c)).replies, 0u) << c;
    EXPECT_FALSE(s.bad()) << c;
  }
}

TEST(ReplyScannerTest, MalformedStreamsMarkTheScannerBad) {
  const char* cases[] = {
      "?what\r\n",        // unknown type byte
      "+OK\rX",           // CR not followed by LF
      "$abc\r\n",         // bulk length not a number
      "$-2\r\n",          // bulk length below -1
      "$3\r\nabcde\r\n",  // bulk body longer than its length
      "*x\r\n",           // array count not a number
      "*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n*1\r\n:1\r\n",  // nested too deep
  };
  for (const char* c : cases) {
    ReplyScanner s;
    s.feed(c, std::char_traits<char>::length(c));
    EXPECT_TRUE(s.bad()) << c;
    EXPECT_EQ(s.feed("+OK\r\n", 5).replies, 0u) << "a bad scanner stops counting: " << c;
  }
}

TEST(ReplyScannerTest, LongRunsOfPipelinedRepliesAreAllCounted) {
  std::string big;
  for (int i = 0; i < 10000; ++i) big += "$16\r\n0123456789abcdef\r\n";
  ReplyScanner s;
  std::size_t replies = 0;
  for (std::size_t at = 0; at < big.size(); at += 1000) {
    replies += s.feed(big.data() + at, std::min<std::size_t>(1000, big.size() - at)).replies;
  }
  EXPECT_EQ(replies, 10000u);
}

}  // namespace
}  // namespace mevora::loadgen
