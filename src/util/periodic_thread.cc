#include "util/periodic_thread.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace mevora {
namespace {

// The PeriodicThread whose callable runs on this thread, if any.
thread_local const PeriodicThread* tl_running = nullptr;

}  // namespace

PeriodicThread::PeriodicThread(std::string name, std::chrono::milliseconds period, std::function<void()> tick)
    : period_(std::clamp(period, std::chrono::milliseconds(0), kLongestPeriod)),
      tick_(std::move(tick)),
      thread_(std::move(name), [this] { run(); }) {}

PeriodicThread::~PeriodicThread() { stop(); }

void PeriodicThread::stop() {
  {
    MutexGuard g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  // On the thread itself: the loop ends when the callable returns. Checked
  // before join_mu_, which a concurrent stop() holds while it joins.
  if (tl_running == this) return;
  MutexGuard g(join_mu_);
  thread_.join();
}

bool PeriodicThread::wait_period() {
  const auto deadline = std::chrono::steady_clock::now() + period_;
  std::unique_lock<std::mutex> lk(mu_.native());
  return !cv_.wait_until(lk, deadline, [this]() MEVORA_NO_THREAD_SAFETY_ANALYSIS { return stop_; });
}

void PeriodicThread::run() {
  tl_running = this;
  while (wait_period()) tick_();
}

}  // namespace mevora
