// Hash, list and set operations of the store: results, exact memory
// accounting, logged records, lazy expiry, kind errors and concurrent use.
#include <cerrno>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/persistence_testing.h"
#include "core/store.h"

namespace mevora {
namespace {

using Items = std::vector<std::string_view>;
using Strings = std::vector<std::string>;

// Records every WalRecord as one line of text, copying the viewed bytes.
// Once refuse_after(n) was called, the appends after the next n are
// refused (ENOSPC) and not recorded.
class RecordingPersistence final : public testing_persistence::NullPersistence {
 public:
  Result<void, PersistError> append(const WalRecord& r) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (accept_left_.has_value()) {
        if (*accept_left_ == 0) return make_err(PersistError::from_errno(ENOSPC));
        --*accept_left_;
      }
    }
    std::string line;
    switch (r.kind) {
      case WalKind::Set:
        line = "SET " + std::string(r.key) + " " + std::string(r.value) + " @" + std::to_string(r.deadline_ms);
        break;
      case WalKind::Del:
        line = "DEL " + std::string(r.key);
        break;
      case WalKind::Expire:
        line = "EXPIRE " + std::string(r.key) + " @" + std::to_string(r.deadline_ms);
        break;
      case WalKind::HSet:
        line = "HSET " + std::string(r.key) + " " + std::string(r.field) + "=" + std::string(r.value);
        break;
      case WalKind::HDel:
        line = "HDEL " + with_items(r);
        break;
      case WalKind::LPush:
        line = "LPUSH " + with_items(r);
        break;
      case WalKind::RPush:
        line = "RPUSH " + with_items(r);
        break;
      case WalKind::LPop:
        line = "LPOP " + std::string(r.key);
        break;
      case WalKind::RPop:
        line = "RPOP " + std::string(r.key);
        break;
      case WalKind::SAdd:
        line = "SADD " + with_items(r);
        break;
      case WalKind::SRem:
        line = "SREM " + with_items(r);
        break;
      case WalKind::Flush:
        line = "FLUSH";
        break;
      case WalKind::LSet:
        line = "LSET " + std::string(r.key) + " " + std::to_string(static_cast<std::int64_t>(r.deadline_ms)) + "=" +
               std::string(r.value);
        break;
      case WalKind::LInsert:
        line = "LINSERT " + std::string(r.key) + (r.deadline_ms == 1 ? " after " : " before ") +
               std::string(r.field) + "=" + std::string(r.value);
        break;
      case WalKind::LRem:
        line = "LREM " + std::string(r.key) + " " + std::to_string(static_cast<std::int64_t>(r.deadline_ms)) + "=" +
               std::string(r.value);
        break;
    }
    std::lock_guard<std::mutex> g(mu_);
    lines_.push_back(std::move(line));
    return {};
  }

  void refuse_after(std::size_t n) {
    std::lock_guard<std::mutex> g(mu_);
    accept_left_ = n;
  }
  void accept_all() {
    std::lock_guard<std::mutex> g(mu_);
    accept_left_.reset();
  }

  // Returns the records since the last take and forgets them.
  Strings take() {
    std::lock_guard<std::mutex> g(mu_);
    return std::exchange(lines_, {});
  }

 private:
  static std::string with_items(const WalRecord& r) {
    std::string s = std::string(r.key) + " [";
    for (std::size_t i = 0; i < r.items.size(); ++i) {
      if (i != 0) s += ",";
      s += r.items[i];
    }
    return s + "]";
  }

  std::mutex mu_;
  Strings lines_;
  std::optional<std::size_t> accept_left_;
};

template <class T>
bool is_error(const StoreResult<T>& r, StoreError e) {
  return !r.ok() && r.error() == e;
}

template <class T>
bool is_wrong_type(const StoreResult<T>& r) {
  return is_error(r, StoreError::WrongType);
}

// The value of a result that must have succeeded.
template <class T>
T val(StoreResult<T> r) {
  EXPECT_TRUE(r.ok()) << store_error_message(r.error());
  if (!r.ok()) return T();
  return std::move(r).value();
}

// A store without sweeper thread, so that only the tests move time.
StoreConfig config(std::uint64_t shards, std::uint64_t max_memory = 0) {
  StoreConfig c;
  c.shards = shards;
  c.max_memory = max_memory;
  c.sweep_interval_ms = 0;
  return c;
}

Strings sorted(Strings v) {
  std::sort(v.begin(), v.end());
  return v;
}

class CollectionsTest : public ::testing::Test {
 protected:
  void SetUp() override { open(config(1)); }

  void open(const StoreConfig& config) {
    store_ = Store::create(config, clock_);
    auto log = std::make_unique<RecordingPersistence>();
    log_ = log.get();
    store_->install_persistence(std::move(log));
  }

  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>(1000);
  std::shared_ptr<Store> store_;
  RecordingPersistence* log_ = nullptr;  // owned by store_
};

// ---- hashes -------------------------------------------------------------------

TEST_F(CollectionsTest, HsetChargesExactFiguresAndHdelRestoresThem) {
  ASSERT_EQ(store_->used_memory(), 0u);
  ASSERT_TRUE(val(store_->hset("h", "f", "vvvvv")));
  // table 192 + entry 80 + align16(1) + field (56 + 16 + 16).
  EXPECT_EQ(store_->used_memory(), 376u);

  // Same field again: replaced, not added; same-size value costs nothing.
  EXPECT_FALSE(val(store_->hset("h", "f", "wwwww")));
  EXPECT_EQ(store_->used_memory(), 376u);
  EXPECT_EQ(val(store_->hlen("h")), 1u);

  // A 20-byte value occupies two 16-byte units instead of one.
  EXPECT_FALSE(val(store_->hset("h", "f", std::string(20, 'x'))));
  EXPECT_EQ(store_->used_memory(), 392u);
  EXPECT_EQ(val(store_->hget("h", "f")), std::string(20, 'x'));

  EXPECT_TRUE(val(store_->hset("h", "g", "")));
  EXPECT_EQ(store_->used_memory(), 392u + 56 + 16);
  EXPECT_EQ(val(store_->hdel("h", Items{"g"})), 1u);
  EXPECT_EQ(store_->used_memory(), 392u);

  EXPECT_EQ(val(store_->hdel("h", Items{"f"})), 1u);
  EXPECT_FALSE(store_->exists("h"));
  EXPECT_EQ(store_->used_memory(), 0u);
  EXPECT_EQ(store_->lru_clock(), 0u);  // no memory limit: nothing is stamped
}

TEST_F(CollectionsTest, HashReadsCopyFieldsAndTreatMissingAsEmpty) {
  ASSERT_TRUE(val(store_->hset("h", "a", "1")));
  ASSERT_TRUE(val(store_->hset("h", "", "empty field")));
  ASSERT_TRUE(val(store_->hset("h", "b", "")));

  auto all = val(store_->hgetall("h"));
  std::sort(all.begin(), all.end());
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(all, (Pairs{{"", "empty field"}, {"a", "1"}, {"b", ""}}));
  EXPECT_EQ(val(store_->hget("h", "")), "empty field");
  EXPECT_EQ(val(store_->hget("h", "b")), "");
  EXPECT_FALSE(store_->hget("h", "zz")->has_value());

  EXPECT_FALSE(store_->hget("nope", "a")->has_value());
  EXPECT_TRUE(store_->hgetall("nope")->empty());
  EXPECT_EQ(val(store_->hlen("nope")), 0u);
  EXPECT_EQ(val(store_->hdel("nope", Items{"a"})), 0u);
}

TEST_F(CollectionsTest, HashRecordsPrecedeChangesAndDelFollowsTheLastField) {
  ASSERT_TRUE(val(store_->hset("h", "a", "1")));
  ASSERT_TRUE(val(store_->hset("h", "b", "2")));
  EXPECT_EQ(log_->take(), (Strings{"HSET h a=1", "HSET h b=2"}));

  // Every requested field is logged, in order, present or not; a field
  // named twice is removed and counted once.
  EXPECT_EQ(val(store_->hdel("h", Items{"a", "missing", "a"})), 1u);
  EXPECT_EQ(log_->take(), (Strings{"HDEL h [a,missing,a]"}));

  EXPECT_EQ(val(store_->hdel("h", Items{"missing"})), 0u);
  EXPECT_EQ(log_->take(), (Strings{"HDEL h [missing]"}));

  EXPECT_EQ(val(store_->hdel("h", Items{"b"})), 1u);
  EXPECT_EQ(log_->take(), (Strings{"HDEL h [b]", "DEL h"}));
  EXPECT_FALSE(store_->exists("h"));

  EXPECT_EQ(val(store_->hdel("h", Items{"b"})), 0u);
  EXPECT_TRUE(log_->take().empty());
}

// ---- lists --------------------------------------------------------------------

TEST_F(CollectionsTest, PushesKeepRequestOrderAtEachEnd) {
  EXPECT_EQ(val(store_->rpush("l", Items{"a", "b"})), 2u);
  EXPECT_EQ(val(store_->lpush("l", Items{"c", "d"})), 4u);
  EXPECT_EQ(val(store_->lrange("l", 0, -1)), (Strings{"d", "c", "a", "b"}));
  EXPECT_EQ(val(store_->llen("l")), 4u);
  EXPECT_EQ(log_->take(), (Strings{"RPUSH l [a,b]", "LPUSH l [c,d]"}));

  EXPECT_EQ(val(store_->lpop("l")), "d");
  EXPECT_EQ(val(store_->rpop("l")), "b");
  EXPECT_EQ(val(store_->lrange("l", 0, -1)), (Strings{"c", "a"}));
  EXPECT_EQ(log_->take(), (Strings{"LPOP l", "RPOP l"}));
}

TEST_F(CollectionsTest, LrangeClampsEveryIndexCombination) {
  ASSERT_EQ(val(store_->rpush("l", Items{"a", "b", "c"})), 3u);
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const struct {
    std::int64_t start, stop;
    Strings want;
  } cases[] = {
      {0, -1, {"a", "b", "c"}}, {-2, -1, {"b", "c"}}, {5, 10, {}},     {-100, 0, {"a"}},
      {2, 1, {}},               {0, 100, {"a", "b", "c"}}, {1, 1, {"b"}}, {-1, -1, {"c"}},
      {-3, -3, {"a"}},          {-4, -4, {}},         {0, -4, {}},     {3, 3, {}},
      {2, 2, {"c"}},            {kMin, kMax, {"a", "b", "c"}},          {kMax, kMax, {}},
      {kMin, kMin, {}},         {-1, kMax, {"c"}},    {1, -2, {"b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(val(store_->lrange("l", c.start, c.stop)), c.want) << c.start << ".." << c.stop;
  }
  EXPECT_TRUE(store_->lrange("missing", 0, -1)->empty());
}

TEST_F(CollectionsTest, FirstPushChargesExactFiguresAndLastPopRemovesKey) {
  ASSERT_EQ(val(store_->rpush("k", Items{"12345"})), 1u);
  // table 192 + entry 80 + align16(1) + item (56 + 16).
  EXPECT_EQ(store_->used_memory(), 360u);
  EXPECT_EQ(val(store_->lpush("k", Items{std::string_view("")})), 2u);
  EXPECT_EQ(store_->used_memory(), 360u + 56);
  log_->take();

  for (auto pop : {&Store::rpop, &Store::lpop}) {
    ASSERT_TRUE(((*store_).*pop)("k")->has_value());
  }
  EXPECT_FALSE(store_->exists("k"));
  EXPECT_EQ(store_->used_memory(), 0u);
  EXPECT_EQ(log_->take(), (Strings{"RPOP k", "LPOP k", "DEL k"}));

  EXPECT_FALSE(store_->lpop("k")->has_value());
  EXPECT_FALSE(store_->rpop("k")->has_value());
  EXPECT_EQ(val(store_->llen("k")), 0u);
  EXPECT_TRUE(log_->take().empty());
}

TEST_F(CollectionsTest, PushOfNoValuesLeavesNoKey) {
  for (auto push : {&Store::lpush, &Store::rpush}) {
    EXPECT_EQ(val(((*store_).*push)("k", Items{})), 0u);
    EXPECT_FALSE(store_->exists("k"));
    EXPECT_EQ(store_->used_memory(), 0u);
  }
  EXPECT_EQ(log_->take(), (Strings{"LPUSH k []", "DEL k", "RPUSH k []", "DEL k"}));

  ASSERT_EQ(val(store_->rpush("k", Items{"x"})), 1u);
  EXPECT_EQ(val(store_->lpush("k", Items{})), 1u);
  EXPECT_EQ(log_->take(), (Strings{"RPUSH k [x]", "LPUSH k []"}));
}

// ---- sets ---------------------------------------------------------------------

TEST_F(CollectionsTest, SaddCountsNewMembersOnceAndLogsAllGiven) {
  EXPECT_EQ(val(store_->sadd("s", Items{"a", "b", "a"})), 2u);
  EXPECT_EQ(val(store_->scard("s")), 2u);
  EXPECT_EQ(store_->used_memory(), 192u + 80 + 16 + 2 * (56 + 16));
  EXPECT_EQ(val(store_->sadd("s", Items{"a"})), 0u);
  EXPECT_EQ(log_->take(), (Strings{"SADD s [a,b,a]", "SADD s [a]"}));

  EXPECT_EQ(sorted(val(store_->smembers("s"))), (Strings{"a", "b"}));
  EXPECT_TRUE(val(store_->sismember("s", "a")));
  EXPECT_FALSE(val(store_->sismember("s", "c")));
}

TEST_F(CollectionsTest, SaddOfNoMembersCreatesNothing) {
  EXPECT_EQ(val(store_->sadd("s", Items{})), 0u);
  EXPECT_FALSE(store_->exists("s"));
  EXPECT_EQ(store_->used_memory(), 0u);
  EXPECT_EQ(log_->take(), (Strings{"SADD s []", "DEL s"}));

  ASSERT_EQ(val(store_->sadd("s", Items{"a"})), 1u);
  EXPECT_EQ(val(store_->sadd("s", Items{})), 0u);
  EXPECT_EQ(val(store_->scard("s")), 1u);
  EXPECT_EQ(log_->take(), (Strings{"SADD s [a]", "SADD s []"}));
}

TEST_F(CollectionsTest, SremLogsGivenMembersAndDropsTheEmptiedSet) {
  EXPECT_EQ(val(store_->srem("s", Items{"a"})), 0u);
  EXPECT_TRUE(log_->take().empty());

  ASSERT_EQ(val(store_->sadd("s", Items{"a", ""})), 2u);
  EXPECT_TRUE(val(store_->sismember("s", "")));
  EXPECT_EQ(val(store_->srem("s", Items{"x"})), 0u);
  EXPECT_EQ(val(store_->srem("s", Items{"", "", "x"})), 1u);
  EXPECT_FALSE(val(store_->sismember("s", "")));
  EXPECT_EQ(val(store_->srem("s", Items{"a"})), 1u);
  EXPECT_EQ(log_->take(), (Strings{"SADD s [a,]", "SREM s [x]", "SREM s [,,x]", "SREM s [a]", "DEL s"}));

  EXPECT_EQ(val(store_->scard("s")), 0u);
  EXPECT_FALSE(store_->exists("s"));
  EXPECT_TRUE(store_->smembers("s")->empty());
  EXPECT_EQ(store_->used_memory(), 0u);
}

// ---- across kinds -----------------------------------------------------------------

// Adding one element to an existing collection and removing it again
// returns used_memory to exactly its previous figure.
TEST_F(CollectionsTest, AddThenRemoveRestoresUsedMemory) {
  ASSERT_TRUE(val(store_->hset("h", "keep", "v")));
  ASSERT_EQ(val(store_->rpush("l", Items{"keep"})), 1u);
  ASSERT_EQ(val(store_->sadd("s", Items{"keep"})), 1u);
  const std::string big(100, 'z');  // 112 accounted bytes
  const struct {
    const char* name;
    std::uint64_t cost;
    std::function<void(Store&)> add, remove;
  } cases[] = {
      {"hash", 56 + 112 + 112, [&](Store& s) { ASSERT_TRUE(val(s.hset("h", big, big))); },
       [&](Store& s) { ASSERT_EQ(val(s.hdel("h", Items{big})), 1u); }},
      {"list head", 56 + 112, [&](Store& s) { ASSERT_EQ(val(s.lpush("l", Items{big})), 2u); },
       [&](Store& s) { ASSERT_EQ(val(s.lpop("l")), big); }},
      {"list tail", 56 + 112, [&](Store& s) { ASSERT_EQ(val(s.rpush("l", Items{big})), 2u); },
       [&](Store& s) { ASSERT_EQ(val(s.rpop("l")), big); }},
      {"set", 56 + 112, [&](Store& s) { ASSERT_EQ(val(s.sadd("s", Items{big})), 1u); },
       [&](Store& s) { ASSERT_EQ(val(s.srem("s", Items{big})), 1u); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t before = store_->used_memory();
    c.add(*store_);
    EXPECT_EQ(store_->used_memory(), before + c.cost);
    c.remove(*store_);
    EXPECT_EQ(store_->used_memory(), before);
  }
}

// Every operation on a key of another kind fails with WrongType, changes
// nothing, logs nothing, and still counts as an access (stamped).
TEST_F(CollectionsTest, EveryOperationOnAnotherKindIsWrongTypeAndStamps) {
  open(config(1, 1 << 30));
  ASSERT_TRUE(val(store_->set("str", "value", std::nullopt, false, false)));
  ASSERT_TRUE(val(store_->hset("hash", "f", "v")));
  ASSERT_EQ(val(store_->rpush("list", Items{"x"})), 1u);
  ASSERT_EQ(val(store_->sadd("set", Items{"m"})), 1u);
  log_->take();

  const struct {
    const char* name;
    std::function<bool(Store&, std::string_view)> call;  // true = WrongType
    std::vector<std::string_view> wrong_keys;
  } cases[] = {
      {"hset", [](Store& s, std::string_view k) { return is_wrong_type(s.hset(k, "f", "v")); },
       {"str", "list", "set"}},
      {"hget", [](Store& s, std::string_view k) { return is_wrong_type(s.hget(k, "f")); }, {"str", "list", "set"}},
      {"hdel", [](Store& s, std::string_view k) { return is_wrong_type(s.hdel(k, Items{"f"})); },
       {"str", "list", "set"}},
      {"hgetall", [](Store& s, std::string_view k) { return is_wrong_type(s.hgetall(k)); }, {"str", "list", "set"}},
      {"hlen", [](Store& s, std::string_view k) { return is_wrong_type(s.hlen(k)); }, {"str", "list", "set"}},
      {"lpush", [](Store& s, std::string_view k) { return is_wrong_type(s.lpush(k, Items{"x"})); },
       {"str", "hash", "set"}},
      {"rpush", [](Store& s, std::string_view k) { return is_wrong_type(s.rpush(k, Items{"x"})); },
       {"str", "hash", "set"}},
      {"lpop", [](Store& s, std::string_view k) { return is_wrong_type(s.lpop(k)); }, {"str", "hash", "set"}},
      {"rpop", [](Store& s, std::string_view k) { return is_wrong_type(s.rpop(k)); }, {"str", "hash", "set"}},
      {"lrange", [](Store& s, std::string_view k) { return is_wrong_type(s.lrange(k, 0, -1)); },
       {"str", "hash", "set"}},
      {"llen", [](Store& s, std::string_view k) { return is_wrong_type(s.llen(k)); }, {"str", "hash", "set"}},
      {"sadd", [](Store& s, std::string_view k) { return is_wrong_type(s.sadd(k, Items{"m"})); },
       {"str", "hash", "list"}},
      {"sadd none", [](Store& s, std::string_view k) { return is_wrong_type(s.sadd(k, Items{})); },
       {"str", "hash", "list"}},
      {"srem", [](Store& s, std::string_view k) { return is_wrong_type(s.srem(k, Items{"m"})); },
       {"str", "hash", "list"}},
      {"smembers", [](Store& s, std::string_view k) { return is_wrong_type(s.smembers(k)); },
       {"str", "hash", "list"}},
      {"sismember", [](Store& s, std::string_view k) { return is_wrong_type(s.sismember(k, "m")); },
       {"str", "hash", "list"}},
      {"scard", [](Store& s, std::string_view k) { return is_wrong_type(s.scard(k)); }, {"str", "hash", "list"}},
  };
  const std::uint64_t used = store_->used_memory();
  for (const auto& c : cases) {
    for (std::string_view key : c.wrong_keys) {
      SCOPED_TRACE(std::string(c.name) + " on " + std::string(key));
      const std::uint32_t clock_before = store_->lru_clock();
      EXPECT_TRUE(c.call(*store_, key));
      EXPECT_EQ(store_->lru_clock(), clock_before + 1);
      EXPECT_EQ(store_->used_memory(), used);
      EXPECT_TRUE(log_->take().empty());
    }
  }
  EXPECT_EQ(val(store_->get("str")), "value");
  EXPECT_EQ(val(store_->hget("hash", "f")), "v");
  EXPECT_EQ(val(store_->lrange("list", 0, -1)), Strings{"x"});
  EXPECT_EQ(val(store_->smembers("set")), Strings{"m"});
}

// A collection whose deadline equals now is gone: reads see a missing key
// (and remove it, logging DEL); writers start a fresh one without deadline.
TEST_F(CollectionsTest, ExpiredCollectionsBehaveAsMissing) {
  const struct {
    const char* name;
    std::function<void(Store&)> create;
    std::function<void(Store&)> read_as_missing;
    std::function<void(Store&)> write_fresh;
    Strings fresh_records;
  } cases[] = {
      {"hash", [](Store& s) { ASSERT_TRUE(val(s.hset("k", "old", "1"))); },
       [](Store& s) {
         EXPECT_FALSE(s.hget("k", "old")->has_value());
         EXPECT_TRUE(s.hgetall("k")->empty());
         EXPECT_EQ(val(s.hlen("k")), 0u);
         EXPECT_EQ(val(s.hdel("k", Items{"old"})), 0u);
       },
       [](Store& s) {
         EXPECT_TRUE(val(s.hset("k", "new", "2")));
         auto all = val(s.hgetall("k"));
         ASSERT_EQ(all.size(), 1u);
         EXPECT_EQ(all[0].first, "new");
       },
       {"DEL k", "HSET k new=2"}},
      {"list", [](Store& s) { ASSERT_EQ(val(s.rpush("k", Items{"old"})), 1u); },
       [](Store& s) {
         EXPECT_TRUE(s.lrange("k", 0, -1)->empty());
         EXPECT_EQ(val(s.llen("k")), 0u);
         EXPECT_FALSE(s.lpop("k")->has_value());
         EXPECT_FALSE(s.rpop("k")->has_value());
       },
       [](Store& s) {
         EXPECT_EQ(val(s.lpush("k", Items{"new"})), 1u);
         EXPECT_EQ(val(s.lrange("k", 0, -1)), Strings{"new"});
       },
       {"DEL k", "LPUSH k [new]"}},
      {"set", [](Store& s) { ASSERT_EQ(val(s.sadd("k", Items{"old"})), 1u); },
       [](Store& s) {
         EXPECT_TRUE(s.smembers("k")->empty());
         EXPECT_FALSE(val(s.sismember("k", "old")));
         EXPECT_EQ(val(s.scard("k")), 0u);
         EXPECT_EQ(val(s.srem("k", Items{"old"})), 0u);
       },
       [](Store& s) {
         EXPECT_EQ(val(s.sadd("k", Items{"new"})), 1u);
         EXPECT_EQ(val(s.smembers("k")), Strings{"new"});
       },
       {"DEL k", "SADD k [new]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool read_first : {true, false}) {
      open(config(1));
      c.create(*store_);
      ASSERT_TRUE(store_->pexpire("k", 100));
      clock_->advance(100);
      log_->take();
      if (read_first) {
        c.read_as_missing(*store_);
        EXPECT_EQ(log_->take(), Strings{"DEL k"});
        EXPECT_EQ(store_->used_memory(), 0u);
      } else {
        c.write_fresh(*store_);
        EXPECT_EQ(log_->take(), c.fresh_records);
        EXPECT_EQ(store_->pttl("k"), -1);
      }
    }
  }
}

TEST_F(CollectionsTest, WritersKeepTheDeadline) {
  ASSERT_TRUE(val(store_->hset("h", "a", "1")));
  ASSERT_EQ(val(store_->rpush("l", Items{"a"})), 1u);
  ASSERT_EQ(val(store_->sadd("s", Items{"a"})), 1u);
  for (const char* key : {"h", "l", "s"}) ASSERT_TRUE(store_->pexpire(key, 5000));
  clock_->advance(1000);

  ASSERT_FALSE(val(store_->hset("h", "a", "2")));
  ASSERT_TRUE(val(store_->hset("h", "b", "2")));
  ASSERT_EQ(val(store_->hdel("h", Items{"b"})), 1u);
  ASSERT_EQ(val(store_->lpush("l", Items{"b"})), 2u);
  ASSERT_EQ(val(store_->rpush("l", Items{"c"})), 3u);
  ASSERT_EQ(val(store_->lpop("l")), "b");
  ASSERT_EQ(val(store_->sadd("s", Items{"b"})), 1u);
  ASSERT_EQ(val(store_->srem("s", Items{"b"})), 1u);
  for (const char* key : {"h", "l", "s"}) EXPECT_EQ(store_->pttl(key), 4000) << key;
}

// Admission prices every writer as a new key holding every given element,
// so at the limit even a no-op write is refused; removals never are.
TEST_F(CollectionsTest, WritersAreAdmittedOnTheirFullNeed) {
  // The first sadd needs exactly 192 + 80 + 16 + 72 = 360: it fits.
  open(config(1, 360));
  ASSERT_EQ(val(store_->sadd("s", Items{"a"})), 1u);
  ASSERT_EQ(store_->used_memory(), 360u);
  log_->take();

  const struct {
    const char* name;
    std::function<bool(Store&)> refused;
  } cases[] = {
      {"sadd existing", [](Store& s) { return is_error(s.sadd("s", Items{"a"}), StoreError::OutOfMemory); }},
      {"sadd none", [](Store& s) { return is_error(s.sadd("s", Items{}), StoreError::OutOfMemory); }},
      {"hset", [](Store& s) { return is_error(s.hset("h", "", ""), StoreError::OutOfMemory); }},
      {"lpush", [](Store& s) { return is_error(s.lpush("l", Items{}), StoreError::OutOfMemory); }},
      {"rpush", [](Store& s) { return is_error(s.rpush("l", Items{"x"}), StoreError::OutOfMemory); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.refused(*store_));
    EXPECT_EQ(store_->used_memory(), 360u);
    EXPECT_TRUE(log_->take().empty());
  }
  EXPECT_EQ(val(store_->smembers("s")), Strings{"a"});
  EXPECT_EQ(val(store_->srem("s", Items{"a"})), 1u);
  EXPECT_EQ(store_->used_memory(), 0u);
}

// The exact admission need of each writer: admitted when used + need equals
// the limit, refused one byte below.
TEST_F(CollectionsTest, WriterNeedsMatchTheirPricingExactly) {
  // Three keys fill the 4-slot table (capacity 3): a new fourth key also
  // pays the table's growth to 8 slots (352 - 192 = 160).
  const auto setup = [](Store& s) {
    ASSERT_EQ(val(s.sadd("s", Items{"a"})), 1u);
    ASSERT_TRUE(val(s.hset("h", "f", "v")));
    ASSERT_TRUE(val(s.set("t", "", std::nullopt, false, false)));
  };
  const struct {
    const char* name;
    std::uint64_t need;
    std::function<bool(Store&)> ok;
  } cases[] = {
      {"hset new key", 16 + 16 + 16 + 160 + 136, [](Store& s) { return s.hset("k", "ff", "vvvvv").ok(); }},
      {"hset existing field", 16 + 16 + 16 + 136, [](Store& s) { return s.hset("h", "f", "vvvvv").ok(); }},
      {"lpush new key", 80 + 16 + 160 + 72 + 56, [](Store& s) { return s.lpush("l", Items{"abc", ""}).ok(); }},
      {"rpush no values", 80 + 16 + 160, [](Store& s) { return s.rpush("l", Items{}).ok(); }},
      {"sadd existing members", 16 + 80 + 3 * 72, [](Store& s) { return s.sadd("s", Items{"a", "a", "b"}).ok(); }},
      {"sadd new key", 16 + 80 + 160 + 72, [](Store& s) { return s.sadd("n", Items{"a"}).ok(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    open(config(1));
    setup(*store_);
    const std::uint64_t used = store_->used_memory();
    store_->set_limits(used + c.need - 1, EvictionPolicy::NoEviction);
    EXPECT_FALSE(c.ok(*store_));
    EXPECT_EQ(store_->used_memory(), used);
    store_->set_limits(used + c.need, EvictionPolicy::NoEviction);
    EXPECT_TRUE(c.ok(*store_));
  }
}

// ---- a log that refuses records -----------------------------------------------------

// Every key with its kind, deadline and contents, in key order.
std::string dump(Store& s) {
  Strings keys = sorted(s.keys("*"));
  std::string out;
  for (const std::string& k : keys) {
    out += k + "@" + std::to_string(s.pttl(k)) + "=";
    if (auto v = s.get(k); v.ok()) {
      out += "str:" + v.value().value_or("");
    } else if (auto h = s.hgetall(k); h.ok()) {
      std::sort(h.value().begin(), h.value().end());
      for (const auto& [f, x] : h.value()) out += "h:" + f + "=" + x + ",";
    } else if (auto l = s.lrange(k, 0, -1); l.ok()) {
      for (const std::string& x : l.value()) out += "l:" + x + ",";
    } else {
      for (const std::string& x : sorted(val(s.smembers(k)))) out += "s:" + x + ",";
    }
    out += ";";
  }
  return out;
}

TEST_F(CollectionsTest, RefusedRecordLeavesEveryWriteWithoutEffect) {
  const auto seed = [](Store& s) {
    ASSERT_TRUE(val(s.set("s", "v", std::nullopt, false, false)));
    ASSERT_TRUE(val(s.set("t", "tv", 60000, false, false)));
    ASSERT_TRUE(val(s.hset("h", "f", "1")));
    ASSERT_EQ(val(s.rpush("l", Items{"a", "b"})), 2u);
    ASSERT_EQ(val(s.rpush("l1", Items{"z"})), 1u);
    ASSERT_EQ(val(s.sadd("S", Items{"x"})), 1u);
  };
  const struct {
    const char* name;
    std::function<bool(Store&)> refused;  // true when LogRefused came back
  } cases[] = {
      {"set", [](Store& s) { return is_error(s.set("s", "other", std::nullopt, false, false), StoreError::LogRefused); }},
      {"set same size", [](Store& s) { return is_error(s.set("s", "w", std::nullopt, false, false), StoreError::LogRefused); }},
      {"set new", [](Store& s) { return is_error(s.set("n", "1", std::nullopt, false, false), StoreError::LogRefused); }},
      {"incr new", [](Store& s) { return is_error(s.incr("c", 2), StoreError::LogRefused); }},
      {"append", [](Store& s) { return is_error(s.append("s", "0123456789abcdef"), StoreError::LogRefused); }},
      {"append in place", [](Store& s) { return is_error(s.append("s", ""), StoreError::LogRefused); }},
      {"append new", [](Store& s) { return is_error(s.append("n", "x"), StoreError::LogRefused); }},
      {"delete", [](Store& s) { const std::string_view k[] = {"s"}; return is_error(s.del(k), StoreError::LogRefused); }},
      {"pexpire", [](Store& s) { return is_error(s.pexpire("s", 5), StoreError::LogRefused); }},
      {"persist", [](Store& s) { return is_error(s.persist("t"), StoreError::LogRefused); }},
      {"hset new field", [](Store& s) { return is_error(s.hset("h", "g", "2"), StoreError::LogRefused); }},
      {"hset replace", [](Store& s) { return is_error(s.hset("h", "f", "longer"), StoreError::LogRefused); }},
      {"hset new key", [](Store& s) { return is_error(s.hset("h2", "f", "1"), StoreError::LogRefused); }},
      {"hdel last", [](Store& s) { return is_error(s.hdel("h", Items{"f"}), StoreError::LogRefused); }},
      {"lpush", [](Store& s) { return is_error(s.lpush("l", Items{"p", "q"}), StoreError::LogRefused); }},
      {"rpush new key", [](Store& s) { return is_error(s.rpush("l2", Items{"p"}), StoreError::LogRefused); }},
      {"rpush nothing new key", [](Store& s) { return is_error(s.rpush("l3", Items{}), StoreError::LogRefused); }},
      {"lpop", [](Store& s) { return is_error(s.lpop("l"), StoreError::LogRefused); }},
      {"rpop last", [](Store& s) { return is_error(s.rpop("l1"), StoreError::LogRefused); }},
      {"sadd", [](Store& s) { return is_error(s.sadd("S", Items{"y", "y", "x"}), StoreError::LogRefused); }},
      {"sadd new key", [](Store& s) { return is_error(s.sadd("S2", Items{"a"}), StoreError::LogRefused); }},
      {"srem last", [](Store& s) { return is_error(s.srem("S", Items{"x"}), StoreError::LogRefused); }},
      {"flush", [](Store& s) { return is_error(s.flush(), StoreError::LogRefused); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    open(config(1));
    seed(*store_);
    (void)log_->take();
    const std::string before = dump(*store_);
    const std::uint64_t used = store_->used_memory();
    log_->refuse_after(0);
    EXPECT_TRUE(c.refused(*store_));
    EXPECT_EQ(store_->used_memory(), used);
    EXPECT_EQ(dump(*store_), before);
    EXPECT_TRUE(log_->take().empty());
    log_->accept_all();
    EXPECT_FALSE(c.refused(*store_)) << "the same write succeeds once the log takes records";
  }
}

TEST_F(CollectionsTest, RefusedRecordKeepsADueKeyInvisible) {
  ASSERT_TRUE(val(store_->set("k", "v", 10, false, false)));
  clock_->set(clock_->now_ms() + 10);
  (void)log_->take();
  log_->refuse_after(0);
  EXPECT_FALSE(val(store_->get("k")).has_value());
  EXPECT_FALSE(store_->exists("k"));
  EXPECT_EQ(store_->len(), 0u);
  EXPECT_TRUE(is_error(store_->set("k", "new", std::nullopt, false, false), StoreError::LogRefused));
  EXPECT_FALSE(val(store_->get("k")).has_value());
  log_->accept_all();
  EXPECT_TRUE(val(store_->set("k", "new", std::nullopt, false, false)));
  EXPECT_EQ(log_->take(), (Strings{"DEL k", "SET k new @0"}));
}

// ---- concurrency ------------------------------------------------------------------

// Producers push distinct items at the head while consumers pop from the
// tail: every item comes out exactly once, and the emptied key is gone.
TEST(CollectionsConcurrencyTest, PushersAndPoppersNeitherLoseNorDuplicate) {
  auto store = Store::create(config(4), std::make_shared<FakeClock>(1000));
  constexpr int kProducers = 4;
  constexpr int kConsumers = 4;
  constexpr int kPerProducer = 2000;
  constexpr int kTotal = kProducers * kPerProducer;

  std::atomic<int> popped{0};
  std::vector<Strings> got(kConsumers);
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&store, p] {
      for (int i = 0; i < kPerProducer; i += 2) {
        const std::string a = std::to_string(p) + ":" + std::to_string(i);
        const std::string b = std::to_string(p) + ":" + std::to_string(i + 1);
        ASSERT_TRUE(store->lpush("queue", Items{a, b}).ok());
      }
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&store, &popped, &got, c] {
      while (popped.load() < kTotal) {
        auto item = store->rpop("queue");
        ASSERT_TRUE(item.ok());
        if (!item->has_value()) {
          std::this_thread::yield();
          continue;
        }
        got[c].push_back(std::move(**item));
        popped.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();

  Strings all;
  for (auto& v : got) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kTotal));
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "an item was popped twice";
  // Items of one producer leave the tail in the order they were pushed.
  for (const Strings& v : got) {
    std::vector<int> last(kProducers, -1);
    for (const std::string& item : v) {
      const auto colon = item.find(':');
      const int p = std::stoi(item.substr(0, colon));
      const int i = std::stoi(item.substr(colon + 1));
      EXPECT_LT(last[p], i);
      last[p] = i;
    }
  }
  EXPECT_FALSE(store->exists("queue"));
  EXPECT_EQ(store->used_memory(), 0u);
}

// Threads add and remove their own fields and members in shared hashes and
// sets; once all is removed, the accounting is back to exactly 0.
TEST(CollectionsConcurrencyTest, MixedWritersLeaveExactAccounting) {
  auto store = Store::create(config(4), std::make_shared<FakeClock>(1000));
  constexpr int kThreads = 6;
  constexpr int kRounds = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string key = "k" + std::to_string(i % 7);
        const std::string mine = std::to_string(t) + "/" + std::to_string(i);
        ASSERT_TRUE(store->hset("h" + key, mine, std::string(i % 40, 'v')).ok());
        ASSERT_TRUE(store->sadd("s" + key, Items{mine, mine}).ok());
        ASSERT_TRUE(store->hlen("h" + key).ok());
        ASSERT_TRUE(store->smembers("s" + key).ok());
        ASSERT_EQ(val(store->hdel("h" + key, Items{mine})), 1u);
        ASSERT_EQ(val(store->srem("s" + key, Items{mine})), 1u);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(store->len(), 0u);
  EXPECT_EQ(store->used_memory(), 0u);
}

}  // namespace
}  // namespace mevora
