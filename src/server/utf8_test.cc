#include "server/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace mevora::server {
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

}  // namespace
}  // namespace mevora::server
