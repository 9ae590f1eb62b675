// PeriodicThread and OneShotThreads: the thread lifecycle every background
// thread of the store and the server goes through.
#include "util/periodic_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "util/one_shot_threads.h"
#include "util/thread_names_testing.h"

namespace mevora {
namespace {

using Clock = std::chrono::steady_clock;
using testing_threads::thread_count;

// A gate a thread can wait at until the test opens it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> g(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(PeriodicThreadTest, StopWakesAWaitingThreadAtOnce) {
  // A period of an hour: without the wake-up, stop() would wait for it.
  std::atomic<int> ticks{0};
  {
    PeriodicThread t("mevora-ptest", std::chrono::hours(1), [&] { ++ticks; });
    EXPECT_EQ(thread_count("mevora-ptest"), 1);
    t.stop();
    EXPECT_EQ(thread_count("mevora-ptest"), 0);
    t.stop();  // idempotent
  }
  EXPECT_EQ(ticks.load(), 0);
}

TEST(PeriodicThreadTest, WaitsTheWholePeriodBeforeEveryPass) {
  constexpr auto kPeriod = std::chrono::milliseconds(30);
  std::mutex mu;
  std::vector<Clock::time_point> starts;
  std::vector<Clock::time_point> ends;
  Gate three;
  const Clock::time_point created = Clock::now();
  {
    PeriodicThread t("mevora-ptest", kPeriod, [&] {
      std::lock_guard<std::mutex> g(mu);
      starts.push_back(Clock::now());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a pass takes time too
      ends.push_back(Clock::now());
      if (ends.size() == 3) three.open();
    });
    three.wait();
  }
  std::lock_guard<std::mutex> g(mu);
  ASSERT_GE(starts.size(), 3u);
  EXPECT_GE(starts[0] - created, kPeriod);
  for (std::size_t i = 1; i < starts.size(); ++i) EXPECT_GE(starts[i] - ends[i - 1], kPeriod) << "pass " << i;
}

TEST(PeriodicThreadTest, StopFinishesThePassInProgressAndRunsNoMore) {
  std::atomic<int> ticks{0};
  Gate entered;
  Gate release;
  PeriodicThread t("mevora-ptest", std::chrono::milliseconds(1), [&] {
    if (ticks.fetch_add(1) == 0) {
      entered.open();
      release.wait();
    }
  });
  entered.wait();
  std::thread stopper([&] { t.stop(); });
  // Let the pass end only once the stop is in effect, so that it is the
  // stop, not the timing, that keeps a second pass from starting.
  while (!t.stopping()) std::this_thread::yield();
  release.open();
  stopper.join();
  EXPECT_EQ(ticks.load(), 1);
  EXPECT_EQ(thread_count("mevora-ptest"), 0);
}

TEST(PeriodicThreadTest, StopFromInsideThePassDoesNotDeadlock) {
  std::atomic<int> ticks{0};
  std::atomic<PeriodicThread*> self{nullptr};
  Gate stopped;
  auto t = std::make_unique<PeriodicThread>("mevora-ptest", std::chrono::milliseconds(1), [&] {
    ++ticks;
    if (PeriodicThread* p = self.load()) {
      p->stop();
      stopped.open();
    }
  });
  self.store(t.get());
  stopped.wait();
  t.reset();  // joins the thread that stopped itself
  EXPECT_EQ(thread_count("mevora-ptest"), 0);
  const int after = ticks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ticks.load(), after);
}

TEST(OneShotThreadsTest, JoinAllWaitsForRunningJobs) {
  OneShotThreads jobs;
  Gate release;
  std::atomic<int> done{0};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(jobs.start("mevora-otest", [&] {
                      release.wait();
                      ++done;
                    })
                    .ok());
  }
  EXPECT_EQ(thread_count("mevora-otest"), 3);
  std::thread joiner([&] { jobs.join_all(); });
  release.open();
  joiner.join();
  EXPECT_EQ(done.load(), 3);
  EXPECT_EQ(thread_count("mevora-otest"), 0);
}

// An owner whose jobs keep it alive: the last job to end destroys it on its
// own thread, which must neither join itself nor crash.
struct Owner {
  OneShotThreads jobs;
};

TEST(OneShotThreadsTest, AJobHoldingItsOwnersLastReferenceEndsCleanly) {
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<Owner> weak = owner;
  Gate release;
  ASSERT_TRUE(owner->jobs.start("mevora-otest", [keep = owner, &release] { release.wait(); }).ok());
  owner.reset();
  EXPECT_FALSE(weak.expired());
  release.open();
  while (!weak.expired()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (thread_count("mevora-otest") != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace
}  // namespace mevora
