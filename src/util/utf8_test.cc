#include "util/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace mevora {
namespace {

TEST(Utf8, ValidityAndLossyConversion) {
  struct Case {
    std::string in;
    bool valid;
    std::string lossy;
  };
  const std::string r = "\xef\xbf\xbd";
  const Case cases[] = {
      {"", true, ""},
      {"abc", true, "abc"},
      {"\xc3\xa9", true, "\xc3\xa9"},
      {"\xf0\x9f\x98\x80", true, "\xf0\x9f\x98\x80"},
      {"\xff", false, r},
      {"a\x80" "b", false, "a" + r + "b"},
      {"\xc0\xaf", false, r + r},                 // overlong lead
      {"\xe0\x80\xaf", false, r + r + r},         // overlong three-byte form
      {"\xed\xa0\x80", false, r + r + r},         // surrogate
      {"\xf4\x90\x80\x80", false, r + r + r + r}, // above U+10FFFF
      {"\xe2\x82", false, r},                     // truncated: one maximal subpart
      {"\xe2\x82x", false, r + "x"},
      {"\xf0\x9f\x98", false, r},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.in), c.valid) << ::testing::PrintToString(c.in);
    EXPECT_EQ(utf8_lossy(c.in), c.lossy) << ::testing::PrintToString(c.in);
  }
}

TEST(Utf8, DecodesCodePointsAndMeasuresIllFormedPrefixes) {
  struct Case {
    std::string in;
    bool ok;
    char32_t code_point;
    std::size_t len;
  };
  const Case cases[] = {
      {"A", true, U'A', 1},
      {"\x7f", true, 0x7F, 1},
      {"\xc2\x80", true, 0x80, 2},
      {"\xdf\xbf", true, 0x7FF, 2},
      {"\xe0\xa0\x80", true, 0x800, 3},
      {"\xe3\x80\x80z", true, 0x3000, 3},
      {"\xef\xbf\xbf", true, 0xFFFF, 3},
      {"\xf0\x90\x80\x80", true, 0x10000, 4},
      {"\xf4\x8f\xbf\xbf", true, 0x10FFFF, 4},
      {"\x80", false, 0, 1},
      {"\xc1\xbf", false, 0, 1},      // overlong lead
      {"\xe0\x9f\xbf", false, 0, 1},  // overlong second byte
      {"\xed\xa0\x80", false, 0, 1},  // surrogate
      {"\xe3\x80", false, 0, 2},      // cut short by the end
      {"\xe3\x80z", false, 0, 2},     // broken by a non-continuation
      {"\xf0\x9f\x98", false, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    const Utf8Sequence seq = decode_utf8_at(c.in, 0);
    EXPECT_EQ(seq.ok, c.ok);
    EXPECT_EQ(seq.len, c.len);
    EXPECT_EQ(static_cast<std::uint32_t>(seq.code_point), static_cast<std::uint32_t>(c.code_point));
  }
}

TEST(Utf8, EchoTextKeepsShortInputAndCutsLongInput) {
  const std::string r = "\xef\xbf\xbd";
  const std::string limit(kEchoMaxBytes, 'a');
  EXPECT_EQ(echo_text(""), "");
  EXPECT_EQ(echo_text(limit), limit);
  EXPECT_EQ(echo_text(limit + "b"), limit + "...");
  EXPECT_EQ(echo_text(std::string(10 << 20, 'x')), std::string(kEchoMaxBytes, 'x') + "...");
  // Short input is shown whole, invalid bytes replaced.
  EXPECT_EQ(echo_text("a\xff"), "a" + r);
  // A two-byte character straddling the cut is left out whole, not halved
  // into a replacement character.
  const std::string e_acute = "\xc3\xa9";
  EXPECT_EQ(echo_text(std::string(kEchoMaxBytes - 1, 'a') + e_acute), std::string(kEchoMaxBytes - 1, 'a') + "...");
  // A four-byte character ending exactly at the cut is kept.
  const std::string emoji = "\xf0\x9f\x98\x80";
  const std::string fits = std::string(kEchoMaxBytes - 4, 'a') + emoji;
  EXPECT_EQ(echo_text(fits + "z"), fits + "...");
  // One starting three bytes before the cut is left out.
  const std::string head = std::string(kEchoMaxBytes - 3, 'a');
  EXPECT_EQ(echo_text(head + emoji + "z"), head + "...");
  // Continuation bytes only: cut at the limit and replaced.
  const std::string junk(kEchoMaxBytes + 8, '\x80');
  std::string replaced;
  for (std::size_t i = 0; i < kEchoMaxBytes; ++i) replaced += r;
  EXPECT_EQ(echo_text(junk), replaced + "...");
}

}  // namespace
}  // namespace mevora
