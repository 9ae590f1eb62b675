// Steps shared by the hash, list and set operations of the store
// (store_hashes.cc, store_lists.cc, store_sets.cc). Internal to the store.
//
// Every helper that names a Shard requires that shard's exclusive lock and
// runs after expire_if_due, so a due key has already been removed. The
// CollEntry pointers they return are owned by the shard's table and stay
// valid only while the caller keeps holding that lock; the table may move
// its slots, but never the entries themselves.
//
// Errors: WrongType for an entry of another kind (after stamping it, so a
// refused access still counts as an access for eviction). A key longer
// than 4 GiB cannot be created: std::length_error before anything changes.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/store.h"

namespace mevora::collections {

// The summed element cost of items, as counted by the admission need of a
// push or sadd (every item, repeats included).
inline std::uint64_t items_cost(KeyList items) {
  std::uint64_t sum = 0;
  for (std::string_view item : items) sum += kElementOverhead + align16(item.size());
  return sum;
}

// Whether e holds a collection of `kind`.
inline bool holds(EntryRef e, CollectionKind kind) { return !e.is_string() && e.coll()->kind == kind; }

// The live entry under key as a collection of `kind`, stamped: nullptr when
// the key is absent, WrongType when it holds another kind.
inline StoreResult<CollEntry*> find_locked(Store& store, Shard& s, std::string_view key, std::uint64_t h,
                                           CollectionKind kind) MEVORA_REQUIRES(s.lock) {
  const std::size_t slot = s.table.find(key, h);
  if (slot == Table::npos) return static_cast<CollEntry*>(nullptr);
  const EntryRef e = s.table.at(slot);
  store.stamp(e.head());
  if (!holds(e, kind)) return make_err(StoreError::WrongType);
  return e.coll();
}

// As find_locked, but an absent key first gets a new empty collection of
// `kind` without deadline, inserted with its accounted_size (80 + align16
// of the key length) added to used_memory. Never returns nullptr.
inline StoreResult<CollEntry*> find_or_create_locked(Store& store, Shard& s, std::string_view key,
                                                     std::uint64_t h, CollectionKind kind)
    MEVORA_REQUIRES(s.lock) {
  if (s.table.find(key, h) == Table::npos) {
    check_key_length(key);
    CollEntry* c = CollEntry::create(kind, key, 0, 0);
    store.insert_locked(s, h, EntryRef(c));  // frees c itself if it throws
    store.stamp(c->head);
    return c;
  }
  return find_locked(store, s, key, h, kind);
}

// Runs apply(), which adds elements; should it throw (out of memory) into a
// collection created by this same operation before anything was added,
// the key is not left holding an empty collection. apply must account each
// element right after adding it, so that used_memory stays exact whatever
// point the failure hits.
template <class F>
void apply_or_drop(Store& store, Shard& s, std::string_view key, std::uint64_t h, F&& apply)
    MEVORA_REQUIRES(s.lock) {
  try {
    apply();
  } catch (...) {
    store.drop_if_empty(s, key, h);
    throw;
  }
}

// Element accounting: value_size and used_memory always move by the same
// delta, so used_memory stays the sum of the accounted sizes. A removal
// saturates value_size at 0 and then moves used_memory by what was
// actually taken off.
inline void add_element(Store& store, CollEntry& c, std::uint64_t cost) {
  c.add_cost(cost);
  store.add_used(cost);
}

inline void remove_element(Store& store, CollEntry& c, std::uint64_t cost) {
  const std::uint64_t before = c.value_size;
  c.sub_cost(cost);
  store.sub_used(before - c.value_size);
}

}  // namespace mevora::collections
