// ElemTable against a std::map model: puts that replace values of the same
// and of other lengths, adds, erases, growth through many rebuilds and the
// shrink that follows mass removal, with removed-slot markers in between;
// at each check, the n-th entry lookup agrees with iteration order.
#include "core/elem_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace mevora {
namespace {

void expect_same(const ElemTable& t, const std::map<std::string, std::string>& model) {
  ASSERT_EQ(t.size(), model.size());
  std::map<std::string, std::string> seen;
  std::size_t n = 0;
  for (const Elem* e : t) {
    EXPECT_TRUE(seen.emplace(std::string(e->key()), std::string(e->value())).second) << "listed twice";
    // The n-th entry in table order, found through the per-block counts,
    // is the one iteration reaches n-th.
    ASSERT_EQ(t.nth(n++), e) << "entry " << n - 1;
  }
  EXPECT_EQ(seen, model);
  for (const auto& [k, v] : model) {
    const Elem* e = t.find(k);
    ASSERT_NE(e, nullptr) << k;
    EXPECT_EQ(e->value(), v);
  }
}

TEST(ElemTable, RandomOperationsMatchAMap) {
  std::mt19937_64 rng(12345);
  ElemTable t(rng());
  std::map<std::string, std::string> model;
  auto key = [&] { return "k" + std::to_string(rng() % 3000); };
  auto value = [&] { return std::string(rng() % 40, static_cast<char>('a' + rng() % 26)); };
  for (int round = 0; round < 4; ++round) {
    // Grow to thousands of elements, then remove most of them so that the
    // table shrinks, then mix the three operations.
    for (int i = 0; i < 6000; ++i) {
      const std::string k = key();
      const std::string v = value();
      const auto old = t.put(k, v);
      auto it = model.find(k);
      if (it == model.end()) {
        EXPECT_FALSE(old.has_value());
      } else {
        ASSERT_TRUE(old.has_value());
        EXPECT_EQ(*old, it->second.size());
      }
      model[k] = v;
    }
    expect_same(t, model);
    // Too few removals to shrink the table: its markers and counts stay.
    for (int i = 0; i < 400; ++i) {
      const std::string k = key();
      EXPECT_EQ(t.erase(k).has_value(), model.erase(k) == 1);
    }
    expect_same(t, model);
    for (int i = 0; i < 9000; ++i) {
      const std::string k = key();
      const auto removed = t.erase(k);
      auto it = model.find(k);
      EXPECT_EQ(removed.has_value(), it != model.end());
      if (it != model.end()) {
        EXPECT_EQ(*removed, it->second.size());
        model.erase(it);
      }
    }
    expect_same(t, model);
    for (int i = 0; i < 3000; ++i) {
      const std::string k = key();
      EXPECT_EQ(t.add(k), model.emplace(k, "").second);
    }
    expect_same(t, model);
  }
}

TEST(ElemTable, EmptyKeysAndValuesAreElements) {
  ElemTable t(1);
  EXPECT_TRUE(t.add(""));
  EXPECT_FALSE(t.add(""));
  EXPECT_EQ(t.put("", "v"), std::optional<std::uint64_t>(0));
  ASSERT_NE(t.find(""), nullptr);
  EXPECT_EQ(t.find("")->value(), "v");
  EXPECT_EQ(t.erase(""), std::optional<std::uint64_t>(1));
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.find(""), nullptr);
}

// The cursor walk: every element present for the whole walk is reported
// at least once while the table grows and shrinks between steps, and each
// step visits exactly the number of home positions it was given (or what
// is left of the walk).
TEST(ElemTable, ScanReportsLastingElementsAcrossRebuilds) {
  std::mt19937_64 rng(777);
  for (int round = 0; round < 20; ++round) {
    ElemTable t(rng());
    std::set<std::string> lasting;
    for (int i = 0; i < 200; ++i) {
      lasting.insert("stable:" + std::to_string(i));
      t.add("stable:" + std::to_string(i));
    }
    std::vector<std::string> churn;
    std::set<std::string> seen;
    std::uint64_t cursor = 0;
    int steps = 0;
    do {
      const std::uint64_t count = 1 + rng() % 8;
      std::uint64_t homes = 0;
      cursor = t.scan(cursor, count, [&](const Elem* e) { seen.emplace(e->key()); }, &homes);
      EXPECT_LE(homes, count);
      EXPECT_TRUE(cursor == 0 || homes == count);
      if ((++steps / 3) % 2 == 0) {
        for (int i = 0, n = static_cast<int>(rng() % 300); i < n; ++i) {
          churn.push_back("churn:" + std::to_string(round) + ":" + std::to_string(rng()));
          t.add(churn.back());
        }
      } else {
        for (int i = 0, n = static_cast<int>(rng() % 400); i < n && !churn.empty(); ++i) {
          ASSERT_TRUE(t.erase(churn.back()).has_value());
          churn.pop_back();
        }
      }
      ASSERT_LT(steps, 1'000'000);
    } while (cursor != 0);
    for (const std::string& k : lasting) EXPECT_TRUE(seen.count(k)) << "round " << round << " missed " << k;
  }
}

TEST(ElemTable, ScanOfAGarbageCursorEnds) {
  ElemTable t(1);
  for (int i = 0; i < 100; ++i) t.add(std::to_string(i));
  for (std::uint64_t start : {std::uint64_t{1}, std::uint64_t{12345}, ~std::uint64_t{0}}) {
    std::uint64_t cursor = start;
    int steps = 0;
    do {
      cursor = t.scan(cursor, 3, [](const Elem*) {});
      ASSERT_LT(++steps, 10'000);
    } while (cursor != 0);
  }
}

}  // namespace
}  // namespace mevora
