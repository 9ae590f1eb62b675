// ElemTable: the fields of a Hash or the members of a Set.
//
// Each element is ONE allocation (Elem: two lengths, then the key bytes,
// then the value bytes; a set member has an empty value), referenced from
// a FlatTable slot. A lookup costs the control-byte group, the slot and the
// element itself: no node chains, no separate string buffers. Every table
// hashes with its own random seed, so layouts differ between containers
// and runs; iteration order is table order and otherwise unspecified.
//
// Not thread-safe: the owning shard's lock protects it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/flat_table.h"
#include "core/key_hash.h"
#include "core/scan.h"

namespace mevora {

class Elem {
 public:
  // Throws std::bad_alloc.
  static Elem* create(std::string_view key, std::string_view value);
  static void destroy(Elem* e) { std::free(e); }

  std::string_view key() const { return {bytes(), static_cast<std::size_t>(klen_)}; }
  std::string_view value() const { return {bytes() + klen_, static_cast<std::size_t>(vlen_)}; }

 private:
  friend class ElemTable;
  Elem(std::uint64_t klen, std::uint64_t vlen) : klen_(klen), vlen_(vlen) {}
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
  const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }

  std::uint64_t klen_;
  std::uint64_t vlen_;
};

struct ElemSlots {
  using Slot = Elem*;
  std::uint64_t seed = 0;
  static std::string_view key(const Elem* e) { return e->key(); }
  static void destroy(Elem* e) { Elem::destroy(e); }
  std::uint64_t hash(std::string_view key) const { return hash_bytes(key.data(), key.size(), seed); }
};

extern template class FlatTable<ElemSlots>;

class ElemTable {
 public:
  explicit ElemTable(std::uint64_t seed) : t_(ElemSlots{seed}) {}

  std::size_t size() const { return t_.size(); }
  const Elem* find(std::string_view key) const {
    const std::size_t i = t_.find(key, t_.traits().hash(key));
    return i == Slots::npos ? nullptr : t_.at(i);
  }
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // Stores key -> value. Returns the replaced value's length, or nullopt
  // when the key was new. Throws std::bad_alloc (table unchanged).
  std::optional<std::uint64_t> put(std::string_view key, std::string_view value);
  // Adds key (with an empty value) if absent; true when it was added.
  // Throws std::bad_alloc (table unchanged).
  bool add(std::string_view key);
  // Room for `extra` more elements without a rebuild. Throws
  // std::bad_alloc (table unchanged).
  void reserve(std::size_t extra) { t_.reserve(extra); }
  // Stores a ready-made element, taking it over: replaces the element of
  // the same key (returning the replaced value's length) or inserts it
  // (returning nullopt). Cannot fail when the key is present or room was
  // reserved.
  std::optional<std::uint64_t> put_prepared(Elem* e);
  // Inserts a ready-made element when its key is absent (true); otherwise
  // frees it (false). Cannot fail after reserve.
  bool add_prepared(Elem* e);
  // Removes key. Returns the removed value's length, or nullopt when absent.
  std::optional<std::uint64_t> erase(std::string_view key);

  auto begin() const { return t_.begin(); }
  auto end() const { return t_.end(); }

  // The n-th element in table order (n < size()): with a random n, a
  // uniformly random element.
  const Elem* nth(std::size_t n) const { return t_.at(t_.nth_occupied(n)); }

  // One step of a cursor walk over the elements, with the guarantee of the
  // keyspace cursor (scan.h): the cursor is a home position walked in
  // bit-reversed order, so every element present for a whole walk is
  // reported at least once however the table grows or shrinks between
  // steps. Visits `count` (>= 1) home positions from cursor, calling
  // f(const Elem*) for each element found there, and returns the next
  // cursor (0: the walk is complete). Any cursor value is safe: bits past
  // the table's size are dropped. *homes, when given, receives the number
  // of home positions visited.
  template <class F>
  std::uint64_t scan(std::uint64_t cursor, std::uint64_t count, F&& f, std::uint64_t* homes = nullptr) const {
    const std::uint64_t slots = t_.slot_count();
    const std::uint64_t mask = slots == 0 ? 0 : slots - 1;
    std::uint64_t home = cursor & mask;
    std::uint64_t visited = 0;
    do {
      t_.for_each_at_home(home, [&](std::size_t slot) { f(static_cast<const Elem*>(t_.at(slot))); });
      ++visited;
      home = scan_cursor::next_home(home, mask);
    } while (home != 0 && visited < count);
    if (homes != nullptr) *homes = visited;
    return home;
  }

 private:
  using Slots = FlatTable<ElemSlots>;
  void insert_new(std::uint64_t hash, std::string_view key, std::string_view value);
  Slots t_;
};

}  // namespace mevora
