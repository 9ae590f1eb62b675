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

namespace mevora {

std::uint64_t hash_bytes(const void* data, std::size_t len, std::uint64_t seed);

inline std::uint64_t key_hash(std::string_view key) {
  return hash_bytes(key.data(), key.size(), 0);
}

}  // namespace mevora
