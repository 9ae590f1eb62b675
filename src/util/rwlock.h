// RwLock: a reader-writer lock (not reentrant) with scoped guards, and
// Mutex: a plain mutex with a scoped guard. Both are thin wrappers so that
// they can carry thread-safety annotations; no lock()/unlock() pairs are
// written by hand elsewhere.
#pragma once

#include <mutex>
#include <shared_mutex>

#include "util/thread_annotations.h"

namespace mevora {

class MEVORA_CAPABILITY("mutex") RwLock {
 public:
  void lock() MEVORA_ACQUIRE() { m_.lock(); }
  void unlock() MEVORA_RELEASE() { m_.unlock(); }
  bool try_lock() MEVORA_TRY_ACQUIRE(true) { return m_.try_lock(); }
  void lock_shared() MEVORA_ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() MEVORA_RELEASE_SHARED() { m_.unlock_shared(); }
  bool try_lock_shared() MEVORA_TRY_ACQUIRE_SHARED(true) { return m_.try_lock_shared(); }

 private:
  std::shared_mutex m_;
};

// The guards take any lock with this interface (RwLock, or the store's
// ShardLock); the lock type is deduced from the constructor argument.
template <class Lock = RwLock>
class MEVORA_SCOPED_CAPABILITY ReadGuard {
 public:
  explicit ReadGuard(Lock& l) MEVORA_ACQUIRE_SHARED(l) : l_(l) { l_.lock_shared(); }
  ~ReadGuard() MEVORA_RELEASE() { l_.unlock_shared(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  Lock& l_;
};

template <class Lock = RwLock>
class MEVORA_SCOPED_CAPABILITY WriteGuard {
 public:
  explicit WriteGuard(Lock& l) MEVORA_ACQUIRE(l) : l_(l) { l_.lock(); }
  ~WriteGuard() MEVORA_RELEASE() { l_.unlock(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  Lock& l_;
};

class MEVORA_CAPABILITY("mutex") Mutex {
 public:
  void lock() MEVORA_ACQUIRE() { m_.lock(); }
  void unlock() MEVORA_RELEASE() { m_.unlock(); }
  bool try_lock() MEVORA_TRY_ACQUIRE(true) { return m_.try_lock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

class MEVORA_SCOPED_CAPABILITY MutexGuard {
 public:
  explicit MutexGuard(Mutex& m) MEVORA_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexGuard() MEVORA_RELEASE() { m_.unlock(); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  Mutex& m_;
};

}  // namespace mevora
