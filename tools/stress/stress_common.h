// What the threads of the stress program share: the run's deadline, the
// failure log, a per-thread random source and operation counters.
//
// Thread safety: Run and Failures may be used from any thread; Rng and
// Counters belong to one thread each and are summed after the joins.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "util/rwlock.h"

namespace mevora::stress {

// The failures seen by any thread. The first one also asks every thread to
// stop, so a broken run ends early with its first report on top.
class Failures {
 public:
  void add(std::string what) {
    MutexGuard g(mu_);
    if (list_.size() < kKept) list_.push_back(std::move(what));
    ++count_;
    stop_.store(true, std::memory_order_release);
  }
  bool any() const { return stop_.load(std::memory_order_acquire); }
  std::vector<std::string> list() {
    MutexGuard g(mu_);
    return list_;
  }
  std::uint64_t count() {
    MutexGuard g(mu_);
    return count_;
  }

 private:
  static constexpr std::size_t kKept = 20;
  std::atomic<bool> stop_{false};
  Mutex mu_;
  std::vector<std::string> list_ MEVORA_GUARDED_BY(mu_);
  std::uint64_t count_ MEVORA_GUARDED_BY(mu_) = 0;
};

// The bounded length of the load phase, and the flush generation: the
// admin thread raises it before and after each flush of the persistent
// store, so a worker can tell whether a flush may have run during its own
// operation (an odd value means one is running).
struct Run {
  std::chrono::steady_clock::time_point until;
  Failures failures;
  std::atomic<std::uint64_t> flush_generation{0};
  // Serialises the flushers of the persistent store (the admin thread and
  // the FLUSHDB of a server client), so the generation stays odd for
  // exactly as long as one of them runs.
  Mutex flush_mu;

  bool going() const { return !failures.any() && std::chrono::steady_clock::now() < until; }

  // Runs flush() inside a raised generation.
  template <class F>
  void flushing(F&& flush) {
    MutexGuard g(flush_mu);
    flush_generation.fetch_add(1, std::memory_order_acq_rel);
    flush();
    flush_generation.fetch_add(1, std::memory_order_acq_rel);
  }
};

// Checks that a private counter (a key only one thread writes) went up by
// exactly one per increment, unless a flush may have run in between.
class OwnCounter {
 public:
  // Call with the generation read before the increment and after its reply.
  void check(Run& run, std::uint64_t before, std::uint64_t after, std::int64_t value, std::string_view what) {
    const bool clean = before == after && before % 2 == 0;
    if (clean && valid_ && generation_ == before && value != last_ + 1) {
      run.failures.add(std::string(what) + ": private counter went from " + std::to_string(last_) + " to " +
                       std::to_string(value));
    }
    valid_ = clean;
    generation_ = before;
    last_ = value;
  }

 private:
  bool valid_ = false;
  std::uint64_t generation_ = 0;
  std::int64_t last_ = 0;
};

// SplitMix64: small, fast and good enough to pick operations and keys.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); n > 0.
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  bool chance(std::uint64_t one_in) { return below(one_in) == 0; }

 private:
  std::uint64_t s_;
};

// How often each operation ran, by name; one per thread, merged after the
// joins.
class Counters {
 public:
  void hit(std::string_view op) {
    auto it = counts_.find(op);
    if (it == counts_.end()) it = counts_.emplace(std::string(op), 0).first;
    ++it->second;
  }
  void merge_into(std::map<std::string, std::uint64_t>& total) const {
    for (const auto& [op, n] : counts_) total[op] += n;
  }
  void add(const Counters& other) {
    for (const auto& [op, n] : other.counts_) counts_[op] += n;
  }

 private:
  std::map<std::string, std::uint64_t, std::less<>> counts_;
};

// A key of the shared key space: a kind prefix and one of kKeysPerPrefix
// numbers. Mostly the prefix that suits the operation, sometimes another
// one, so operations also meet keys of the wrong kind.
inline constexpr std::uint64_t kKeysPerPrefix = 64;
inline std::string pick_key(Rng& rng, char natural) {
  static constexpr char kPrefixes[] = {'k', 'c', 'h', 'l', 's'};
  const char prefix = rng.chance(5) ? kPrefixes[rng.below(sizeof kPrefixes)] : natural;
  return prefix + std::to_string(rng.below(kKeysPerPrefix));
}

}  // namespace mevora::stress
