#include "core/persist/coding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mevora::persist {
namespace {

using namespace std::string_literals;

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

TEST(PersistCodingTest, FixedWidthIntegersAreLittleEndian) {
  std::string out;
  put_u32(out, 0x01020304u);
  put_u64(out, 0x1122334455667788ull);
  EXPECT_EQ(out, "\x04\x03\x02\x01\x88\x77\x66\x55\x44\x33\x22\x11"s);
  EXPECT_EQ(load_u32(out.data()), 0x01020304u);
  EXPECT_EQ(load_u64(out.data() + 4), 0x1122334455667788ull);

  std::string high;
  put_u64(high, UINT64_MAX);
  put_u32(high, 0x80000000u);
  EXPECT_EQ(load_u64(high.data()), UINT64_MAX);
  EXPECT_EQ(load_u32(high.data() + 8), 0x80000000u);
}

TEST(PersistCodingTest, VarintWritesShortestFormAndReadsItBack) {
  struct Case {
    std::uint64_t value;
    std::string bytes;
  };
  const Case cases[] = {
      {0, "\x00"s},
      {1, "\x01"s},
      {127, "\x7f"s},
      {128, "\x80\x01"s},
      {300, "\xac\x02"s},
      {16383, "\xff\x7f"s},
      {16384, "\x80\x80\x01"s},
      {0xFFFFFFFFull, "\xff\xff\xff\xff\x0f"s},
      {1ull << 63, repeat('\x80', 9) + "\x01"s},
      {UINT64_MAX, repeat('\xff', 9) + "\x01"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string out;
    put_varint(out, c.value);
    EXPECT_EQ(out, c.bytes);
    EXPECT_EQ(varint_length(c.value), c.bytes.size());

    std::string with_tail = c.bytes + "zz";
    std::string_view in = with_tail;
    std::uint64_t v = 0;
    ASSERT_EQ(get_varint(in, v), DecodeStatus::Ok);
    EXPECT_EQ(v, c.value);
    EXPECT_EQ(in, "zz");
  }
}

TEST(PersistCodingTest, VarintReaderAppliesTheTenByteRule) {
  struct Case {
    const char* name;
    std::string bytes;
    DecodeStatus status;
    std::uint64_t value;
    std::size_t consumed;
  };
  const Case cases[] = {
      {"empty", "", DecodeStatus::Truncated, 0, 0},
      {"continued then end", "\x80", DecodeStatus::Truncated, 0, 0},
      {"nine continued bytes", repeat('\xff', 9), DecodeStatus::Truncated, 0, 0},
      {"non-shortest zero", "\x80\x00"s, DecodeStatus::Ok, 0, 2},
      {"non-shortest one", "\x81\x80\x00"s, DecodeStatus::Ok, 1, 3},
      {"tenth byte keeps only bit 0", repeat('\xff', 9) + "\x7f", DecodeStatus::Ok, UINT64_MAX, 10},
      {"tenth byte upper bits dropped", repeat('\x80', 9) + "\x7e", DecodeStatus::Ok, 0, 10},
      {"tenth byte continued", repeat('\x80', 9) + "\x80", DecodeStatus::Overflow, 0, 0},
      {"tenth byte continued with bit", repeat('\xff', 9) + "\x81", DecodeStatus::Overflow, 0, 0},
      {"eleven bytes", repeat('\xff', 10) + "\x01", DecodeStatus::Overflow, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string_view in = c.bytes;
    std::uint64_t v = 12345;
    EXPECT_EQ(get_varint(in, v), c.status);
    if (c.status == DecodeStatus::Ok) {
      EXPECT_EQ(v, c.value);
      EXPECT_EQ(c.bytes.size() - in.size(), c.consumed);
    } else {
      EXPECT_EQ(in.size(), c.bytes.size()) << "a failed decode must not consume";
    }
  }
}

TEST(PersistCodingTest, ByteStringsAndListsHaveLengthPrefixes) {
  std::string out;
  put_bytes(out, "");
  put_bytes(out, "ab");
  EXPECT_EQ(out, "\x00\x02" "ab"s);

  std::string k127(127, 'k');
  std::string k128(128, 'k');
  out.clear();
  put_bytes(out, k127);
  EXPECT_EQ(out, "\x7f"s + k127);
  out.clear();
  put_bytes(out, k128);
  EXPECT_EQ(out, "\x80\x01"s + k128);

  const std::string_view items[] = {"a", "", "bcd"};
  out.clear();
  put_bytes_list(out, items);
  EXPECT_EQ(out, "\x03\x01" "a\x00\x03" "bcd"s);
  out.clear();
  put_bytes_list(out, {});
  EXPECT_EQ(out, "\x00"s);
}

TEST(PersistCodingTest, ByteStringReaderChecksLengthAgainstInput) {
  struct Case {
    std::string bytes;
    DecodeStatus status;
    std::string value;
  };
  const Case cases[] = {
      {"\x03" "abcX"s, DecodeStatus::Ok, "abc"},
      {"\x00"s, DecodeStatus::Ok, ""},
      {"\x04" "abc"s, DecodeStatus::Truncated, ""},
      {"", DecodeStatus::Truncated, ""},
      {"\x80"s, DecodeStatus::Truncated, ""},
      {repeat('\x80', 9) + "\x80", DecodeStatus::Overflow, ""},
      // A length near 2^64 must not wrap around the bounds check.
      {repeat('\xff', 9) + "\x01" + "x", DecodeStatus::Truncated, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    std::string_view in = c.bytes;
    std::string_view s;
    ASSERT_EQ(get_bytes(in, s), c.status);
    if (c.status == DecodeStatus::Ok) {
      EXPECT_EQ(s, c.value);
      EXPECT_EQ(in.size(), c.bytes.size() - 1 - c.value.size());
    } else {
      EXPECT_EQ(in.size(), c.bytes.size());
    }
  }

  std::string_view u = "1234567";
  std::uint64_t v = 0;
  EXPECT_EQ(get_u64(u, v), DecodeStatus::Truncated);
  EXPECT_EQ(u.size(), 7u);
}

TEST(PersistCodingTest, Crc32MatchesKnownVectors) {
  struct Case {
    std::string data;
    std::uint32_t crc;
  };
  const Case cases[] = {
      {"", 0},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {std::string(32, '\0'), 0x190A55ADu},
      {std::string(32, '\xff'), 0xFF6CAB0Bu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.size());
    EXPECT_EQ(crc32(c.data), c.crc);
  }
}

// The textbook bit-at-a-time CRC, independent of the tables.
std::uint32_t reference_crc(const unsigned char* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

TEST(PersistCodingTest, Crc32AgreesWithReferenceAtEveryLengthAndAlignment) {
  std::mt19937 rng(7);
  std::vector<unsigned char> data(5000);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t len = 0; len <= 300; ++len) {
      ASSERT_EQ(crc32(data.data() + offset, len), reference_crc(data.data() + offset, len))
          << "offset " << offset << " len " << len;
    }
  }
  EXPECT_EQ(crc32(data.data() + 3, 4997), reference_crc(data.data() + 3, 4997));
}

TEST(PersistCodingTest, Crc32UpdateContinuesAcrossAnySplit) {
  std::mt19937 rng(11);
  std::vector<unsigned char> data(97);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  const std::uint32_t whole = crc32(data.data(), data.size());
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    std::uint32_t c = crc32_update(0, data.data(), cut);
    c = crc32_update(c, data.data() + cut, data.size() - cut);
    ASSERT_EQ(c, whole) << "cut " << cut;
  }
  std::uint32_t bytewise = 0;
  for (unsigned char b : data) bytewise = crc32_update(bytewise, &b, 1);
  EXPECT_EQ(bytewise, whole);
}

}  // namespace
}  // namespace mevora::persist
