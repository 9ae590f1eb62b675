// The background threads of a persistent store: "mevora-fsync" (flushes the
// active segment about once per second under the everysec policy),
// "mevora-snapshot" (saves every snapshot_interval seconds when something
// was logged since the last rotation) and "mevora-heal" (while writes are
// refused after a log failure, retries a save every few seconds).
//
// Each is a PeriodicThread owned by the StorePersistence: it waits its
// whole period on its own condition variable and wakes at once when close
// or destruction stops it. The threads use the store by reference and hold
// no reference count on it: the store's destructor destroys this object,
// which joins them, before any other part of the store goes.
#include <chrono>
#include <limits>
#include <memory>
#include <utility>

#include "core/persist/persist.h"
#include "core/store.h"
#include "util/periodic_thread.h"

namespace mevora::persist {
namespace {

std::chrono::milliseconds seconds_to_ms(std::uint64_t s) {
  // PeriodicThread treats anything past its longest period as that period.
  constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max() / 1000;
  return std::chrono::milliseconds(static_cast<std::int64_t>(s > kMax ? kMax : s) * 1000);
}

}  // namespace

void StorePersistence::start_threads(Store& store, std::uint64_t snapshot_interval_s) {
  MutexGuard g(threads_mu_);
  threads_.reserve(3);
  threads_.push_back(std::make_unique<PeriodicThread>("mevora-heal", std::chrono::milliseconds(kHealPeriodMs),
                                                      [this, &store] {
                                                        // A failed save has recorded its error; the
                                                        // next period retries.
                                                        if (writes_refused()) (void)save(store);
                                                      }));
  if (policy_ == FsyncPolicy::EverySec) {
    threads_.push_back(std::make_unique<PeriodicThread>(
        "mevora-fsync", std::chrono::milliseconds(kFsyncPeriodMs), [this] { flush_if_dirty(); }));
  }
  if (snapshot_interval_s != 0) {
    threads_.push_back(std::make_unique<PeriodicThread>("mevora-snapshot", seconds_to_ms(snapshot_interval_s),
                                                        [this, &store] {
                                                          // A failed save has recorded its error.
                                                          if (wal_bytes() != 0) (void)save(store);
                                                        }));
  }
}

void StorePersistence::stop_threads() {
  std::vector<std::unique_ptr<PeriodicThread>> threads;
  {
    MutexGuard g(threads_mu_);
    threads.swap(threads_);
  }
  // Each stops at once unless it is inside a save, which it finishes first.
  for (auto& t : threads) t->stop();
}

}  // namespace mevora::persist
