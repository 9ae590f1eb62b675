#include "util/one_shot_threads.h"

#include <utility>

namespace mevora {
namespace {

// Run by every thread of the set, around its job: the job (and what it
// captured, possibly the owner's last reference) is released first, then
// the thread is marked ended, whether the job returned or threw
// (NamedThread catches what it throws).
class JobScope {
 public:
  JobScope(std::function<void()>& job, std::atomic<bool>& ended) : job_(job), ended_(ended) {}
  ~JobScope() {
    job_ = nullptr;
    ended_.store(true, std::memory_order_release);
  }
  JobScope(const JobScope&) = delete;
  JobScope& operator=(const JobScope&) = delete;

 private:
  std::function<void()>& job_;
  std::atomic<bool>& ended_;
};

}  // namespace

Result<void, std::error_code> OneShotThreads::start(std::string name, std::function<void()> job) {
  // Threads whose job has ended; joined when this returns, after the mutex
  // is released (declared before the guard, destroyed after it).
  std::vector<Entry> ended;
  MutexGuard g(mu_);
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (it->ended->load(std::memory_order_acquire)) {
      ended.push_back(std::move(*it));
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
  auto flag = std::make_shared<std::atomic<bool>>(false);
  threads_.reserve(threads_.size() + 1);  // so that the push below cannot fail
  try {
    NamedThread t(std::move(name), [flag, job = std::move(job)]() mutable {
      JobScope scope(job, *flag);
      job();
    });
    threads_.push_back(Entry{std::move(t), std::move(flag)});
  } catch (const std::system_error& e) {
    return make_err(e.code());
  }
  return {};
}

void OneShotThreads::join_all() {
  std::vector<Entry> taken;
  {
    MutexGuard g(mu_);
    taken.swap(threads_);
  }
  for (Entry& e : taken) e.thread.join();
}

}  // namespace mevora
