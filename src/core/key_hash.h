// key_hash: the 64-bit hash that places a key in the keyspace.
//
// A folded-multiply hash (128-bit product, high and low halves xored) under
// four fixed keys, so a key hashes the same in every process and run.
// Nothing persisted or sent depends on the value.
//
// How the bits are used (they must not overlap by accident):
//   - bits 32..47 (masked by the shard count - 1): the shard index;
//   - the low bits (masked by slot count - 1): the probe start in the shard's
//     table; tables stay far below 2^32 slots, so these never reach bit 32;
//   - bits 57..63: the 7-bit tag stored in the slot's control byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/unaligned.h"

namespace mevora {

namespace hash_detail {

// Fixed keys: the fractional digits of pi, in 64-bit words.
constexpr std::uint64_t kKey0 = 0x243f6a8885a308d3ULL;
constexpr std::uint64_t kKey1 = 0x13198a2e03707344ULL;
constexpr std::uint64_t kKey2 = 0xa4093822299f31d0ULL;
constexpr std::uint64_t kKey3 = 0x082efa98ec4e6c89ULL;

__extension__ typedef unsigned __int128 u128;

inline std::uint64_t fold_mul(std::uint64_t a, std::uint64_t b) {
  u128 r = static_cast<u128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t read64(const unsigned char* p) { return load_unaligned<std::uint64_t>(p); }
inline std::uint64_t read32(const unsigned char* p) { return load_unaligned<std::uint32_t>(p); }

}  // namespace hash_detail

// Inline: every lookup starts here, and most keys take the short branch.
inline std::uint64_t hash_bytes(const void* data, std::size_t len, std::uint64_t seed) {
  using namespace hash_detail;
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t s = seed ^ kKey0 ^ fold_mul(seed ^ kKey1, static_cast<std::uint64_t>(len) ^ kKey2);
  std::uint64_t a;
  std::uint64_t b;
  if (len <= 16) {
    if (len >= 4) {
      // Two overlapping reads cover 4..16 bytes without a loop.
      if (len >= 8) {
        a = read64(p);
        b = read64(p + len - 8);
      } else {
        a = read32(p);
        b = read32(p + len - 4);
      }
    } else if (len > 0) {
      a = (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[len >> 1]) << 8) | p[len - 1];
      b = 0;
    } else {
      a = 0;
      b = 0;
    }
  } else {
    std::size_t i = len;
    std::uint64_t s1 = s;
    std::uint64_t s2 = s;
    while (i > 32) {
      s = fold_mul(read64(p) ^ kKey1, read64(p + 8) ^ s);
      s1 = fold_mul(read64(p + 16) ^ kKey2, read64(p + 24) ^ s1);
      p += 32;
      i -= 32;
    }
    s ^= s1 ^ s2;
    if (i > 16) {
      s = fold_mul(read64(p) ^ kKey1, read64(p + 8) ^ s);
    }
    a = read64(p + i - 16);
    b = read64(p + i - 8);
  }
  a ^= kKey1;
  b ^= s;
  std::uint64_t m = fold_mul(a, b);
  return fold_mul(m ^ kKey3, static_cast<std::uint64_t>(len) ^ kKey1 ^ s);
}

inline std::uint64_t key_hash(std::string_view key) {
  return hash_bytes(key.data(), key.size(), 0);
}

}  // namespace mevora
