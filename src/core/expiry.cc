// Deadlines: pttl, pexpire, persist, the absolute pexpireat and
// pexpiretime, and the background sweeper.
//
// The sweeper ("mevora-sweeper") is a PeriodicThread owned by its store: it
// uses the store by reference and holds no reference count on it, so it
// never keeps a store alive; close and the store's destructor stop and join
// it. Each pass takes one shard's exclusive lock at a time and does a
// bounded amount of work per shard (at most 16 batches of 20 examined
// entries).
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/store.h"
#include "util/periodic_thread.h"

namespace mevora {
namespace {

constexpr int kBatchesPerShard = 16;
constexpr std::size_t kBatchSize = 20;
constexpr std::int64_t kMaxI64 = 0x7FFFFFFFFFFFFFFFLL;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a + b < a ? ~std::uint64_t{0} : a + b;
}

// One sweep of one shard; the caller holds nothing.
void sweep_shard(StoreInternals& store, Shard& s, std::uint64_t now) {
  WriteGuard g(s.lock);
  std::vector<std::string> due;
  for (int batch = 0; batch < kBatchesPerShard; ++batch) {
    const std::size_t count = s.table.size();
    if (count == 0) return;
    std::size_t slot = s.table.nth_occupied(store.next_random() % count);
    due.clear();
    for (std::size_t examined = 0; examined < kBatchSize; ++examined) {
      EntryRef e = s.table.at(slot);
      if (e.head().due(now)) due.emplace_back(e.key());
      slot = s.table.next_occupied(slot + 1);
      if (slot == Table::npos) slot = s.table.first_occupied();
    }
    if (due.empty()) return;
    // A key collected twice (small table, wrapped walk) is removed once:
    // the second removal finds nothing. When the log refuses a DEL, the
    // shard is left for a later pass: its due keys stay invisible.
    for (const std::string& key : due) {
      if (!store.remove_locked(s, key, key_hash(key)).ok()) return;
    }
  }
}

}  // namespace

// What pttl and pexpiretime report of key at now, under its shard's shared
// lock: -2 when absent or due, -1 without a deadline, else f(deadline)
// capped at the largest int64.
template <class F>
std::int64_t Store::deadline_report(std::string_view key, F&& f) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  const std::uint64_t now = clock_->now_ms();
  ReadGuard g(s.lock);
  const std::size_t slot = s.table.find(key, h);
  if (slot == Table::npos) return -2;
  const std::uint64_t d = s.table.at(slot).head().deadline_ms;
  if (d == 0) return -1;
  if (d <= now) return -2;
  const std::uint64_t v = f(d, now);
  return v > static_cast<std::uint64_t>(kMaxI64) ? kMaxI64 : static_cast<std::int64_t>(v);
}

std::int64_t Store::pttl(std::string_view key) {
  return deadline_report(key, [](std::uint64_t deadline, std::uint64_t now) { return deadline - now; });
}

// Sets the deadline of the live entry under key to deadline_for(now,
// current deadline), logging EXPIRE, unless that returns nullopt (nothing
// changes then). A due key is removed first and counts as absent.
template <class F>
StoreResult<bool> Store::change_deadline(std::string_view key, F&& deadline_for) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  const std::uint64_t now = clock_->now_ms();
  WriteGuard g(s.lock);
  if (auto r = expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  const std::size_t slot = s.table.find(key, h);
  if (slot == Table::npos) return false;
  EntryRef e = s.table.at(slot);
  const std::optional<std::uint64_t> deadline = deadline_for(now, e.head().deadline_ms);
  if (!deadline.has_value()) return false;
  if (auto r = log_mutation(WalRecord::expire(e.key(), *deadline)); !r.ok()) return make_err(r.error());
  e.head().deadline_ms = *deadline;
  return true;
}

StoreResult<bool> Store::pexpire(std::string_view key, std::uint64_t ms) {
  return change_deadline(key, [ms](std::uint64_t now, std::uint64_t) -> std::optional<std::uint64_t> {
    const std::uint64_t deadline = saturating_add(now, ms);
    return deadline == 0 ? 1 : deadline;
  });
}

StoreResult<bool> Store::persist(std::string_view key) {
  return change_deadline(key, [](std::uint64_t, std::uint64_t current) -> std::optional<std::uint64_t> {
    if (current == 0) return std::nullopt;
    return 0;
  });
}

StoreResult<bool> Store::pexpireat(std::string_view key, std::uint64_t unix_ms) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);
  WriteGuard g(s.lock);
  auto live = live_slot_locked(s, key, h, now);
  if (!live.ok()) return make_err(live.error());
  const std::size_t slot = live.value();
  if (slot == Table::npos) return false;
  if (unix_ms <= now.get()) {
    if (auto r = remove_slot_locked(s, slot); !r.ok()) return make_err(r.error());
    return true;
  }
  EntryRef e = s.table.at(slot);
  if (auto r = log_mutation(WalRecord::expire(e.key(), unix_ms)); !r.ok()) return make_err(r.error());
  e.head().deadline_ms = unix_ms;
  return true;
}

std::int64_t Store::pexpiretime(std::string_view key) {
  return deadline_report(key, [](std::uint64_t deadline, std::uint64_t) { return deadline; });
}

void StoreInternals::sweep_once() {
  const std::uint64_t now = clock_->now_ms();
  for (auto& s : shards_) sweep_shard(*this, *s, now);
}

void Store::start_sweeper(std::uint64_t interval_ms) {
  const auto interval = std::chrono::milliseconds(
      interval_ms > static_cast<std::uint64_t>(kMaxI64) ? kMaxI64 : static_cast<std::int64_t>(interval_ms));
  sweeper_ = std::make_unique<PeriodicThread>("mevora-sweeper", interval, [this] { sweep_once(); });
}

}  // namespace mevora
