// Byte encodings shared by the write-ahead log and the snapshot file, and
// the CRC-32 that protects both.
//
//   u32 / u64        fixed width, little-endian
//   varint           unsigned LEB128: 7 value bits per byte, least
//                    significant group first, 0x80 = "another byte follows".
//                    Written in the shortest form. Read with at most 10
//                    bytes: the tenth contributes only its lowest bit (as
//                    bit 63; its other value bits are dropped), and a tenth
//                    byte that still has 0x80 set makes the varint invalid.
//                    Non-shortest forms (0x80 0x00) are accepted.
//   byte string      varint length n, then n raw bytes
//   byte string list varint count c, then c byte strings
//
// CRC-32 is the IEEE 802.3 checksum (reflected polynomial 0xEDB88320,
// all-ones start, final complement): the same numbers as zlib's crc32. The
// CRC of no bytes is 0. It is computed sixteen bytes per step (slicing-by-16)
// from tables built at compile time, a few GB/s on one core.
//
// Encoders append to a caller-owned std::string and never fail. Decoders read
// from the front of a std::string_view, advance it only on success, and
// never read past its end. Everything here is stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mevora::persist {

// ---- fixed-width little-endian integers -----------------------------------

inline void store_u32(char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
inline void store_u64(char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
inline std::uint32_t load_u32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::uint32_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return v;
}
inline std::uint64_t load_u64(const char* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return v;
}

inline void put_u32(std::string& out, std::uint32_t v) {
  char b[4];
  store_u32(b, v);
  out.append(b, sizeof b);
}
inline void put_u64(std::string& out, std::uint64_t v) {
  char b[8];
  store_u64(b, v);
  out.append(b, sizeof b);
}

// ---- varint and byte strings ----------------------------------------------

constexpr std::size_t kMaxVarintLen = 10;

// Bytes the shortest encoding of v takes (1 to 10).
constexpr std::size_t varint_length(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

void put_varint(std::string& out, std::uint64_t v);
// Writes the shortest encoding of v at p (room for kMaxVarintLen bytes);
// returns the number of bytes written.
std::size_t store_varint(char* p, std::uint64_t v);
void put_bytes(std::string& out, std::string_view s);
void put_bytes_list(std::string& out, std::span<const std::string_view> items);

// Incremental varint decoding: feed bytes one by one until the answer is not
// More. Shared by the in-memory decoder below and the streaming snapshot
// reader, so both apply the same ten-byte rule.
class VarintDecoder {
 public:
  enum class Step : std::uint8_t { More, Done, Overflow };

  Step feed(std::uint8_t byte) {
    if (count_ == kMaxVarintLen - 1) {
      // The tenth byte holds only bit 63.
      value_ |= std::uint64_t{byte & 1u} << 63;
      ++count_;
      return (byte & 0x80) != 0 ? Step::Overflow : Step::Done;
    }
    value_ |= std::uint64_t{byte & 0x7Fu} << (7 * count_);
    ++count_;
    return (byte & 0x80) != 0 ? Step::More : Step::Done;
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0;
  unsigned count_ = 0;
};

enum class DecodeStatus : std::uint8_t {
  Ok,
  Truncated,  // the input ended first, or a length exceeds what is left
  Overflow,   // a varint still continued in its tenth byte
};

// Each decoder consumes from the front of `in` on Ok and leaves `in`
// unchanged otherwise.
DecodeStatus get_u64(std::string_view& in, std::uint64_t& v);
DecodeStatus get_varint(std::string_view& in, std::uint64_t& v);
// The view points into `in`'s storage.
DecodeStatus get_bytes(std::string_view& in, std::string_view& s);

// ---- CRC-32 -----------------------------------------------------------------

// Continues a CRC over len more bytes: crc32_update(crc32(a), b) equals the
// CRC of a followed by b. Start from 0, the CRC of nothing.
std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t len);

inline std::uint32_t crc32(const void* data, std::size_t len) { return crc32_update(0, data, len); }
inline std::uint32_t crc32(std::string_view s) { return crc32_update(0, s.data(), s.size()); }

}  // namespace mevora::persist
