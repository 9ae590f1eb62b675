// Random picks from the fields of a hash or the members of a set, for
// HRANDFIELD, SRANDMEMBER and SPOP. Internal to the store.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "core/elem_table.h"
#include "core/store_types.h"

namespace mevora::collections {

// Whether a pick count is within kMaxRepeatedPicks (store_types.h).
inline bool pick_count_allowed(std::optional<std::int64_t> count) {
  return !count.has_value() || *count >= -kMaxRepeatedPicks;
}

// Elements of t chosen with random(), a uniform 64-bit source:
//   count >= 0: min(count, size) distinct elements in random order;
//   count < 0:  -count elements, each drawn independently (repeats).
// The pointers stay valid while t is not changed.
template <class Random>
std::vector<const Elem*> pick_elems(const ElemTable& t, std::int64_t count, Random&& random) {
  std::vector<const Elem*> out;
  const std::uint64_t n = t.size();
  if (n == 0 || count == 0) return out;
  if (count < 0) {
    const std::uint64_t want = std::uint64_t{0} - static_cast<std::uint64_t>(count);
    out.reserve(want);
    for (std::uint64_t i = 0; i < want; ++i) out.push_back(t.nth(random() % n));
    return out;
  }
  const auto want = static_cast<std::uint64_t>(count);
  if (want * 4 < n) {
    // Few of many: draw positions until enough distinct ones came up.
    std::unordered_set<std::uint64_t> seen;
    out.reserve(want);
    while (out.size() < want) {
      const std::uint64_t i = random() % n;
      if (seen.insert(i).second) out.push_back(t.nth(i));
    }
    return out;
  }
  // Most or all of them: a partial shuffle of every element.
  for (const Elem* e : t) out.push_back(e);
  const std::uint64_t take = want < n ? want : n;
  for (std::uint64_t i = 0; i < take; ++i) {
    const std::uint64_t j = i + random() % (n - i);
    std::swap(out[i], out[j]);
  }
  out.resize(take);
  return out;
}

}  // namespace mevora::collections
