// rename and msetnx as atomic steps (all or nothing, also when the log
// refuses their frame), exact memory accounting of the key and string
// operations that rebuild or re-key entries, and the absolute deadlines.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/persistence_testing.h"
#include "core/store.h"
#include "core/used_memory_testing.h"

namespace mevora {
namespace {

using testing_store::recomputed_used;

using Items = std::vector<std::string_view>;

std::shared_ptr<Store> make_store(std::uint64_t shards, std::shared_ptr<Clock> clock = nullptr) {
  StoreConfig c;
  c.shards = shards;
  c.sweep_interval_ms = 0;
  return Store::create(c, std::move(clock));
}

class KeyOps : public ::testing::TestWithParam<std::uint64_t> {};

// Names that land in the same shard and in different ones, short and long
// (the key length is part of an entry's accounted size).
TEST_P(KeyOps, RenameOfEveryKindKeepsAccountingExact) {
  auto store = make_store(GetParam());
  const std::string long_name(300, 'n');
  ASSERT_TRUE(store->set("s", "value", std::nullopt, false, false).ok());
  ASSERT_TRUE(store->hset("h", "f1", "v1").ok());
  ASSERT_TRUE(store->rpush("l", Items{"a", "b", "c"}).ok());
  ASSERT_TRUE(store->sadd("z", Items{"m1", "m2"}).ok());
  ASSERT_TRUE(store->pexpire("l", 100'000).ok());
  for (int round = 0; round < 20; ++round) {
    for (std::string name : {"s", "h", "l", "z"}) {
      const std::string to = round % 2 == 0 ? name + long_name : name;
      const std::string from = round % 2 == 0 ? name : name + long_name;
      auto r = store->rename(from, to, false);
      ASSERT_TRUE(r.ok()) << from;
      EXPECT_EQ(store->used_memory(), recomputed_used(*store)) << from << " -> " << to;
    }
  }
  EXPECT_GT(store->pttl("l"), 0);
  auto list = store->lrange("l", 0, -1);
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(list.value(), (std::vector<std::string>{"a", "b", "c"}));
  // Renaming onto a present key of another kind replaces it.
  ASSERT_TRUE(store->rename("z", "s", false).ok());
  EXPECT_EQ(store->type("s"), KeyKind::Set);
  EXPECT_EQ(store->used_memory(), recomputed_used(*store));
  const std::string_view all[] = {"s", "h", "l"};
  ASSERT_TRUE(store->del(all).ok());
  EXPECT_EQ(store->used_memory(), 0u);
}

TEST_P(KeyOps, RenameRefusedByTheLogChangesNothing) {
  StoreConfig c;
  c.shards = GetParam();
  c.sweep_interval_ms = 0;
  auto store = Store::create(c);
  ASSERT_TRUE(store->set("dst", "old", std::nullopt, false, false).ok());
  ASSERT_TRUE(store->hset("src", "f", "v").ok());
  store->install_persistence(std::make_unique<testing_persistence::RefusingBatches>());
  const std::uint64_t before = store->used_memory();
  auto r = store->rename("src", "dst", false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), StoreError::LogRefused);
  EXPECT_EQ(store->type("src"), KeyKind::Hash);
  auto old = store->get("dst");
  ASSERT_TRUE(old.ok());
  EXPECT_EQ(old.value(), "old");
  EXPECT_EQ(store->used_memory(), before);

  const KeyValue pairs[] = {{"a", "1"}, {"b", "2"}};
  auto m = store->msetnx(pairs);
  ASSERT_FALSE(m.ok());
  EXPECT_FALSE(store->exists("a"));
  EXPECT_FALSE(store->exists("b"));
  // The table may keep the room the undone keys took; the figure stays exact.
  EXPECT_EQ(store->used_memory(), recomputed_used(*store));
}

INSTANTIATE_TEST_SUITE_P(Shards, KeyOps, ::testing::Values(1, 4, 64));

TEST(KeyOpsDeadlines, AbsoluteDeadlinesFollowTheClock) {
  auto clock = std::make_shared<FakeClock>();
  clock->set(1'000'000);
  auto store = make_store(4, clock);
  ASSERT_TRUE(store->set("k", "v", std::nullopt, false, false).ok());
  EXPECT_EQ(store->pexpiretime("k"), -1);
  EXPECT_EQ(store->pexpiretime("missing"), -2);
  ASSERT_TRUE(store->pexpireat("k", 1'005'000).value());
  EXPECT_EQ(store->pexpiretime("k"), 1'005'000);
  EXPECT_EQ(store->pttl("k"), 5'000);
  clock->set(1'005'000);  // due: gone for every reader
  EXPECT_EQ(store->pexpiretime("k"), -2);
  EXPECT_FALSE(store->randomkey().has_value());
  EXPECT_EQ(store->touch(Items{"k"}), 0u);
  ASSERT_TRUE(store->set("k", "v", std::nullopt, false, false).ok());
  ASSERT_TRUE(store->pexpireat("k", 1'005'000).value());  // at now: removed
  EXPECT_FALSE(store->exists("k"));
  EXPECT_EQ(store->used_memory(), 0u);
}

TEST(KeyOpsStrings, SetrangeIsBoundedAndIncrbyfloatRefusesWhatIsNotAFiniteFloat) {
  auto store = make_store(1);
  auto r = store->setrange("k", kMaxStringLen, "x");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), StoreError::TooLarge);
  EXPECT_FALSE(store->exists("k"));
  auto edge = store->setrange("k", kMaxStringLen - 1, "");
  ASSERT_TRUE(edge.ok());
  EXPECT_EQ(edge.value(), 0u);
  EXPECT_FALSE(store->exists("k"));

  ASSERT_TRUE(store->set("f", "1e308", std::nullopt, false, false).ok());
  auto over = store->incrbyfloat("f", 1e308);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().kind(), StoreError::Overflow);
  auto ok = store->incrbyfloat("f", -1e308);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), "0");
  EXPECT_EQ(store->used_memory(), recomputed_used(*store));
}

}  // namespace
}  // namespace mevora
