#include "core/table.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace mevora {
namespace {

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
  static Group load(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return {v};
  }
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

}  // namespace

Table::~Table() {
  for_each([](EntryRef e) { e.destroy(); });
  free_storage();
}

Table::Table(Table&& o) noexcept
    : slots_(std::exchange(o.slots_, nullptr)),
      ctrl_(std::exchange(o.ctrl_, nullptr)),
      mask_(std::exchange(o.mask_, 0)),
      items_(std::exchange(o.items_, 0)),
      growth_left_(std::exchange(o.growth_left_, 0)) {}

Table& Table::operator=(Table&& o) noexcept {
  if (this != &o) {
    Table old(std::move(*this));
    slots_ = std::exchange(o.slots_, nullptr);
    ctrl_ = std::exchange(o.ctrl_, nullptr);
    mask_ = std::exchange(o.mask_, 0);
    items_ = std::exchange(o.items_, 0);
    growth_left_ = std::exchange(o.growth_left_, 0);
  }
  return *this;
}

void Table::free_storage() {
  std::free(slots_);
  slots_ = nullptr;
  ctrl_ = nullptr;
  mask_ = 0;
  items_ = 0;
  growth_left_ = 0;
}

std::size_t Table::slots_for(std::size_t items) {
  if (items < 4) return 4;
  if (items < 8) return 8;
  return std::bit_ceil(items * 8 / 7);
}

void Table::set_ctrl(std::size_t i, std::uint8_t c) {
  // Mirror the first group's bytes after the end (for small tables the
  // mirror index lands past the real slots, in the always-EMPTY tail).
  ctrl_[i] = c;
  ctrl_[((i - kGroup) & mask_) + kGroup] = c;
}

std::size_t Table::find(std::string_view key, std::uint64_t hash) const {
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
      if (slots_[i].key() == key) return i;
    }
    if (g.match_empty() != 0) return npos;
    stride += kGroup;
    pos = (pos + stride) & mask_;
  }
}

std::size_t Table::find_insert_slot(std::uint64_t hash) const {
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

void Table::resize(std::size_t new_slots) {
  const std::size_t bytes = new_slots * sizeof(EntryRef) + new_slots + kGroup;
  void* mem = std::malloc(bytes);
  if (mem == nullptr) throw std::bad_alloc();
  Table fresh;
  fresh.slots_ = static_cast<EntryRef*>(mem);
  fresh.ctrl_ = reinterpret_cast<std::uint8_t*>(fresh.slots_ + new_slots);
  fresh.mask_ = new_slots - 1;
  std::memset(fresh.ctrl_, kEmpty, new_slots + kGroup);
  for (std::size_t i = next_occupied(0); i != npos; i = next_occupied(i + 1)) {
    EntryRef e = slots_[i];
    std::uint64_t h = key_hash(e.key());
    std::size_t j = fresh.find_insert_slot(h);
    fresh.set_ctrl(j, tag_of(h));
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

void Table::insert_new(std::uint64_t hash, EntryRef entry) {
  if (slots_ == nullptr || growth_left_ == 0) {
    // Size for max(items + 1, C + 1) where C is the usable capacity. Without
    // removed-slot markers this doubles the slot count; with them the table
    // is rebuilt at the size its live entries need, dropping the markers.
    const std::size_t want = std::max(items_ + 1, usable_capacity() + 1);
    std::size_t s = 4;
    while (capacity_of(s) < want) s *= 2;
    resize(s);
  }
  std::size_t i = find_insert_slot(hash);
  // Reusing a removed-slot marker does not consume budget; an empty slot does.
  if (ctrl_[i] == kEmpty) --growth_left_;
  set_ctrl(i, tag_of(hash));
  slots_[i] = entry;
  ++items_;
}

EntryRef Table::erase(std::size_t slot) {
  EntryRef e = slots_[slot];
  slots_[slot] = EntryRef();
  // If no probe sequence can have passed over this slot (it sits inside a
  // run of fewer than 8 full bytes between empty ones), it can become EMPTY
  // again; otherwise it must stay a removed-slot marker.
  const std::size_t before = (slot - kGroup) & mask_;
  const std::uint64_t empty_before = Group::load(ctrl_ + before).match_empty();
  const std::uint64_t empty_after = Group::load(ctrl_ + slot).match_empty();
  const int lead = empty_before == 0 ? 64 : std::countl_zero(empty_before);
  const int trail = empty_after == 0 ? 64 : std::countr_zero(empty_after);
  const bool can_empty = empty_before != 0 && empty_after != 0 && (lead / 8 + trail / 8) < static_cast<int>(kGroup);
  if (can_empty) {
    set_ctrl(slot, kEmpty);
    ++growth_left_;
  } else {
    set_ctrl(slot, kDeleted);
  }
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

std::size_t Table::next_occupied(std::size_t from) const {
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

std::size_t Table::nth_occupied(std::size_t n) const {
  const std::size_t slots = mask_ + 1;
  std::size_t from = 0;
  while (from < slots) {
    std::uint64_t m = Group::load(ctrl_ + from).match_full();
    if (slots - from < kGroup) m &= (std::uint64_t{1} << ((slots - from) * 8)) - 1;
    const std::size_t c = static_cast<std::size_t>(std::popcount(m));
    if (n < c) {
      for (; n > 0; --n) m &= m - 1;
      return from + lowest(m);
    }
    n -= c;
    from += kGroup;
  }
  return npos;
}

}  // namespace mevora
