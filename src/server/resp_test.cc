#include "server/resp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace mevora::server {
namespace {

using namespace std::string_literals;

// Hands out data without ever crossing one of the cut positions in a single
// read, so tests decide exactly how the stream arrives; then reports the end.
class MemoryReader final : public ByteReader {
 public:
  explicit MemoryReader(std::string data, std::vector<std::size_t> cuts = {})
      : data_(std::move(data)), cuts_(std::move(cuts)) {
    std::sort(cuts_.begin(), cuts_.end());
  }
  // Cuts every `chunk` bytes.
  static MemoryReader chunked(std::string data, std::size_t chunk) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = chunk; at < data.size(); at += chunk) cuts.push_back(at);
    return MemoryReader(std::move(data), std::move(cuts));
  }

  std::size_t read_some(char* dst, std::size_t len) override {
    std::size_t limit = data_.size();
    auto next = std::upper_bound(cuts_.begin(), cuts_.end(), pos_);
    if (next != cuts_.end()) limit = std::min(limit, *next);
    std::size_t n = std::min(len, limit - pos_);
    std::copy_n(data_.data() + pos_, n, dst);
    pos_ += n;
    return n;
  }

  // How many bytes have been handed out.
  std::size_t position() const { return pos_; }

 private:
  std::string data_;
  std::vector<std::size_t> cuts_;
  std::size_t pos_ = 0;
};

struct Outcome {
  ReadStatus status = ReadStatus::End;
  Request args;
  std::string message;

  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  static const char* const kNames[] = {"GotRequest", "EmptyRequest", "End", "ProtocolError"};
  os << kNames[static_cast<int>(o.status)];
  if (!o.message.empty()) os << " \"" << o.message << "\"";
  for (const std::string& a : o.args) os << " [" << a.size() << ":" << a.substr(0, 40) << "]";
  return os;
}

Outcome to_outcome(ReadResult r, Request args) {
  Outcome o;
  o.status = r.status;
  if (r.status == ReadStatus::GotRequest) o.args = std::move(args);
  if (r.message != nullptr) o.message = r.message;
  return o;
}

Outcome next(RequestReader& requests) {
  Request args;
  ReadResult r = requests.read_request(args);
  return to_outcome(r, std::move(args));
}

Outcome view(std::string_view bytes, std::size_t* consumed = nullptr, const RequestLimits& limits = {}) {
  Request args;
  ReadResult r = parse_buffered(bytes, &args, consumed, limits);
  return to_outcome(r, std::move(args));
}

Outcome stream(MemoryReader reader, const RequestLimits& limits = {}) {
  RequestReader requests(reader);
  Request args;
  ReadResult r = requests.read_request(args, limits);
  return to_outcome(r, std::move(args));
}

Outcome request(std::vector<std::string> args) { return {ReadStatus::GotRequest, std::move(args), ""}; }
Outcome empty() { return {ReadStatus::EmptyRequest, {}, ""}; }
Outcome end() { return {ReadStatus::End, {}, ""}; }
Outcome error(const char* message) { return {ReadStatus::ProtocolError, {}, message}; }

// ---- parse_int --------------------------------------------------------------

TEST(RespParseInt, AcceptsOnlySignedDecimalInRange) {
  const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases = {
      {"0", 0}, {"+5", 5}, {"-5", -5}, {"007", 7}, {"-0", 0},
      {"9223372036854775807", kMax}, {"+9223372036854775807", kMax},
      {"-9223372036854775808", kMin}, {"00000000000000000000000001", 1},
      {"9223372036854775808", std::nullopt}, {"-9223372036854775809", std::nullopt},
      {"99999999999999999999", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt},
      {"-", std::nullopt}, {" 5", std::nullopt}, {"5 ", std::nullopt}, {"5a", std::nullopt},
      {"0x1", std::nullopt}, {"--1", std::nullopt}, {"+-1", std::nullopt},
      {"1.0", std::nullopt}, {"\xd9\xa1", std::nullopt}, {"1\0"s, std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_int(text), expected) << "input '" << text << "'";
  }
}

// ---- framing ----------------------------------------------------------------

struct FrameCase {
  const char* name;
  std::string input;  // minimal: the outcome is decided only by its last byte
  Outcome expected;
};

std::vector<FrameCase> frame_cases() {
  return {
      {"multibulk", "*1\r\n$4\r\nPING\r\n", request({"PING"})},
      {"two args", "*2\r\n$3\r\nGET\r\n$1\r\nk\r\n", request({"GET", "k"})},
      {"LF-only header lines", "*1\n$4\nPING\r\n", request({"PING"})},
      {"plus signs and leading zeros", "*+01\r\n$+004\r\nPING\r\n", request({"PING"})},
      {"empty bulk", "*2\r\n$3\r\nGET\r\n$0\r\n\r\n", request({"GET", ""})},
      {"binary payload", "*1\r\n$5\r\n\r\n\0\xff\n\r\n"s, request({"\r\n\0\xff\n"s})},
      {"zero count", "*0\r\n", empty()},
      {"negative count", "*-1\r\n", empty()},
      {"most negative count", "*-9223372036854775808\n", empty()},
      {"inline", "PING\r\n", request({"PING"})},
      {"inline LF only", "PING\n", request({"PING"})},
      {"inline strips one CR, CR is whitespace", "PING\r\r\n", request({"PING"})},
      {"inline starting with $", "$5 x\r\n", request({"$5", "x"})},
      {"empty inline line", "\r\n", empty()},
      {"bare LF", "\n", empty()},
      {"whitespace-only line", " \t\f \r\n", empty()},
      {"count missing", "*\r\n", error("invalid multibulk length")},
      {"count not a number", "*x\r\n", error("invalid multibulk length")},
      {"count with space", "* 1\r\n", error("invalid multibulk length")},
      {"count with two CRs", "*1\r\r\n", error("invalid multibulk length")},
      {"count above limit", "*1048577\r\n", error("invalid multibulk length")},
      {"count out of int64", "*9223372036854775808\r\n", error("invalid multibulk length")},
      {"empty element header", "*1\r\n\r\n", error("expected '$' bulk string header")},
      {"element header without $", "*1\r\nfoo\r\n", error("expected '$' bulk string header")},
      {"nested multibulk", "*1\r\n*1\r\n", error("expected '$' bulk string header")},
      {"length missing", "*1\r\n$\r\n", error("invalid bulk length")},
      {"length negative", "*1\r\n$-1\r\n", error("invalid bulk length")},
      {"length not a number", "*1\r\n$abc\r\n", error("invalid bulk length")},
      {"length above limit", "*1\r\n$536870913\r\n", error("invalid bulk length")},
      {"length with space", "*1\r\n$1 \r\n", error("invalid bulk length")},
      {"payload followed by xx", "*1\r\n$4\r\nPINGxx", error("bulk string not terminated by CRLF")},
      {"payload followed by LF only", "*1\r\n$4\r\nPING\nX", error("bulk string not terminated by CRLF")},
      {"payload followed by LF CR", "*1\r\n$4\r\nPING\n\r", error("bulk string not terminated by CRLF")},
      {"second element bad", "*2\r\n$1\r\na\r\n$1\r\nbcd", error("bulk string not terminated by CRLF")},
      {"unbalanced inline", "SET k \"x\r\n", error("unbalanced quotes in request")},
  };
}

TEST(RespFraming, EveryPrefixNeedsMoreAndTheWholeInputDecides) {
  for (const FrameCase& c : frame_cases()) {
    SCOPED_TRACE(c.name);
    std::size_t consumed = 0;
    EXPECT_EQ(view(c.input, &consumed), c.expected);
    if (c.expected.status != ReadStatus::ProtocolError) {
      EXPECT_EQ(consumed, c.input.size());
    }
    for (std::size_t len = 0; len < c.input.size(); ++len) {
      ASSERT_EQ(view(std::string_view(c.input).substr(0, len)), end()) << "prefix " << len;
      ASSERT_EQ(stream(MemoryReader(c.input.substr(0, len))), end()) << "prefix " << len;
    }
  }
}

TEST(RespFraming, StreamSplitAtEveryPositionGivesTheSameOutcome) {
  for (const FrameCase& c : frame_cases()) {
    SCOPED_TRACE(c.name);
    for (std::size_t at = 0; at <= c.input.size(); ++at) {
      ASSERT_EQ(stream(MemoryReader(c.input, {at})), c.expected) << "split at " << at;
    }
    EXPECT_EQ(stream(MemoryReader::chunked(c.input, 1)), c.expected);
  }
}

TEST(RespFraming, ConsumesExactlyOneRequestAndLeavesTheNext) {
  for (const FrameCase& c : frame_cases()) {
    if (c.expected.status == ReadStatus::ProtocolError) continue;
    SCOPED_TRACE(c.name);
    std::string input = c.input + "ECHO x\r\n";
    EXPECT_EQ(view(input), c.expected);
    for (std::size_t chunk : {1u, 3u, 8192u}) {
      MemoryReader reader = MemoryReader::chunked(input, chunk);
      RequestReader requests(reader);
      EXPECT_EQ(next(requests), c.expected);
      EXPECT_EQ(next(requests), request({"ECHO", "x"}));
      EXPECT_EQ(next(requests), end());
    }
  }
}

TEST(RespFraming, AcceptedHeadersWaitForTheirData) {
  const std::vector<std::string> inputs = {
      "*1048576\r\n",
      "*1\r\n$536870912\r\n",
      "*1\r\n$4\r\nPI",
      "*2\r\n$1\r\na\r\n",
  };
  for (const std::string& input : inputs) {
    EXPECT_EQ(view(input), end()) << input;
    EXPECT_EQ(stream(MemoryReader(input)), end()) << input;
  }
}

// ---- limits -----------------------------------------------------------------

TEST(RespLimits, LineLimitCountsTheTerminator) {
  const std::string at_limit(65536, 'a');   // + CR LF = 65,538 bytes
  const std::string over_limit(65537, 'a');  // + CR LF = 65,539 bytes
  const std::string numeric_pad(65533, '0');
  struct Case {
    const char* name;
    std::string input;
    Outcome expected;
  };
  const std::vector<Case> cases = {
      {"inline at limit", at_limit + "\r\n", request({at_limit})},
      {"inline over limit", over_limit + "\r\n", error("too big line in request")},
      {"inline LF-only at limit", over_limit + "\n", request({over_limit})},
      {"inline LF-only over limit", over_limit + "a\n", error("too big line in request")},
      {"count header at limit", "*" + numeric_pad + "01\r\n$4\r\nPING\r\n", request({"PING"})},
      {"count header over limit", "*" + numeric_pad + "001\r\n", error("too big line in request")},
      {"bulk header at limit", "*1\r\n$" + numeric_pad + "04\r\nPING\r\n", request({"PING"})},
      {"bulk header over limit", "*1\r\n$" + numeric_pad + "004\r\n", error("too big line in request")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(view(c.input), c.expected);
    if (c.expected.status == ReadStatus::GotRequest) {
      EXPECT_EQ(view(std::string_view(c.input).substr(0, c.input.size() - 1)), end());
    }
    for (std::size_t chunk : {1u, 7u, 4096u, 8192u, 100000u}) {
      EXPECT_EQ(stream(MemoryReader::chunked(c.input, chunk)), c.expected) << "chunk " << chunk;
    }
  }
}

TEST(RespLimits, TooBigLineIsReportedAfterExactlyTheLimit) {
  const std::string no_lf(kMaxLineBytes, 'x');
  EXPECT_EQ(view(no_lf), error("too big line in request"));
  EXPECT_EQ(view(std::string_view(no_lf).substr(0, kMaxLineBytes - 1)), end());
  EXPECT_EQ(stream(MemoryReader::chunked(no_lf, 8192)), error("too big line in request"));
  EXPECT_EQ(stream(MemoryReader::chunked(no_lf.substr(1), 8192)), end());
}

TEST(RespLimits, HugeAnnouncementsReserveOnlyTheCaps) {
  {
    MemoryReader reader("*1048576\r\n$1\r\na\r\n");
    RequestReader requests(reader);
    Request args;
    EXPECT_EQ(requests.read_request(args).status, ReadStatus::End);
    EXPECT_LE(args.capacity(), kArgsReserveCap);
    EXPECT_EQ(args, Request({"a"}));
  }
  {
    MemoryReader reader("*1\r\n$536870912\r\nabc");
    RequestReader requests(reader);
    Request args;
    EXPECT_EQ(requests.read_request(args).status, ReadStatus::End);
    ASSERT_EQ(args.size(), 1u);
    EXPECT_EQ(args[0], "abc");
    EXPECT_LE(args[0].capacity(), kBulkReserveCap);
  }
  {
    // Memory follows the bytes that actually arrived: at most double.
    const std::size_t received = 300000;
    MemoryReader reader = MemoryReader::chunked("*1\r\n$536870912\r\n" + std::string(received, 'p'), 5000);
    RequestReader requests(reader);
    Request args;
    EXPECT_EQ(requests.read_request(args).status, ReadStatus::End);
    ASSERT_EQ(args.size(), 1u);
    EXPECT_EQ(args[0].size(), received);
    EXPECT_LE(args[0].capacity(), 2 * received);
  }
}

TEST(RespStream, LargePayloadArrivesIntactAtAnyChunking) {
  std::string payload(1 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + (i >> 9));
  const std::string input = "*2\r\n$3\r\nSET\r\n$" + std::to_string(payload.size()) + "\r\n" + payload +
                            "\r\nPING\r\n";
  for (std::size_t chunk : {1000u, 8192u, 65536u, 3000000u}) {
    SCOPED_TRACE(chunk);
    MemoryReader reader = MemoryReader::chunked(input, chunk);
    RequestReader requests(reader);
    Request args;
    ASSERT_EQ(requests.read_request(args).status, ReadStatus::GotRequest);
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[0], "SET");
    EXPECT_TRUE(args[1] == payload);
    EXPECT_EQ(next(requests), request({"PING"}));
  }
}

// ---- limits before authentication ---------------------------------------------

std::string multibulk(const std::vector<std::string>& args) {
  std::string out = "*" + std::to_string(args.size()) + "\r\n";
  for (const std::string& a : args) out += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
  return out;
}

TEST(RespPreAuth, SmallRequestsPassAndLargeOnesFailAtTheirHeader) {
  const char* kTooMany = "too many arguments before authentication";
  const char* kTooLong = "argument too long before authentication";
  const std::string longest(4096, 'p');
  const std::vector<std::string> sixteen(16, "a");
  const std::vector<std::string> hello = {"HELLO", "3", "AUTH", "default", longest, "SETNAME", "name"};
  // Input, outcome before authentication, and whether the protocol's own
  // limits accept it.
  const std::vector<std::tuple<std::string, Outcome, bool>> cases = {
      {multibulk(sixteen), request(sixteen), true},
      {multibulk(hello), request(hello), true},
      {multibulk({"AUTH", longest}), request({"AUTH", longest}), true},
      // Refused as soon as the header is complete: no further byte needed.
      {"*17\r\n", error(kTooMany), false},
      {"*1048576\r\n", error(kTooMany), false},
      {"*2\r\n$4\r\nAUTH\r\n$4097\r\n", error(kTooLong), false},
      {"*2\r\n$3\r\nSET\r\n$268435456\r\n", error(kTooLong), false},
      // The protocol's own limits and messages come first.
      {"*1048577\r\n", error("invalid multibulk length"), false},
      {"*1\r\n$536870913\r\n", error("invalid bulk length"), false},
      {"*1\r\n$-1\r\n", error("invalid bulk length"), false},
      {"*0\r\n", empty(), true},
      // Inline requests obey the same limits, after unescaping.
      {"AUTH " + longest + "\r\n", request({"AUTH", longest}), true},
      {"AUTH \"" + std::string(4096, '\\') + "\"\r\n", request({"AUTH", std::string(2048, '\\')}), true},
      {"AUTH " + longest + "p\r\n", error(kTooLong), false},
      {"a b c d e f g h i j k l m n o p\r\n",
       request({"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p"}), true},
      {"a b c d e f g h i j k l m n o p q\r\n", error(kTooMany), false},
      {"AUTH \"open\r\n", error("unbalanced quotes in request"), false},
      {"   \r\n", empty(), true},
  };
  for (const auto& [input, outcome, accepted_after_auth] : cases) {
    SCOPED_TRACE(input.substr(0, 60));
    EXPECT_EQ(view(input, nullptr, kPreAuthLimits), outcome);
    EXPECT_EQ(stream(MemoryReader::chunked(input, 7), kPreAuthLimits), outcome);
    if (accepted_after_auth) {
      EXPECT_EQ(view(input), outcome);
    } else if (outcome.message == kTooMany || outcome.message == kTooLong) {
      EXPECT_NE(view(input).status, ReadStatus::ProtocolError);
    }
  }
}

TEST(RespPreAuth, AHugeAnnouncementIsRefusedBeforeItsDataIsRead) {
  const std::string header = "*2\r\n$3\r\nSET\r\n$268435456\r\n";
  // The header arrives alone, then a flood; the reader stops at the header.
  MemoryReader reader(header + std::string(1 << 20, 'x'), {header.size()});
  RequestReader requests(reader);
  Request args;
  const ReadResult r = requests.read_request(args, kPreAuthLimits);
  ASSERT_EQ(r.status, ReadStatus::ProtocolError);
  EXPECT_STREQ(r.message, "argument too long before authentication");
  EXPECT_EQ(reader.position(), header.size());
  EXPECT_TRUE(args.empty());
  EXPECT_LE(args.capacity(), 2u);  // the two announced slots, nothing for the payload
}

TEST(RespPreAuth, PendingJudgesTheBufferUnderTheSameLimits) {
  MemoryReader reader("PING\r\n*17\r\n");
  RequestReader requests(reader);
  ASSERT_EQ(next(requests), request({"PING"}));
  EXPECT_TRUE(requests.request_pending(kPreAuthLimits));  // an error is ready
  EXPECT_FALSE(requests.request_pending());               // its elements are awaited
}

// ---- request_pending --------------------------------------------------------

TEST(RespPending, ReportsWholeBufferedRequestsOnly) {
  MemoryReader reader("PING\r\n*1\r\n$4\r\nECHO\r\n*0\r\nPI" "NG\r\n*x\r\n", {26, 30});
  RequestReader requests(reader);
  EXPECT_FALSE(requests.request_pending());  // nothing received yet
  EXPECT_EQ(next(requests), request({"PING"}));
  EXPECT_TRUE(requests.request_pending());
  EXPECT_EQ(next(requests), request({"ECHO"}));
  EXPECT_TRUE(requests.request_pending());  // an empty request counts
  EXPECT_EQ(next(requests), empty());
  EXPECT_FALSE(requests.request_pending());  // only the start of one
  EXPECT_EQ(requests.buffered(), "PI");
  EXPECT_EQ(next(requests), request({"PING"}));
  EXPECT_FALSE(requests.request_pending());  // buffer drained
  EXPECT_EQ(next(requests), error("invalid multibulk length"));
}

TEST(RespPending, ProtocolErrorCountsAsPending) {
  MemoryReader reader("PING\r\n*1\r\n$-1\r\n");
  RequestReader requests(reader);
  ASSERT_EQ(next(requests), request({"PING"}));
  EXPECT_TRUE(requests.request_pending());
  EXPECT_EQ(requests.buffered(), "*1\r\n$-1\r\n");
}

// ---- read_buffered -------------------------------------------------------------

TEST(RespBuffered, TakesWholeBufferedRequestsAndLeavesAPartialOneInPlace) {
  MemoryReader reader("*1\r\n$4\r\nPING\r\n*2\r\n$4\r\nECHO\r\n$2\r\nhi\r\n*0\r\n*2\r\n$3\r\nGET" "\r\n$1\r\nk\r\n*x\r\n",
                      {52});
  RequestReader requests(reader);
  Request args;
  const auto outcome = [&args](ReadResult r) { return to_outcome(r, args); };
  EXPECT_EQ(outcome(requests.read_buffered(args)), end());  // nothing received yet
  ASSERT_EQ(outcome(requests.read_request(args)), request({"PING"}));
  EXPECT_EQ(outcome(requests.read_buffered(args)), request({"ECHO", "hi"}));
  EXPECT_EQ(outcome(requests.read_buffered(args)), empty());
  const std::string partial(requests.buffered());
  EXPECT_EQ(outcome(requests.read_buffered(args)).status, ReadStatus::End);
  EXPECT_EQ(requests.buffered(), partial);  // nothing consumed
  EXPECT_EQ(outcome(requests.read_request(args)), request({"GET", "k"}));
  EXPECT_EQ(outcome(requests.read_buffered(args)), error("invalid multibulk length"));
}

// ---- one argument list across many requests -----------------------------------

// The connection loop keeps one Request for all of its requests, and the
// parser refills the strings the last request left: every request must
// still come out exactly as sent, whatever came before it and however the
// stream is cut, and a large argument must not stay allocated.
TEST(RespReuse, RequestsThroughOneArgumentListComeOutExactly) {
  const std::string big(100000, 'b');
  const std::string mid(300, 'm');
  const std::vector<std::vector<std::string>> sent = {
      {"SET", "key:000000000001", "value-0123456789"},
      {"GET", "k"},
      {"SET", std::string("a\0b", 3), big},
      {"MSET", "k1", "v1", "k2", "v2", "k3", mid},
      {"PING"},
      {"SET", "key:000000000002", ""},
      {"ECHO", "x"},
  };
  std::string wire;
  for (const auto& r : sent) {
    wire += "*" + std::to_string(r.size()) + "\r\n";
    for (const std::string& a : r) wire += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    if (&r == &sent[1]) wire += "*0\r\nINLINE  two\r\n";  // an empty and an inline request in between
  }
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, wire.size()}) {
    SCOPED_TRACE(chunk);
    MemoryReader reader = MemoryReader::chunked(wire, chunk);
    RequestReader requests(reader);
    Request args;
    std::vector<Outcome> got;
    bool from_buffer = false;
    for (;;) {
      ReadResult r = from_buffer ? requests.read_buffered(args) : requests.read_request(args);
      if (r.status == ReadStatus::End && from_buffer) {
        from_buffer = false;
        continue;
      }
      if (r.status == ReadStatus::End) break;
      got.push_back(to_outcome(r, args));
      if (got.size() == 6) {
        EXPECT_LT(args[2].capacity(), big.size());  // MSET right after the big SET
      }
      from_buffer = true;
    }
    std::vector<Outcome> want;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      want.push_back(request(sent[i]));
      if (i == 1) {
        want.push_back(empty());
        want.push_back(request({"INLINE", "two"}));
      }
    }
    EXPECT_EQ(got, want);
  }
}

// ---- inline quoting ---------------------------------------------------------

TEST(RespInline, QuotingRules) {
  struct Case {
    std::string line;
    std::optional<Request> args;  // nullopt: unbalanced quotes
  };
  const std::vector<Case> cases = {
      {"SET k \"a b\"", Request{"SET", "k", "a b"}},
      {R"("a\nb\rc\td\"e\\f\x")", Request{"a\nb\rc\td\"e\\fx"}},
      {R"('it\'s')", Request{"it's"}},
      {R"('a\nb')", Request{"a\\nb"}},
      {R"('a\\b')", Request{"a\\\\b"}},
      {R"('a"b' "c'd")", Request{"a\"b", "c'd"}},
      {"\"a\"b", Request{"a", "b"}},
      {"\"a\"\"b\"", Request{"a", "b"}},
      {"'a'\"b\"c", Request{"a", "b", "c"}},
      {"\"\"", Request{""}},
      {"'' \"\"", Request{"", ""}},
      {"a\"b c\"", Request{"a\"b", "c\""}},
      {"  PING  ", Request{"PING"}},
      {"a\tb\fc\rd", Request{"a", "b", "c", "d"}},
      {"a\vb \v", Request{"a\vb", "\v"}},
      {"\xff\xfe \x80", Request{"\xff\xfe", "\x80"}},
      {"\"x", std::nullopt},
      {"'x", std::nullopt},
      {"\"x\\", std::nullopt},
      {R"('x\')", std::nullopt},
      {"SET k \"a\" \"b", std::nullopt},
      {"\"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome expected = c.args ? request(*c.args) : error("unbalanced quotes in request");
    EXPECT_EQ(view(c.line + "\r\n"), expected);
    EXPECT_EQ(stream(MemoryReader::chunked(c.line + "\n", 1)), expected);
  }
}

// ---- agreement of the two readers -------------------------------------------

TEST(RespAgreement, ViewAndStreamAgreeOnGeneratedInputs) {
  const std::vector<std::string> fragments = {
      "*", "$", "0", "1", "2", "3", "-1", "+", "\r\n", "\n", "\r", " ", "\"", "'", "\\",
      "a", "PING", "*1\r\n", "$1\r\n", "$3\r\n", "*2\r\n", "\t", "\v", "xx\r\n"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 4000; ++round) {
    std::string input;
    std::size_t pieces = 1 + rng() % 12;
    for (std::size_t i = 0; i < pieces; ++i) input += fragments[rng() % fragments.size()];
    std::vector<std::size_t> cuts;
    for (std::size_t i = rng() % 4; i > 0; --i) cuts.push_back(rng() % (input.size() + 1));

    Outcome from_view = view(input);
    Outcome from_stream = stream(MemoryReader(input, cuts));
    ASSERT_EQ(from_view, from_stream) << "input of " << input.size() << " bytes: "
                                      << ::testing::PrintToString(input);
  }
}

}  // namespace
}  // namespace mevora::server
