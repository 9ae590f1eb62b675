// WalRecord: one logged mutation, as handed by store operations to
// Store::log_mutation. It only views bytes owned by the caller (the
// operation's arguments or the entry under the held shard lock); it is
// encoded before the lock is released and never stored.
//
// Kind codes are part of the on-disk format and never change. Code 13 is
// the transaction record, which frames a WalBatch (core/wal_batch.h,
// core/persist/wal.h) and is never a single WalRecord.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace mevora {

enum class WalKind : std::uint8_t {
  Set = 1,     // deadline, key, value
  Del = 2,     // key
  Expire = 3,  // deadline, key
  HSet = 4,    // key, field, value
  HDel = 5,    // key, items (fields)
  LPush = 6,   // key, items (values)
  RPush = 7,   // key, items (values)
  LPop = 8,    // key
  RPop = 9,    // key
  SAdd = 10,   // key, items (members)
  SRem = 11,   // key, items (members)
  Flush = 12,  // nothing
  // Code 13 is the transaction record (see above).
  LSet = 14,     // number (index, two's complement), key, value
  LInsert = 15,  // number (0: before, 1: after), key, field (pivot), value
  LRem = 16,     // number (count, two's complement), key, value
};

struct WalRecord {
  WalKind kind = WalKind::Flush;
  std::string_view key;
  std::uint64_t deadline_ms = 0;
  std::string_view field;
  std::string_view value;
  std::span<const std::string_view> items;

  static WalRecord set(std::string_view k, std::uint64_t deadline, std::string_view v) {
    return {WalKind::Set, k, deadline, {}, v, {}};
  }
  static WalRecord del(std::string_view k) { return {WalKind::Del, k, 0, {}, {}, {}}; }
  static WalRecord expire(std::string_view k, std::uint64_t deadline) {
    return {WalKind::Expire, k, deadline, {}, {}, {}};
  }
  static WalRecord hset(std::string_view k, std::string_view f, std::string_view v) {
    return {WalKind::HSet, k, 0, f, v, {}};
  }
  static WalRecord with_items(WalKind kind, std::string_view k, std::span<const std::string_view> items) {
    return {kind, k, 0, {}, {}, items};
  }
  static WalRecord key_only(WalKind kind, std::string_view k) { return {kind, k, 0, {}, {}, {}}; }
  static WalRecord flush() { return {}; }
  // The list edits: the number travels in deadline_ms.
  static WalRecord lset(std::string_view k, std::int64_t index, std::string_view v) {
    return {WalKind::LSet, k, static_cast<std::uint64_t>(index), {}, v, {}};
  }
  static WalRecord linsert(std::string_view k, bool after, std::string_view pivot, std::string_view v) {
    return {WalKind::LInsert, k, after ? 1u : 0u, pivot, v, {}};
  }
  static WalRecord lrem(std::string_view k, std::int64_t count, std::string_view v) {
    return {WalKind::LRem, k, static_cast<std::uint64_t>(count), {}, v, {}};
  }
};

}  // namespace mevora
