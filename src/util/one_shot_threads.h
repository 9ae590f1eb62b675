// OneShotThreads: named threads that each run one job and end, owned and
// joined by one owner (never detached).
//
// start() first joins the threads whose job has ended (they are about to
// return, so the join does not wait), then starts a new one. join_all()
// takes every handle out under the mutex and joins them outside it, so a
// job that is still running is waited for; the destructor joins all too.
//
// A job may hold a strong reference to the object that owns this set, and
// so become the last owner: the owner is then destroyed on the job's own
// thread, which cannot join itself. That one handle is detached instead
// (NamedThread's rule); the thread is past its job and only returns.
//
// Thread safety: every method may be called from any thread. Whoever
// calls join_all() or destroys the set must not hold a lock a running job
// takes.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "util/named_thread.h"
#include "util/result.h"
#include "util/rwlock.h"

namespace mevora {

class OneShotThreads {
 public:
  OneShotThreads() = default;
  ~OneShotThreads() { join_all(); }

  OneShotThreads(const OneShotThreads&) = delete;
  OneShotThreads& operator=(const OneShotThreads&) = delete;

  // Starts `job` on a new thread named `name`. Errors: the OS's error code
  // when the thread cannot be created (the job is then not run).
  Result<void, std::error_code> start(std::string name, std::function<void()> job) MEVORA_EXCLUDES(mu_);

  // Waits for every job started so far to end and joins its thread.
  void join_all() MEVORA_EXCLUDES(mu_);

 private:
  struct Entry {
    NamedThread thread;
    // Set by the thread as the last thing its job does.
    std::shared_ptr<std::atomic<bool>> ended;
  };

  Mutex mu_;
  std::vector<Entry> threads_ MEVORA_GUARDED_BY(mu_);
};

}  // namespace mevora
