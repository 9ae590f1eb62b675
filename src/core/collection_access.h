// Steps shared by the hash, list and set operations of the store
// (store_hashes.cc, store_lists.cc, store_sets.cc). Internal to the store.
//
// Every helper that names a Shard requires that shard's exclusive lock and
// runs after expire_if_due, so a due key has already been removed.
//
// Writes are ordered check/reserve -> log -> apply: everything that can
// fail (the kind check, building a new collection, table and element
// room, copies of the new elements) happens before the record is logged,
// and applying the change afterwards cannot fail. The
// CollEntry pointers they return are owned by the shard's table and stay
// valid only while the caller keeps holding that lock; the table may move
// its slots, but never the entries themselves.
//
// Errors: WrongType for an entry of another kind (after stamping it, so a
// refused access still counts as an access for eviction). A key longer
// than kMaxKeyLen cannot be created: KeyTooLong before anything changes
// here (the writes check it on entry too, before admission).
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "core/store.h"

namespace mevora::collections {

// The summed element cost of items, as counted by the admission need of a
// push or sadd (every item, repeats included).
inline std::uint64_t items_cost(KeyList items) {
  std::uint64_t sum = 0;
  for (std::string_view item : items) sum += kElementOverhead + align16(item.size());
  return sum;
}

// Whether e holds a collection of `kind`.
inline bool holds(EntryRef e, CollectionKind kind) { return !e.is_string() && e.coll()->kind == kind; }

// The live entry under key as a collection of `kind`, stamped: nullptr when
// the key is absent, WrongType when it holds another kind.
inline StoreResult<CollEntry*> find_locked(Store& store, Shard& s, std::string_view key, std::uint64_t h,
                                           CollectionKind kind) MEVORA_REQUIRES(s.lock) {
  const std::size_t slot = s.table.find(key, h);
  if (slot == Table::npos) return static_cast<CollEntry*>(nullptr);
  const EntryRef e = s.table.at(slot);
  store.stamp(e.head());
  if (!holds(e, kind)) return make_err(StoreError::WrongType);
  return e.coll();
}

// The collection a write goes to, found or built under the shard's
// exclusive lock before the write's record is logged. A collection built
// for an absent key is owned here, off the table, with room for it
// reserved in the table: commit() puts it in (which cannot fail) once the
// record is logged; a write that is refused just drops this object, and
// the keyspace never saw the collection.
class Target {
 public:
  Target(CollEntry* coll, bool fresh) : coll_(coll), fresh_(fresh) {}
  Target(Target&& o) noexcept : coll_(std::exchange(o.coll_, nullptr)), fresh_(std::exchange(o.fresh_, false)) {}
  Target& operator=(Target&&) = delete;
  ~Target() {
    if (fresh_) CollEntry::destroy(coll_);
  }

  CollEntry& coll() const { return *coll_; }
  // Whether the key was absent (the collection is new and not yet stored).
  bool fresh() const { return fresh_; }

  // Stores a new collection (no-op for an existing one): charged with its
  // accounted_size (80 + align16 of the key length) and stamped.
  void commit(Store& store, Shard& s, std::uint64_t h) MEVORA_REQUIRES(s.lock) {
    if (!fresh_) return;
    fresh_ = false;
    store.stamp(coll_->head);
    (void)store.put_locked(s, h, Table::npos, EntryRef(coll_));
  }

 private:
  CollEntry* coll_;
  bool fresh_;
};

// The live collection of `kind` under key (stamped), or a new empty one
// for an absent key (see Target). WrongType when the key holds another
// kind. Throws std::bad_alloc before anything changed.
inline StoreResult<Target> find_or_build_locked(Store& store, Shard& s, std::string_view key, std::uint64_t h,
                                                CollectionKind kind) MEVORA_REQUIRES(s.lock) {
  if (s.table.find(key, h) == Table::npos) {
    if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
    Target t(CollEntry::create(kind, key, 0, 0), true);
    store.reserve_slot_locked(s);
    return t;
  }
  auto found = find_locked(store, s, key, h, kind);
  if (!found.ok()) return make_err(found.error());
  return Target(found.value(), false);
}

// Elements built before a write is logged, owned here until take() hands
// them to the table; whatever was not taken is freed.
class PreparedElems {
 public:
  PreparedElems() = default;
  PreparedElems(const PreparedElems&) = delete;
  PreparedElems& operator=(const PreparedElems&) = delete;
  ~PreparedElems() {
    for (Elem* e : elems_) Elem::destroy(e);
  }

  // Takes e over; if recording it fails, e is freed and bad_alloc thrown.
  void add(Elem* e) {
    try {
      elems_.push_back(e);
    } catch (...) {
      Elem::destroy(e);
      throw;
    }
  }
  std::size_t size() const { return elems_.size(); }
  // The elements, no longer owned here: every one must be stored or freed.
  std::vector<Elem*> take() { return std::exchange(elems_, {}); }

 private:
  std::vector<Elem*> elems_;
};

// A push or sadd of no items onto a missing key: it creates a collection
// that is empty and so dropped at once, which leaves no key behind. Nothing
// is stored; the record and then the DEL are logged as the log has always
// shown it (replaying the record alone leaves no key either, so a refused
// DEL changes nothing). Returns 0 items, or the refusal of the record.
inline StoreResult<std::uint64_t> log_empty_write(Store& store, const WalRecord& record, std::string_view key) {
  if (auto r = store.log_mutation(record); !r.ok()) return make_err(r.error());
  (void)store.log_mutation(WalRecord::del(key));
  return std::uint64_t{0};
}

// Element accounting: value_size and used_memory always move by the same
// delta, so used_memory stays the sum of the accounted sizes. A removal
// saturates value_size at 0 and then moves used_memory by what was
// actually taken off.
inline void add_element(Store& store, CollEntry& c, std::uint64_t cost) {
  c.add_cost(cost);
  store.add_used(cost);
}

inline void remove_element(Store& store, CollEntry& c, std::uint64_t cost) {
  const std::uint64_t before = c.value_size;
  c.sub_cost(cost);
  store.sub_used(before - c.value_size);
}

}  // namespace mevora::collections
