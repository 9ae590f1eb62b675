// SMOVE and the set algebra: results over 1, 4 and 64 shards, the wrong
// kind changing nothing, the destination among the sources, exact memory
// accounting, admission, all or nothing when the log refuses the step, the
// records each step logs, and reads that see every key at one instant.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/persistence_testing.h"
#include "core/store.h"
#include "core/used_memory_testing.h"
#include "core/wal_batch.h"

namespace mevora {
namespace {

using testing_store::recomputed_used;

using Items = std::vector<std::string_view>;
using Members = std::set<std::string>;

std::shared_ptr<Store> make_store(std::uint64_t shards, std::uint64_t max_memory = 0) {
  StoreConfig c;
  c.shards = shards;
  c.sweep_interval_ms = 0;
  c.max_memory = max_memory;
  return Store::create(c);
}

Members members(Store& store, std::string_view key) {
  auto r = store.smembers(key);
  EXPECT_TRUE(r.ok());
  return r.ok() ? Members(r.value().begin(), r.value().end()) : Members();
}

Members algebra(Store& store, Store::SetOp op, Items keys) {
  auto r = store.set_algebra(op, keys);
  EXPECT_TRUE(r.ok());
  if (!r.ok()) return {};
  Members out(r.value().begin(), r.value().end());
  EXPECT_EQ(out.size(), r.value().size()) << "a member reported twice";
  return out;
}

// Counts the records of every transaction frame (an atomic step's).
class FrameCounter final : public testing_persistence::NullPersistence {
 public:
  Result<void, PersistError> append_batch(const WalBatch& b) override {
    frames.push_back(b.count());
    return {};
  }
  std::vector<std::uint64_t> frames;
};

class SetAlgebra : public ::testing::TestWithParam<std::uint64_t> {
 protected:
  void SetUp() override {
    store_ = make_store(GetParam());
    ASSERT_TRUE(store_->sadd("a", Items{"1", "2", "3", "4"}).ok());
    ASSERT_TRUE(store_->sadd("b", Items{"3", "4", "5"}).ok());
    ASSERT_TRUE(store_->sadd("c", Items{"4", "6"}).ok());
    ASSERT_TRUE(store_->set("str", "v", std::nullopt, false, false).ok());
  }
  std::shared_ptr<Store> store_;
};

TEST_P(SetAlgebra, ReadsCombineTheSetsAndTakeMissingKeysAsEmpty) {
  Store& s = *store_;
  EXPECT_EQ(algebra(s, Store::SetOp::Inter, {"a", "b"}), (Members{"3", "4"}));
  EXPECT_EQ(algebra(s, Store::SetOp::Inter, {"a", "b", "c"}), (Members{"4"}));
  EXPECT_EQ(algebra(s, Store::SetOp::Inter, {"a", "a"}), (Members{"1", "2", "3", "4"}));
  EXPECT_EQ(algebra(s, Store::SetOp::Inter, {"a", "missing"}), Members());
  EXPECT_EQ(algebra(s, Store::SetOp::Union, {"a", "b", "c", "missing"}),
            (Members{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(algebra(s, Store::SetOp::Union, {"missing"}), Members());
  EXPECT_EQ(algebra(s, Store::SetOp::Diff, {"a", "b"}), (Members{"1", "2"}));
  EXPECT_EQ(algebra(s, Store::SetOp::Diff, {"a", "missing", "c"}), (Members{"1", "2", "3"}));
  EXPECT_EQ(algebra(s, Store::SetOp::Diff, {"a", "a"}), Members());
  EXPECT_EQ(algebra(s, Store::SetOp::Diff, {"missing", "a"}), Members());

  EXPECT_EQ(s.sintercard(Items{"a", "b"}, 0).value(), 2u);
  EXPECT_EQ(s.sintercard(Items{"a", "b"}, 1).value(), 1u);
  EXPECT_EQ(s.sintercard(Items{"a", "b"}, 5).value(), 2u);
  EXPECT_EQ(s.sintercard(Items{"a", "missing"}, 0).value(), 0u);

  for (Store::SetOp op : {Store::SetOp::Inter, Store::SetOp::Union, Store::SetOp::Diff}) {
    auto r = s.set_algebra(op, Items{"a", "str"});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), StoreError::WrongType);
  }
  EXPECT_EQ(s.sintercard(Items{"missing", "str"}, 0).error().kind(), StoreError::WrongType);
}

TEST_P(SetAlgebra, StoreReplacesTheDestinationWhateverItHeldAndAccountsExactly) {
  Store& s = *store_;
  ASSERT_TRUE(s.pexpire("str", 100'000).ok());
  EXPECT_EQ(s.set_algebra_store(Store::SetOp::Union, "str", Items{"b", "c"}).value(), 4u);
  EXPECT_EQ(members(s, "str"), (Members{"3", "4", "5", "6"}));
  EXPECT_EQ(s.pttl("str"), -1) << "the old deadline goes with the old value";
  EXPECT_EQ(s.used_memory(), recomputed_used(s));

  // The destination among the sources.
  EXPECT_EQ(s.set_algebra_store(Store::SetOp::Inter, "a", Items{"a", "b"}).value(), 2u);
  EXPECT_EQ(members(s, "a"), (Members{"3", "4"}));
  EXPECT_EQ(s.set_algebra_store(Store::SetOp::Diff, "b", Items{"b", "a"}).value(), 1u);
  EXPECT_EQ(members(s, "b"), (Members{"5"}));
  EXPECT_EQ(s.used_memory(), recomputed_used(s));

  // An empty result removes the destination; on a missing one it changes nothing.
  EXPECT_EQ(s.set_algebra_store(Store::SetOp::Inter, "a", Items{"a", "missing"}).value(), 0u);
  EXPECT_FALSE(s.exists("a"));
  EXPECT_EQ(s.set_algebra_store(Store::SetOp::Diff, "new", Items{"missing", "b"}).value(), 0u);
  EXPECT_FALSE(s.exists("new"));

  // A source of another kind fails the whole step: the destination stays.
  ASSERT_TRUE(s.rpush("list", Items{"x"}).ok());
  auto wrong = s.set_algebra_store(Store::SetOp::Union, "c", Items{"c", "list"});
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().kind(), StoreError::WrongType);
  EXPECT_EQ(members(s, "c"), (Members{"4", "6"}));

  const std::string_view all[] = {"b", "c", "str", "list"};
  ASSERT_EQ(s.del(all).value(), 4u);
  EXPECT_EQ(s.used_memory(), 0u);
}

TEST_P(SetAlgebra, SmoveMovesOneMemberAndChecksBothKindsFirst) {
  Store& s = *store_;
  EXPECT_TRUE(s.smove("a", "new", "1").value());
  EXPECT_EQ(members(s, "new"), (Members{"1"}));
  EXPECT_EQ(members(s, "a"), (Members{"2", "3", "4"}));
  EXPECT_FALSE(s.smove("a", "new", "1").value());
  EXPECT_FALSE(s.smove("missing", "new", "1").value());
  EXPECT_TRUE(s.smove("a", "a", "2").value());
  EXPECT_FALSE(s.smove("a", "a", "9").value());
  EXPECT_EQ(members(s, "a"), (Members{"2", "3", "4"}));

  // Either key of another kind: WrongType, also when there is nothing to move.
  for (auto [src, dst, m] : {std::tuple{"a", "str", "2"}, std::tuple{"str", "a", "2"},
                             std::tuple{"a", "str", "absent"}, std::tuple{"missing", "str", "x"}}) {
    auto r = s.smove(src, dst, m);
    ASSERT_FALSE(r.ok()) << src << " " << dst;
    EXPECT_EQ(r.error().kind(), StoreError::WrongType);
  }
  EXPECT_EQ(members(s, "a"), (Members{"2", "3", "4"}));

  // The last member leaves: the source disappears.
  EXPECT_TRUE(s.smove("new", "b", "1").value());
  EXPECT_FALSE(s.exists("new"));
  EXPECT_EQ(s.used_memory(), recomputed_used(s));
  const std::string_view all[] = {"a", "b", "c", "str"};
  ASSERT_EQ(s.del(all).value(), 4u);
  EXPECT_EQ(s.used_memory(), 0u);
}

TEST_P(SetAlgebra, StepsRefusedByTheLogChangeNothing) {
  Store& s = *store_;
  s.install_persistence(std::make_unique<testing_persistence::RefusingBatches>());
  const Members a = members(s, "a");
  EXPECT_EQ(s.smove("a", "b", "1").error().kind(), StoreError::LogRefused);
  EXPECT_EQ(s.set_algebra_store(Store::SetOp::Union, "str", Items{"a", "b"}).error().kind(),
            StoreError::LogRefused);
  EXPECT_EQ(s.set_algebra_store(Store::SetOp::Inter, "a", Items{"a", "missing"}).error().kind(),
            StoreError::LogRefused);
  EXPECT_EQ(members(s, "a"), a);
  EXPECT_EQ(members(s, "b"), (Members{"3", "4", "5"}));
  EXPECT_EQ(s.get("str").value(), "v");
  EXPECT_EQ(s.used_memory(), recomputed_used(s));
}

TEST_P(SetAlgebra, EachStepIsOneFrameOfTheBasicRecords) {
  Store& s = *store_;
  auto log = std::make_unique<FrameCounter>();
  FrameCounter* frames = log.get();
  s.install_persistence(std::move(log));
  ASSERT_TRUE(s.smove("c", "b", "6").value());        // SADD b, SREM c
  ASSERT_TRUE(s.smove("c", "x", "4").value());        // SADD x, SREM c, DEL c
  ASSERT_FALSE(s.smove("a", "b", "nope").value());    // nothing
  ASSERT_EQ(s.set_algebra_store(Store::SetOp::Union, "str", Items{"a"}).value(), 4u);   // DEL str, SADD str
  ASSERT_EQ(s.set_algebra_store(Store::SetOp::Union, "fresh", Items{"a"}).value(), 4u);  // SADD fresh
  ASSERT_EQ(s.set_algebra_store(Store::SetOp::Inter, "fresh", Items{"missing"}).value(), 0u);  // DEL fresh
  EXPECT_EQ(frames->frames, (std::vector<std::uint64_t>{2, 3, 2, 1, 1}));
}

INSTANTIATE_TEST_SUITE_P(Shards, SetAlgebra, ::testing::Values(1, 4, 64));

TEST(SetAlgebraLimits, AdmissionRefusesAStoreThatDoesNotFitBeforeAnyChange) {
  auto store = make_store(4, 10 * 1024);
  std::vector<std::string> big;
  for (int i = 0; i < 70; ++i) big.push_back("member-" + std::to_string(i) + std::string(40, 'x'));
  const std::vector<std::string_view> views(big.begin(), big.end());
  ASSERT_TRUE(store->sadd("a", views).ok());
  ASSERT_TRUE(store->set("dst", "keep", std::nullopt, false, false).ok());
  const std::uint64_t before = store->used_memory();
  auto r = store->set_algebra_store(Store::SetOp::Union, "dst", Items{"a"});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), StoreError::OutOfMemory);
  EXPECT_EQ(store->get("dst").value(), "keep");
  EXPECT_EQ(store->used_memory(), before);
}

// Members move between two sets (in different shards) while other threads
// read both: every read sees each member in exactly one of them.
TEST(SetAlgebraAtomicity, ReadsSeeEveryMoveWhollyOrNotAtAll) {
  auto store = make_store(4);
  std::string left = "left", right = "right";
  for (int i = 0; store->shard_index(left) == store->shard_index(right); ++i) right = "right" + std::to_string(i);
  std::vector<std::string> all;
  for (int i = 0; i < 16; ++i) all.push_back("m" + std::to_string(i));
  const std::vector<std::string_view> views(all.begin(), all.end());
  ASSERT_TRUE(store->sadd(left, views).ok());

  std::atomic<bool> stop{false};
  std::thread mover([&] {
    for (int i = 0; i < 20000; ++i) {
      const std::string& m = all[static_cast<std::size_t>(i) % all.size()];
      if (!store->smove(left, right, m).value()) (void)store->smove(right, left, m);
    }
    stop = true;
  });
  const std::string_view both[] = {left, right};
  int reads = 0;
  while (!stop || reads == 0) {
    ++reads;
    auto u = store->set_algebra(Store::SetOp::Union, both);
    ASSERT_TRUE(u.ok());
    ASSERT_EQ(u.value().size(), all.size());
    ASSERT_EQ(store->sintercard(both, 0).value(), 0u);
  }
  mover.join();
}

}  // namespace
}  // namespace mevora
