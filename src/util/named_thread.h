// NamedThread: owns one background thread with an OS-visible name.
//
// The body runs inside a catch-all, so no exception ever escapes a thread.
// The destructor joins, unless it runs on the thread itself (a background
// save holds a strong reference to its store, which owns the thread, and
// may drop the last one as it ends); a thread cannot join itself, so that
// one is detached instead, with nothing left to do but return. There is no
// other way to detach.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace mevora {

class NamedThread {
 public:
  NamedThread() = default;
  // Starts the thread. Throws std::system_error if the OS refuses it.
  NamedThread(std::string name, std::function<void()> body);
  ~NamedThread();

  NamedThread(NamedThread&&) noexcept = default;
  NamedThread& operator=(NamedThread&& other) noexcept;
  NamedThread(const NamedThread&) = delete;
  NamedThread& operator=(const NamedThread&) = delete;

  bool joinable() const { return t_.joinable(); }
  // Joins (or detaches when called on the thread itself). Idempotent.
  void join();

 private:
  std::string name_for_os_;
  std::thread t_;
};

}  // namespace mevora
