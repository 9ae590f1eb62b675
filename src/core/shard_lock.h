// ShardLock: a shard's reader-writer lock, which a transaction can hold on
// behalf of the store operations it runs.
//
// An atomic group of operations (a transaction, transaction.h) takes the
// exclusive locks of the shards its keys map to, in ascending index, and
// marks each one as held by its TxnScope. While that scope is the calling
// thread's current one, every lock, unlock and try-lock of a shard it holds
// is a no-op on that thread, so the ordinary store operations run inside
// the transaction unchanged, without re-locking (the locks are not
// reentrant) and without a window for other threads between two of them.
// Other threads see an ordinary exclusively held lock.
//
// Cost outside transactions: one thread-local load and a branch per lock
// call. The marking is per lock and per scope: a thread in a transaction
// that locks a shard the transaction does not hold takes the real lock.
//
// Thread safety: like the underlying lock. owner_ is written only by the
// thread holding the lock exclusively; another thread may read a stale
// value but never its own scope, which only it writes.
#pragma once

#include <atomic>

#include "core/wait_hook.h"
#include "util/atomic_rwlock.h"
#include "util/thread_annotations.h"

namespace mevora {

class TxnScope;

namespace txn_detail {
// The transaction scope running on this thread, or null (almost always).
// initial-exec: the extension module is loaded with dlopen, and the
// general TLS model would cost a call per lock operation.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local TxnScope* current = nullptr;
}  // namespace txn_detail

class MEVORA_CAPABILITY("mutex") ShardLock {
 public:
  // A lock that is not free at once tells the caller's wait hook first
  // (wait_hook.h), and so do lock_shared and lock_for.
  void lock() MEVORA_ACQUIRE() {
    if (!held_here() && !m_.try_lock()) {
      before_wait();
      m_.lock();
    }
  }
  void unlock() MEVORA_RELEASE() {
    if (!held_here()) m_.unlock();
  }
  bool try_lock() MEVORA_TRY_ACQUIRE(true) { return held_here() || m_.try_lock(); }
  void lock_shared() MEVORA_ACQUIRE_SHARED() {
    if (!held_here() && !m_.try_lock_shared()) {
      before_wait();
      m_.lock_shared();
    }
  }
  void unlock_shared() MEVORA_RELEASE_SHARED() {
    if (!held_here()) m_.unlock_shared();
  }
  bool try_lock_shared() MEVORA_TRY_ACQUIRE_SHARED(true) { return held_here() || m_.try_lock_shared(); }

  // Whether the calling thread's current transaction holds this lock.
  bool held_here() const {
    const TxnScope* t = txn_detail::current;
    return t != nullptr && owner_.load(std::memory_order_relaxed) == t;
  }

  // For TxnScope: takes the exclusive lock for `owner`, or releases it.
  void lock_for(const TxnScope* owner) MEVORA_NO_THREAD_SAFETY_ANALYSIS {
    if (!m_.try_lock()) {
      before_wait();
      m_.lock();
    }
    owner_.store(owner, std::memory_order_relaxed);
  }
  void unlock_from(const TxnScope*) MEVORA_NO_THREAD_SAFETY_ANALYSIS {
    owner_.store(nullptr, std::memory_order_relaxed);
    m_.unlock();
  }

 private:
  AtomicRwLock m_;
  std::atomic<const TxnScope*> owner_{nullptr};
};

}  // namespace mevora
