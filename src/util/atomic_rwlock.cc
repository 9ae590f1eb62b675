#include "util/atomic_rwlock.h"

namespace mevora {

// Both slow paths loop: take the lock if it is free for this kind of
// holder; else set this kind's waiting flag (once) and sleep until the word
// changes from the value that was seen with the flag set.

void AtomicRwLock::lock_slow() {
  for (;;) {
    std::uint32_t s = word_.load(std::memory_order_relaxed);
    if ((s & (kWriter | kReaders)) == 0) {
      if (word_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire, std::memory_order_relaxed)) return;
      continue;
    }
    if ((s & kWritersWaiting) == 0) {
      if (!word_.compare_exchange_weak(s, s | kWritersWaiting, std::memory_order_relaxed)) continue;
      s |= kWritersWaiting;
    }
    word_.wait(s, std::memory_order_relaxed);
  }
}

void AtomicRwLock::lock_shared_slow() {
  for (;;) {
    std::uint32_t s = word_.load(std::memory_order_relaxed);
    if ((s & (kWriter | kWritersWaiting)) == 0) {
      if (word_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
      continue;
    }
    if ((s & kReadersWaiting) == 0) {
      if (!word_.compare_exchange_weak(s, s | kReadersWaiting, std::memory_order_relaxed)) continue;
      s |= kReadersWaiting;
    }
    word_.wait(s, std::memory_order_relaxed);
  }
}

}  // namespace mevora
