// Table: one shard's open-addressing hash table of entries.
//
// A FlatTable (flat_table.h) of EntryRefs hashed by key_hash. Its capacity
// policy is the one the shard accounting charges for: table_overhead is a
// function of usable_capacity(), the entries plus the inserts the table can
// still take without growing.
//
// Not thread-safe: the owning shard's lock protects it. The table owns its
// entries and destroys them in its destructor.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/flat_table.h"
#include "core/key_hash.h"
#include "core/value.h"

namespace mevora {

struct KeyspaceSlots {
  using Slot = EntryRef;
  static std::string_view key(EntryRef e) { return e.key(); }
  static void destroy(EntryRef e) { e.destroy(); }
  std::uint64_t hash(std::string_view key) const { return key_hash(key); }
};

using Table = FlatTable<KeyspaceSlots>;
extern template class FlatTable<KeyspaceSlots>;

}  // namespace mevora
