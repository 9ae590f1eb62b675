// PeriodicThread: one owned, named background thread that runs a callable
// once per period until it is stopped.
//
// The thread waits on its own condition variable for the whole period
// (one deadline per wait, so spurious wake-ups do not shorten it), runs the
// callable, and waits again: passes are spaced by the period plus the
// pass's own duration, and the first pass comes one period after start.
// stop() raises the flag under the mutex and notifies, so a waiting thread
// wakes at once; a pass in progress is finished first. The destructor
// stops and joins.
//
// The callable runs on the thread without any lock of this class held.
// Whoever calls stop() or destroys the object must not hold a lock the
// callable takes, or the join waits for ever. Called from the thread itself
// (from inside the callable), stop() only raises the flag: the loop ends
// when the callable returns, and the owner joins later. The object must
// not be destroyed from inside its own callable.
//
// Thread safety: stop() may be called from any thread, any number of times.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <string>

#include "util/named_thread.h"
#include "util/rwlock.h"

namespace mevora {

class PeriodicThread {
 public:
  // The longest period honoured; a longer one waits this long (which is
  // for ever in practice) instead of overflowing the clock's arithmetic.
  static constexpr std::chrono::milliseconds kLongestPeriod = std::chrono::hours(24 * 365 * 100);

  // Starts the thread. Throws std::system_error if the OS refuses it.
  PeriodicThread(std::string name, std::chrono::milliseconds period, std::function<void()> tick);
  ~PeriodicThread();

  PeriodicThread(const PeriodicThread&) = delete;
  PeriodicThread& operator=(const PeriodicThread&) = delete;

  // Raises the stop flag, wakes the thread and joins it (only raises the
  // flag when called on the thread itself). Idempotent.
  void stop();
  // Whether stop() has been called: no pass starts after this is true.
  bool stopping() const {
    MutexGuard g(mu_);
    return stop_;
  }

 private:
  void run();
  // Waits one whole period; false as soon as stop was requested.
  bool wait_period();

  const std::chrono::milliseconds period_;
  const std::function<void()> tick_;
  mutable Mutex mu_;
  std::condition_variable cv_;
  bool stop_ MEVORA_GUARDED_BY(mu_) = false;
  // Serialises joins of thread_ (stop may be called from several threads).
  Mutex join_mu_;
  // Declared last: it starts after everything the thread uses exists.
  NamedThread thread_ MEVORA_GUARDED_BY(join_mu_);
};

}  // namespace mevora
