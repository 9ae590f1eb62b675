// Store::keys and Store::flush: exactly the live matching keys, no side
// effects from listing, exact memory accounting and logging of flush, and
// flush racing with ordinary readers and writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/persistence_testing.h"
#include "core/clock.h"
#include "core/store.h"
#include "core/used_memory_testing.h"

namespace mevora {
namespace {

using testing_store::recomputed_used;

using Strings = std::vector<std::string>;
using Items = std::vector<std::string_view>;

Strings sorted(Strings v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Records the kind of every logged mutation. On FLUSH it also checks, from
// another thread, that every shard lock is held exclusively at that moment.
class RecordingPersistence final : public testing_persistence::NullPersistence {
 public:
  explicit RecordingPersistence(Store* store) : store_(store) {}

  Result<void, PersistError> append(const WalRecord& r) override {
    if (r.kind == WalKind::Flush) flush_saw_all_locks_held_ = no_shard_lock_free();
    std::lock_guard<std::mutex> g(mu_);
    kinds_.push_back(r.kind);
    return {};
  }

  std::vector<WalKind> kinds() {
    std::lock_guard<std::mutex> g(mu_);
    return kinds_;
  }
  std::size_t count(WalKind k) {
    const auto all = kinds();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), k));
  }
  void clear() {
    std::lock_guard<std::mutex> g(mu_);
    kinds_.clear();
  }
  bool flush_saw_all_locks_held() const { return flush_saw_all_locks_held_; }

 private:
  bool no_shard_lock_free() {
    bool all_held = true;
    std::thread probe([&] {
      for (std::size_t i = 0; i < store_->shard_count(); ++i) {
        ShardLock& l = store_->shard_at(i).lock;
        if (l.try_lock_shared()) {
          l.unlock_shared();
          all_held = false;
        }
      }
    });
    probe.join();
    return all_held;
  }

  Store* store_;
  std::mutex mu_;
  std::vector<WalKind> kinds_;
  bool flush_saw_all_locks_held_ = false;
};

class StoreKeysTest : public ::testing::Test {
 protected:
  void SetUp() override { make_store(0); }

  void make_store(std::uint64_t max_memory) {
    StoreConfig config;
    config.shards = 16;
    config.sweep_interval_ms = 0;
    config.max_memory = max_memory;
    clock_ = std::make_shared<FakeClock>(1000);
    store_ = Store::create(config, clock_);
  }
  RecordingPersistence& record() {
    auto p = std::make_unique<RecordingPersistence>(store_.get());
    RecordingPersistence& ref = *p;
    store_->install_persistence(std::move(p));
    return ref;
  }
  void set(const std::string& key, std::optional<std::uint64_t> ttl = std::nullopt) {
    ASSERT_TRUE(store_->set(key, "v:" + key, ttl, false, false).value());
  }
  // A string, hash, list and set under prefix, one of them with a deadline.
  void add_all_kinds(const std::string& prefix) {
    set(prefix + "str");
    ASSERT_TRUE(store_->hset(prefix + "hash", "f", "v").ok());
    const Items values = {"a", "b", "c"};
    ASSERT_TRUE(store_->lpush(prefix + "list", values).ok());
    ASSERT_TRUE(store_->sadd(prefix + "set", values).ok());
    ASSERT_TRUE(store_->pexpire(prefix + "set", 10'000));
  }

  std::shared_ptr<FakeClock> clock_;
  std::shared_ptr<Store> store_;
};

TEST_F(StoreKeysTest, KeysListsExactlyTheLiveMatchingKeysAcrossShards) {
  Strings live_users;
  for (int i = 0; i < 2000; ++i) {
    const std::string user = "user:" + std::to_string(i);
    if (i % 3 == 0) {
      set(user, 500);  // due at 1500
    } else {
      set(user);
      live_users.push_back(user);
    }
    set("order:" + std::to_string(i));
  }
  set("");
  add_all_kinds("user:kinds:");
  live_users.insert(live_users.end(),
                    {"user:kinds:str", "user:kinds:hash", "user:kinds:list", "user:kinds:set"});
  clock_->set(1500);  // the deadline equals now: those keys have expired

  EXPECT_EQ(sorted(store_->keys("user:*")), sorted(live_users));
  EXPECT_EQ(store_->keys("*").size(), live_users.size() + 2000 + 1);
  EXPECT_EQ(store_->keys(""), Strings{""});
  EXPECT_EQ(store_->keys("order:1999"), Strings{"order:1999"});
  EXPECT_EQ(sorted(store_->keys("order:1?9")), sorted({"order:109", "order:119", "order:129", "order:139",
                                                        "order:149", "order:159", "order:169", "order:179",
                                                        "order:189", "order:199"}));
  EXPECT_TRUE(store_->keys("nothing*").empty());
  EXPECT_TRUE(store_->keys("user:[]*").empty());
}

TEST_F(StoreKeysTest, KeysNeitherRemovesNorLogsNorStampsAnything) {
  make_store(1 << 30);  // a memory limit makes every access stamp
  RecordingPersistence& rec = record();
  set("gone", 10);
  set("kept");
  clock_->set(1010);
  rec.clear();
  const std::uint64_t used = store_->used_memory();
  const std::uint32_t lru = store_->lru_clock();

  EXPECT_EQ(store_->keys("*"), Strings{"kept"});
  EXPECT_EQ(store_->used_memory(), used);
  EXPECT_EQ(store_->lru_clock(), lru);
  EXPECT_TRUE(rec.kinds().empty());

  // Turning the clock back revives the expired key: it is still stored.
  clock_->set(1000);
  EXPECT_TRUE(store_->exists("gone"));
  EXPECT_EQ(store_->len(), 2u);
}

TEST_F(StoreKeysTest, KeysOfAnEmptyStoreIsEmpty) {
  EXPECT_TRUE(store_->keys("*").empty());
  EXPECT_TRUE(store_->keys("").empty());
}

TEST_F(StoreKeysTest, FlushEmptiesEveryKindAndReturnsUsedMemoryToZero) {
  for (int i = 0; i < 5000; ++i) {
    set("k" + std::to_string(i), i % 2 == 0 ? std::optional<std::uint64_t>(60'000) : std::nullopt);
  }
  for (int i = 0; i < 50; ++i) add_all_kinds("c" + std::to_string(i) + ":");
  set("");
  ASSERT_GT(store_->used_memory(), 0u);
  ASSERT_EQ(store_->used_memory(), recomputed_used(*store_));

  ASSERT_TRUE(store_->flush().ok());
  EXPECT_EQ(store_->len(), 0u);
  EXPECT_EQ(store_->used_memory(), 0u);
  EXPECT_EQ(recomputed_used(*store_), 0u);
  EXPECT_TRUE(store_->keys("*").empty());
  EXPECT_FALSE(store_->exists("k1"));
  EXPECT_FALSE(store_->get("c0:str").value().has_value());
  EXPECT_EQ(store_->llen("c0:list").value(), 0u);

  // The store stays usable and its accounting exact.
  add_all_kinds("again:");
  EXPECT_EQ(store_->len(), 4u);
  EXPECT_EQ(store_->used_memory(), recomputed_used(*store_));
  ASSERT_TRUE(store_->flush().ok());
  ASSERT_TRUE(store_->flush().ok());
  EXPECT_EQ(store_->used_memory(), 0u);
}

TEST_F(StoreKeysTest, FlushLogsOneFlushRecordUnderAllLocksAndNoDeletes) {
  RecordingPersistence& rec = record();
  for (int i = 0; i < 300; ++i) set("k" + std::to_string(i));
  add_all_kinds("x:");
  set("due", 1);
  clock_->set(2000);
  rec.clear();

  ASSERT_TRUE(store_->flush().ok());
  EXPECT_EQ(rec.kinds(), std::vector<WalKind>{WalKind::Flush});
  EXPECT_TRUE(rec.flush_saw_all_locks_held());

  // An empty store still logs its flush.
  rec.clear();
  ASSERT_TRUE(store_->flush().ok());
  EXPECT_EQ(rec.kinds(), std::vector<WalKind>{WalKind::Flush});
  EXPECT_EQ(rec.count(WalKind::Del), 0u);
}

// Readers and writers run while another thread flushes a large store again
// and again: no crash, no race (under a thread sanitizer), and exact
// accounting once everything has stopped.
TEST(StoreKeysConcurrencyTest, FlushRacesWithReadersAndWriters) {
  StoreConfig config;
  config.shards = 64;
  config.sweep_interval_ms = 0;
  auto store = Store::create(config, std::make_shared<FakeClock>(1000));
  auto fill = [&](int n) {
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(store->set("key:" + std::to_string(i), "value", std::nullopt, false, false).ok());
    }
  };
  fill(200'000);

  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      std::uint64_t x = 0x9e3779b97f4a7c15ULL * static_cast<std::uint64_t>(t + 1);
      std::string out;
      while (!stop.load(std::memory_order_relaxed)) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const std::string key = "key:" + std::to_string(x % 250'000);
        switch (x % 4) {
          case 0:
            (void)store->set(key, "written", std::nullopt, false, false);
            break;
          case 1: {
            const std::string_view k = key;
            (void)store->del(std::span<const std::string_view>(&k, 1));
            break;
          }
          default: {
            CopySink sink(out);
            (void)store->get(key, sink);
          }
        }
      }
    });
  }
  workers.emplace_back([&] {
    while (!stop.load(std::memory_order_relaxed)) (void)store->keys("key:12*");
  });

  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(store->flush().ok());
    fill(20'000);
  }
  stop.store(true);
  for (auto& w : workers) w.join();

  EXPECT_EQ(store->used_memory(), recomputed_used(*store));
  ASSERT_TRUE(store->flush().ok());
  EXPECT_EQ(store->used_memory(), 0u);
  EXPECT_EQ(store->len(), 0u);
}

}  // namespace
}  // namespace mevora
