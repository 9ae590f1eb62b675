// Store core: lazy expiry at the exact deadline, admission and sampled-LRU
// eviction, LRU stamps across the 32-bit wrap, and the sweeper. A fake
// clock reaches the cases that real time cannot.
#include "core/persistence_testing.h"
#include "core/store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace mevora {
namespace {

// Records every logged mutation (kind and key).
class RecordingLog : public testing_persistence::NullPersistence {
 public:
  std::vector<std::pair<WalKind, std::string>>* out;
  explicit RecordingLog(std::vector<std::pair<WalKind, std::string>>* o) : out(o) {}
  Result<void, PersistError> append(const WalRecord& r) override {
    out->emplace_back(r.kind, std::string(r.key));
    return {};
  }
};

struct Fixture {
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(1000);
  std::vector<std::pair<WalKind, std::string>> log;
  std::shared_ptr<Store> store;

  explicit Fixture(StoreConfig cfg = {}) {
    cfg.sweep_interval_ms = 0;
    store = Store::create(cfg, clock);
    store->install_persistence(std::make_unique<RecordingLog>(&log));
  }
};

StoreConfig one_shard(std::uint64_t max_memory = 0, EvictionPolicy policy = EvictionPolicy::NoEviction) {
  StoreConfig c;
  c.shards = 1;
  c.max_memory = max_memory;
  c.policy = policy;
  return c;
}

TEST(StoreExpiry, KeyWhoseDeadlineEqualsNowIsGoneAndItsRemovalLogged) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("k", "v", 500, false, false).value());
  f.clock->set(1500);  // deadline == now
  EXPECT_EQ(f.store->pttl("k"), -2);
  EXPECT_FALSE(f.store->exists("k"));
  EXPECT_EQ(f.store->len(), 0u);
  EXPECT_GT(f.store->used_memory(), 0u);  // still in its table
  auto r = f.store->get("k");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r.value().has_value());
  EXPECT_EQ(f.store->used_memory(), 0u);  // the read path removed it
  ASSERT_EQ(f.log.size(), 2u);
  EXPECT_EQ(f.log[1].first, WalKind::Del);
}

TEST(StoreExpiry, OneMillisecondBeforeTheDeadlineTheKeyLives) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("k", "v", 500, false, false).value());
  f.clock->set(1499);
  EXPECT_EQ(f.store->pttl("k"), 1);
  EXPECT_TRUE(f.store->exists("k"));
}

TEST(StoreExpiry, NxStoresOverAnExpiredKeyAndXxRefusesIt) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("k", "old", 10, false, false).value());
  f.clock->advance(10);
  EXPECT_FALSE(f.store->set("k", "x", std::nullopt, false, true).value());
  EXPECT_TRUE(f.store->set("k", "new", std::nullopt, true, false).value());
  EXPECT_EQ(*f.store->get("k").value(), "new");
}

TEST(StoreExpiry, DeadlineSaturatesAndIsNeverZero) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("k", "v", ~std::uint64_t{0}, false, false).value());
  EXPECT_EQ(f.store->pttl("k"), INT64_MAX);
  f.clock->set(0);
  EXPECT_TRUE(f.store->pexpire("k", ~std::uint64_t{0}).value());
  EXPECT_EQ(f.store->pttl("k"), INT64_MAX);
}

TEST(StoreExpiry, PersistAndPexpireLogExpireRecords) {
  Fixture f(one_shard());
  EXPECT_FALSE(f.store->persist("missing").value());
  EXPECT_FALSE(f.store->pexpire("missing", 5).value());
  ASSERT_TRUE(f.store->set("k", "v", std::nullopt, false, false).value());
  EXPECT_FALSE(f.store->persist("k").value());  // no deadline: nothing logged
  EXPECT_TRUE(f.store->pexpire("k", 5).value());
  EXPECT_EQ(f.store->pttl("k"), 5);
  EXPECT_TRUE(f.store->persist("k").value());
  EXPECT_EQ(f.store->pttl("k"), -1);
  std::vector<WalKind> kinds;
  for (auto& [k, key] : f.log) kinds.push_back(k);
  EXPECT_EQ(kinds, (std::vector<WalKind>{WalKind::Set, WalKind::Expire, WalKind::Expire}));
}

TEST(StoreExpiry, SweepRemovesOneDueKeyInEachOf64Shards) {
  StoreConfig cfg;
  cfg.shards = 64;
  Fixture f(cfg);
  // Find one key per shard.
  std::vector<bool> taken(64, false);
  int placed = 0;
  for (int i = 0; placed < 64; ++i) {
    std::string key = "key" + std::to_string(i);
    const std::size_t shard = (key_hash(key) >> 32) & 63;
    if (taken[shard]) continue;
    taken[shard] = true;
    ++placed;
    ASSERT_TRUE(f.store->set(key, "v", 50, false, false).value());
  }
  f.log.clear();
  f.clock->advance(50);
  f.store->sweep_once();
  EXPECT_EQ(f.store->used_memory(), 0u);
  EXPECT_EQ(f.log.size(), 64u);
}

TEST(StoreExpiry, SweepIsBoundedPerShardPerPass) {
  Fixture f(one_shard());
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(f.store->set("k" + std::to_string(i), "v", 1, false, false).value());
  }
  f.clock->advance(1);
  f.store->sweep_once();
  // At most 16 batches of 20 examined entries per pass.
  EXPECT_LE(f.log.size() - 2000, 16u * 20u);
  EXPECT_GT(f.log.size() - 2000, 0u);
}

TEST(StoreEviction, NoLimitNeverStamps) {
  Fixture f(one_shard());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(f.store->set("k" + std::to_string(i), "v", std::nullopt, false, false).ok());
  ASSERT_TRUE(f.store->get("k1").ok());
  EXPECT_EQ(f.store->lru_clock(), 0u);
}

TEST(StoreEviction, EvictsTheLeastRecentlyTouchedOfThree) {
  Fixture f(one_shard(1 << 20, EvictionPolicy::AllKeysLru));
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(f.store->set(k, "v", std::nullopt, false, false).ok());
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(f.store->get(k).ok());
  EXPECT_TRUE(f.store->evict_one(false));
  EXPECT_FALSE(f.store->exists("a"));
  EXPECT_TRUE(f.store->exists("b"));
  EXPECT_TRUE(f.store->exists("c"));
}

TEST(StoreEviction, StampsWrapAroundTheLruClock) {
  StoreConfig cfg = one_shard(1 << 20, EvictionPolicy::AllKeysLru);
  Fixture f(cfg);
  // Drive the clock to just below the wrap with cheap reads.
  ASSERT_TRUE(f.store->set("old", "v", std::nullopt, false, false).ok());
  ASSERT_TRUE(f.store->set("new", "v", std::nullopt, false, false).ok());
  const std::uint32_t target = 0xFFFFFFFFu - 2;
  // Stamp "old" just before the wrap and "new" just after it, by setting
  // the entries' stamps through the same path the store uses.
  Shard& s = f.store->shard_at(0);
  {
    WriteGuard g(s.lock);
    s.table.at(s.table.find("old", key_hash("old"))).head().stamp(target);
    s.table.at(s.table.find("new", key_hash("new"))).head().stamp(target + 4);  // wrapped: 1
  }
  // Now the clock reads 2 (wrapped); "old" is 5 old, "new" 1.
  while (f.store->lru_clock() != 2) f.store->next_stamp();
  EXPECT_TRUE(f.store->evict_one(false));
  EXPECT_FALSE(f.store->exists("old"));
  EXPECT_TRUE(f.store->exists("new"));
}

TEST(StoreEviction, VolatileOnlyConsidersKeysWithDeadlines) {
  Fixture f(one_shard(1 << 20, EvictionPolicy::VolatileLru));
  ASSERT_TRUE(f.store->set("persistent", "v", std::nullopt, false, false).ok());
  EXPECT_FALSE(f.store->evict_one(true));
  ASSERT_TRUE(f.store->set("volatile", "v", 100000, false, false).ok());
  EXPECT_TRUE(f.store->evict_one(true));
  EXPECT_TRUE(f.store->exists("persistent"));
  EXPECT_FALSE(f.store->exists("volatile"));
}

TEST(StoreEviction, NoevictionRefusesWithoutChanging) {
  Fixture f(one_shard(300, EvictionPolicy::NoEviction));
  ASSERT_TRUE(f.store->set("a", std::string(50, 'x'), std::nullopt, false, false).ok());
  const auto before = f.store->used_memory();
  auto r = f.store->set("b", std::string(100, 'x'), std::nullopt, false, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), StoreError::OutOfMemory);
  EXPECT_EQ(f.store->used_memory(), before);
  EXPECT_FALSE(f.store->exists("b"));
  // Shrinking writes always pass, even at the limit.
  EXPECT_TRUE(f.store->set("a", "small", std::nullopt, false, false).ok());
}

TEST(StoreEviction, NxOnExistingKeyNeverEvicts) {
  Fixture f(one_shard(250, EvictionPolicy::AllKeysLru));
  ASSERT_TRUE(f.store->set("a", "v", std::nullopt, false, false).ok());
  ASSERT_TRUE(f.store->set("b", "v", std::nullopt, false, false).ok());
  EXPECT_FALSE(f.store->set("a", std::string(1000, 'x'), std::nullopt, true, false).value());
  EXPECT_TRUE(f.store->exists("a"));
  EXPECT_TRUE(f.store->exists("b"));
}

// Whether the thread `tid` of this process sleeps (in Linux terms: state S,
// waiting on something such as a lock), read from /proc.
bool thread_sleeps(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
}

// A writer whose eviction finds nothing left to evict must still be
// admitted when another thread freed the memory in the meantime (a flush,
// a delete, another writer's eviction between its budget check and its
// sampling). Here the writer finds "x" too big to sit beside it and blocks
// on the shard lock inside its eviction, and "x" is deleted under that very
// lock, so the sampling that follows finds an empty store.
TEST(StoreEviction, AdmitsWhenAnotherThreadFreedTheMemoryDuringItsEviction) {
  for (EvictionPolicy policy : {EvictionPolicy::AllKeysLru, EvictionPolicy::VolatileLru}) {
    SCOPED_TRACE(static_cast<int>(policy));
    Fixture f(one_shard(2000, policy));
    ASSERT_TRUE(f.store->set("x", std::string(1500, 'x'), 100000, false, false).ok());
    const std::uint64_t need = 1000;  // fits only once "x" is gone
    ASSERT_GT(f.store->used_memory() + need, f.store->max_memory());
    Shard& s = f.store->shard_at(0);
    std::atomic<pid_t> writer_tid{0};
    std::atomic<int> admitted{-1};
    std::thread writer;
    {
      WriteGuard g(s.lock);
      writer = std::thread([&] {
        writer_tid.store(gettid());
        admitted.store(f.store->admit(need) ? 1 : 0);
      });
      // Until the writer waits for the lock (bounded: should it never be
      // seen waiting, the delete comes first and the test checks less).
      for (int i = 0; i < 10000 && (writer_tid.load() == 0 || !thread_sleeps(writer_tid.load())); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_TRUE(f.store->remove_locked(s, "x", key_hash("x")));
    }
    writer.join();
    EXPECT_EQ(admitted.load(), 1);
  }
}

TEST(StoreEviction, ValueLargerThanTheLimitEvictsEverythingThenFails) {
  Fixture f(one_shard(1000, EvictionPolicy::AllKeysLru));
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(f.store->set(k, "v", std::nullopt, false, false).ok());
  auto r = f.store->set("huge", std::string(5000, 'x'), std::nullopt, false, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(f.store->len(), 0u);
  EXPECT_EQ(f.store->used_memory(), 0u);
}

TEST(StoreStrings, IncrParsesCountersStrictly) {
  Fixture f(one_shard());
  struct Case {
    const char* text;
    bool ok;
    std::int64_t amount;
    std::int64_t result;
  };
  const Case cases[] = {
      {"007", true, 1, 8},
      {"-0", true, 0, 0},
      {"9223372036854775806", true, 1, INT64_MAX},
      {"-9223372036854775808", true, 0, INT64_MIN},
      {"+1", false, 1, 0},
      {" 1", false, 1, 0},
      {"1 ", false, 1, 0},
      {"1.0", false, 1, 0},
      {"", false, 1, 0},
      {"-", false, 1, 0},
      {"9223372036854775808", false, 1, 0},
      {"-9223372036854775809", false, 1, 0},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(f.store->set("n", c.text, std::nullopt, false, false).ok());
    auto r = f.store->incr("n", c.amount);
    EXPECT_EQ(r.ok(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(r.value(), c.result) << c.text;
      EXPECT_EQ(*f.store->get("n").value(), std::to_string(c.result));
    } else {
      EXPECT_EQ(r.error(), StoreError::NotInteger) << c.text;
      EXPECT_EQ(*f.store->get("n").value(), c.text);
    }
  }
}

TEST(StoreStrings, IncrOverflowLeavesValue) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("n", "9223372036854775807", std::nullopt, false, false).ok());
  EXPECT_EQ(f.store->incr("n", 1).error(), StoreError::Overflow);
  ASSERT_TRUE(f.store->set("m", "-9223372036854775808", std::nullopt, false, false).ok());
  EXPECT_EQ(f.store->incr("m", -1).error(), StoreError::Overflow);
  EXPECT_EQ(*f.store->get("n").value(), "9223372036854775807");
}

TEST(StoreStrings, AppendGrowsCapacityByTheDoublingRule) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("abc", "12345", std::nullopt, false, false).ok());
  EXPECT_EQ(f.store->used_memory(), 208u);
  EXPECT_EQ(f.store->append("abc", "6").value(), 6u);  // capacity 8 -> 16
  EXPECT_EQ(f.store->used_memory(), 208u);
  EXPECT_EQ(f.store->append("abc", "789012345").value(), 15u);  // length 18 -> capacity 32
  EXPECT_EQ(f.store->used_memory(), 224u);
  EXPECT_EQ(*f.store->get("abc").value(), "123456789012345");
}

TEST(StoreStrings, AppendKeepsTheDeadline) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("k", "v", 100, false, false).ok());
  ASSERT_TRUE(f.store->append("k", "w").ok());
  ASSERT_TRUE(f.store->incr("n", 1).ok());
  EXPECT_EQ(f.store->pttl("k"), 100);
  ASSERT_TRUE(f.store->set("n", "1", 100, false, false).ok());
  ASSERT_TRUE(f.store->incr("n", 1).ok());
  EXPECT_EQ(f.store->pttl("n"), 100);
}

// An overwrite with a value of the same length may reuse the entry's
// buffer; observably it is still a fresh set: the new bytes, the new
// deadline (or none) and a buffer sized exactly to the new value.
TEST(StoreStrings, SetOfTheSameLengthReplacesValueAndDeadline) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("abc", "12345", 100, false, false).ok());
  const std::uint64_t used = f.store->used_memory();
  ASSERT_TRUE(f.store->set("abc", "abcde", std::nullopt, false, false).ok());
  EXPECT_EQ(*f.store->get("abc").value(), "abcde");
  EXPECT_EQ(f.store->pttl("abc"), -1);
  EXPECT_EQ(f.store->used_memory(), used);
  ASSERT_TRUE(f.store->set("abc", "vwxyz", 50, false, false).ok());
  EXPECT_EQ(f.store->pttl("abc"), 50);
  EXPECT_EQ(*f.store->get("abc").value(), "vwxyz");
}

TEST(StoreStrings, SetAfterAppendDropsTheSpareCapacity) {
  Fixture f(one_shard());
  ASSERT_TRUE(f.store->set("abc", "12345", std::nullopt, false, false).ok());
  ASSERT_TRUE(f.store->append("abc", "6").ok());                 // length 9, capacity 16
  ASSERT_TRUE(f.store->append("abc", "78901234").ok());          // length 17, capacity 32
  ASSERT_TRUE(f.store->append("abc", "5678901234567890").ok());  // length 33, capacity 64
  EXPECT_EQ(f.store->used_memory(), 192u + 64u);
  // A value of the current length: charged for its exact buffer again
  // (align16(33) = 48), not for the spare room.
  const std::string value(30, 'x');
  ASSERT_TRUE(f.store->set("abc", value, std::nullopt, false, false).ok());
  EXPECT_EQ(f.store->used_memory(), 192u + 48u);
  EXPECT_EQ(*f.store->get("abc").value(), value);
}

// A release build has no asserts: asking create() for a data directory
// must stop the process rather than hand back a store that keeps nothing.
TEST(StoreCreateDeathTest, DataDirectoryStopsTheProcessInEveryBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  StoreConfig cfg;
  cfg.persist_dir = "/nonexistent-mevora-dir";
  cfg.sweep_interval_ms = 0;
  EXPECT_DEATH((void)Store::create(cfg), "a persistent store must be opened with Store::open");
}

}  // namespace
}  // namespace mevora
