// The "before you wait" hook: a store call tells the caller's hook exactly
// when it is about to block (a shard lock held elsewhere, eviction, the
// log), never on uncontended in-memory work, and runs the operation to the
// same result either way. Reads hand their value to a sink under the lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/persistence_testing.h"
#include "core/store.h"
#include "core/wait_hook.h"

namespace mevora {
namespace {

std::shared_ptr<Store> make_store(std::uint64_t max_memory = 0,
                                  EvictionPolicy policy = EvictionPolicy::NoEviction) {
  StoreConfig cfg;
  cfg.shards = 4;
  cfg.sweep_interval_ms = 0;
  cfg.max_memory = max_memory;
  cfg.policy = policy;
  return Store::create(cfg, std::make_shared<FakeClock>(1000));
}

// Counts its calls; the flag lets another thread see the first one.
class CountingHook final : public WaitHook {
 public:
  void before_wait() noexcept override { calls.fetch_add(1); }
  std::atomic<int> calls{0};
};

// Everything observable about key "k": its kind and contents, and the
// store's memory figure.
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

template <class T>
std::string text(const StoreResult<T>& r) {
  if (!r.ok()) return "error " + std::to_string(static_cast<int>(r.error().kind()));
  if constexpr (std::is_same_v<T, std::optional<std::string>>) {
    return r.value().value_or("<none>");
  } else {
    return std::to_string(r.value());
  }
}

const std::vector<std::string_view> kTwo = {"a", "b"};

struct Case {
  const char* name;
  std::function<void(Store&)> setup;         // puts "k" in a state the call reads or changes
  std::function<std::string(Store&)> call;  // the operation's result as text
};

std::vector<Case> writes() {
  auto str = [](Store& s) { ASSERT_TRUE(s.set("k", "7", std::nullopt, false, false).ok()); };
  auto hash = [](Store& s) { ASSERT_TRUE(s.hset("k", "f", "v").ok()); };
  auto list = [](Store& s) { ASSERT_TRUE(s.rpush("k", kTwo).ok()); };
  auto set = [](Store& s) { ASSERT_TRUE(s.sadd("k", kTwo).ok()); };
  return {
      {"set overwrite same size", str, [](Store& s) { return text(s.set("k", "8", std::nullopt, false, false)); }},
      {"set other size", str, [](Store& s) { return text(s.set("k", "longer", 5000, false, false)); }},
      {"set nx on present", str, [](Store& s) { return text(s.set("k", "9", std::nullopt, true, false)); }},
      {"set over a hash", hash, [](Store& s) { return text(s.set("k", "x", std::nullopt, false, false)); }},
      {"delete", str,
       [](Store& s) {
         const std::string_view k[] = {"k"};
         return text(s.del(k));
       }},
      {"incr", str, [](Store& s) { return text(s.incr("k", 5)); }},
      {"incr of a hash", hash, [](Store& s) { return text(s.incr("k", 5)); }},
      {"hset", hash, [](Store& s) { return text(s.hset("k", "g", "w")); }},
      {"hset of a list", list, [](Store& s) { return text(s.hset("k", "g", "w")); }},
      {"lpush", list, [](Store& s) { return text(s.lpush("k", kTwo)); }},
      {"rpop", list, [](Store& s) { return text(s.rpop("k")); }},
      {"sadd", set, [](Store& s) { return text(s.sadd("k", {{"c"}})); }},
  };
}

std::vector<Case> reads() {
  auto str = [](Store& s) { ASSERT_TRUE(s.set("k", "7", std::nullopt, false, false).ok()); };
  auto hash = [](Store& s) { ASSERT_TRUE(s.hset("k", "f", "v").ok()); };
  auto set = [](Store& s) { ASSERT_TRUE(s.sadd("k", kTwo).ok()); };
  return {
      {"get", str, [](Store& s) { return text(s.get("k")); }},
      {"get of a hash", hash, [](Store& s) { return text(s.get("k")); }},
      {"hget", hash, [](Store& s) { return text(s.hget("k", "f")); }},
      {"sismember", set, [](Store& s) { return text(s.sismember("k", "a")); }},
  };
}

// Runs c.call with a hook installed; returns (result, hook calls).
std::pair<std::string, int> with_hook(Store& s, const Case& c) {
  CountingHook hook;
  std::string got;
  {
    WaitHookScope scope(hook);
    got = c.call(s);
  }
  return {got, hook.calls.load()};
}

TEST(WaitHook, UncontendedInMemoryWorkNeverWaits) {
  std::vector<Case> all = writes();
  for (Case& c : reads()) all.push_back(std::move(c));
  for (const Case& c : all) {
    SCOPED_TRACE(c.name);
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1} << 20}) {
      auto s = make_store(limit);
      c.setup(*s);
      EXPECT_EQ(with_hook(*s, c).second, 0);
    }
  }
}

// Holds k's shard lock on this thread while another thread runs the call;
// the call must report that it waits, and only finish once the lock is
// released, with the result an uncontended store gives.
void expect_waits_for_held_lock(const Case& c, bool shared, bool must_wait) {
  auto s = make_store();
  auto reference = make_store();
  c.setup(*s);
  c.setup(*reference);
  const std::string expected = c.call(*reference);
  ShardLock& lock = s->shard_for(key_hash("k")).lock;
  if (shared) {
    lock.lock_shared();
  } else {
    lock.lock();
  }
  CountingHook hook;
  std::atomic<bool> done{false};
  std::string got;
  std::thread t([&] {
    WaitHookScope scope(hook);
    got = c.call(*s);
    done = true;
  });
  if (must_wait) {
    for (int i = 0; i < 5000 && hook.calls.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(hook.calls.load(), 1);
    EXPECT_FALSE(done.load());
  }
  if (shared) {
    lock.unlock_shared();
  } else {
    lock.unlock();
  }
  t.join();
  EXPECT_EQ(got, expected);
  EXPECT_EQ(state(*s), state(*reference));
  if (!must_wait) {
    EXPECT_EQ(hook.calls.load(), 0);
  }
}

TEST(WaitHook, TellsTheCallerBeforeWaitingForAHeldShardLock) {
  for (const Case& c : writes()) {
    SCOPED_TRACE(c.name);
    expect_waits_for_held_lock(c, false, true);
    expect_waits_for_held_lock(c, true, true);
  }
  for (const Case& c : reads()) {
    SCOPED_TRACE(c.name);
    expect_waits_for_held_lock(c, false, true);
    expect_waits_for_held_lock(c, true, false);  // readers share the lock
  }
}

TEST(WaitHook, TellsTheCallerOnceBeforeAnyRecordGoesToTheLog) {
  for (const Case& c : writes()) {
    SCOPED_TRACE(c.name);
    auto s = make_store();
    s->install_persistence(std::make_unique<testing_persistence::NullPersistence>());
    c.setup(*s);
    const std::string before = state(*s);
    const int calls = with_hook(*s, c).second;
    // Exactly the calls that change something log, and only they wait.
    EXPECT_EQ(calls, state(*s) == before ? 0 : 1);
  }
}

TEST(WaitHook, TellsTheCallerBeforeEvicting) {
  auto s = make_store(4096, EvictionPolicy::AllKeysLru);
  for (int i = 0; s->used_memory() < 3800; ++i) {
    ASSERT_TRUE(s->set("fill" + std::to_string(i), std::string(40, 'x'), std::nullopt, false, false).ok());
  }
  const Case small{"fits", nullptr, [](Store& st) { return text(st.set("fill0", "y", std::nullopt, false, false)); }};
  EXPECT_EQ(with_hook(*s, small).second, 0);
  const Case big{"evicts", nullptr,
                 [](Store& st) { return text(st.set("big", std::string(1000, 'z'), std::nullopt, false, false)); }};
  auto [got, calls] = with_hook(*s, big);
  EXPECT_EQ(got, "1");
  EXPECT_EQ(calls, 1);
}

class RecordingSink final : public ValueSink {
 public:
  void take(std::string_view bytes) override { taken.emplace_back(bytes); }
  std::vector<std::string> taken;
};

TEST(ValueSink, ReceivesExactlyTheStoredValueOfAPresentKey) {
  auto s = make_store();
  const std::string binary("a\0b", 3);
  ASSERT_TRUE(s->set("str", binary, std::nullopt, false, false).ok());
  ASSERT_TRUE(s->hset("hash", "f", "v").ok());

  RecordingSink sink;
  auto r = s->get("str", sink);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value());
  EXPECT_EQ(sink.taken, std::vector<std::string>{binary});

  RecordingSink none;
  EXPECT_FALSE(s->get("missing", none).value());
  auto wrong = s->get("hash", none);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().kind(), StoreError::WrongType);
  EXPECT_FALSE(s->hget("hash", "nofield", none).value());
  EXPECT_TRUE(none.taken.empty());

  RecordingSink field;
  EXPECT_TRUE(s->hget("hash", "f", field).value());
  EXPECT_EQ(field.taken, std::vector<std::string>{"v"});
}

}  // namespace
}  // namespace mevora
