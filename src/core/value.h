// Values, entries and the memory-accounting formulas.
//
// One Entry per key, owned by its shard's table through an EntryRef (a
// tagged pointer). Two storage forms:
//
//   StrEntry  (String kind): ONE allocation holding the entry header, then
//             the key bytes immediately followed by the value bytes.
//             +---------------------+------+------+-----------+
//             | EntryHead | vlen vcap | key  | value | spare   |
//             +---------------------+------+------+-----------+
//             Buffer length = key + value, capacity = key + vcap. Values of
//             4 GiB or more use the wide header (vcap == kWide) with 64-bit
//             lengths stored between the header and the key.
//   CollEntry (List, Hash, Set): the header plus an owned Collection.
//
// The memory figure is not measured from the allocator: it is computed by
// the exact formulas below (accounted_size, table_overhead), and the store
// moves its counter by their deltas at every change.
//
// Thread safety: entries belong to a shard and change only under its
// exclusive lock, except lru_stamp, which readers holding the shared lock
// may refresh with a relaxed atomic store.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/elem_table.h"
#include "core/key_hash.h"

namespace mevora {

// ---- accounting constants and formulas ------------------------------------

constexpr std::uint64_t align16(std::uint64_t x) { return (x + 15) & ~std::uint64_t{15}; }

constexpr std::uint64_t kElementOverhead = 56;
constexpr std::uint64_t kCollectionOverhead = 80;
constexpr std::uint64_t kSlotCost = 41;     // a 40-byte entry slot + 1 control byte
constexpr std::uint64_t kTableHeader = 16;
constexpr std::uint64_t kMaxKeyLen = 0xFFFFFFFFull;

constexpr std::uint64_t list_item_cost(std::uint64_t n) { return kElementOverhead + align16(n); }
constexpr std::uint64_t set_member_cost(std::uint64_t n) { return kElementOverhead + align16(n); }
constexpr std::uint64_t hash_field_cost(std::uint64_t f, std::uint64_t v) {
  return kElementOverhead + align16(f) + align16(v);
}

// table_overhead of a table whose usable capacity (entries + inserts it can
// still take without growing) is c.
constexpr std::uint64_t table_overhead_for(std::uint64_t c) {
  if (c == 0) return 0;
  if (c <= 3) return 192;
  return align16((c / 7) * 328 + 16);
}

// ---- entries ----------------------------------------------------------------

enum class CollectionKind : std::uint8_t { List = 0, Hash = 1, Set = 2 };

struct EntryHead {
  std::uint64_t deadline_ms = 0;  // 0 = no expiry; a set deadline is >= 1
  std::uint32_t key_len = 0;
  std::atomic<std::uint32_t> lru_stamp{0};

  bool due(std::uint64_t now) const { return deadline_ms != 0 && deadline_ms <= now; }
  void stamp(std::uint32_t s) { lru_stamp.store(s, std::memory_order_relaxed); }
};

class StrEntry {
 public:
  static constexpr std::uint32_t kWide = 0xFFFFFFFFu;

  // One allocation: key then value, capacity equal to length.
  static StrEntry* create(std::string_view key, std::string_view value, std::uint64_t deadline,
                          std::uint32_t stamp);
  static void destroy(StrEntry* e);

  EntryHead head;

  std::string_view key() const { return {data(), head.key_len}; }
  std::string_view value() const { return {data() + head.key_len, value_len()}; }
  std::uint64_t value_len() const { return vcap_ == kWide ? wide()[0] : vlen_; }
  std::uint64_t value_cap() const { return vcap_ == kWide ? wide()[1] : vcap_; }
  // Buffer capacity: key bytes plus value capacity.
  std::uint64_t buffer_cap() const { return head.key_len + value_cap(); }
  std::uint64_t buffer_len() const { return head.key_len + value_len(); }

  // Replaces the value in place when the new one has exactly the current
  // length and the buffer no spare capacity, so the entry's size and
  // accounted size stay as they are. Returns false, changing nothing,
  // otherwise.
  bool overwrite_if_same_size(std::string_view v) {
    if (value_len() != v.size() || value_cap() != v.size()) return false;
    if (!v.empty()) std::memcpy(data() + head.key_len, v.data(), v.size());
    return true;
  }

  // Appends bytes, growing the buffer to capacity max(2*cap, new length, 8)
  // when the spare capacity is too small. May reallocate: returns the
  // (possibly moved) entry. Throws std::bad_alloc, leaving *this intact.
  static StrEntry* append(StrEntry* e, std::string_view bytes);

  // The two halves of append, for writers that must do everything that can
  // fail before they log: with_room returns e itself when its spare
  // capacity takes `extra` more bytes, else a new entry (capacity grown as
  // append grows it) holding a copy of e's key, value, deadline and stamp,
  // leaving e untouched (throws std::bad_alloc). append_in_place then
  // copies bytes into the spare room, which must suffice; truncate_value
  // takes the value back to an earlier length.
  static StrEntry* with_room(StrEntry* e, std::uint64_t extra);
  void append_in_place(std::string_view bytes);
  void truncate_value(std::uint64_t len) { set_value_len(len); }

 private:
  static StrEntry* allocate(std::uint32_t key_len, std::uint64_t vlen, std::uint64_t vcap);
  void set_value_len(std::uint64_t len);
  static bool needs_wide(std::uint64_t vlen, std::uint64_t vcap) { return vcap >= kWide || vlen >= kWide; }

  const std::uint64_t* wide() const { return reinterpret_cast<const std::uint64_t*>(this + 1); }
  std::uint64_t* wide() { return reinterpret_cast<std::uint64_t*>(this + 1); }
  char* data() { return reinterpret_cast<char*>(this + 1) + (vcap_ == kWide ? 16 : 0); }
  const char* data() const { return reinterpret_cast<const char*>(this + 1) + (vcap_ == kWide ? 16 : 0); }

  std::uint32_t vlen_ = 0;
  std::uint32_t vcap_ = 0;
};
static_assert(sizeof(StrEntry) == 24, "string entry header must stay compact");

std::uint64_t new_collection_seed();

// A ring-buffer double-ended queue of owned byte strings.
class ByteDeque {
 public:
  std::size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  const std::string& at(std::size_t i) const { return buf_[(head_ + i) & (buf_.size() - 1)]; }
  void push_front(std::string s);
  void push_back(std::string s);
  // Room for `extra` more items, so the pushes that follow cannot fail.
  // Throws std::bad_alloc (items unchanged; the capacity may have grown).
  void reserve(std::size_t extra);
  std::string pop_front();
  std::string pop_back();
  // Replaces the item at i (< size()), returning the one it held.
  std::string replace(std::size_t i, std::string s);
  // Inserts s before position i (<= size()); the items from i on move one
  // place towards the tail. Cannot fail after reserve(1).
  void insert(std::size_t i, std::string s);
  // Removes the items at `positions` (ascending, each < size()) in one
  // pass; the others keep their order.
  void erase_positions(std::span<const std::size_t> positions);

 private:
  void grow();
  std::string& slot(std::size_t i) { return buf_[(head_ + i) & (buf_.size() - 1)]; }
  std::vector<std::string> buf_;  // size is 0 or a power of two
  std::size_t head_ = 0;
  std::size_t len_ = 0;
};

// A List, Hash or Set value with the bookkeeping of its elements' costs.
class CollEntry {
 public:
  static CollEntry* create(CollectionKind kind, std::string_view key, std::uint64_t deadline,
                           std::uint32_t stamp);
  static void destroy(CollEntry* e);
  ~CollEntry();

  EntryHead head;
  const CollectionKind kind;
  std::uint64_t value_size = 0;  // sum of element costs; never below 0

  std::string_view key() const { return key_; }
  std::size_t count() const;

  ByteDeque& list() { return u_.list; }
  ElemTable& hash() { return u_.elems; }
  ElemTable& set() { return u_.elems; }
  const ByteDeque& list() const { return u_.list; }
  const ElemTable& hash() const { return u_.elems; }
  const ElemTable& set() const { return u_.elems; }

  // Gives the collection another key (a rename). The entry must not be
  // probed under its old key afterwards; accounted_size follows the new
  // key's length.
  void rekey(std::string key) noexcept {
    key_ = std::move(key);
    head.key_len = static_cast<std::uint32_t>(key_.size());
  }

  void add_cost(std::uint64_t c) { value_size += c; }
  void sub_cost(std::uint64_t c) { value_size = value_size > c ? value_size - c : 0; }

 private:
  CollEntry(CollectionKind k, std::string_view key);
  union Elements {
    Elements() {}
    ~Elements() {}
    ByteDeque list;
    ElemTable elems;  // Hash fields or Set members
  } u_;
  std::string key_;
};

// EntryRef: what a table slot holds. A tagged pointer: the low bit is set
// for a CollEntry and clear for a StrEntry (both are at least 8-aligned).
class EntryRef {
 public:
  EntryRef() = default;
  explicit EntryRef(StrEntry* s) : bits_(reinterpret_cast<std::uintptr_t>(s)) {}
  explicit EntryRef(CollEntry* c) : bits_(reinterpret_cast<std::uintptr_t>(c) | 1u) {}

  bool is_string() const { return (bits_ & 1u) == 0; }
  StrEntry* str() const { return reinterpret_cast<StrEntry*>(bits_); }
  CollEntry* coll() const { return reinterpret_cast<CollEntry*>(bits_ & ~std::uintptr_t{1}); }
  EntryHead& head() const { return is_string() ? str()->head : coll()->head; }
  std::string_view key() const { return is_string() ? str()->key() : coll()->key(); }
  std::uintptr_t bits() const { return bits_; }
  explicit operator bool() const { return bits_ != 0; }

  // The entry's contribution to used_memory.
  std::uint64_t accounted_size() const;
  // Frees the entry and everything it owns.
  void destroy() const;

 private:
  std::uintptr_t bits_ = 0;
};

// Owns an entry built ahead of a change until a table takes it (by moving
// it out of `e`); destroys it otherwise, e.g. when the change is refused.
struct PendingEntry {
  EntryRef e;
  PendingEntry() = default;
  explicit PendingEntry(EntryRef entry) : e(entry) {}
  PendingEntry(const PendingEntry&) = delete;
  PendingEntry& operator=(const PendingEntry&) = delete;
  ~PendingEntry() {
    if (e) e.destroy();
  }
};

}  // namespace mevora
