// Store: the sharded in-memory keyspace.
//
// A power-of-two array of shards, each a reader-writer lock around one
// Table of entries. A key's shard is (key_hash >> 32) & shard_mask.
//
// Every operation reads the clock at most once, locks at most one shard at
// a time (except flush, which takes all of them in ascending order, and the
// snapshot writer, which takes all shared locks in ascending order), and
// applies lazy expiry: a key whose deadline is at or before now is absent,
// and a writer that meets it removes it first (logging DEL). Operations
// that can grow used_memory compute their need under shared locks and call
// admit() before taking their exclusive lock, so eviction never runs while
// the caller holds a shard lock.
//
// Results are always copies; no reference into a shard outlives its lock.
// Missing keys are not errors: reads yield absent/empty/0, removals 0/false.
//
// Logging is write-ahead: while holding the changed shard's exclusive lock,
// every mutation first checks its request and reserves what the change
// needs (admission, eviction, allocations, table room), then hands its
// WalRecord to log_mutation(), and only then applies the change, a step
// that cannot fail. When the log refuses the record (an I/O failure now or
// earlier, until a successful save), the operation returns
// StoreError::LogRefused and memory is left exactly as it was. Without
// persistence log_mutation() does nothing and always succeeds.
//
// Lock order: save mutex, shard locks (ascending index), log mutex, stats
// mutex. No shard lock is ever requested while the log mutex is held.
// Besides flush and the snapshot writer, mget (shared) and transactions
// (exclusive, transaction.h) hold several shard locks, taken in ascending
// index; a transaction's operations run under its locks.
//
// Thread safety: every public method may be called from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/key_hash.h"
#include "core/shard_lock.h"
#include "core/persist/persist_error.h"
#include "core/persistence.h"
#include "core/scan.h"
#include "core/store_types.h"
#include "core/table.h"
#include "core/transaction.h"
#include "core/value.h"
#include "core/wal_record.h"
#include "core/watch.h"
#include "util/one_shot_threads.h"
#include "util/rwlock.h"

namespace mevora {

using KeyList = std::span<const std::string_view>;

// Refuses keys longer than 4,294,967,295 bytes by throwing
// std::length_error("key longer than 4 GiB") before anything changes.
void check_key_length(std::string_view key);
using KeyValue = std::pair<std::string_view, std::string_view>;

struct alignas(64) Shard {
  ShardLock lock;
  Table table MEVORA_GUARDED_BY(lock);
  // The table_overhead last charged to used_memory for this shard.
  std::atomic<std::uint64_t> overhead{0};
  // The watched keys of this shard and their watchers (watch.h).
  ShardWatches watchers MEVORA_GUARDED_BY(lock);
};

class LazyNow;
class PeriodicThread;

// The options of the general string write (Store::set_with): which
// deadline the new value gets, the NX/XX conditions, and whether the
// previous value is wanted.
struct SetOptions {
  enum class Expiry : std::uint8_t {
    None,   // no deadline (any old one is dropped)
    After,  // now + ms (ms >= 1), saturating
    At,     // the Unix time ms (>= 1); one already past leaves the key absent
    Keep,   // the deadline the key had, none if it was absent
  };
  Expiry expiry = Expiry::None;
  std::uint64_t ms = 0;
  bool nx = false;  // write only when the key is absent
  bool xx = false;  // write only when the key is present
  // Report the previous value. A present key that is not a string then
  // fails the whole write with WrongType, and nothing changes.
  bool get = false;

  // The options of a plain set: a relative time to live (if any), NX, XX.
  static SetOptions plain(std::optional<std::uint64_t> ttl_ms, bool nx, bool xx) {
    SetOptions o;
    if (ttl_ms.has_value()) {
      o.expiry = Expiry::After;
      o.ms = *ttl_ms;
    }
    o.nx = nx;
    o.xx = xx;
    return o;
  }
};

struct SetOutcome {
  bool written = false;
  // With SetOptions::get: the value before the write; empty when absent.
  std::optional<std::string> previous;
};

// How a write takes its shard's lock: waiting for it, or only when it is
// free at once.
enum class LockMode { Wait, NoWait };

// The outcome of a write that may decline to run: empty when it declined
// (having changed nothing), else the write's result. std::nullopt always
// means "declined", also for Attempt<std::optional<...>>: a result that is
// itself empty is returned as a StoreResult.
template <class T>
class Attempt {
 public:
  Attempt(std::nullopt_t) {}                                   // NOLINT: declined
  Attempt(StoreResult<T> r) : r_(std::move(r)) {}             // NOLINT
  Attempt(T v) : r_(StoreResult<T>(std::move(v))) {}          // NOLINT
  Attempt(Err<StoreError> e) : r_(StoreResult<T>(std::move(e))) {}  // NOLINT

  explicit operator bool() const { return r_.has_value(); }
  StoreResult<T>& operator*() { return *r_; }
  StoreResult<T>* operator->() { return &*r_; }

 private:
  std::optional<StoreResult<T>> r_;
};

// Takes g's lock as mode says; false when a NoWait write finds it taken.
inline bool lock_for_write(std::unique_lock<ShardLock>& g, LockMode mode) {
  if (mode == LockMode::NoWait) return g.try_lock();
  g.lock();
  return true;
}

class Store : public std::enable_shared_from_this<Store> {
 public:
  // The in-memory constructor (`Store::new`). Starts the sweeper when
  // config.sweep_interval_ms != 0. `clock` defaults to the wall clock.
  static std::shared_ptr<Store> create(const StoreConfig& config, std::shared_ptr<Clock> clock = nullptr);

  // The persistent constructor: locks config.persist_dir, recovers the
  // keyspace from its snapshot and log, and starts the background threads.
  static Result<std::shared_ptr<Store>, PersistError> open(const StoreConfig& config);

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // ---- whole store ------------------------------------------------------
  std::uint64_t len();                                  // live keys
  std::uint64_t used_memory() const { return used_.load(std::memory_order_relaxed); }
  std::size_t shard_count() const { return shards_.size(); }
  std::uint64_t max_memory() const { return max_memory_; }
  EvictionPolicy policy() const { return policy_; }
  std::uint32_t lru_clock() const { return lru_clock_.load(std::memory_order_relaxed); }

  // ---- strings and keys -------------------------------------------------
  StoreResult<std::optional<std::string>> get(std::string_view key);
  // The fast form of get: copies the value into out. true = found.
  StoreResult<bool> get_into(std::string_view key, std::string& out);
  StoreResult<bool> set(std::string_view key, std::string_view value, std::optional<std::uint64_t> ttl_ms,
                        bool nx, bool xx);
  // The general string write behind SET's options, GETSET and SETNX: one
  // step under the key's shard lock, so the previous value it reports is
  // exactly the one it replaced, and a kept deadline is the one the key
  // had at that moment. Logged as SET with the absolute deadline given.
  StoreResult<SetOutcome> set_with(std::string_view key, std::string_view value, const SetOptions& options);
  // Removes a string key and returns the value it held, in one step
  // (logged as DEL). Absent: empty. Not a string: WrongType, unchanged.
  StoreResult<std::optional<std::string>> getdel(std::string_view key);
  // `delete`. Keys are removed one at a time; a LogRefused error stops at
  // the first key whose DEL could not be logged (earlier ones stay removed).
  StoreResult<std::uint64_t> del(KeyList keys);
  bool exists(std::string_view key);
  StoreResult<std::int64_t> incr(std::string_view key, std::int64_t amount);
  StoreResult<std::uint64_t> append(std::string_view key, std::string_view bytes);
  std::vector<std::optional<std::string>> mget(KeyList keys);
  StoreResult<void> mset(std::span<const KeyValue> pairs);

  // ---- writes that never wait ---------------------------------------------
  // Each runs like the write of the same name, or declines (an empty
  // Attempt, nothing changed) when the shard lock is not free at once or
  // the store has a memory limit or persistence (eviction and logging may
  // block). Lets callers that hold a process-wide lock (the Python binding)
  // skip releasing it for work that takes well under a microsecond.
  Attempt<bool> try_set(std::string_view key, std::string_view value, std::optional<std::uint64_t> ttl_ms,
                        bool nx, bool xx);
  Attempt<std::uint64_t> try_del(std::string_view key);  // one key
  Attempt<std::int64_t> try_incr(std::string_view key, std::int64_t amount);
  Attempt<bool> try_hset(std::string_view key, std::string_view field, std::string_view value);
  Attempt<std::uint64_t> try_lpush(std::string_view key, KeyList values);
  Attempt<std::uint64_t> try_rpush(std::string_view key, KeyList values);
  Attempt<std::optional<std::string>> try_lpop(std::string_view key);
  Attempt<std::optional<std::string>> try_rpop(std::string_view key);
  Attempt<std::uint64_t> try_sadd(std::string_view key, KeyList members);
  // Whether a LockMode::NoWait write may run at all: without a memory
  // limit and persistence, the shard lock is the only thing a write waits on.
  bool writes_can_skip_waiting() const { return max_memory_ == 0 && persist_ == nullptr; }

  // ---- expiry ------------------------------------------------------------
  std::int64_t pttl(std::string_view key);
  StoreResult<bool> pexpire(std::string_view key, std::uint64_t ms);
  StoreResult<bool> persist(std::string_view key);

  // ---- hashes --------------------------------------------------------------
  StoreResult<bool> hset(std::string_view key, std::string_view field, std::string_view value);
  StoreResult<std::optional<std::string>> hget(std::string_view key, std::string_view field);
  StoreResult<std::uint64_t> hdel(std::string_view key, KeyList fields);
  StoreResult<std::vector<std::pair<std::string, std::string>>> hgetall(std::string_view key);
  StoreResult<std::uint64_t> hlen(std::string_view key);

  // ---- lists ---------------------------------------------------------------
  StoreResult<std::uint64_t> lpush(std::string_view key, KeyList values);
  StoreResult<std::uint64_t> rpush(std::string_view key, KeyList values);
  StoreResult<std::optional<std::string>> lpop(std::string_view key);
  StoreResult<std::optional<std::string>> rpop(std::string_view key);
  StoreResult<std::vector<std::string>> lrange(std::string_view key, std::int64_t start, std::int64_t stop);
  StoreResult<std::uint64_t> llen(std::string_view key);

  // ---- sets ----------------------------------------------------------------
  StoreResult<std::uint64_t> sadd(std::string_view key, KeyList members);
  StoreResult<std::uint64_t> srem(std::string_view key, KeyList members);
  StoreResult<std::vector<std::string>> smembers(std::string_view key);
  StoreResult<bool> sismember(std::string_view key, std::string_view member);
  StoreResult<std::uint64_t> scard(std::string_view key);

  // ---- key patterns and flush ----------------------------------------------
  std::vector<std::string> keys(std::string_view pattern);
  // One page of a cursor iteration; see scan.h for the guarantee.
  ScanPage scan(std::uint64_t cursor, const ScanFilter& filter);
  StoreResult<void> flush();

  // ---- transactions (transaction.h, watch.h) ----------------------------------
  // Runs body with the shards of keys (and of the watcher's keys) held, or
  // every shard when whole_keyspace, so that its operations are atomic.
  // false: the watcher was dirty and body did not run. An error: the log
  // refused the transaction's records; its changes were undone.
  Result<bool, PersistError> atomically(KeyList keys, bool whole_keyspace, const Watcher* watcher,
                                        const std::function<void()>& body);
  std::size_t shard_index(std::string_view key) const { return (key_hash(key) >> 32) & shard_mask_; }
  // The watch registry, for Watcher: register or drop w for key.
  void add_watch(Watcher& w, std::string_view key);
  void remove_watch(Watcher& w, std::string_view key);

  // ---- persistence -----------------------------------------------------------
  // Errors: InvalidInput "persistence is not enabled for this store"
  // without persistence, Other "cannot save inside a transaction" when
  // called from a transaction's body; otherwise what the persistence layer
  // reports.
  Result<void, PersistError> save();
  // Starts save() on a new "mevora-bgsave" thread and returns at once. The
  // thread holds a strong reference to the store while it runs; when the
  // save has ended (failed or thrown included) it calls `done` on that
  // thread. The save's result shows only in persist_stats. The store owns
  // the thread: the next start, join_background_saves, close and the
  // destructor join it. Errors: the OS error (PersistError::from_errno)
  // when the thread cannot be created; `done` is then never called. Lock:
  // none; the save takes what save() takes. Logs nothing.
  Result<void, PersistError> start_background_save(std::function<void()> done);
  // Waits for every background save started so far and joins its thread.
  // Must be called without the save mutex or any shard lock held.
  void join_background_saves();
  // Marks the store closed, stops and joins the sweeper, waits for running
  // background saves and, when persistent, shuts persistence down (which
  // joins its threads). Idempotent; never fails. Must be called without
  // the save mutex or any shard lock held.
  void close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  std::optional<PersistStats> persist_stats();
  bool persistent() const { return persist_ != nullptr; }

  // ---- eviction (also used by tests) -----------------------------------------
  // Makes room for `need` more bytes under the memory limit; false = refuse.
  bool admit(std::uint64_t need) { return admit_or_error(need).ok(); }
  // The same, telling why it refused: OutOfMemory, or LogRefused when a
  // victim's DEL could not be logged (the victim then stays).
  StoreResult<void> admit_or_error(std::uint64_t need);
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

  // ---- internals shared by the store's own files, recovery and the sweeper --
  Shard& shard_for(std::uint64_t hash) { return *shards_[(hash >> 32) & shard_mask_]; }
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
  [[nodiscard]] StoreResult<void> log_mutation(const WalRecord& record) {
    if (persist_ != nullptr) {
      StoreResult<void> r = append_record(record);
      if (!r.ok()) return r;
    }
    if (watch_count_.load(std::memory_order_relaxed) != 0) notify_watchers(record);
    return {};
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
  StoreResult<std::size_t> live_slot_locked(Shard& s, std::string_view key, std::uint64_t hash, LazyNow& now)
      MEVORA_REQUIRES(s.lock);
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
  // read_path without waiting: runs f like read_path and returns true, or
  // returns false without calling f when the shard lock is not free at once
  // or the key is due (its removal needs the exclusive lock).
  template <class F>
  bool try_read_path(std::string_view key, F&& f);

  explicit Store(const StoreConfig& config, std::shared_ptr<Clock> clock);

 private:
  // Starts the "mevora-sweeper" thread; once, before the store is shared.
  void start_sweeper(std::uint64_t interval_ms);
  void notify_watchers(const WalRecord& record);
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
    auto r = persist_->append(record);
    if (r.ok()) return {};
    return make_err(StoreError::log_refused(r.error().os_errno(), r.error().text()));
  }
  template <class F>
  StoreResult<bool> change_deadline(std::string_view key, F&& deadline_for);
  // previous: where SetOptions::get puts the value before (null = not wanted).
  Attempt<bool> set_impl(std::string_view key, std::string_view value, const SetOptions& options, LockMode mode,
                         std::optional<std::string>* previous);
  Attempt<bool> del_one(std::string_view key, LazyNow& now, LockMode mode);
  Attempt<std::int64_t> incr_impl(std::string_view key, std::int64_t amount, LockMode mode);
  Attempt<bool> hset_impl(std::string_view key, std::string_view field, std::string_view value, LockMode mode);
  Attempt<std::uint64_t> sadd_impl(std::string_view key, KeyList members, LockMode mode);

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
  // Stopped and joined by close and by the destructor, before anything
  // else goes; they use the store by reference.
  std::unique_ptr<PeriodicThread> sweeper_;
  OneShotThreads background_saves_;
  // Its background threads are joined when it is destroyed (first of all
  // members, being declared last).
  std::unique_ptr<Persistence> persist_;
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

template <class F>
bool Store::try_read_path(std::string_view key, F&& f) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  if (!s.lock.try_lock_shared()) return false;
  std::shared_lock<ShardLock> g(s.lock, std::adopt_lock);
  const std::size_t slot = s.table.find(key, h);
  if (slot == Table::npos) {
    f(static_cast<EntryRef*>(nullptr));
    return true;
  }
  EntryRef& e = s.table.at(slot);
  EntryHead& head = e.head();
  if (head.deadline_ms != 0 && head.deadline_ms <= clock_->now_ms()) return false;  // removal must wait
  stamp(head);
  f(&e);
  return true;
}

template <class F>
auto Store::read_path(std::string_view key, F&& f) {
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
