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

 private:
  using Slots = FlatTable<ElemSlots>;
  void insert_new(std::uint64_t hash, std::string_view key, std::string_view value);
  Slots t_;
};

}  // namespace mevora
