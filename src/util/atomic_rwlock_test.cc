// AtomicRwLock: exclusion, shared reading, writer preference and no lost
// wake-ups under contention.
#include "util/atomic_rwlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace mevora {
namespace {

TEST(AtomicRwLock, TryLocksSeeEachOtherKind) {
  AtomicRwLock l;
  ASSERT_TRUE(l.try_lock_shared());
  EXPECT_TRUE(l.try_lock_shared());  // readers share
  EXPECT_FALSE(l.try_lock());
  l.unlock_shared();
  EXPECT_FALSE(l.try_lock());  // one reader still holds it
  l.unlock_shared();
  ASSERT_TRUE(l.try_lock());
  EXPECT_FALSE(l.try_lock());
  EXPECT_FALSE(l.try_lock_shared());
  l.unlock();
  EXPECT_TRUE(l.try_lock_shared());
  l.unlock_shared();
}

// Waits (bounded) until cond holds; the bound only keeps a broken lock
// from hanging the suite.
template <class F>
bool eventually(F cond) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(AtomicRwLock, AWaitingWriterHoldsBackNewReadersAndIsWokenByTheLastReader) {
  AtomicRwLock l;
  l.lock_shared();
  std::atomic<bool> written{false};
  std::thread writer([&] {
    l.lock();
    written = true;
    l.unlock();
  });
  // Once the writer waits, a new reader is refused although only readers
  // hold the lock.
  ASSERT_TRUE(eventually([&] {
    if (!l.try_lock_shared()) return true;
    l.unlock_shared();
    return false;
  }));
  EXPECT_FALSE(written.load());
  l.unlock_shared();  // the last reader out wakes the writer
  writer.join();
  EXPECT_TRUE(written.load());
  l.lock_shared();  // and the writer's unlock let readers in again
  l.unlock_shared();
}

TEST(AtomicRwLock, ReadersWaitingForAWriterAllGetIn) {
  AtomicRwLock l;
  l.lock();
  std::atomic<int> inside{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      l.lock_shared();
      ++inside;
      // Every reader stays until all are in: they must hold it together.
      ASSERT_TRUE(eventually([&] { return inside.load() == 4; }));
      l.unlock_shared();
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(inside.load(), 0);
  l.unlock();
  for (auto& t : readers) t.join();
  EXPECT_EQ(inside.load(), 4);
}

// Writers keep two counters equal; readers must never see them differ.
// Run with many more threads than cores so that holders are preempted
// and every waiting path (both flags, both wake-ups) is taken; a lost
// wake-up hangs the test.
TEST(AtomicRwLock, ExcludesUnderContentionAndLosesNoWakeUp) {
  AtomicRwLock l;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::atomic<int> torn{0};
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if ((i + t) % 4 == 0) {
          l.lock();
          ++a;
          std::this_thread::yield();
          ++b;
          l.unlock();
        } else {
          l.lock_shared();
          if (a != b) ++torn;
          l.unlock_shared();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(a, static_cast<std::uint64_t>(kThreads) * kRounds / 4);
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace mevora
