// WaitHook: lets a caller that holds a process-wide lock of its own (the
// Python binding holds the interpreter lock) keep it through store work
// that never waits, and give it up just before the store would block.
//
// The caller installs a hook for the calls it makes on its thread
// (WaitHookScope). The store calls before_wait() at each point where it
// may block: before waiting for a shard lock that is not free at once,
// before evicting to admit a write, before handing a record to the log
// (which may touch the disk), and before whole-keyspace work. The hook runs
// at most once per scope: the first call uninstalls it, so later points
// cost one thread-local load. The caller takes its own lock back after the
// store call has returned, never inside it, so no store lock is ever held
// while waiting for the caller's lock.
//
// Cost when nothing is installed (server threads, the sweeper): one
// thread-local load at each such point; none on an uncontended read.
#pragma once

namespace mevora {

class WaitHook {
 public:
  // Called on the store's thread, possibly with shard locks held; must not
  // call back into the store.
  virtual void before_wait() noexcept = 0;

 protected:
  WaitHook() = default;
  ~WaitHook() = default;
  WaitHook(const WaitHook&) = default;
  WaitHook& operator=(const WaitHook&) = default;
};

namespace wait_detail {
// initial-exec: the extension module is loaded with dlopen, and the general
// TLS model would cost a call at every waiting point.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local WaitHook* current = nullptr;
}  // namespace wait_detail

// Tells the caller on this thread that the store is about to block.
inline void before_wait() noexcept {
  WaitHook* h = wait_detail::current;
  if (h != nullptr) [[unlikely]] {
    wait_detail::current = nullptr;
    h->before_wait();
  }
}

// Installs a hook for the store calls made on this thread while it lives.
class WaitHookScope {
 public:
  explicit WaitHookScope(WaitHook& hook) : previous_(wait_detail::current) { wait_detail::current = &hook; }
  ~WaitHookScope() { wait_detail::current = previous_; }
  WaitHookScope(const WaitHookScope&) = delete;
  WaitHookScope& operator=(const WaitHookScope&) = delete;

 private:
  WaitHook* previous_;
};

}  // namespace mevora
