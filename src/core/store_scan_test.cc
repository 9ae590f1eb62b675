// Store::scan and the home-position walk under it: every key that exists
// for a whole iteration is returned while tables grow, shrink and are
// rebuilt between calls (also with a concurrent writer), COUNT bounds the
// work, the filters, and cursors that belong to no iteration.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/clock.h"
#include "core/store.h"

namespace mevora {
namespace {

using StringSet = std::unordered_set<std::string>;

std::string key_of(const char* prefix, std::uint64_t i) { return prefix + std::to_string(i); }

std::shared_ptr<Store> make_store(std::uint64_t shards, std::shared_ptr<Clock> clock = nullptr) {
  StoreConfig config;
  config.shards = shards;
  config.sweep_interval_ms = 0;
  return Store::create(config, std::move(clock));
}

void put(Store& store, const std::string& key) { ASSERT_TRUE(store.set(key, "v", std::nullopt, false, false).ok()); }

// Every slot count the store's shards have right now.
std::set<std::size_t> slot_counts(Store& store) {
  std::set<std::size_t> out;
  for (std::size_t i = 0; i < store.shard_count(); ++i) {
    Shard& s = store.shard_at(i);
    ReadGuard g(s.lock);
    const Table& t = s.table;
    out.insert(t.slot_count());
  }
  return out;
}

// A full iteration with a fixed COUNT; the keys it returned, with repeats.
std::vector<std::string> full_scan(Store& store, const ScanFilter& filter) {
  std::vector<std::string> out;
  std::uint64_t cursor = 0;
  do {
    ScanPage page = store.scan(cursor, filter);
    cursor = page.cursor;
    for (auto& k : page.keys) out.push_back(std::move(k));
  } while (cursor != 0);
  return out;
}

TEST(FlatTableHomeTest, EveryOccupiedSlotHasExactlyOneHome) {
  // Across sizes, with removed-slot markers left by erasures: walking every
  // home position reports each occupied slot exactly once.
  std::mt19937_64 rng(7);
  auto store = make_store(1);
  for (int round = 0; round < 40; ++round) {
    const std::uint64_t n = rng() % 3000;
    for (std::uint64_t i = 0; i < n; ++i) put(*store, key_of("h", rng() % 4000));
    for (std::uint64_t i = 0; i < n / 2; ++i) {
      const std::string k = key_of("h", rng() % 4000);
      const std::string_view one[] = {k};
      ASSERT_TRUE(store->del(one).ok());
    }
    Shard& s = store->shard_at(0);
    ReadGuard g(s.lock);
    const Table& t = s.table;
    std::vector<int> reported(t.slot_count(), 0);
    for (std::size_t home = 0; home < t.slot_count(); ++home) {
      t.for_each_at_home(home, [&](std::size_t slot) {
        ASSERT_EQ(key_hash(t.at(slot).key()) & (t.slot_count() - 1), home);
        ++reported[slot];
      });
    }
    std::size_t total = 0;
    for (std::size_t slot = 0; slot < reported.size(); ++slot) {
      ASSERT_LE(reported[slot], 1) << "slot " << slot << " of " << t.slot_count();
      total += static_cast<std::size_t>(reported[slot]);
    }
    ASSERT_EQ(total, t.size());
  }
}

TEST(ScanCursorTest, ReversedIncrementVisitsEveryHomeOnce) {
  for (std::uint64_t slots : {1u, 4u, 8u, 64u, 1024u}) {
    std::set<std::uint64_t> seen;
    std::uint64_t home = 0;
    do {
      ASSERT_TRUE(seen.insert(home).second);
      home = scan_cursor::next_home(home, slots - 1);
    } while (home != 0);
    EXPECT_EQ(seen.size(), slots);
  }
}

class ScanResizeTest : public ::testing::TestWithParam<std::uint64_t> {};

// Between every two calls, the churn keys grow or shrink every shard's
// table (or leave removed-slot markers for a same-size rebuild); the keys
// present throughout must all come back.
TEST_P(ScanResizeTest, KeysPresentThroughoutAreReturnedWhileTablesResize) {
  const std::uint64_t shards = GetParam();
  auto store = make_store(shards);
  std::mt19937_64 rng(shards * 31 + 1);
  const std::uint64_t stable_n = 8 * shards + 200;
  // Enough churn keys for every shard's table to pass 256 slots, the size
  // from which removals shrink it.
  const std::uint64_t churn_cap = 300 * shards;
  StringSet stable;
  for (std::uint64_t i = 0; i < stable_n; ++i) {
    stable.insert(key_of("stable:", i));
    put(*store, key_of("stable:", i));
  }
  StringSet ever = stable;  // every key that existed at some point
  std::vector<std::string> churn;
  std::uint64_t next_churn = 0;
  std::size_t last_size = 0;
  bool grew = false;
  bool shrank = false;
  const std::uint64_t iterations = 64 / shards + 2;  // fewer shards: cheaper iterations
  for (std::uint64_t iteration = 0; iteration < iterations; ++iteration) {
    StringSet returned;
    std::uint64_t cursor = 0;
    int calls = 0;
    do {
      ScanFilter filter;
      filter.count = 1 + rng() % (4 * shards);
      ScanPage page = store->scan(cursor, filter);
      ASSERT_LE(page.homes_visited, filter.count);
      cursor = page.cursor;
      for (auto& k : page.keys) {
        ASSERT_TRUE(ever.count(k)) << k;
        returned.insert(std::move(k));
      }
      ++calls;
      // Alternately grow toward churn_cap and shrink toward none.
      const bool growing = (calls / 4) % 2 == 0;
      const std::uint64_t step = rng() % (churn_cap / 4);
      if (growing) {
        for (std::uint64_t i = 0; i < step && churn.size() < churn_cap; ++i) {
          churn.push_back(key_of("churn:", next_churn++));
          ever.insert(churn.back());
          put(*store, churn.back());
        }
      } else {
        for (std::uint64_t i = 0; i < step && !churn.empty(); ++i) {
          const std::size_t at = rng() % churn.size();
          std::swap(churn[at], churn.back());
          const std::string_view one[] = {churn.back()};
          ASSERT_EQ(store->del(one).value(), 1u);
          churn.pop_back();
        }
      }
      const std::size_t size = *slot_counts(*store).rbegin();
      grew = grew || (last_size != 0 && size > last_size);
      shrank = shrank || size < last_size;
      last_size = size;
    } while (cursor != 0);
    for (const std::string& k : stable) ASSERT_TRUE(returned.count(k)) << "missed " << k << " in iteration " << iteration;
  }
  // The test exercised what it is about.
  EXPECT_TRUE(grew);
  EXPECT_TRUE(shrank);
}

// The same with a writer thread inserting and deleting its own keys while
// the iteration runs.
TEST_P(ScanResizeTest, KeysPresentThroughoutAreReturnedUnderAConcurrentWriter) {
  const std::uint64_t shards = GetParam();
  auto store = make_store(shards);
  const std::uint64_t stable_n = 20 * shards + 100;
  for (std::uint64_t i = 0; i < stable_n; ++i) put(*store, key_of("stable:", i));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::mt19937_64 rng(99);
    std::uint64_t live = 0;
    while (!stop.load()) {
      // Fill to a few times the stable keys, then drain: tables double and
      // halve over and over.
      const std::uint64_t target = (rng() % 2 == 0) ? 8 * stable_n : 0;
      while (live < target && !stop.load()) put(*store, key_of("w:", live++));
      while (live > target && !stop.load()) {
        const std::string k = key_of("w:", --live);
        const std::string_view one[] = {k};
        ASSERT_TRUE(store->del(one).ok());
      }
    }
  });
  for (int iteration = 0; iteration < 20; ++iteration) {
    ScanFilter filter;
    filter.count = 1 + static_cast<std::uint64_t>(iteration);
    StringSet returned;
    for (auto& k : full_scan(*store, filter)) returned.insert(std::move(k));
    for (std::uint64_t i = 0; i < stable_n; ++i) {
      ASSERT_TRUE(returned.count(key_of("stable:", i))) << "iteration " << iteration;
    }
  }
  stop.store(true);
  writer.join();
}

INSTANTIATE_TEST_SUITE_P(Shards, ScanResizeTest, ::testing::Values(1, 4, 64));

TEST(ScanTest, CountBoundsTheHomesVisitedPerCall) {
  auto store = make_store(4);
  for (int i = 0; i < 5000; ++i) put(*store, key_of("k", static_cast<std::uint64_t>(i)));
  for (std::uint64_t count : {1u, 10u, 100u}) {
    std::uint64_t cursor = 0;
    std::uint64_t calls = 0;
    std::uint64_t homes = 0;
    std::uint64_t keys = 0;
    do {
      ScanFilter filter;
      filter.count = count;
      const ScanPage page = store->scan(cursor, filter);
      ASSERT_GE(page.homes_visited, 1u);
      ASSERT_LE(page.homes_visited, count);
      // A home's probe sequence is short: the load factor stays <= 7/8.
      ASSERT_LE(page.groups_read, 8 * page.homes_visited);
      homes += page.homes_visited;
      keys += page.keys.size();
      cursor = page.cursor;
      ++calls;
    } while (cursor != 0);
    std::uint64_t total_slots = 0;
    for (std::size_t i = 0; i < store->shard_count(); ++i) {
      Shard& s = store->shard_at(i);
      ReadGuard g(s.lock);
      const Table& t = s.table;
      total_slots += t.slot_count();
    }
    EXPECT_EQ(homes, total_slots);  // a quiet iteration visits every home once
    EXPECT_EQ(keys, 5000u);         // and so returns every key once
    EXPECT_LE(calls, total_slots / count + store->shard_count() + 1);
  }
}

TEST(ScanTest, EmptyShardsCostOneHomeEach) {
  auto store = make_store(64);
  ScanFilter filter;
  filter.count = 10;
  std::uint64_t cursor = 0;
  int calls = 0;
  do {
    const ScanPage page = store->scan(cursor, filter);
    EXPECT_TRUE(page.keys.empty());
    cursor = page.cursor;
    ++calls;
  } while (cursor != 0);
  EXPECT_EQ(calls, 7);  // 64 empty shards, 10 per call
}

TEST(ScanTest, MatchAndTypeFilterAndDueKeysAreSkipped) {
  auto clock = std::make_shared<FakeClock>(1000);
  auto store = make_store(4, clock);
  put(*store, "user:1");
  put(*store, "user:2");
  put(*store, "order:1");
  const std::string_view a[] = {"x"};
  ASSERT_TRUE(store->lpush("user:list", a).ok());
  ASSERT_TRUE(store->hset("user:hash", "f", "v").ok());
  ASSERT_TRUE(store->sadd("user:set", a).ok());
  ASSERT_TRUE(store->set("user:due", "v", 10, false, false).ok());
  clock->advance(10);
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  using V = std::vector<std::string>;
  ScanFilter all;
  EXPECT_EQ(sorted(full_scan(*store, all)), (V{"order:1", "user:1", "user:2", "user:hash", "user:list", "user:set"}));
  ScanFilter match;
  match.match = "user:[12]";
  EXPECT_EQ(sorted(full_scan(*store, match)), (V{"user:1", "user:2"}));
  const std::pair<KeyKind, V> kinds[] = {
      {KeyKind::String, {"order:1", "user:1", "user:2"}},
      {KeyKind::List, {"user:list"}},
      {KeyKind::Hash, {"user:hash"}},
      {KeyKind::Set, {"user:set"}},
  };
  for (const auto& [kind, expected] : kinds) {
    ScanFilter f;
    f.kind = kind;
    EXPECT_EQ(sorted(full_scan(*store, f)), expected);
  }
  ScanFilter both;
  both.kind = KeyKind::String;
  both.match = "user:*";
  EXPECT_EQ(sorted(full_scan(*store, both)), (V{"user:1", "user:2"}));
  // Scanning removed nothing: the due key is still in its table.
  std::uint64_t entries = 0;
  for (std::size_t i = 0; i < store->shard_count(); ++i) {
    Shard& s = store->shard_at(i);
    ReadGuard g(s.lock);
    const Table& t = s.table;
    entries += t.size();
  }
  EXPECT_EQ(entries, 7u);
}

TEST(ScanTest, CursorsOfNoIterationEndOrContinueSafely) {
  auto store = make_store(4);
  for (int i = 0; i < 300; ++i) put(*store, key_of("k", static_cast<std::uint64_t>(i)));
  ScanFilter filter;
  // A shard index past the store's shards ends the iteration at once.
  for (std::uint64_t cursor : {std::uint64_t{4}, std::uint64_t{0xFFFF}, ~std::uint64_t{0}}) {
    const ScanPage page = store->scan(cursor, filter);
    EXPECT_EQ(page.cursor, 0u);
    EXPECT_TRUE(page.keys.empty());
  }
  // Any other value is a position in some shard: the iteration goes on and
  // ends within the number of homes left.
  std::mt19937_64 rng(5);
  for (int i = 0; i < 200; ++i) {
    std::uint64_t cursor = (rng() & ~scan_cursor::kShardMask) | (rng() % 4);
    int calls = 0;
    while (cursor != 0) {
      cursor = store->scan(cursor, filter).cursor;
      ASSERT_LT(++calls, 1000);
    }
  }
  // A cursor taken from another store (more shards, other tables).
  auto other = make_store(64);
  for (int i = 0; i < 300; ++i) put(*other, key_of("o", static_cast<std::uint64_t>(i)));
  std::uint64_t foreign = other->scan(0, filter).cursor;
  for (int calls = 0; foreign != 0; ++calls) {
    foreign = store->scan(foreign, filter).cursor;
    ASSERT_LT(calls, 1000);
  }
}

}  // namespace
}  // namespace mevora
