// Transactions: running a group of store operations atomically.
//
// Store::atomically(keys, whole_keyspace, watcher, body) takes the
// exclusive locks of the shards the given keys (and the watcher's keys)
// map to, in ascending shard index (every shard when whole_keyspace), and
// runs body on the calling thread with a TxnScope current. The ordinary
// store operations body calls find their shard locks already held (see
// shard_lock.h), so no other thread, connection or Python caller observes
// a state between two of them. Body must only touch the declared keys,
// apart from operations over the whole keyspace when whole_keyspace is set.
//
// Watches: with a watcher, the watched keys that are due for expiry are
// removed first (an expiry is a change), and if the watcher is dirty the
// body does not run: the result is false.
//
// Logging: with persistence, every record the body produces goes to the
// scope's WalBatch instead of the log, and the batch is appended as one
// frame (Persistence::append_batch) before any lock is released. Should
// that append fail, the changes are undone from copies of the declared
// keys' entries taken under the same locks before the body ran (and, after
// a flush in the body, from the flushed tables), nothing of the body stays
// in memory or in the log, and the error is returned. Records of eviction
// are logged at once, outside the batch: eviction inside a transaction
// never removes a declared key, and takes the lock of a shard the
// transaction does not hold only if it is free at once (no lock is ever
// waited for out of order).
//
// Lock order: the transaction's shard locks in ascending index, then the
// WAL mutex (at the end, for the batch), like any single operation.
// `save` waits for the transaction's locks and is refused inside one.
//
// Thread safety: a TxnScope belongs to its thread; transactions on one
// thread do not nest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/shard_lock.h"
#include "core/table.h"
#include "core/wal_batch.h"
#include "util/result.h"

namespace mevora {

class Store;
class StoreInternals;
class Watcher;

class TxnScope {
 public:
  // Locks the shards of `held` (ascending, distinct indices) and becomes
  // the thread's current scope.
  TxnScope(Store& store, std::vector<std::size_t> held, std::span<const std::string_view> declared);
  // Leaves the thread and releases the locks in descending order.
  ~TxnScope();
  TxnScope(const TxnScope&) = delete;
  TxnScope& operator=(const TxnScope&) = delete;

  static TxnScope* current() { return txn_detail::current; }

  // Where log_mutation sends a record of `store` while this scope is
  // current: nowhere (undoing), the log directly (eviction), or the batch.
  enum class Route { Drop, Direct, Batch };
  Route route_for(const StoreInternals& store) const;
  void add_to_batch(const WalRecord& rec) { batch_.add(rec); }

  // Whether `key` is one of the keys the transaction declared.
  bool declares(std::string_view key) const;

  // Sends records straight to the log for one scope (eviction, expiry of
  // watched keys): they concern keys the batch does not undo.
  class DirectLogging {
   public:
    explicit DirectLogging(TxnScope* t) : t_(t) {
      if (t_ != nullptr) t_->direct_ = true;
    }
    ~DirectLogging() {
      if (t_ != nullptr) t_->direct_ = false;
    }
    DirectLogging(const DirectLogging&) = delete;
    DirectLogging& operator=(const DirectLogging&) = delete;

   private:
    TxnScope* t_;
  };

  // Undo support, used only with persistence (a failed append).
  void save_declared_entries();
  // flush() hands its detached tables here when this scope keeps an undo
  // copy and none is kept yet; returns false when it should free them.
  bool keep_flushed(std::vector<Table>& tables);
  // Appends the batch (if any) as one frame.
  Result<void, PersistError> commit();
  // Puts every saved entry (and flushed table) back, logging nothing.
  void undo() noexcept;

 private:
  struct SavedEntry {
    std::string key;
    EntryRef copy;  // null: the key was absent
  };

  Store& store_;
  std::vector<std::size_t> held_;
  std::vector<std::string> declared_;  // copies: the caller may move its arguments
  WalBatch batch_;
  bool direct_ = false;
  bool muted_ = false;
  bool journaling_ = false;
  std::vector<SavedEntry> saved_;
  std::vector<Table> flushed_;
  bool has_flushed_ = false;
};

}  // namespace mevora
