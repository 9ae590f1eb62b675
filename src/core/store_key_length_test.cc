// Over-long keys: every write that could create a key refuses one longer
// than kMaxKeyLen with KeyTooLong before it hashes the key, asks for
// memory or logs anything, so a full store with eviction keeps every key.
//
// The key is a view of kMaxKeyLen + 1 bytes over a read-only anonymous
// mapping reserved without backing memory: nothing is allocated unless
// something reads it, and a write that checks first never does.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/persistence_testing.h"
#include "core/store.h"

namespace mevora {
namespace {

// A read-only reservation of address space, unmapped on destruction.
class Reservation {
 public:
  explicit Reservation(std::size_t len)
      : len_(len), p_(::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) {}
  ~Reservation() {
    if (valid()) ::munmap(p_, len_);
  }
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;

  bool valid() const { return p_ != MAP_FAILED; }
  std::string_view view() const { return {static_cast<const char*>(p_), len_}; }

 private:
  std::size_t len_;
  void* p_;
};

class CountingLog : public testing_persistence::NullPersistence {
 public:
  explicit CountingLog(int* records) : records_(records) {}
  Result<void, PersistError> append(const WalRecord&) override {
    ++*records_;
    return {};
  }

 private:
  int* records_;
};

template <class T>
std::optional<StoreError> error_of(const StoreResult<T>& r) {
  if (r.ok()) return std::nullopt;
  return r.error();
}

using Write = std::function<std::optional<StoreError>(Store&, std::string_view key)>;

struct WriteCase {
  const char* name;
  Write write;
};

const std::string_view kItems[] = {"a", "b"};

const WriteCase kWrites[] = {
    {"set", [](Store& s, std::string_view k) { return error_of(s.set(k, "v", std::nullopt, false, false)); }},
    {"set_nx_with_ttl", [](Store& s, std::string_view k) { return error_of(s.set(k, "v", 5000, true, false)); }},
    {"set_xx", [](Store& s, std::string_view k) { return error_of(s.set(k, "v", std::nullopt, false, true)); }},
    {"set_with_get",
     [](Store& s, std::string_view k) {
       SetOptions o;
       o.get = true;
       o.expiry = SetOptions::Expiry::Keep;
       return error_of(s.set_with(k, "v", o));
     }},
    {"incr", [](Store& s, std::string_view k) { return error_of(s.incr(k, 1)); }},
    {"append", [](Store& s, std::string_view k) { return error_of(s.append(k, "tail")); }},
    {"hset", [](Store& s, std::string_view k) { return error_of(s.hset(k, "f", "v")); }},
    {"lpush", [](Store& s, std::string_view k) { return error_of(s.lpush(k, kItems)); }},
    {"rpush", [](Store& s, std::string_view k) { return error_of(s.rpush(k, kItems)); }},
    {"rpush_nothing", [](Store& s, std::string_view k) { return error_of(s.rpush(k, {})); }},
    {"sadd", [](Store& s, std::string_view k) { return error_of(s.sadd(k, kItems)); }},
    {"mset_long_key_last",
     [](Store& s, std::string_view k) {
       const KeyValue pairs[] = {{"fresh", "v"}, {"k0", "changed"}, {k, "v"}};
       return error_of(s.mset(pairs));
     }},
};

class OverLongKey : public ::testing::TestWithParam<WriteCase> {
 protected:
  void SetUp() override {
    StoreConfig c;
    c.shards = 4;
    c.max_memory = 4096;
    c.policy = EvictionPolicy::AllKeysLru;
    c.sweep_interval_ms = 0;
    store_ = Store::create(c);
    // Filled up to the limit: any admission from here on evicts.
    for (int i = 0; store_->used_memory() + 200 < c.max_memory; ++i) {
      const std::string key = "k" + std::to_string(i);
      ASSERT_TRUE(store_->set(key, std::string(100, 'v'), std::nullopt, false, false).ok());
      keys_.push_back(key);
    }
    store_->install_persistence(std::make_unique<CountingLog>(&records_));
  }

  std::shared_ptr<Store> store_;
  std::vector<std::string> keys_;
  int records_ = 0;
};

TEST_P(OverLongKey, IsRefusedBeforeAnythingChanges) {
  Reservation key_bytes(kMaxKeyLen + 1);
  ASSERT_TRUE(key_bytes.valid());
  const std::uint64_t used = store_->used_memory();

  const std::optional<StoreError> err = GetParam().write(*store_, key_bytes.view());

  ASSERT_TRUE(err.has_value());
  EXPECT_EQ(err->kind(), StoreError::KeyTooLong);
  EXPECT_STREQ(store_error_message(*err), "key longer than 4 GiB");
  EXPECT_EQ(records_, 0) << "nothing logged: no write, no eviction";
  EXPECT_EQ(store_->used_memory(), used);
  EXPECT_EQ(store_->len(), keys_.size());
  for (const std::string& k : keys_) EXPECT_EQ(store_->get(k).value(), std::string(100, 'v')) << k;
  EXPECT_FALSE(store_->exists("fresh"));
}

INSTANTIATE_TEST_SUITE_P(EveryKeyCreatingWrite, OverLongKey, ::testing::ValuesIn(kWrites),
                         [](const ::testing::TestParamInfo<WriteCase>& p) { return p.param.name; });

TEST(KeyLength, TheLongestKeyAStoreHoldsPassesTheCheck) {
  EXPECT_TRUE(check_key_length(std::string_view("k")).ok());
  Reservation key_bytes(kMaxKeyLen);
  ASSERT_TRUE(key_bytes.valid());
  EXPECT_TRUE(check_key_length(key_bytes.view()).ok());
  Reservation longer(kMaxKeyLen + 1);
  ASSERT_TRUE(longer.valid());
  EXPECT_EQ(check_key_length(longer.view()).error().kind(), StoreError::KeyTooLong);
}

}  // namespace
}  // namespace mevora
