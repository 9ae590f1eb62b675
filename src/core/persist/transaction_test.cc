// Store::atomically: undo after a refused log append, watches, and the
// locking of the declared shards.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/persistence_testing.h"
#include "core/persist/persist_test_util.h"
#include "core/store.h"

namespace mevora {
namespace {

using persist::testing_store::dump;
using persist::testing_store::get_or;

std::shared_ptr<Store> store_with(std::unique_ptr<Persistence> p, std::uint64_t shards = 4) {
  StoreConfig c;
  c.shards = shards;
  c.sweep_interval_ms = 0;
  auto s = Store::create(c);
  s->install_persistence(std::move(p));
  return s;
}

void fill(Store& s) {
  (void)s.set("a", "1", 60'000, false, false);
  const std::string_view items[] = {"x", "y"};
  (void)s.rpush("l", items);
  (void)s.hset("h", "f", "v");
  (void)s.sadd("z", items);
}

TEST(TransactionUndoTest, ARefusedBatchLeavesEveryKeyAndTheAccountingAsBefore) {
  std::atomic<int> records{0};
  auto s = store_with(std::make_unique<testing_persistence::RefusingBatches>(&records));
  fill(*s);
  const auto before = dump(*s);
  const std::uint64_t used = s->used_memory();
  const int logged = records.load();

  const std::string_view keys[] = {"a", "l", "h", "z", "new"};
  auto r = s->atomically(keys, false, nullptr, [&] {
    (void)s->set("a", "a much longer value than before", std::nullopt, false, false);
    (void)s->rpop("l");
    (void)s->rpop("l");  // empties the list: it is removed
    (void)s->hset("h", "g", "w");
    const std::string_view gone[] = {"z"};
    (void)s->del(gone);
    (void)s->set("new", "n", std::nullopt, false, false);
    (void)s->persist("a");
  });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "disk full");
  EXPECT_EQ(dump(*s), before);
  EXPECT_EQ(s->used_memory(), used);
  EXPECT_EQ(records.load(), logged);  // nothing of it reached the log
  EXPECT_GT(s->pttl("a"), 0);
}

TEST(TransactionUndoTest, AFlushInsideIsUndoneToo) {
  std::atomic<int> records{0};
  auto s = store_with(std::make_unique<testing_persistence::RefusingBatches>(&records));
  fill(*s);
  const auto before = dump(*s);
  const std::uint64_t used = s->used_memory();
  const std::string_view keys[] = {"a", "b"};
  auto r = s->atomically(keys, true, nullptr, [&] {
    (void)s->set("b", "2", std::nullopt, false, false);
    ASSERT_TRUE(s->flush().ok());
    (void)s->set("a", "3", std::nullopt, false, false);
  });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(dump(*s), before);
  EXPECT_EQ(s->used_memory(), used);
}

TEST(TransactionTest, WithoutPersistenceNothingIsCopiedAndTheBodyCommits) {
  auto s = store_with(nullptr);
  fill(*s);
  const std::string_view keys[] = {"a"};
  auto r = s->atomically(keys, false, nullptr, [&] { (void)s->incr("a", 1); });
  ASSERT_TRUE(r.ok() && r.value());
  EXPECT_EQ(get_or(*s, "a"), "2");
}

TEST(TransactionTest, SaveInsideIsRefused) {
  std::atomic<int> records{0};
  auto s = store_with(std::make_unique<testing_persistence::RefusingBatches>(&records));
  std::string error;
  auto r = s->atomically({}, false, nullptr, [&] {
    auto saved = s->save();
    error = saved.ok() ? "" : saved.error().text();
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(error, "cannot save inside a transaction");
}

TEST(TransactionTest, OtherThreadsWaitForTheDeclaredShardsOnly) {
  // Two shards; "a" and the probe key must map to different ones.
  auto s = store_with(nullptr, 2);
  std::string other = "k0";
  for (int i = 0; s->shard_index(other) == s->shard_index("a"); ++i) other = "k" + std::to_string(i);
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  std::atomic<bool> wrote_a{false};
  std::thread t([&] {
    const std::string_view keys[] = {"a"};
    (void)s->atomically(keys, false, nullptr, [&] {
      (void)s->set("a", "1", std::nullopt, false, false);
      inside = true;
      while (!release) std::this_thread::yield();
      EXPECT_EQ(get_or(*s, "a"), "1");  // nobody got in between
    });
  });
  while (!inside) std::this_thread::yield();
  (void)s->set(other, "free", std::nullopt, false, false);  // not blocked
  std::thread writer([&] {
    (void)s->set("a", "2", std::nullopt, false, false);
    wrote_a = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(wrote_a.load());
  release = true;
  t.join();
  writer.join();
  EXPECT_EQ(get_or(*s, "a"), "2");
}

TEST(WatchTest, ChangesMarkOnlyTheWatchersOfTheirKey) {
  auto s = store_with(nullptr, 1);
  (void)s->set("w", "v", std::nullopt, false, false);
  Watcher mine(s);
  Watcher other(s);
  const std::string_view w[] = {"w"};
  const std::string_view x[] = {"x"};
  mine.watch(w);
  other.watch(x);
  (void)s->set("unrelated", "1", std::nullopt, false, false);
  (void)s->get("w");
  EXPECT_FALSE(mine.dirty());
  (void)s->append("w", "more");
  EXPECT_TRUE(mine.dirty());
  EXPECT_FALSE(other.dirty());
  // A dirty watcher's transaction does not run.
  bool ran = false;
  auto r = s->atomically({}, false, &mine, [&] { ran = true; });
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.value());
  EXPECT_FALSE(ran);
  mine.clear();
  EXPECT_FALSE(mine.dirty());
  EXPECT_TRUE(mine.keys().empty());
  (void)s->set("w", "again", std::nullopt, false, false);
  EXPECT_FALSE(mine.dirty());  // no longer registered
}

}  // namespace
}  // namespace mevora
