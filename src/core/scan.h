// Cursor iteration over the keyspace: the types of Store::scan and the
// cursor arithmetic behind its guarantee.
//
// Guarantee: a full iteration (cursor 0, then each returned cursor until 0
// comes back) returns every key that exists for the whole iteration at
// least once, however keys are inserted and removed and shard tables grow,
// shrink or are rebuilt between calls. A key may be returned more than once.
//
// Why it holds. A table slot depends on insertion history and changes on
// every rebuild, so a cursor over slots would not do. A key's home position
// (hash & (slot count - 1), see FlatTable::for_each_at_home) depends only on
// its hash and the table size, and the shard (hash bits 32..47) never
// changes. The cursor walks each shard's home positions in bit-reversed
// order: the homes visited so far are exactly those whose bit-reversed
// value is below the cursor's. When the table doubles, home p splits into
// p and p + S, which are adjacent in the reversed order of the larger
// table, so the visited set is still "everything below the cursor" and
// nothing unvisited is skipped. When it halves, p and p + S/2 merge into
// p: a cursor that had visited one of them revisits the merged home
// (duplicates, never misses). Repeated resizing composes these two cases.
//
// Cursor layout (an opaque unsigned 64-bit number to callers):
//   bits 0..15   shard index (a store has at most 65,536 shards)
//   bits 16..63  home position in that shard's table (tables stay far
//                below 2^48 slots)
// Cursor 0 starts an iteration and a returned 0 ends it. Any other 64-bit
// value is safe: a shard index past the store's shards ends the iteration,
// a home position past the table is taken modulo its size.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mevora {

// The kind of value a key holds, as the TYPE filter names it.
enum class KeyKind : std::uint8_t { String, List, Hash, Set };

// The kind named "string", "list", "hash" or "set"; nullopt for any other
// name.
inline std::optional<KeyKind> key_kind_named(std::string_view name) {
  if (name == "string") return KeyKind::String;
  if (name == "list") return KeyKind::List;
  if (name == "hash") return KeyKind::Hash;
  if (name == "set") return KeyKind::Set;
  return std::nullopt;
}

struct ScanFilter {
  std::optional<std::string_view> match;  // a glob pattern (see glob.h)
  std::uint64_t count = 10;               // home positions to visit; >= 1
  std::optional<KeyKind> kind;
};

struct ScanPage {
  std::uint64_t cursor = 0;  // 0: the iteration is complete
  std::vector<std::string> keys;
  // The work done: home positions visited (an empty shard counts as one)
  // and control groups read. Reported for tests and diagnostics.
  std::uint64_t homes_visited = 0;
  std::uint64_t groups_read = 0;
};

namespace scan_cursor {

constexpr unsigned kShardBits = 16;
constexpr std::uint64_t kShardMask = (std::uint64_t{1} << kShardBits) - 1;

constexpr std::uint64_t shard_of(std::uint64_t cursor) { return cursor & kShardMask; }
constexpr std::uint64_t home_of(std::uint64_t cursor) { return cursor >> kShardBits; }
constexpr std::uint64_t make(std::uint64_t shard, std::uint64_t home) { return (home << kShardBits) | shard; }

constexpr std::uint64_t reverse_bits(std::uint64_t v) {
  v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
  v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
  v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
  return __builtin_bswap64(v);
}

// The home after `home` in bit-reversed order over a table whose slot
// count is mask + 1 (a power of two): add one at the top bit of the mask
// and carry downwards. Bits above the mask are dropped. 0 = wrapped, the
// table is done.
constexpr std::uint64_t next_home(std::uint64_t home, std::uint64_t mask) {
  std::uint64_t v = home | ~mask;  // carries pass straight through the unused bits
  v = reverse_bits(v);
  ++v;
  return reverse_bits(v);
}

}  // namespace scan_cursor
}  // namespace mevora
