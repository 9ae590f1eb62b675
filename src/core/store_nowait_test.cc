// Writes that never wait (try_*): on an unlimited in-memory store they do
// what the waiting write does; they decline, changing nothing, while the
// shard lock is held elsewhere and whenever the store has a memory limit or
// persistence (whose work may block).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/persistence_testing.h"
#include "core/store.h"

namespace mevora {
namespace {

std::shared_ptr<Store> make_store(std::uint64_t max_memory = 0) {
  StoreConfig cfg;
  cfg.shards = 4;
  cfg.sweep_interval_ms = 0;
  cfg.max_memory = max_memory;
  return Store::create(cfg, std::make_shared<FakeClock>(1000));
}

// Everything observable about key "k": its kind and contents, and the store's
// memory figure.
std::string state(Store& s) {
  std::string out = std::to_string(s.used_memory()) + "|";
  if (auto v = s.get("k"); v.ok()) return out + "s:" + v.value().value_or("<none>");
  if (auto h = s.hgetall("k"); h.ok()) {
    auto pairs = h.value();
    std::sort(pairs.begin(), pairs.end());  // iteration order is unspecified
    out += "h:";
    for (const auto& [f, v] : pairs) out += f + "=" + v + ",";
    return out;
  }
  if (auto l = s.lrange("k", 0, -1); l.ok()) {
    out += "l:";
    for (const auto& i : l.value()) out += i + ",";
    return out;
  }
  auto m = s.smembers("k");
  out += "z:" + std::to_string(m.value().size());
  return out;
}

struct Case {
  const char* name;
  std::function<void(Store&)> setup;                // puts "k" in a state the write changes
  std::function<bool(Store&, std::string&)> attempt;  // false = declined; else the result as text
  std::function<std::string(Store&)> waiting;        // the waiting write's result as text
};

template <class T>
std::string text(const StoreResult<T>& r) {
  if (!r.ok()) return "error " + std::to_string(static_cast<int>(r.error()));
  if constexpr (std::is_same_v<T, std::optional<std::string>>) {
    return r.value().value_or("<none>");
  } else {
    return std::to_string(r.value());
  }
}

template <class T>
bool ran(Attempt<T> a, std::string& out) {
  if (!a) return false;
  out = text(*a);
  return true;
}

const std::vector<std::string_view> kTwo = {"a", "b"};

std::vector<Case> cases() {
  auto str = [](Store& s) { ASSERT_TRUE(s.set("k", "7", std::nullopt, false, false).ok()); };
  auto hash = [](Store& s) { ASSERT_TRUE(s.hset("k", "f", "v").ok()); };
  auto list = [](Store& s) { ASSERT_TRUE(s.rpush("k", kTwo).ok()); };
  auto set = [](Store& s) { ASSERT_TRUE(s.sadd("k", kTwo).ok()); };
  return {
      {"set overwrite same size", str,
       [](Store& s, std::string& o) { return ran(s.try_set("k", "8", std::nullopt, false, false), o); },
       [](Store& s) { return text(s.set("k", "8", std::nullopt, false, false)); }},
      {"set other size", str,
       [](Store& s, std::string& o) { return ran(s.try_set("k", "longer", 5000, false, false), o); },
       [](Store& s) { return text(s.set("k", "longer", 5000, false, false)); }},
      {"set nx on present", str,
       [](Store& s, std::string& o) { return ran(s.try_set("k", "9", std::nullopt, true, false), o); },
       [](Store& s) { return text(s.set("k", "9", std::nullopt, true, false)); }},
      {"set over a hash", hash,
       [](Store& s, std::string& o) { return ran(s.try_set("k", "x", std::nullopt, false, false), o); },
       [](Store& s) { return text(s.set("k", "x", std::nullopt, false, false)); }},
      {"delete", str, [](Store& s, std::string& o) { return ran(s.try_del("k"), o); },
       [](Store& s) {
         const std::string_view k[] = {"k"};
         return text(s.del(k));
       }},
      {"incr", str, [](Store& s, std::string& o) { return ran(s.try_incr("k", 5), o); },
       [](Store& s) { return text(s.incr("k", 5)); }},
      {"incr of a hash", hash, [](Store& s, std::string& o) { return ran(s.try_incr("k", 5), o); },
       [](Store& s) { return text(s.incr("k", 5)); }},
      {"hset", hash, [](Store& s, std::string& o) { return ran(s.try_hset("k", "g", "w"), o); },
       [](Store& s) { return text(s.hset("k", "g", "w")); }},
      {"hset of a list", list, [](Store& s, std::string& o) { return ran(s.try_hset("k", "g", "w"), o); },
       [](Store& s) { return text(s.hset("k", "g", "w")); }},
      {"lpush", list, [](Store& s, std::string& o) { return ran(s.try_lpush("k", kTwo), o); },
       [](Store& s) { return text(s.lpush("k", kTwo)); }},
      {"rpush", list, [](Store& s, std::string& o) { return ran(s.try_rpush("k", kTwo), o); },
       [](Store& s) { return text(s.rpush("k", kTwo)); }},
      {"lpop", list, [](Store& s, std::string& o) { return ran(s.try_lpop("k"), o); },
       [](Store& s) { return text(s.lpop("k")); }},
      {"rpop", list, [](Store& s, std::string& o) { return ran(s.try_rpop("k"), o); },
       [](Store& s) { return text(s.rpop("k")); }},
      {"sadd", set, [](Store& s, std::string& o) { return ran(s.try_sadd("k", {{"c"}}), o); },
       [](Store& s) { return text(s.sadd("k", {{"c"}})); }},
  };
}

TEST(NoWaitWrites, DoWhatTheWaitingWriteDoes) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    auto quick = make_store();
    auto slow = make_store();
    c.setup(*quick);
    c.setup(*slow);
    std::string got;
    ASSERT_TRUE(c.attempt(*quick, got));
    EXPECT_EQ(got, c.waiting(*slow));
    EXPECT_EQ(state(*quick), state(*slow));
  }
}

TEST(NoWaitWrites, DeclineWithoutChangingAnythingWhileTheShardIsLocked) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    for (bool shared : {false, true}) {
      auto s = make_store();
      c.setup(*s);
      const std::string before = state(*s);
      ShardLock& lock = s->shard_for(key_hash("k")).lock;
      std::string got;
      if (shared) {
        lock.lock_shared();
        EXPECT_FALSE(c.attempt(*s, got));
        lock.unlock_shared();
      } else {
        lock.lock();
        EXPECT_FALSE(c.attempt(*s, got));
        lock.unlock();
      }
      EXPECT_EQ(state(*s), before);
    }
  }
}

TEST(NoWaitWrites, DeclineWhenTheStoreMayEvictOrLog) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    auto limited = make_store(1 << 20);
    c.setup(*limited);
    auto logged = make_store();
    logged->install_persistence(std::make_unique<testing_persistence::NullPersistence>());
    c.setup(*logged);
    for (Store* s : {limited.get(), logged.get()}) {
      const std::string before = state(*s);
      std::string got;
      EXPECT_FALSE(c.attempt(*s, got));
      EXPECT_EQ(state(*s), before);
    }
  }
}

}  // namespace
}  // namespace mevora
