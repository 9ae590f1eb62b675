// For the tests: used_memory as recomputed from the tables, every entry's
// accounted size plus every shard's table overhead. It must equal the
// store's counter whenever no operation is in flight.
#pragma once

#include <cstdint>

#include "core/store.h"

namespace mevora::testing_store {

inline std::uint64_t recomputed_used(Store& store) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < store.shard_count(); ++i) {
    Shard& s = store.shard_at(i);
    ReadGuard g(s.lock);
    s.table.for_each([&](EntryRef e) { total += e.accounted_size(); });
    total += table_overhead_for(s.table.usable_capacity());
  }
  return total;
}

}  // namespace mevora::testing_store
