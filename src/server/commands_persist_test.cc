// The persistence commands (SAVE, BGSAVE, LASTSAVE, INFO's persistence
// section) against a scripted persistence layer installed in an in-memory
// store, so that saves can be held, failed and counted deterministically.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/persistence_testing.h"
#include "server/command_test_support.h"
#include "server/commands.h"
#include "util/thread_names_testing.h"

namespace mevora::server {
namespace {

using namespace std::string_literals;
using namespace command_test;
using testing_threads::thread_count;


// Saves succeed or fail as told; a save can be held until released.
class FakePersistence final : public testing_persistence::NullPersistence {
 public:

  Result<void, PersistError> save(Store&) override {
    std::unique_lock<std::mutex> lock(mu_);
    ++saves_started_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !hold_; });
    ++saves_done_;
    cv_.notify_all();
    if (throw_) throw std::runtime_error("disk on fire");
    if (fail_text_.has_value()) return make_err(PersistError::make(PersistErrorKind::Other, *fail_text_));
    stats_.last_save_ms = 1'700'000'123'456;
    return {};
  }


  PersistStats stats() override {
    std::lock_guard<std::mutex> lock(mu_);
    return stats_;
  }

  void set_stats(PersistStats s) {
    std::lock_guard<std::mutex> lock(mu_);
    stats_ = std::move(s);
  }
  void fail_with(std::string text) {
    std::lock_guard<std::mutex> lock(mu_);
    fail_text_ = std::move(text);
  }
  void throw_on_save() {
    std::lock_guard<std::mutex> lock(mu_);
    throw_ = true;
  }
  void hold() {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = false;
    cv_.notify_all();
  }
  void wait_started(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return saves_started_ >= n; });
  }
  void wait_done(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return saves_done_ >= n; });
  }
  int saves_done() {
    std::lock_guard<std::mutex> lock(mu_);
    return saves_done_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  PersistStats stats_;
  std::optional<std::string> fail_text_;
  bool throw_ = false;
  bool hold_ = false;
  int saves_started_ = 0;
  int saves_done_ = 0;
};

struct PersistentHarness : Harness {
  PersistentHarness() {
    auto p = std::make_unique<FakePersistence>();
    fake = p.get();
    store->install_persistence(std::move(p));
  }
  FakePersistence* fake;  // owned by the store
};



// Waits (without a deadline: the test runner's timeout bounds it) until
// the bgsave flag is clear again.
void wait_bgsave_clear(const ServerContext& ctx) {
  while (ctx.bgsave->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(PersistenceCommands, InfoReportsTheCounters) {
  PersistentHarness h;
  PersistStats stats;
  stats.last_save_ms = 1'700'000'999'999;
  stats.wal_bytes = 42;
  stats.snapshot_bytes = 7;
  stats.loaded_keys = 99;
  h.fake->set_stats(stats);
  const std::string tail_ok =
      "# Persistence\r\npersistence_enabled:1\r\nlast_save_time:1700000999\r\nwal_bytes:42\r\n"
      "snapshot_bytes:7\r\nlast_error:\r\nwrites_refused:0\r\n\r\n# Clients\r\nconnected_clients:0\r\n"
      "rejected_connections:0\r\nmaxclients:0\r\n";
  std::string text = h.reply({"INFO"}).text();
  ASSERT_GE(text.size(), tail_ok.size());
  EXPECT_EQ(text.substr(text.size() - tail_ok.size()), tail_ok);
  EXPECT_EQ(text.find("loaded_keys"), std::string::npos);

  stats.last_save_ms = 0;
  stats.last_error = "WAL append failed: No space left on device (os error 28)";
  stats.writes_refused = true;
  h.fake->set_stats(stats);
  text = h.reply({"INFO"}).text();
  EXPECT_NE(text.find("\r\nlast_save_time:0\r\n"), std::string::npos);
  const std::string tail_err =
      "last_error:WAL append failed: No space left on device (os error 28)\r\nwrites_refused:1\r\n";
  EXPECT_NE(text.find("\r\n" + tail_err + "\r\n# Clients\r\n"), std::string::npos);
}

TEST(PersistenceCommands, SaveAndLastsave) {
  PersistentHarness h;
  EXPECT_EQ(h.run({"LASTSAVE"}), num(0));
  EXPECT_EQ(h.run({"SAVE"}), ok());
  EXPECT_EQ(h.fake->saves_done(), 1);
  EXPECT_EQ(h.run({"LASTSAVE"}), num(1'700'000'123));

  h.fake->fail_with("store is closed");
  EXPECT_EQ(h.run({"save"}), err("ERR save failed: store is closed"));

  h.fake->throw_on_save();
  EXPECT_EQ(h.run({"SAVE"}), err("ERR disk on fire"));
  EXPECT_EQ(h.run({"PING"}), simple("PONG"));
}

TEST(PersistenceCommands, OneBackgroundSaveAtATime) {
  PersistentHarness h;
  h.fake->hold();
  EXPECT_EQ(h.run({"BGSAVE"}), simple("Background saving started"));
  h.fake->wait_started(1);
  EXPECT_GT(thread_count("mevora-bgsave"), 0);
  EXPECT_EQ(h.run({"BGSAVE"}), err("ERR Background save already in progress"));
  // SAVE does not go through the flag.
  EXPECT_TRUE(h.ctx->bgsave->load());
  h.fake->release();
  h.fake->wait_done(1);
  wait_bgsave_clear(*h.ctx);
  EXPECT_EQ(h.run({"LASTSAVE"}), num(1'700'000'123));
  EXPECT_EQ(h.run({"bgsave"}), simple("Background saving started"));
  h.fake->wait_done(2);
  wait_bgsave_clear(*h.ctx);
}

TEST(PersistenceCommands, FailingBackgroundSaveStillClearsTheFlag) {
  PersistentHarness h;
  h.fake->throw_on_save();
  EXPECT_EQ(h.run({"BGSAVE"}), simple("Background saving started"));
  h.fake->wait_done(1);
  wait_bgsave_clear(*h.ctx);
  h.fake->fail_with("boom");
  EXPECT_EQ(h.run({"BGSAVE"}), simple("Background saving started"));
  h.fake->wait_done(2);
  wait_bgsave_clear(*h.ctx);
}

TEST(PersistenceCommands, CloseWaitsForARunningBackgroundSaveAndJoinsIt) {
  PersistentHarness h;
  h.fake->hold();
  ASSERT_EQ(h.run({"BGSAVE"}), simple("Background saving started"));
  h.fake->wait_started(1);
  std::atomic<int> done_when_closed{-1};
  std::thread closer([&] {
    h.store->close();
    done_when_closed = h.fake->saves_done();
  });
  // Gives close the time to reach the save it must wait for; a close that
  // does not wait returns meanwhile and sees no finished save.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  h.fake->release();
  closer.join();
  EXPECT_EQ(done_when_closed.load(), 1);
  EXPECT_EQ(thread_count("mevora-bgsave"), 0);
}

TEST(PersistenceCommands, BackgroundSaveOutlivesTheServer) {
  auto h = std::make_unique<PersistentHarness>();
  h->fake->hold();
  ASSERT_EQ(h->run({"BGSAVE"}), simple("Background saving started"));
  h->fake->wait_started(1);
  std::shared_ptr<std::atomic<bool>> flag = h->ctx->bgsave;
  FakePersistence* fake = h->fake;
  std::weak_ptr<Store> store = h->store;
  h.reset();  // the connection, the context and the caller's store reference go
  ASSERT_FALSE(store.expired());  // the save thread keeps the store alive
  fake->release();
  while (flag->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The thread drops the store right after clearing the flag.
  while (!store.expired()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace
}  // namespace mevora::server
