// AtomicRwLock: a reader-writer lock in one 32-bit atomic word, for locks
// taken on every store call (the shard locks).
//
// The uncontended paths are one compare-and-swap to take and one atomic
// read-modify-write to release, inlined into the caller; a thread that
// must wait sleeps in std::atomic::wait (a futex on Linux) after a short
// spin inside the standard library.
//
// Waiting writers are preferred: once a writer waits, new readers wait
// too, so a stream of overlapping readers cannot starve a writer. A
// releasing writer wakes every waiter, and they compete again; waiters
// re-announce themselves before sleeping, so no wake-up is lost.
//
// The word: the count of readers holding the lock in the low 29 bits,
// kWriter while a writer holds it, kWritersWaiting and kReadersWaiting
// once some thread of that kind has had to wait. The waiting flags stay
// set until the next write unlock (or, for writers, the last read unlock)
// wakes everyone, so a sleeper is never left without a wake-up.
#pragma once

#include <atomic>
#include <cstdint>

#include "util/thread_annotations.h"

namespace mevora {

class MEVORA_CAPABILITY("mutex") AtomicRwLock {
 public:
  AtomicRwLock() = default;
  AtomicRwLock(const AtomicRwLock&) = delete;
  AtomicRwLock& operator=(const AtomicRwLock&) = delete;

  bool try_lock() MEVORA_TRY_ACQUIRE(true) {
    std::uint32_t s = word_.load(std::memory_order_relaxed);
    return (s & (kWriter | kReaders)) == 0 &&
           word_.compare_exchange_strong(s, s | kWriter, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void lock() MEVORA_ACQUIRE() {
    if (!try_lock()) lock_slow();
  }
  void unlock() MEVORA_RELEASE() {
    // No reader can hold the lock now, so the word is kWriter and the
    // waiting flags; every waiter is woken and announces itself again.
    if (word_.exchange(0, std::memory_order_release) != kWriter) word_.notify_all();
  }

  bool try_lock_shared() MEVORA_TRY_ACQUIRE_SHARED(true) {
    std::uint32_t s = word_.load(std::memory_order_relaxed);
    return (s & (kWriter | kWritersWaiting)) == 0 &&
           word_.compare_exchange_strong(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void lock_shared() MEVORA_ACQUIRE_SHARED() {
    if (!try_lock_shared()) lock_shared_slow();
  }
  void unlock_shared() MEVORA_RELEASE_SHARED() {
    const std::uint32_t before = word_.fetch_sub(1, std::memory_order_release);
    // The last reader out hands the lock to a waiting writer.
    if ((before & kReaders) == 1 && (before & kWritersWaiting) != 0) word_.notify_all();
  }

 private:
  static constexpr std::uint32_t kReaders = (1u << 29) - 1;
  static constexpr std::uint32_t kWriter = 1u << 29;
  static constexpr std::uint32_t kReadersWaiting = 1u << 30;
  static constexpr std::uint32_t kWritersWaiting = 1u << 31;

  void lock_slow();
  void lock_shared_slow();

  std::atomic<std::uint32_t> word_{0};
};

}  // namespace mevora
