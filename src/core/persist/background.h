// StopSignal: the stop flag that a StorePersistence shares with its
// background threads ("mevora-fsync", "mevora-snapshot").
//
// The threads sleep in steps of kBackgroundStepMs on a condition variable
// instead of a plain sleep, so close and destruction end them at once
// rather than at their next step. The signal is owned jointly (shared_ptr)
// by the persistence state and every thread, so it outlives whichever ends
// last. Internal to core/persist.
//
// Thread safety: all methods may be called from any thread.
#pragma once

#include <condition_variable>

#include "util/rwlock.h"

namespace mevora::persist {

class StopSignal {
 public:
  // Waits one step (kBackgroundStepMs, persist.h). Returns false as soon as
  // stop was requested, before or during the wait; true after a full step.
  bool wait_step();

  // Raises the flag and wakes every waiting thread. Idempotent.
  void request();

 private:
  Mutex mu_;
  std::condition_variable cv_;
  bool stop_ MEVORA_GUARDED_BY(mu_) = false;
};

}  // namespace mevora::persist
