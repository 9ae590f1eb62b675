// Store construction, the shared internal steps (lazy expiry, insert,
// remove, table recharge, admission needs) and the key operations get, set,
// delete, exists and len.
#include "core/store.h"

#include <bit>
#include <mutex>

#include "util/fatal.h"
#include "util/periodic_thread.h"

namespace mevora {

StoreError StoreError::log_refused(int os_errno, std::string_view text) {
  StoreError e(LogRefused);
  e.os_errno_ = os_errno;
  e.message_.reserve(kLogRefusedPrefix.size() + text.size());
  e.message_.append(kLogRefusedPrefix).append(text);
  return e;
}

const char* store_error_message(const StoreError& e) {
  switch (e.kind()) {
    case StoreError::WrongType:
      return "WRONGTYPE Operation against a key holding the wrong kind of value";
    case StoreError::OutOfMemory:
      return "OOM command not allowed when used memory > 'maxmemory'";
    case StoreError::NotInteger:
      return "value is not an integer or out of range";
    case StoreError::Overflow:
      return "increment or decrement would overflow";
    case StoreError::LogRefused:
      return e.log_message().c_str();
    case StoreError::KeyTooLong:
      return "key longer than 4 GiB";
    case StoreError::NotFloat:
      return "value is not a valid float";
    case StoreError::NoSuchKey:
      return "no such key";
    case StoreError::TooLarge:
      return "string exceeds maximum allowed size (512 MiB)";
    case StoreError::NotFinite:
      return "increment would produce NaN or Infinity";
  }
  return "unknown store error";
}

StoreInternals::StoreInternals(const StoreConfig& config, std::shared_ptr<Clock> clock)
    : clock_(clock ? std::move(clock) : std::make_shared<WallClock>()),
      max_memory_(config.max_memory),
      policy_(config.policy) {
  std::uint64_t n = config.shards < 1 ? 1 : std::bit_ceil(config.shards);
  shards_.reserve(n);
  for (std::uint64_t i = 0; i < n; ++i) shards_.push_back(std::make_unique<Shard>());
  shard_mask_ = n - 1;
}

StoreInternals::~StoreInternals() = default;

Store::Store(StoreConstruction, const StoreConfig& config, std::shared_ptr<Clock> clock)
    : StoreInternals(config, std::move(clock)) {}

Store::~Store() {
  // The background threads use the store by reference: they end first.
  // (Background saves hold a strong reference, so the only one that can
  // still be running is the one whose end dropped that last reference;
  // it cannot join itself and is left to return, see OneShotThreads.)
  sweeper_.reset();
  background_saves_.join_all();
}

std::shared_ptr<Store> Store::create(const StoreConfig& config, std::shared_ptr<Clock> clock) {
  // A caller's mistake, not a condition to report; but a store made here
  // never touches a disk, so carrying on would silently drop every write
  // the caller meant to keep: stop in every build.
  if (config.persist_dir.has_value()) fatal("a persistent store must be opened with Store::open");
  auto store = std::make_shared<Store>(StoreConstruction(), config, std::move(clock));
  if (config.sweep_interval_ms != 0) store->start_sweeper(config.sweep_interval_ms);
  return store;
}

// ---- shared internal steps -------------------------------------------------

void StoreInternals::recharge_table(Shard& s) {
  const std::uint64_t fresh = table_overhead_for(s.table.usable_capacity());
  const std::uint64_t old = s.overhead.exchange(fresh, std::memory_order_relaxed);
  used_.fetch_add(fresh - old, std::memory_order_relaxed);  // wraps to a subtraction
}

StoreResult<void> StoreInternals::remove_slot_locked(Shard& s, std::size_t slot) {
  if (auto logged = log_mutation(WalRecord::del(s.table.at(slot).key())); !logged.ok()) return logged;
  EntryRef e = s.table.erase(slot);
  used_.fetch_sub(e.accounted_size(), std::memory_order_relaxed);
  e.destroy();
  recharge_table(s);
  return {};
}

StoreResult<bool> StoreInternals::remove_locked(Shard& s, std::string_view key, std::uint64_t hash) {
  const std::size_t slot = s.table.find(key, hash);
  if (slot == Table::npos) return false;
  if (auto r = remove_slot_locked(s, slot); !r.ok()) return make_err(r.error());
  return true;
}

StoreResult<void> StoreInternals::expire_if_due(Shard& s, std::string_view key, std::uint64_t hash, std::uint64_t now) {
  const std::size_t slot = s.table.find(key, hash);
  if (slot != Table::npos && s.table.at(slot).head().due(now)) return remove_slot_locked(s, slot);
  return {};
}

StoreResult<void> StoreInternals::log_and_notify(const WalRecord& record) {
  if (persist_ != nullptr) {
    StoreResult<void> r = append_record(record);
    if (!r.ok()) return r;
  }
  if (watch_count_.load(std::memory_order_relaxed) != 0) notify_watchers(record);
  return {};
}

StoreResult<std::size_t> StoreInternals::remove_due_slot_locked(Shard& s, std::size_t slot) {
  if (auto r = remove_slot_locked(s, slot); !r.ok()) return make_err(r.error());
  return Table::npos;
}

void StoreInternals::reserve_slot_locked(Shard& s) {
  s.table.reserve(1);
  recharge_table(s);
}

EntryRef StoreInternals::put_locked(Shard& s, std::uint64_t hash, std::size_t slot, EntryRef entry) {
  const std::uint64_t size = entry.accounted_size();
  EntryRef old;
  if (slot != Table::npos) {
    old = s.table.at(slot);
    s.table.at(slot) = entry;
    used_.fetch_add(size - old.accounted_size(), std::memory_order_relaxed);
  } else {
    try {
      s.table.insert_new(hash, entry);
    } catch (...) {
      entry.destroy();
      throw;
    }
    used_.fetch_add(size, std::memory_order_relaxed);
  }
  recharge_table(s);
  return old;
}

void StoreInternals::insert_locked(Shard& s, std::uint64_t hash, EntryRef entry) {
  EntryRef old = put_locked(s, hash, s.table.find(entry.key(), hash), entry);
  if (old) old.destroy();
}

void StoreInternals::drop_if_empty(Shard& s, std::string_view key, std::uint64_t hash) {
  const std::size_t slot = s.table.find(key, hash);
  if (slot != Table::npos) {
    EntryRef e = s.table.at(slot);
    if (!e.is_string() && e.coll()->count() == 0) {
      // A refused DEL leaves the store refusing later writes; the removal
      // itself stands (see the header).
      (void)log_mutation(WalRecord::del(e.key()));
      e = s.table.erase(slot);
      used_.fetch_sub(e.accounted_size(), std::memory_order_relaxed);
      e.destroy();
    }
  }
  recharge_table(s);
}

std::uint64_t StoreInternals::table_growth_cost(Shard& s, std::string_view key, std::uint64_t hash) {
  // The figure only feeds admission, which admits everything without a
  // limit: skip the lock and the probe then.
  if (max_memory_ == 0) return 0;
  ReadGuard g(s.lock);
  if (s.table.find(key, hash) != Table::npos) return 0;
  // The overhead follows the usable capacity, which an insert can raise
  // even without a rebuild; charge the largest rise it can cause.
  const std::uint64_t now_charged = table_overhead_for(s.table.usable_capacity());
  const std::uint64_t after = table_overhead_for(s.table.usable_capacity_after_insert());
  return after > now_charged ? after - now_charged : 0;
}

StoreResult<void> StoreInternals::admit_string_write(Shard& s, std::string_view key, std::uint64_t hash,
                                                     std::pair<bool, std::uint64_t> current,
                                                     std::uint64_t value_len) {
  // Named copies, not a structured binding: the lambda captures them.
  const bool live = current.first;
  const std::uint64_t old = current.second;
  return admit_or_error([&] {
    const std::uint64_t n = align16(key.size() + value_len) + table_growth_cost(s, key, hash);
    return live ? (n > old ? n - old : 0) : n;
  });
}

std::pair<bool, std::uint64_t> StoreInternals::live_size(Shard& s, std::string_view key, std::uint64_t hash,
                                                std::uint64_t now) {
  ReadGuard g(s.lock);
  const std::size_t slot = s.table.find(key, hash);
  if (slot == Table::npos) return {false, 0};
  EntryRef e = s.table.at(slot);
  if (e.head().due(now)) return {false, 0};
  return {true, e.accounted_size()};
}

// ---- whole store -------------------------------------------------------------

std::uint64_t Store::len() {
  LazyNow now(*clock_);
  std::uint64_t n = 0;
  for (auto& sp : shards_) {
    Shard& s = *sp;
    ReadGuard g(s.lock);
    s.table.for_each([&](EntryRef e) {
      const std::uint64_t d = e.head().deadline_ms;
      if (d == 0 || d > now.get()) ++n;
    });
  }
  return n;
}

// ---- get / set / delete / exists ----------------------------------------------

StoreResult<std::optional<std::string>> Store::get(std::string_view key) {
  return read_copy([&](ValueSink& out) { return get(key, out); });
}

StoreResult<SetOutcome> Store::set_with(std::string_view key, std::string_view value, const SetOptions& options) {
  SetOutcome out;
  StoreResult<bool> r = set_impl(key, value, options, options.get ? &out.previous : nullptr);
  if (!r.ok()) return make_err(r.error());
  out.written = r.value();
  return out;
}

StoreResult<bool> Store::set_impl(std::string_view key, std::string_view value, const SetOptions& options,
                                  std::optional<std::string>* previous) {
  if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
  const bool nx = options.nx;
  const bool xx = options.xx;
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  // Without a deadline to set or a memory limit to check, the time is only
  // needed if the key turns out to carry a deadline.
  LazyNow now(*clock_);

  if (max_memory_ != 0) {
    const auto current = live_size(s, key, h, now.get());
    const bool exists = current.first;
    // A write that reports the previous value must look at it under the
    // lock even when it will not write; it asks for no memory then.
    const bool declines = (exists && nx) || (!exists && xx);
    if (declines && previous == nullptr) return false;
    if (!declines) {
      if (auto a = admit_string_write(s, key, h, current, value.size()); !a.ok()) return make_err(a.error());
    }
  }

  // A deadline is never 0 (that means "none"); Keep is settled under the lock.
  std::uint64_t deadline = 0;
  if (options.expiry == SetOptions::Expiry::After) {
    deadline = now.get() + options.ms < now.get() ? ~std::uint64_t{0} : now.get() + options.ms;
    if (deadline == 0) deadline = 1;
  } else if (options.expiry == SetOptions::Expiry::At) {
    deadline = options.ms == 0 ? 1 : options.ms;
  }
  EntryRef old;
  {
    WriteGuard g(s.lock);
    auto live = live_slot_locked(s, key, h, now);
    if (!live.ok()) return make_err(live.error());
    const std::size_t slot = live.value();
    const bool present = slot != Table::npos;
    if (previous != nullptr && present) {
      const EntryRef current = s.table.at(slot);
      if (!current.is_string()) return make_err(StoreError::WrongType);
      previous->emplace(current.str()->value());
    }
    if ((present && nx) || (!present && xx)) return false;
    if (options.expiry == SetOptions::Expiry::Keep) deadline = present ? s.table.at(slot).head().deadline_ms : 0;
    StrEntry* same = present && s.table.at(slot).is_string() ? s.table.at(slot).str() : nullptr;
    if (same != nullptr && same->value_len() == value.size() && same->value_cap() == value.size()) {
      // The buffer keeps its exact size, so the accounted size is unchanged
      // and nothing is allocated or freed.
      if (auto logged = log_mutation(WalRecord::set(key, deadline, value)); !logged.ok()) {
        return make_err(logged.error());
      }
      (void)same->overwrite_if_same_size(value);
      same->head.deadline_ms = deadline;
      same->head.stamp(next_stamp());
    } else {
      // Everything that can fail (the allocation, table room) comes before
      // the record is logged; the swap after it cannot fail.
      struct Fresh {
        EntryRef e;
        ~Fresh() {
          if (e) e.destroy();
        }
      } fresh{EntryRef(StrEntry::create(key, value, deadline, 0))};
      if (!present) reserve_slot_locked(s);
      if (auto logged = log_mutation(WalRecord::set(key, deadline, value)); !logged.ok()) {
        return make_err(logged.error());
      }
      fresh.e.head().stamp(next_stamp());
      old = put_locked(s, h, slot, std::exchange(fresh.e, EntryRef()));
    }
  }
  // The replaced entry is freed after unlocking: the hold covers only the
  // probe and the pointer swap.
  if (old) old.destroy();
  return true;
}

StoreResult<std::uint64_t> Store::del(KeyList keys) {
  LazyNow now(*clock_);
  std::uint64_t removed = 0;
  for (std::string_view key : keys) {
    auto r = del_one(key, now);
    if (!r.ok()) return make_err(r.error());
    if (r.value()) ++removed;
  }
  return removed;
}

StoreResult<bool> Store::del_one(std::string_view key, LazyNow& now) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  WriteGuard g(s.lock);
  auto live = live_slot_locked(s, key, h, now);
  if (!live.ok()) return make_err(live.error());
  if (live.value() == Table::npos) return false;
  if (auto r = remove_slot_locked(s, live.value()); !r.ok()) return make_err(r.error());
  return true;
}

StoreResult<std::optional<std::string>> Store::getdel(std::string_view key) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);
  WriteGuard g(s.lock);
  auto live = live_slot_locked(s, key, h, now);
  if (!live.ok()) return make_err(live.error());
  const std::size_t slot = live.value();
  if (slot == Table::npos) return std::optional<std::string>();
  const EntryRef e = s.table.at(slot);
  if (!e.is_string()) return make_err(StoreError::WrongType);
  std::optional<std::string> value(std::in_place, e.str()->value());
  if (auto r = remove_slot_locked(s, slot); !r.ok()) return make_err(r.error());
  return value;
}

bool Store::exists(std::string_view key) {
  const std::uint64_t h = key_hash(key);
  return live_size(shard_for(h), key, h, clock_->now_ms()).first;
}

// ---- persistence entry points ------------------------------------------------

Result<void, PersistError> Store::save() {
  if (persist_ == nullptr) {
    return make_err(PersistError::make(PersistErrorKind::InvalidInput, "persistence is not enabled for this store"));
  }
  // A snapshot taken in the middle of a transaction would hold part of it
  // while the log gets the whole of it after the rotation.
  if (TxnScope::current() != nullptr) {
    return make_err(PersistError::make(PersistErrorKind::Other, "cannot save inside a transaction"));
  }
  before_wait();
  return persist_->save(*this);
}

void Store::close() {
  if (closed_.exchange(true, std::memory_order_acq_rel)) return;
  before_wait();
  if (sweeper_ != nullptr) sweeper_->stop();
  background_saves_.join_all();
  if (persist_ != nullptr) persist_->close(*this);
}

std::optional<PersistStats> Store::persist_stats() {
  if (persist_ == nullptr) return std::nullopt;
  return persist_->stats();
}

}  // namespace mevora
