// FlatTable: an open-addressing hash table of 8-byte handles.
//
// Serves two masters: each shard's table of entries (Table, table.h) and
// the fields of a Hash and the members of a Set (ElemTable, elem_table.h).
// The slot type and how a slot yields its key, frees its object and hashes
// a key come from Traits:
//
//   struct Traits {
//     using Slot = ...;                       // 8 bytes, Slot() is empty
//     static std::string_view key(Slot);      // the key of a full slot
//     static void destroy(Slot);              // frees what the slot owns
//     std::uint64_t hash(std::string_view) const;  // rehashing on resize
//   };
//
// Layout: S slots (S a power of two, at least 4 once any storage exists)
// plus S + 8 control bytes in the same allocation, followed by one 16-bit
// count of full slots per block of 256 slots, so that the n-th entry in
// table order (the random starting point of eviction, the sweeper and
// random picks) is found by summing counts and reading one block, not by
// walking the table. A control byte is EMPTY
// (0xFF), DELETED (0x80, a removed-slot marker) or FULL, holding the top 7
// bits of the key's hash as a tag. Lookups load 8 control bytes at a time
// as one 64-bit word and compare tags in parallel, touching a key only on a
// tag match. The first 8 control bytes are mirrored after the last so that
// a group load never wraps.
//
// Capacity policy (the shard accounting depends on it):
//   - usable capacity of S slots is S - 1 for S <= 8 and 7S/8 above;
//   - an insert with no budget left rebuilds the table with the smallest S
//     whose capacity holds max(items + 1, C + 1): the slot count doubles
//     when there are no removed-slot markers (4 -> 8 -> 16 ...);
//   - removed-slot markers consume insert budget until the next rehash;
//   - removing the last entry releases all storage;
//   - a removal that leaves usable capacity >= 256 and items * 4 < usable
//     capacity shrinks to the smallest S whose capacity holds the items.
// usable_capacity() reports C = items + remaining insert budget.
//
// Not thread-safe: the owner's lock protects it. The table owns what its
// slots point to and destroys it in its destructor.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "util/unaligned.h"

namespace mevora {
namespace flat_detail {

constexpr std::uint8_t kEmpty = 0xFF;
constexpr std::uint8_t kDeleted = 0x80;
constexpr std::size_t kGroup = 8;
constexpr std::uint64_t kLsb = 0x0101010101010101ULL;
constexpr std::uint64_t kMsb = 0x8080808080808080ULL;

inline std::uint8_t tag_of(std::uint64_t hash) { return static_cast<std::uint8_t>(hash >> 57); }

// A group of 8 control bytes read as one little-endian word. Each match
// function returns a mask with bit 7 of byte i set for matching byte i.
struct Group {
  std::uint64_t w;
  static Group load(const std::uint8_t* p) { return {load_unaligned<std::uint64_t>(p)}; }
  // May report false positives next to a true match; callers compare keys.
  std::uint64_t match_tag(std::uint8_t tag) const {
    std::uint64_t x = w ^ (kLsb * tag);
    return (x - kLsb) & ~x & kMsb;
  }
  std::uint64_t match_empty() const { return w & (w << 1) & kMsb; }
  std::uint64_t match_empty_or_deleted() const { return w & kMsb; }
  std::uint64_t match_full() const { return ~w & kMsb; }
};

inline std::size_t lowest(std::uint64_t mask) { return static_cast<std::size_t>(std::countr_zero(mask)) / 8; }
// The number of bytes a match mask marks: the marks (bit 7 of each byte)
// shifted to bit 0 and summed into the top byte by one multiplication
// (the baseline x86-64 target has no population-count instruction).
inline std::size_t marked_bytes(std::uint64_t mask) { return static_cast<std::size_t>(((mask >> 7) * kLsb) >> 56); }

// Slots per full-slot count.
constexpr std::size_t kBlockSlots = 256;

// Key equality without a library call for the short keys that make up most
// lookups: 4 to 16 bytes compare as two overlapping words.
inline bool keys_equal(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n >= 8 && n <= 16) {
    return load_unaligned<std::uint64_t>(p) == load_unaligned<std::uint64_t>(q) &&
           load_unaligned<std::uint64_t>(p + n - 8) == load_unaligned<std::uint64_t>(q + n - 8);
  }
  if (n >= 4 && n < 8) {
    return load_unaligned<std::uint32_t>(p) == load_unaligned<std::uint32_t>(q) &&
           load_unaligned<std::uint32_t>(p + n - 4) == load_unaligned<std::uint32_t>(q + n - 4);
  }
  return n == 0 || std::memcmp(p, q, n) == 0;
}

}  // namespace flat_detail

template <class Traits>
class FlatTable {
 public:
  using Slot = typename Traits::Slot;
  static_assert(sizeof(Slot) == 8, "slots are 8-byte handles");
  static constexpr std::size_t npos = ~std::size_t{0};

  explicit FlatTable(Traits traits = Traits()) : traits_(traits) {}
  ~FlatTable() {
    for (Slot s : *this) Traits::destroy(s);
    free_storage();
  }
  FlatTable(FlatTable&& o) noexcept
      : traits_(o.traits_),
        slots_(std::exchange(o.slots_, nullptr)),
        ctrl_(std::exchange(o.ctrl_, nullptr)),
        mask_(std::exchange(o.mask_, 0)),
        items_(std::exchange(o.items_, 0)),
        growth_left_(std::exchange(o.growth_left_, 0)) {}
  FlatTable& operator=(FlatTable&& o) noexcept {
    if (this != &o) {
      FlatTable old(std::move(*this));
      traits_ = o.traits_;
      slots_ = std::exchange(o.slots_, nullptr);
      ctrl_ = std::exchange(o.ctrl_, nullptr);
      mask_ = std::exchange(o.mask_, 0);
      items_ = std::exchange(o.items_, 0);
      growth_left_ = std::exchange(o.growth_left_, 0);
    }
    return *this;
  }
  FlatTable(const FlatTable&) = delete;
  FlatTable& operator=(const FlatTable&) = delete;

  const Traits& traits() const { return traits_; }
  std::size_t size() const { return items_; }
  bool empty() const { return items_ == 0; }
  std::size_t slot_count() const { return slots_ == nullptr ? 0 : mask_ + 1; }
  // C: entries plus inserts possible without growing; 0 without storage.
  std::size_t usable_capacity() const { return slots_ == nullptr ? 0 : items_ + growth_left_; }
  // The largest usable capacity one more insert (after reserve(1)) can
  // leave: one more than now when it fits the budget (reusing a
  // removed-slot marker costs no budget, so the capacity grows with the
  // items), else the capacity of the table reserve(1) rebuilds.
  std::size_t usable_capacity_after_insert() const {
    if (slots_ != nullptr && growth_left_ >= 1) return usable_capacity() + 1;
    std::size_t s = 4;
    while (capacity_of(s) < items_ + 1) s *= 2;
    return capacity_of(s);
  }

  // The slot holding key, or npos.
  std::size_t find(std::string_view key, std::uint64_t hash) const {
    using namespace flat_detail;
    if (slots_ == nullptr) return npos;
    const std::uint8_t tag = tag_of(hash);
    std::size_t pos = hash & mask_;
    // The matching slot is almost always in the first group: start loading
    // it now so its cache miss overlaps the control bytes' miss.
    __builtin_prefetch(slots_ + pos);
    std::size_t stride = 0;
    while (true) {
      Group g = Group::load(ctrl_ + pos);
      for (std::uint64_t m = g.match_tag(tag); m != 0; m &= m - 1) {
        std::size_t i = (pos + lowest(m)) & mask_;
        if (keys_equal(Traits::key(slots_[i]), key)) return i;
      }
      if (g.match_empty() != 0) return npos;
      stride += kGroup;
      pos = (pos + stride) & mask_;
    }
  }
  Slot& at(std::size_t slot) { return slots_[slot]; }
  Slot at(std::size_t slot) const { return slots_[slot]; }

  // Makes room so that `extra` more inserts need no rebuild (used when the
  // final size is known in advance, as in loading). Throws std::bad_alloc
  // (table unchanged).
  void reserve(std::size_t extra) {
    if (slots_ != nullptr && growth_left_ >= extra) return;
    std::size_t s = 4;
    while (capacity_of(s) < items_ + extra) s *= 2;
    resize(s);
  }

  // Inserts a slot whose key is not present, growing first if the table
  // has no insert budget. Throws std::bad_alloc (table unchanged).
  void insert_new(std::uint64_t hash, Slot entry) {
    using namespace flat_detail;
    if (slots_ == nullptr || growth_left_ == 0) {
      // Size for max(items + 1, C + 1) where C is the usable capacity.
      // Without removed-slot markers this doubles the slot count; with them
      // the table is rebuilt at the size its live entries need, dropping
      // the markers.
      const std::size_t want = std::max(items_ + 1, usable_capacity() + 1);
      std::size_t s = 4;
      while (capacity_of(s) < want) s *= 2;
      resize(s);
    }
    std::size_t i = find_insert_slot(hash);
    // Reusing a removed-slot marker does not consume budget; an empty slot does.
    if (ctrl_[i] == kEmpty) --growth_left_;
    occupy(i, tag_of(hash));
    slots_[i] = entry;
    ++items_;
  }

  // Removes the slot's entry and returns it (the caller frees it), then
  // releases or shrinks the storage by the policy above. A failed shrink
  // (out of memory) leaves the table larger but consistent.
  Slot erase(std::size_t slot) {
    using namespace flat_detail;
    Slot e = slots_[slot];
    slots_[slot] = Slot();
    // If no probe sequence can have passed over this slot (it sits inside a
    // run of fewer than 8 full bytes between empty ones), it can become
    // EMPTY again; otherwise it must stay a removed-slot marker.
    const std::size_t before = (slot - kGroup) & mask_;
    const std::uint64_t empty_before = Group::load(ctrl_ + before).match_empty();
    const std::uint64_t empty_after = Group::load(ctrl_ + slot).match_empty();
    const int lead = empty_before == 0 ? 64 : std::countl_zero(empty_before);
    const int trail = empty_after == 0 ? 64 : std::countr_zero(empty_after);
    const bool can_empty =
        empty_before != 0 && empty_after != 0 && (lead / 8 + trail / 8) < static_cast<int>(kGroup);
    if (can_empty) {
      set_ctrl(slot, kEmpty);
      ++growth_left_;
    } else {
      set_ctrl(slot, kDeleted);
    }
    --block_counts()[slot / kBlockSlots];
    --items_;

    if (items_ == 0) {
      free_storage();
    } else if (usable_capacity() >= 256 && items_ * 4 < usable_capacity()) {
      try {
        resize(slots_for(items_));
      } catch (const std::bad_alloc&) {
        // Keep the larger table; it is still correct.
      }
    }
    return e;
  }

  // Iteration in table (slot) order.
  std::size_t first_occupied() const { return next_occupied(0); }
  std::size_t next_occupied(std::size_t from) const {
    using namespace flat_detail;
    if (slots_ == nullptr) return npos;
    const std::size_t n = mask_ + 1;
    while (from < n) {
      std::uint64_t m = Group::load(ctrl_ + from).match_full();
      if (n - from < kGroup) m &= (std::uint64_t{1} << ((n - from) * 8)) - 1;
      if (m != 0) return from + lowest(m);
      from += kGroup;
    }
    return npos;
  }
  // The slot of the n-th occupied entry in table order; npos unless
  // n < size(). Reads the block counts up to n's block, then that block.
  std::size_t nth_occupied(std::size_t n) const {
    using namespace flat_detail;
    if (n >= items_) return npos;
    const std::size_t slots = mask_ + 1;
    const std::uint16_t* counts = block_counts();
    std::size_t block = 0;
    while (n >= counts[block]) n -= counts[block++];
    const std::size_t end = std::min((block + 1) * kBlockSlots, slots);
    for (std::size_t from = block * kBlockSlots; from < end; from += kGroup) {
      std::uint64_t m = Group::load(ctrl_ + from).match_full();
      if (end - from < kGroup) m &= (std::uint64_t{1} << ((end - from) * 8)) - 1;
      const std::size_t c = marked_bytes(m);
      if (n < c) {
        for (; n > 0; --n) m &= m - 1;
        return from + lowest(m);
      }
      n -= c;
    }
    return npos;  // not reached while the counts match the control bytes
  }

  // Iteration by home position, for cursors that must survive rebuilds.
  // A key's home is hash & (slot_count() - 1), the start of its probe
  // sequence; unlike its slot, it depends on nothing but the hash and the
  // slot count, and doubling the slot count splits home p into p and
  // p + old count. Calls f(slot) once for each occupied slot whose key's
  // home is `home` (< slot_count()), walking home's probe sequence exactly
  // as far as find() does, so no such key is missed. Returns the number
  // of control groups read.
  template <class F>
  std::size_t for_each_at_home(std::size_t home, F&& f) const {
    using namespace flat_detail;
    if (slots_ == nullptr) return 0;
    std::size_t pos = home;
    std::size_t stride = 0;
    std::size_t groups = 0;
    while (true) {
      const Group g = Group::load(ctrl_ + pos);
      for (std::uint64_t m = g.match_full(); m != 0; m &= m - 1) {
        const std::size_t i = (pos + lowest(m)) & mask_;
        if ((traits_.hash(Traits::key(slots_[i])) & mask_) != home) continue;
        if (groups != 0 && in_probe_windows(home, groups, i)) continue;  // reported already
        f(i);
      }
      ++groups;
      if (g.match_empty() != 0) return groups;
      stride += kGroup;
      pos = (pos + stride) & mask_;
    }
  }

  class iterator {
   public:
    iterator(const FlatTable* t, std::size_t i) : t_(t), i_(i) {}
    Slot operator*() const { return t_->slots_[i_]; }
    iterator& operator++() {
      i_ = t_->next_occupied(i_ + 1);
      return *this;
    }
    bool operator==(const iterator& o) const { return i_ == o.i_; }

   private:
    const FlatTable* t_;
    std::size_t i_;
  };
  iterator begin() const { return iterator(this, next_occupied(0)); }
  iterator end() const { return iterator(this, npos); }

  template <class F>
  void for_each(F&& f) const {
    for (Slot s : *this) f(s);
  }

  // Detaches all storage and entries into the returned table, leaving this
  // one empty without storage.
  FlatTable detach() { return FlatTable(std::move(*this)); }

 private:
  static std::size_t capacity_of(std::size_t slots) { return slots <= 8 ? slots - 1 : slots / 8 * 7; }
  // Bytes of storage for S slots: the slots, S + 8 control bytes and the
  // block counts (at a 2-byte boundary; S + 8 is even for S >= 4).
  static std::size_t counts_offset(std::size_t slots) { return slots * sizeof(Slot) + slots + flat_detail::kGroup; }
  static std::size_t storage_bytes(std::size_t slots) {
    const std::size_t blocks = (slots + flat_detail::kBlockSlots - 1) / flat_detail::kBlockSlots;
    return counts_offset(slots) + blocks * sizeof(std::uint16_t);
  }
  std::uint16_t* block_counts() const {
    return reinterpret_cast<std::uint16_t*>(reinterpret_cast<char*>(slots_) + counts_offset(mask_ + 1));
  }
  // Marks an empty or removed slot full with the key's tag.
  void occupy(std::size_t i, std::uint8_t tag) {
    set_ctrl(i, tag);
    ++block_counts()[i / flat_detail::kBlockSlots];
  }

  static std::size_t slots_for(std::size_t items) {
    if (items < 4) return 4;
    if (items < 8) return 8;
    return std::bit_ceil(items * 8 / 7);
  }

  void set_ctrl(std::size_t i, std::uint8_t c) {
    // Mirror the first group's bytes after the end (for small tables the
    // mirror index lands past the real slots, in the always-EMPTY tail).
    ctrl_[i] = c;
    ctrl_[((i - flat_detail::kGroup) & mask_) + flat_detail::kGroup] = c;
  }

  // Whether slot i lies in one of the first `windows` groups of home's
  // probe sequence. In tables of 16 or 32 slots the sequence revisits
  // slots; for_each_at_home uses this to report each slot once.
  bool in_probe_windows(std::size_t home, std::size_t windows, std::size_t i) const {
    std::size_t pos = home;
    std::size_t stride = 0;
    for (std::size_t w = 0; w < windows; ++w) {
      if (((i - pos) & mask_) < flat_detail::kGroup) return true;
      stride += flat_detail::kGroup;
      pos = (pos + stride) & mask_;
    }
    return false;
  }

  std::size_t find_insert_slot(std::uint64_t hash) const {
    using namespace flat_detail;
    std::size_t pos = hash & mask_;
    std::size_t stride = 0;
    while (true) {
      std::uint64_t m = Group::load(ctrl_ + pos).match_empty_or_deleted();
      if (m != 0) {
        std::size_t i = (pos + lowest(m)) & mask_;
        // In a table smaller than a group, the tail bytes read as EMPTY but
        // wrap onto real slots that may be full; rescan from slot 0 then.
        if (ctrl_[i] < kDeleted) {
          i = lowest(Group::load(ctrl_).match_empty_or_deleted());
        }
        return i;
      }
      stride += kGroup;
      pos = (pos + stride) & mask_;
    }
  }

  void resize(std::size_t new_slots) {
    using namespace flat_detail;
    const std::size_t bytes = storage_bytes(new_slots);
    void* mem = std::malloc(bytes);
    if (mem == nullptr) throw std::bad_alloc();
    FlatTable fresh(traits_);
    fresh.slots_ = static_cast<Slot*>(mem);
    for (std::size_t i = 0; i < new_slots; ++i) new (fresh.slots_ + i) Slot();
    fresh.ctrl_ = reinterpret_cast<std::uint8_t*>(fresh.slots_ + new_slots);
    fresh.mask_ = new_slots - 1;
    std::memset(fresh.ctrl_, kEmpty, new_slots + kGroup);
    std::memset(fresh.block_counts(), 0, bytes - counts_offset(new_slots));
    for (std::size_t i = next_occupied(0); i != npos; i = next_occupied(i + 1)) {
      Slot e = slots_[i];
      const std::uint64_t h = traits_.hash(Traits::key(e));
      const std::size_t j = fresh.find_insert_slot(h);
      fresh.occupy(j, tag_of(h));
      fresh.slots_[j] = e;
    }
    fresh.items_ = items_;
    fresh.growth_left_ = capacity_of(new_slots) - items_;
    // The entries moved to fresh; drop the old storage without freeing them.
    std::free(slots_);
    slots_ = std::exchange(fresh.slots_, nullptr);
    ctrl_ = std::exchange(fresh.ctrl_, nullptr);
    mask_ = std::exchange(fresh.mask_, 0);
    items_ = std::exchange(fresh.items_, 0);
    growth_left_ = std::exchange(fresh.growth_left_, 0);
  }

  void free_storage() {
    std::free(slots_);
    slots_ = nullptr;
    ctrl_ = nullptr;
    mask_ = 0;
    items_ = 0;
    growth_left_ = 0;
  }

  [[no_unique_address]] Traits traits_;
  Slot* slots_ = nullptr;  // S slots, then S + 8 control bytes
  std::uint8_t* ctrl_ = nullptr;
  std::size_t mask_ = 0;  // S - 1
  std::size_t items_ = 0;
  std::size_t growth_left_ = 0;
};

}  // namespace mevora
