// The background threads of a persistent store: "mevora-fsync" (flushes the
// active segment about once per second under the everysec policy),
// "mevora-snapshot" (saves every snapshot_interval seconds when something
// was logged since the last rotation) and "mevora-heal" (while writes are
// refused after a log failure, retries a save every few seconds).
//
// Both run the same loop: wait one 10 ms step, count it, lock the store's
// weak reference for this one tick (exit when the store is gone or closed),
// do the periodic work once the counted time reaches the period, and drop
// the reference again before the next wait. Time spent working is not
// counted, so the real period is slightly longer than nominal.
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "core/persist/background.h"
#include "core/persist/persist.h"
#include "core/store.h"

namespace mevora::persist {

bool StopSignal::wait_step() {
  std::unique_lock<std::mutex> lk(mu_.native());
  return !cv_.wait_for(lk, std::chrono::milliseconds(kBackgroundStepMs), [this]() MEVORA_NO_THREAD_SAFETY_ANALYSIS {
    return stop_;
  });
}

void StopSignal::request() {
  {
    MutexGuard g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

namespace {

StorePersistence& persistence_of(Store& store) {
  // Store::open installs a StorePersistence before any thread starts, and
  // it stays installed for the life of the store.
  return static_cast<StorePersistence&>(*store.persistence());
}

// The loop shared by both threads. The strong reference lives only inside
// one iteration; if it was the last one, the store is destroyed here, its
// destructor detaches this thread and raises the stop signal, and the loop
// ends at the next wait without touching the store again.
void run_periodic(const std::weak_ptr<Store>& weak, const std::shared_ptr<StopSignal>& stop,
                  std::uint64_t period_ms, const std::function<void(Store&)>& work) {
  std::uint64_t elapsed = 0;
  while (stop->wait_step()) {
    elapsed += kBackgroundStepMs;
    std::shared_ptr<Store> store = weak.lock();
    if (store == nullptr || store->closed()) return;
    if (elapsed >= period_ms) {
      work(*store);
      elapsed = 0;
    }
  }
}

std::uint64_t seconds_to_ms(std::uint64_t s) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return s > kMax / 1000 ? kMax : s * 1000;
}

}  // namespace

void StorePersistence::start_threads(const std::shared_ptr<Store>& store, std::uint64_t snapshot_interval_s) {
  std::weak_ptr<Store> weak = store;
  MutexGuard g(threads_mu_);
  threads_.emplace_back("mevora-heal", [weak, stop = stop_] {
    run_periodic(weak, stop, kHealPeriodMs, [](Store& s) {
      // A failed save has recorded its error; the next period retries.
      if (persistence_of(s).writes_refused()) (void)s.save();
    });
  });
  if (policy_ == FsyncPolicy::EverySec) {
    threads_.emplace_back("mevora-fsync", [weak, stop = stop_] {
      run_periodic(weak, stop, kFsyncPeriodMs, [](Store& s) { persistence_of(s).flush_if_dirty(); });
    });
  }
  if (snapshot_interval_s != 0) {
    threads_.emplace_back("mevora-snapshot", [weak, stop = stop_, period = seconds_to_ms(snapshot_interval_s)] {
      run_periodic(weak, stop, period, [](Store& s) {
        // A failed save has recorded its error; nothing more to do here.
        if (persistence_of(s).wal_bytes() != 0) (void)s.save();
      });
    });
  }
}

void StorePersistence::stop_threads() {
  stop_->request();
  std::vector<NamedThread> threads;
  {
    MutexGuard g(threads_mu_);
    threads.swap(threads_);
  }
  // NamedThread::join detaches instead when it runs on that very thread
  // (the store's last reference was dropped by one of its own threads).
  for (NamedThread& t : threads) t.join();
}

}  // namespace mevora::persist
