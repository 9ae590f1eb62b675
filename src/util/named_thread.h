// NamedThread: owns one background thread with an OS-visible name.
//
// The body runs inside a catch-all, so no exception ever escapes a thread.
// The destructor joins, unless it runs on the thread itself (the last
// shared_ptr of a store can be dropped by a background thread that briefly
// locked its weak_ptr); then the thread is detached instead of joining
// itself.
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
  void detach();

 private:
  std::string name_for_os_;
  std::thread t_;
};

}  // namespace mevora
