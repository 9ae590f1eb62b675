// StoreInternals: what the store's own files share, and nothing a caller
// of the store needs (those use store.h alone).
//
// The store's own files are the operations (store*.cc), eviction, expiry,
// transactions, the collection helpers (collection_access.h), recovery and
// snapshots (persist/), and the tests. They build every operation from the
// locked steps declared here: lazy expiry, insert, remove, the memory
// figure, the admission check, and log_mutation, the one point every
// record passes through. Each step's comment says which lock it requires.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/key_hash.h"
#include "core/persistence.h"
#include "core/scan.h"
#include "core/shard_lock.h"
#include "core/store_types.h"
#include "core/table.h"
#include "core/transaction.h"
#include "core/value.h"
#include "core/wait_hook.h"
#include "core/wal_record.h"
#include "core/watch.h"
#include "util/rwlock.h"

namespace mevora {

struct alignas(64) Shard {
  ShardLock lock;
  Table table MEVORA_GUARDED_BY(lock);
  // The table_overhead last charged to used_memory for this shard.
  std::atomic<std::uint64_t> overhead{0};
  // The watched keys of this shard and their watchers (watch.h).
  ShardWatches watchers MEVORA_GUARDED_BY(lock);
};

// The tag that only the store's own files pass to Store's constructor.
struct StoreConstruction {
  explicit StoreConstruction() = default;
};

// Reads the clock on first use only: most operations on keys without a
// deadline never need the time. Observably the same as reading it at the
// start, since nothing in between depends on it.
class LazyNow {
 public:
  explicit LazyNow(const Clock& c) : clock_(c) {}
  std::uint64_t get() {
    if (!have_) {
      now_ = clock_.now_ms();
      have_ = true;
    }
    return now_;
  }

 private:
  const Clock& clock_;
  std::uint64_t now_ = 0;
  bool have_ = false;
};

// The kind of value an entry holds, as TYPE and SCAN's TYPE filter name it.
inline KeyKind kind_of(EntryRef e) {
  if (e.is_string()) return KeyKind::String;
  switch (e.coll()->kind) {
    case CollectionKind::List:
      return KeyKind::List;
    case CollectionKind::Hash:
      return KeyKind::Hash;
    case CollectionKind::Set:
      break;
  }
  return KeyKind::Set;
}

class StoreInternals {
 public:
  // ---- eviction (also used by tests) -----------------------------------------
  // Makes room for `need` more bytes under the memory limit; false = refuse.
  bool admit(std::uint64_t need) { return admit_or_error(need).ok(); }
  // The same, telling why it refused: OutOfMemory, or LogRefused when a
  // victim's DEL could not be logged (the victim then stays). Sets
  // *evicted when it removed a key.
  StoreResult<void> admit_or_error(std::uint64_t need, bool* evicted = nullptr);
  // The same for a need computed by need_fn() that includes a table's
  // growth: evicting from the key's own shard can lower that table's usable
  // capacity and so raise what the insert will cost, so after an admission
  // that evicted, the need is computed again and admitted again if it grew.
  template <class NeedFn>
    requires std::is_invocable_r_v<std::uint64_t, NeedFn&>
  StoreResult<void> admit_or_error(NeedFn&& need_fn) {
    std::uint64_t need = need_fn();
    for (;;) {
      bool evicted = false;
      if (auto a = admit_or_error(need, &evicted); !a.ok() || !evicted) return a;
      const std::uint64_t again = need_fn();
      if (again <= need) return {};
      need = again;
    }
  }
  // Admits a string write of value_len bytes under key, replacing the entry
  // live_size reported as `current` (live, accounted size): the new entry
  // and any table growth, less what the replaced entry frees.
  StoreResult<void> admit_string_write(Shard& s, std::string_view key, std::uint64_t hash,
                                       std::pair<bool, std::uint64_t> current, std::uint64_t value_len);
  // Removes the sampled least-recently-used candidate; false = none found
  // (or its DEL could not be logged).
  bool evict_one(bool volatile_only) {
    auto r = evict_one_or_error(volatile_only);
    return r.ok() && r.value();
  }
  StoreResult<bool> evict_one_or_error(bool volatile_only);
  // SplitMix64 draw from the shared random state.
  std::uint64_t next_random();
  // One pass of the expiry sweeper over every shard (the sweeper thread
  // calls it every interval; tests call it directly).
  void sweep_once();

  // ---- the shards, the clock, the limits and the log -------------------------
  Shard& shard_for(std::uint64_t hash) { return *shards_[(hash >> 32) & shard_mask_]; }
  std::size_t shard_index_of(std::uint64_t hash) const { return (hash >> 32) & shard_mask_; }
  Shard& shard_at(std::size_t i) { return *shards_[i]; }
  Clock& clock() const { return *clock_; }
  void set_clock(std::shared_ptr<Clock> clock) { clock_ = std::move(clock); }
  void set_limits(std::uint64_t max_memory, EvictionPolicy policy) {
    max_memory_ = max_memory;
    policy_ = policy;
  }
  void install_persistence(std::unique_ptr<Persistence> p) { persist_ = std::move(p); }
  Persistence* persistence() const { return persist_.get(); }

  // The hook of every mutation, under the changed shard's exclusive lock,
  // before the change is applied (see the header comment): appends the
  // record (into the transaction's batch while a transaction runs on this
  // thread) and, once it is logged, marks the key's watchers. The single
  // point every mutation's record passes through.
  // An in-memory store with no watched key does nothing here, inline.
  [[nodiscard, gnu::always_inline]] StoreResult<void> log_mutation(const WalRecord& record) {
    if (persist_ == nullptr && watch_count_.load(std::memory_order_relaxed) == 0) return {};
    return log_and_notify(record);
  }

  // The stamp for an entry touched now: the LRU clock (then advanced), or 0
  // when there is no memory limit.
  std::uint32_t next_stamp() {
    if (max_memory_ == 0) return 0;
    return lru_clock_.fetch_add(1, std::memory_order_relaxed);
  }
  void stamp(EntryHead& h) {
    if (max_memory_ != 0) h.stamp(lru_clock_.fetch_add(1, std::memory_order_relaxed));
  }

  // Under the shard's exclusive lock. A due key whose DEL the log refuses
  // stays in its table (still invisible to every reader) and the LogRefused
  // error is returned; a writer then fails with it.
  StoreResult<void> expire_if_due(Shard& s, std::string_view key, std::uint64_t hash, std::uint64_t now)
      MEVORA_REQUIRES(s.lock);
  // The same, reading the clock only if the key carries a deadline.
  StoreResult<void> expire_if_due(Shard& s, std::string_view key, std::uint64_t hash, LazyNow& now)
      MEVORA_REQUIRES(s.lock) {
    auto r = live_slot_locked(s, key, hash, now);
    if (!r.ok()) return make_err(r.error());
    return {};
  }
  // The key's slot, or Table::npos when it is absent; a due entry is
  // removed first (its DEL logged) and reported absent. Reads the clock
  // only if the key carries a deadline.
  // Inline: every single-key write starts here.
  StoreResult<std::size_t> live_slot_locked(Shard& s, std::string_view key, std::uint64_t hash, LazyNow& now)
      MEVORA_REQUIRES(s.lock) {
    const std::size_t slot = s.table.find(key, hash);
    if (slot == Table::npos) return slot;
    const std::uint64_t d = s.table.at(slot).head().deadline_ms;
    if (d == 0 || d > now.get()) return slot;
    return remove_due_slot_locked(s, slot);
  }
  // live_slot_locked's removal of a due key: npos, or the log's refusal.
  StoreResult<std::size_t> remove_due_slot_locked(Shard& s, std::size_t slot) MEVORA_REQUIRES(s.lock);
  // Removes the key (logging DEL first); false when absent.
  StoreResult<bool> remove_locked(Shard& s, std::string_view key, std::uint64_t hash) MEVORA_REQUIRES(s.lock);
  StoreResult<void> remove_slot_locked(Shard& s, std::size_t slot) MEVORA_REQUIRES(s.lock);
  // Stores entry under key (whose hash is given), replacing any entry.
  // Throws std::bad_alloc only before anything changed (entry destroyed).
  void insert_locked(Shard& s, std::uint64_t hash, EntryRef entry) MEVORA_REQUIRES(s.lock);
  // The same with the key's slot already probed (npos = absent); returns the
  // replaced entry, which the caller frees (ideally after unlocking). Cannot
  // throw for a key that is present, or after reserve_slot_locked.
  EntryRef put_locked(Shard& s, std::uint64_t hash, std::size_t slot, EntryRef entry) MEVORA_REQUIRES(s.lock);
  // Makes room for one new key in the shard's table (charging any growth
  // of its overhead), so that a put_locked of an absent key that follows
  // cannot fail. Throws std::bad_alloc before anything changed.
  void reserve_slot_locked(Shard& s) MEVORA_REQUIRES(s.lock);
  // Removes the key if it holds an emptied collection, logging its DEL.
  // Runs after the record that emptied it was logged and applied, so it
  // removes the key even when the log refuses the DEL: replaying that
  // record drops the emptied collection all the same.
  void drop_if_empty(Shard& s, std::string_view key, std::uint64_t hash) MEVORA_REQUIRES(s.lock);
  void recharge_table(Shard& s) MEVORA_REQUIRES(s.lock);
  void add_used(std::uint64_t n) { used_.fetch_add(n, std::memory_order_relaxed); }
  void sub_used(std::uint64_t n) { used_.fetch_sub(n, std::memory_order_relaxed); }

  // Under the shard's shared lock (taken inside):
  std::uint64_t table_growth_cost(Shard& s, std::string_view key, std::uint64_t hash);
  // (live, accounted_size) of key at now.
  std::pair<bool, std::uint64_t> live_size(Shard& s, std::string_view key, std::uint64_t hash,
                                           std::uint64_t now);

  // Runs f(EntryRef*) under the key's shard shared lock with the live entry
  // (stamped), or f(nullptr) when the key is absent or due; a due key is
  // removed first under the exclusive lock. The read path of every reader.
  template <class F>
  auto read_path(std::string_view key, F&& f);

 protected:
  StoreInternals(const StoreConfig& config, std::shared_ptr<Clock> clock);
  ~StoreInternals();
  StoreInternals(const StoreInternals&) = delete;
  StoreInternals& operator=(const StoreInternals&) = delete;

  void notify_watchers(const WalRecord& record);
  // log_mutation's work when there is a log or a watched key.
  StoreResult<void> log_and_notify(const WalRecord& record);
  // log_mutation's append: to the transaction's batch, nowhere while one is
  // undone, or to the log.
  StoreResult<void> append_record(const WalRecord& record) {
    if (TxnScope* t = TxnScope::current(); t != nullptr) [[unlikely]] {
      switch (t->route_for(*this)) {
        case TxnScope::Route::Drop:
          return {};
        case TxnScope::Route::Batch:
          t->add_to_batch(record);
          return {};
        case TxnScope::Route::Direct:
          break;
      }
    }
    before_wait();  // the log may write to or flush the disk
    auto r = persist_->append(record);
    if (r.ok()) return {};
    return make_err(StoreError::log_refused(r.error().os_errno(), r.error().text()));
  }

  std::vector<std::unique_ptr<Shard>> shards_;
  std::uint64_t shard_mask_ = 0;
  std::shared_ptr<Clock> clock_;
  std::uint64_t max_memory_ = 0;
  EvictionPolicy policy_ = EvictionPolicy::NoEviction;
  std::atomic<std::uint64_t> used_{0};
  std::atomic<std::uint64_t> rng_state_{0x853c49e6748fea9bULL};
  std::atomic<std::uint32_t> lru_clock_{0};
  std::atomic<bool> closed_{false};
  std::atomic<std::uint64_t> watch_count_{0};  // registrations in all shards
  std::unique_ptr<Persistence> persist_;
};

template <class F>
auto StoreInternals::read_path(std::string_view key, F&& f) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);
  {
    ReadGuard g(s.lock);
    const std::size_t slot = s.table.find(key, h);
    if (slot == Table::npos) return f(static_cast<EntryRef*>(nullptr));
    EntryRef& e = s.table.at(slot);
    EntryHead& head = e.head();
    if (head.deadline_ms == 0 || head.deadline_ms > now.get()) {
      stamp(head);
      return f(&e);
    }
  }
  {
    // A due key is absent to readers whether or not its DEL can be logged
    // now; if the log refuses it, the key stays invisible until a writer,
    // the sweeper or a later reader removes it.
    WriteGuard g(s.lock);
    (void)expire_if_due(s, key, h, now.get());
  }
  return f(static_cast<EntryRef*>(nullptr));
}

}  // namespace mevora
