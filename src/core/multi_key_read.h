// multi_key_read: a read over several keys at one instant. Internal to the
// store's own files.
//
// The shards of the keys are locked shared together, taken in ascending
// index (the store's one lock order), and the read sees each key's live
// entry, or nullptr when the key is absent or due: a transaction that
// changes several of the keys is seen wholly or not at all. Live entries
// are stamped as accessed. Due keys are removed afterwards, each under its
// shard's exclusive lock alone (a DEL the log refuses leaves the key in
// place, still invisible). Inside a running transaction the shards it
// holds are not locked again (shard_lock.h).
//
// Used by mget and by the set algebra reads (SINTER, SUNION, SDIFF,
// SINTERCARD).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/store.h"

namespace mevora {

namespace multi_key_detail {

// Holds the shared locks of the given shards (distinct, ascending) until
// it goes; release() lets go earlier.
class SharedShardLocks {
 public:
  SharedShardLocks(Store& store, std::span<const std::size_t> shards) MEVORA_NO_THREAD_SAFETY_ANALYSIS
      : store_(store), shards_(shards) {
    for (; held_ < shards_.size(); ++held_) store_.shard_at(shards_[held_]).lock.lock_shared();
  }
  ~SharedShardLocks() { release(); }
  SharedShardLocks(const SharedShardLocks&) = delete;
  SharedShardLocks& operator=(const SharedShardLocks&) = delete;

  void release() MEVORA_NO_THREAD_SAFETY_ANALYSIS {
    while (held_ > 0) store_.shard_at(shards_[--held_]).lock.unlock_shared();
  }

 private:
  Store& store_;
  std::span<const std::size_t> shards_;
  std::size_t held_ = 0;
};

}  // namespace multi_key_detail

// Runs read(std::span<EntryRef* const> entries), entries[i] being the live
// entry of keys[i] or nullptr, with the keys' shards held shared; returns
// what read returns. read must not call back into the store; the entries
// are valid only during the call.
template <class Read>
auto multi_key_read(Store& store, KeyList keys, Read&& read) MEVORA_NO_THREAD_SAFETY_ANALYSIS {
  const std::size_t n = keys.size();
  std::vector<std::uint64_t> hashes(n);
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) {
    hashes[i] = key_hash(keys[i]);
    order[i] = store.shard_index_of(hashes[i]);
  }
  std::sort(order.begin(), order.end());
  order.erase(std::unique(order.begin(), order.end()), order.end());

  std::vector<EntryRef*> entries(n, nullptr);
  std::vector<std::size_t> due;
  LazyNow now(store.clock());
  multi_key_detail::SharedShardLocks locks(store, order);
  for (std::size_t i = 0; i < n; ++i) {
    Shard& s = store.shard_for(hashes[i]);
    const std::size_t slot = s.table.find(keys[i], hashes[i]);
    if (slot == Table::npos) continue;
    EntryRef& e = s.table.at(slot);
    if (e.head().due(now.get())) {
      due.push_back(i);
      continue;
    }
    store.stamp(e.head());
    entries[i] = &e;
  }
  auto result = read(std::span<EntryRef* const>(entries));
  locks.release();
  for (std::size_t i : due) {
    Shard& s = store.shard_for(hashes[i]);
    WriteGuard g(s.lock);
    (void)store.expire_if_due(s, keys[i], hashes[i], now.get());
  }
  return result;
}

}  // namespace mevora
