// Admission under the memory limit and sampled least-recently-used
// eviction.
//
// admit() runs before the caller takes any shard lock; evict_one() holds at
// most one shard lock at a time (shared while sampling, exclusive for the
// removal), so eviction cannot deadlock with its caller or other writers.
// Inside a transaction (which holds shard locks of its own) eviction only
// try-locks the shards it does not hold, never removes a key the
// transaction declared, and logs its removals at once, outside the
// transaction's batch (see transaction.h).
// The limit is soft: concurrent writers may pass admit() together.
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "core/store.h"

namespace mevora {
namespace {

constexpr int kSamplesPerShard = 5;
constexpr int kProductiveShards = 5;

}  // namespace

std::uint64_t StoreInternals::next_random() {
  constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = rng_state_.fetch_add(kGolden, std::memory_order_relaxed) + kGolden;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

StoreResult<void> StoreInternals::admit_or_error(std::uint64_t need, bool* evicted_any) {
  if (need == 0 || max_memory_ == 0) return {};
  const auto fits = [&] {
    const std::uint64_t used = used_.load(std::memory_order_relaxed);
    return used + need >= used && used + need <= max_memory_;
  };
  while (!fits()) {
    if (policy_ == EvictionPolicy::NoEviction) return make_err(StoreError::OutOfMemory);
    before_wait();  // eviction samples and locks other shards
    // Finding nothing to evict refuses only if the need still does not
    // fit: other threads may have freed memory (a flush, a delete, their
    // own evictions) between the check above and the sampling. A victim
    // whose DEL the log refuses stays, and so does the refusal.
    auto evicted = evict_one_or_error(policy_ == EvictionPolicy::VolatileLru);
    if (!evicted.ok()) return make_err(evicted.error());
    if (!evicted.value()) {
      if (fits()) return {};
      return make_err(StoreError::OutOfMemory);
    }
    if (evicted_any != nullptr) *evicted_any = true;
  }
  return {};
}

StoreResult<bool> StoreInternals::evict_one_or_error(bool volatile_only) {
  const std::uint32_t now_clock = lru_clock_.load(std::memory_order_relaxed);
  const std::uint64_t first = next_random();
  if (shards_.empty()) return false;

  struct Candidate {
    std::size_t shard;
    std::string key;
    std::uint32_t age;
  };
  std::optional<Candidate> best;
  int productive = 0;
  TxnScope* const txn = TxnScope::current();

  for (std::size_t visit = 0; visit < shards_.size() && productive < kProductiveShards; ++visit) {
    const std::size_t index = (first + visit) & shard_mask_;
    Shard& s = *shards_[index];
    std::shared_lock<ShardLock> g(s.lock, std::defer_lock);
    if (txn == nullptr) {
      g.lock();
    } else if (!g.try_lock()) {
      continue;
    }
    const std::uint64_t r = next_random();
    const std::size_t count = s.table.size();
    if (count == 0) continue;

    std::size_t slot = s.table.nth_occupied(r % count);
    std::optional<std::size_t> pick;
    std::uint32_t pick_age = 0;
    int examined = 0;
    // Walk from the random start, wrapping once to the table's first entry,
    // until 5 candidates were examined or every entry was visited.
    for (std::size_t steps = 0; steps < count && examined < kSamplesPerShard; ++steps) {
      EntryRef e = s.table.at(slot);
      const EntryHead& head = e.head();
      if ((!volatile_only || head.deadline_ms != 0) && (txn == nullptr || !txn->declares(e.key()))) {
        ++examined;
        const std::uint32_t age = now_clock - head.lru_stamp.load(std::memory_order_relaxed);
        if (!pick.has_value() || age > pick_age) {
          pick = slot;
          pick_age = age;
        }
      }
      slot = s.table.next_occupied(slot + 1);
      if (slot == Table::npos) slot = s.table.first_occupied();
    }
    if (!pick.has_value()) continue;
    if (!best.has_value() || pick_age > best->age) {
      best = Candidate{index, std::string(s.table.at(*pick).key()), pick_age};
    }
    ++productive;
  }

  if (!best.has_value()) return false;
  Shard& s = *shards_[best->shard];
  std::unique_lock<ShardLock> g(s.lock, std::defer_lock);
  if (txn == nullptr) {
    g.lock();
  } else if (!g.try_lock()) {
    return false;
  }
  TxnScope::DirectLogging direct(txn);
  if (auto r = remove_locked(s, best->key, key_hash(best->key)); !r.ok()) return make_err(r.error());
  return true;
}

}  // namespace mevora
