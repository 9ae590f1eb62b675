// AllShardsGuard: holds the lock of every shard of a store for one scope.
//
// The locks are taken in ascending shard index, the store's one global lock
// order, so two such guards (or a guard and any single-shard operation)
// cannot deadlock. They are released in the destructor, in descending index
// order; release_below lets go of the lowest ones earlier. Two modes:
//
//   AllShardsWriteGuard  exclusive locks: nothing else reads or writes any
//                        shard while it is held (flush).
//   AllShardsReadGuard   shared locks: readers proceed, writers wait, so
//                        the keyspace is frozen at one instant (save,
//                        which frees each shard once it is written).
//
// Must not be created while the caller already holds a shard lock or the
// log mutex. Blocks until every lock is granted; does no I/O.
//
// Thread-safety analysis cannot name a run-time set of locks, so code that
// touches shard tables under this guard is exempted from the analysis and
// relies on this guard's scope instead.
#pragma once

#include <cstddef>

#include "core/store.h"
#include "util/thread_annotations.h"

namespace mevora {

enum class ShardLockMode { Exclusive, Shared };

template <ShardLockMode kMode>
class AllShardsGuard {
 public:
  explicit AllShardsGuard(Store& store) MEVORA_NO_THREAD_SAFETY_ANALYSIS : store_(store) {
    try {
      for (; held_ < store_.shard_count(); ++held_) acquire(store_.shard_at(held_).lock);
    } catch (...) {
      release_all();
      throw;
    }
  }
  ~AllShardsGuard() { release_all(); }

  AllShardsGuard(const AllShardsGuard&) = delete;
  AllShardsGuard& operator=(const AllShardsGuard&) = delete;

  // Releases every shard below index `end` that is still held; the others
  // stay held until the guard ends.
  void release_below(std::size_t end) {
    while (low_ < end && low_ < held_) release(store_.shard_at(low_++).lock);
  }

 private:
  static void acquire(ShardLock& l) MEVORA_NO_THREAD_SAFETY_ANALYSIS {
    if constexpr (kMode == ShardLockMode::Exclusive) {
      l.lock();
    } else {
      l.lock_shared();
    }
  }
  static void release(ShardLock& l) MEVORA_NO_THREAD_SAFETY_ANALYSIS {
    if constexpr (kMode == ShardLockMode::Exclusive) {
      l.unlock();
    } else {
      l.unlock_shared();
    }
  }
  void release_all() {
    while (held_ > low_) release(store_.shard_at(--held_).lock);
  }

  Store& store_;
  std::size_t low_ = 0;   // shards low_ .. held_-1 are locked
  std::size_t held_ = 0;
};

using AllShardsWriteGuard = AllShardsGuard<ShardLockMode::Exclusive>;
using AllShardsReadGuard = AllShardsGuard<ShardLockMode::Shared>;

}  // namespace mevora
