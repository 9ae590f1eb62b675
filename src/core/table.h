// Table: one shard's open-addressing hash table of entries.
//
// Layout: S slots (S a power of two, at least 4 once any storage exists),
// each an 8-byte EntryRef, plus S + 8 control bytes. A control byte is
// EMPTY (0xFF), DELETED (0x80, a removed-slot marker) or FULL, holding the
// top 7 bits of the key's hash as a tag. Lookups load 8 control bytes at a
// time as one 64-bit word and compare tags in parallel, touching an entry's
// key only on a tag match. The first 8 control bytes are mirrored after the
// last so that a group load never wraps.
//
// Capacity policy (the accounting depends on it):
//   - usable capacity of S slots is S - 1 for S <= 8 and 7S/8 above;
//   - an insert with no budget left rebuilds the table with the smallest S
//     whose capacity holds max(items + 1, C + 1): the slot count doubles
//     when there are no removed-slot markers (4 -> 8 -> 16 ...);
//   - removed-slot markers consume insert budget until the next rehash;
//   - removing the last entry releases all storage;
//   - a removal that leaves usable capacity >= 256 and items * 4 < usable
//     capacity shrinks to the smallest S whose capacity holds the items.
// usable_capacity() reports C = items + remaining insert budget, the figure
// that table_overhead is charged on.
//
// Not thread-safe: the owning shard's lock protects it. The table owns its
// entries and destroys them in its destructor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/value.h"

namespace mevora {

class Table {
 public:
  static constexpr std::size_t npos = ~std::size_t{0};

  Table() = default;
  ~Table();
  Table(Table&& other) noexcept;
  Table& operator=(Table&& other) noexcept;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  std::size_t size() const { return items_; }
  bool empty() const { return items_ == 0; }
  std::size_t slot_count() const { return slots_ == nullptr ? 0 : mask_ + 1; }
  // C: entries plus inserts possible without growing; 0 without storage.
  std::size_t usable_capacity() const { return slots_ == nullptr ? 0 : items_ + growth_left_; }

  // The slot holding key, or npos.
  std::size_t find(std::string_view key, std::uint64_t hash) const;
  EntryRef& at(std::size_t slot) { return slots_[slot]; }
  EntryRef at(std::size_t slot) const { return slots_[slot]; }

  // Inserts an entry whose key is not present, growing first if the table
  // has no insert budget. Throws std::bad_alloc (table unchanged).
  void insert_new(std::uint64_t hash, EntryRef entry);

  // Removes the entry in slot and returns it (the caller frees it), then
  // releases or shrinks the storage by the policy above. A failed shrink
  // (out of memory) leaves the table larger but consistent.
  EntryRef erase(std::size_t slot);

  // Iteration in table (slot) order.
  std::size_t first_occupied() const { return next_occupied(0); }
  std::size_t next_occupied(std::size_t from) const;
  // The slot of the n-th occupied entry in table order (n < size()).
  std::size_t nth_occupied(std::size_t n) const;

  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = next_occupied(0); i != npos; i = next_occupied(i + 1)) f(slots_[i]);
  }

  // Detaches all storage and entries into the returned table, leaving this
  // one empty without storage.
  Table detach() { return Table(std::move(*this)); }

 private:
  static std::size_t capacity_of(std::size_t slots) { return slots <= 8 ? slots - 1 : slots / 8 * 7; }
  static std::size_t slots_for(std::size_t items);

  void resize(std::size_t new_slots);
  std::size_t find_insert_slot(std::uint64_t hash) const;
  void set_ctrl(std::size_t i, std::uint8_t c);
  void free_storage();

  EntryRef* slots_ = nullptr;   // S entries, then S + 8 control bytes
  std::uint8_t* ctrl_ = nullptr;
  std::size_t mask_ = 0;        // S - 1
  std::size_t items_ = 0;
  std::size_t growth_left_ = 0;
};

}  // namespace mevora
