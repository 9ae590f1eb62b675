#include "core/persist/coding.h"

#include <array>
#include <bit>

#include "util/platform.h"
#include "util/unaligned.h"

namespace mevora::persist {

// ---- varint and byte strings ----------------------------------------------

std::size_t store_varint(char* p, std::uint64_t v) {
  std::size_t n = 0;
  while (v >= 0x80) {
    p[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  p[n++] = static_cast<char>(v);
  return n;
}

void put_varint(std::string& out, std::uint64_t v) {
  char b[kMaxVarintLen];
  out.append(b, store_varint(b, v));
}

void put_bytes(std::string& out, std::string_view s) {
  put_varint(out, s.size());
  out.append(s);
}

void put_bytes_list(std::string& out, std::span<const std::string_view> items) {
  put_varint(out, items.size());
  for (std::string_view s : items) put_bytes(out, s);
}

DecodeStatus get_u64(std::string_view& in, std::uint64_t& v) {
  if (in.size() < 8) return DecodeStatus::Truncated;
  v = load_u64(in.data());
  in.remove_prefix(8);
  return DecodeStatus::Ok;
}

DecodeStatus get_varint(std::string_view& in, std::uint64_t& v) {
  VarintDecoder d;
  for (std::size_t i = 0; i < in.size(); ++i) {
    switch (d.feed(static_cast<std::uint8_t>(in[i]))) {
      case VarintDecoder::Step::More:
        break;
      case VarintDecoder::Step::Done:
        v = d.value();
        in.remove_prefix(i + 1);
        return DecodeStatus::Ok;
      case VarintDecoder::Step::Overflow:
        return DecodeStatus::Overflow;
    }
  }
  return DecodeStatus::Truncated;
}

DecodeStatus get_bytes(std::string_view& in, std::string_view& s) {
  std::string_view rest = in;
  std::uint64_t n = 0;
  if (DecodeStatus st = get_varint(rest, n); st != DecodeStatus::Ok) return st;
  if (n > rest.size()) return DecodeStatus::Truncated;
  s = rest.substr(0, static_cast<std::size_t>(n));
  rest.remove_prefix(static_cast<std::size_t>(n));
  in = rest;
  return DecodeStatus::Ok;
}

// ---- CRC-32 -----------------------------------------------------------------
//
// Slicing-by-16: table k maps a byte to its CRC contribution when it is
// followed by k zero bytes, so sixteen input bytes fold into the running CRC
// with sixteen independent lookups per step. Table 0 is the classic
// byte-at-a-time table.

namespace {

constexpr std::uint32_t kPoly = 0xEDB88320u;
constexpr int kSlices = 16;

using CrcTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? (c >> 1) ^ kPoly : c >> 1;
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i) {
    for (int k = 1; k < kSlices; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
  }
  return t;
}

constexpr CrcTables kCrc = make_crc_tables();

inline std::uint32_t byte_at(std::uint32_t w, int i) { return (w >> (8 * i)) & 0xFFu; }

// A little-endian 32-bit load that compiles to one instruction on
// little-endian hosts at every optimisation level.
inline std::uint32_t load_le32(const char* p) {
  if constexpr (std::endian::native == std::endian::little) {
    return load_unaligned<std::uint32_t>(p);
  } else {
    return load_u32(p);
  }
}

// The running (complemented) CRC state over len bytes, table-driven.
std::uint32_t crc32_tables(std::uint32_t c, const char* p, std::size_t len) {
  while (len >= kSlices) {
    // The lookups of bytes 4..15 do not depend on the running CRC; xor them
    // first so that only the last four lookups sit on the dependency chain.
    std::uint32_t b = load_le32(p + 4);
    std::uint32_t d = load_le32(p + 8);
    std::uint32_t e = load_le32(p + 12);
    std::uint32_t rest = (kCrc[11][byte_at(b, 0)] ^ kCrc[10][byte_at(b, 1)] ^
                          kCrc[9][byte_at(b, 2)] ^ kCrc[8][byte_at(b, 3)]) ^
                         (kCrc[7][byte_at(d, 0)] ^ kCrc[6][byte_at(d, 1)] ^
                          kCrc[5][byte_at(d, 2)] ^ kCrc[4][byte_at(d, 3)]) ^
                         (kCrc[3][byte_at(e, 0)] ^ kCrc[2][byte_at(e, 1)] ^
                          kCrc[1][byte_at(e, 2)] ^ kCrc[0][byte_at(e, 3)]);
    std::uint32_t a = load_le32(p) ^ c;
    c = rest ^ (kCrc[15][byte_at(a, 0)] ^ kCrc[14][byte_at(a, 1)]) ^
        (kCrc[13][byte_at(a, 2)] ^ kCrc[12][byte_at(a, 3)]);
    p += kSlices;
    len -= kSlices;
  }
  while (len-- > 0) c = (c >> 8) ^ kCrc[0][(c ^ static_cast<unsigned char>(*p++)) & 0xFFu];
  return c;
}

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, const void* data, std::size_t len) {
  const char* p = static_cast<const char*>(data);
  std::uint32_t c = ~crc;
  // The processor's carry-less multiplication folds the bulk where it has
  // one; the tables take the rest (and everything elsewhere).
  if (len >= 64) {
    const std::size_t bulk = len & ~std::size_t{15};
    if (platform::crc32_fold(c, p, bulk)) {
      p += bulk;
      len -= bulk;
    }
  }
  return ~crc32_tables(c, p, len);
}

}  // namespace mevora::persist
