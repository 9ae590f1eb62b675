// The general string write (set_with: NX/XX, GET, KEEPTTL, absolute
// deadlines) and getdel: results, the records they log, and that the
// previous value a write reports is the one it replaced.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/persistence_testing.h"
#include "core/store.h"

namespace mevora {
namespace {

using Logged = std::tuple<WalKind, std::string, std::uint64_t, std::string>;  // kind, key, deadline, value

class ValueLog final : public testing_persistence::NullPersistence {
 public:
  explicit ValueLog(std::vector<Logged>* out) : out_(out) {}
  Result<void, PersistError> append(const WalRecord& r) override {
    std::lock_guard<std::mutex> g(mu_);
    out_->emplace_back(r.kind, std::string(r.key), r.deadline_ms, std::string(r.value));
    return {};
  }

 private:
  std::mutex mu_;
  std::vector<Logged>* out_;
};

class SetOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StoreConfig c;
    c.shards = 4;
    c.sweep_interval_ms = 0;
    store_ = Store::create(c, clock_);
    store_->install_persistence(std::make_unique<ValueLog>(&log_));
  }

  SetOutcome set(std::string_view key, std::string_view value, SetOptions o) {
    StoreResult<SetOutcome> r = store_->set_with(key, value, o);
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value() : SetOutcome{};
  }

  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>(1'000'000);
  std::shared_ptr<Store> store_;
  std::vector<Logged> log_;
};

SetOptions with_get() {
  SetOptions o;
  o.get = true;
  return o;
}

TEST_F(SetOptionsTest, GetReportsTheReplacedValueWhetherOrNotItWrites) {
  SetOutcome first = set("k", "a", with_get());
  EXPECT_TRUE(first.written);
  EXPECT_FALSE(first.previous.has_value());

  SetOutcome second = set("k", "b", with_get());
  EXPECT_TRUE(second.written);
  EXPECT_EQ(second.previous, "a");

  SetOptions nx_get = with_get();
  nx_get.nx = true;
  SetOutcome declined = set("k", "c", nx_get);
  EXPECT_FALSE(declined.written);
  EXPECT_EQ(declined.previous, "b");
  EXPECT_EQ(store_->get("k").value(), "b");

  SetOptions xx_get = with_get();
  xx_get.xx = true;
  SetOutcome absent = set("missing", "c", xx_get);
  EXPECT_FALSE(absent.written);
  EXPECT_FALSE(absent.previous.has_value());
  EXPECT_FALSE(store_->exists("missing"));
}

TEST_F(SetOptionsTest, GetOnAnotherKindFailsAndChangesNothing) {
  const std::string_view members[] = {"m"};
  ASSERT_TRUE(store_->sadd("s", members).ok());
  log_.clear();
  StoreResult<SetOutcome> r = store_->set_with("s", "v", with_get());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), StoreError::WrongType);
  EXPECT_EQ(store_->scard("s").value(), 1u);
  EXPECT_TRUE(log_.empty());
  // Without GET the same write replaces the set.
  EXPECT_TRUE(set("s", "v", SetOptions{}).written);
  EXPECT_EQ(store_->get("s").value(), "v");
}

TEST_F(SetOptionsTest, KeepttlKeepsTheDeadlineAndLogsItAbsolute) {
  ASSERT_TRUE(store_->set("k", "a", 5000, false, false).value());
  clock_->advance(1000);
  SetOptions keep;
  keep.expiry = SetOptions::Expiry::Keep;
  EXPECT_TRUE(set("k", "bb", keep).written);
  EXPECT_EQ(store_->pttl("k"), 4000);
  EXPECT_EQ(log_.back(), Logged(WalKind::Set, "k", 1'005'000, "bb"));
  // On an absent key there is nothing to keep.
  EXPECT_TRUE(set("fresh", "v", keep).written);
  EXPECT_EQ(store_->pttl("fresh"), -1);
  EXPECT_EQ(log_.back(), Logged(WalKind::Set, "fresh", 0, "v"));
  // A plain write drops the deadline.
  EXPECT_TRUE(set("k", "c", SetOptions{}).written);
  EXPECT_EQ(store_->pttl("k"), -1);
}

TEST_F(SetOptionsTest, AbsoluteDeadlines) {
  SetOptions at;
  at.expiry = SetOptions::Expiry::At;
  at.ms = 1'002'500;
  EXPECT_TRUE(set("k", "v", at).written);
  EXPECT_EQ(store_->pttl("k"), 2500);
  EXPECT_EQ(log_.back(), Logged(WalKind::Set, "k", 1'002'500, "v"));
  // A deadline already past leaves the key absent.
  at.ms = 999'999;
  EXPECT_TRUE(set("k", "w", at).written);
  EXPECT_FALSE(store_->exists("k"));
  EXPECT_FALSE(store_->get("k").value().has_value());
}

TEST_F(SetOptionsTest, GetdelReturnsAndRemovesOnlyStrings) {
  ASSERT_TRUE(store_->set("k", "v", std::nullopt, false, false).value());
  log_.clear();
  EXPECT_EQ(store_->getdel("k").value(), "v");
  EXPECT_FALSE(store_->exists("k"));
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(std::get<0>(log_[0]), WalKind::Del);
  EXPECT_FALSE(store_->getdel("k").value().has_value());
  ASSERT_TRUE(store_->hset("h", "f", "v").ok());
  StoreResult<std::optional<std::string>> r = store_->getdel("h");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), StoreError::WrongType);
  EXPECT_EQ(store_->hlen("h").value(), 1u);
  // A due key is absent: getdel removes it as expired, returning nothing.
  ASSERT_TRUE(store_->set("t", "v", 10, false, false).value());
  clock_->advance(10);
  EXPECT_FALSE(store_->getdel("t").value().has_value());
}

// A full store under noeviction still answers NX GET on a present key:
// the write will not happen, so it needs no memory.
TEST(SetOptionsMemory, DecliningGetNeedsNoMemory) {
  StoreConfig c;
  c.shards = 1;
  c.sweep_interval_ms = 0;
  c.max_memory = 4096;
  auto store = Store::create(c, std::make_shared<FakeClock>(1000));
  ASSERT_TRUE(store->set("k", "old", std::nullopt, false, false).value());
  const std::string big(8192, 'x');
  StoreResult<bool> plain = store->set("k", big, std::nullopt, false, false);
  ASSERT_FALSE(plain.ok());
  EXPECT_EQ(plain.error(), StoreError::OutOfMemory);
  SetOptions nx_get;
  nx_get.nx = true;
  nx_get.get = true;
  StoreResult<SetOutcome> r = store->set_with("k", big, nx_get);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.value().written);
  EXPECT_EQ(r.value().previous, "old");
  SetOptions get_only;
  get_only.get = true;
  StoreResult<SetOutcome> writes = store->set_with("k", big, get_only);
  ASSERT_FALSE(writes.ok());
  EXPECT_EQ(writes.error(), StoreError::OutOfMemory);
  EXPECT_EQ(store->get("k").value(), "old");
}

// Concurrent GETSETs on one key: every value written is reported as
// replaced exactly once, by the write that followed it, so no update is
// lost or seen twice.
TEST_F(SetOptionsTest, GetsetChainsWithoutLosingAWrite) {
  constexpr int kThreads = 4;
  constexpr int kWrites = 2000;
  ASSERT_TRUE(store_->set("k", "start", std::nullopt, false, false).value());
  std::vector<std::vector<std::string>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        StoreResult<SetOutcome> r =
            store_->set_with("k", std::to_string(t) + ":" + std::to_string(i), with_get());
        seen[t].push_back(r.value().previous.value_or("<none>"));
      }
    });
  }
  for (std::thread& th : threads) th.join();
  std::vector<std::string> all = {store_->get("k").value().value()};
  for (auto& v : seen) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  std::vector<std::string> expected = {"start"};
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kWrites; ++i) expected.push_back(std::to_string(t) + ":" + std::to_string(i));
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);
}

}  // namespace
}  // namespace mevora
