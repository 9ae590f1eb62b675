#include "util/named_thread.h"

#include <utility>

#include "util/platform.h"

namespace mevora {

NamedThread::NamedThread(std::string name, std::function<void()> body)
    : name_for_os_(name),
      t_([name = std::move(name), body = std::move(body)]() {
        platform::set_current_thread_name(name.c_str());
        try {
          body();
        } catch (...) {
          // A background thread has nobody to report to; its owner observes
          // the effects (or their absence) through the store's counters.
        }
      }) {
  // Name it from here too, so the name is visible as soon as the
  // constructor returns (the thread may not have run yet).
  platform::set_thread_name(t_.native_handle(), name_for_os_.c_str());
}

NamedThread::~NamedThread() { join(); }

NamedThread& NamedThread::operator=(NamedThread&& other) noexcept {
  if (this != &other) {
    join();
    t_ = std::move(other.t_);
  }
  return *this;
}

void NamedThread::join() {
  if (!t_.joinable()) return;
  if (t_.get_id() == std::this_thread::get_id()) {
    t_.detach();
  } else {
    t_.join();
  }
}

}  // namespace mevora
