// Set algebra: SMOVE, and the intersection, union and difference of sets,
// read (SINTER, SUNION, SDIFF, SINTERCARD) or stored (the STORE forms).
//
// The reads see every key at one instant (multi_key_read.h). The writes
// are atomic steps (multi_key_step.h) logged with the basic set records:
// SMOVE as SADD onto the destination and SREM from the source, a STORE as
// DEL of the destination and SADD of every member of the result, so that
// replay rebuilds exactly the same sets.
#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/collection_access.h"
#include "core/multi_key_read.h"
#include "core/multi_key_step.h"

namespace mevora {
namespace {

using collections::holds;
using Sets = std::vector<const ElemTable*>;

// The set of each entry (nullptr for a missing key); WrongType when one
// holds another kind.
StoreResult<Sets> sets_of(std::span<EntryRef* const> entries) {
  Sets sets;
  sets.reserve(entries.size());
  for (const EntryRef* e : entries) {
    if (e == nullptr) {
      sets.push_back(nullptr);
      continue;
    }
    if (!holds(*e, CollectionKind::Set)) return make_err(StoreError::WrongType);
    sets.push_back(&e->coll()->set());
  }
  return sets;
}

bool contains(const ElemTable* set, std::string_view m) { return set != nullptr && set->contains(m); }

// The members of op over sets (nullptr: an empty set), as views into them,
// each once. An intersection stops once it has `limit` members (0: all).
std::vector<std::string_view> combine(Store::SetOp op, const Sets& sets, std::uint64_t limit) {
  std::vector<std::string_view> out;
  switch (op) {
    case Store::SetOp::Inter: {
      if (sets.empty() || std::find(sets.begin(), sets.end(), nullptr) != sets.end()) return out;
      // Walks the smallest set, looking each member up in the others.
      const ElemTable* smallest = *std::min_element(
          sets.begin(), sets.end(), [](const ElemTable* a, const ElemTable* b) { return a->size() < b->size(); });
      for (const Elem* el : *smallest) {
        const std::string_view m = el->key();
        const bool everywhere = std::all_of(sets.begin(), sets.end(), [&](const ElemTable* s) {
          return s == smallest || s->contains(m);
        });
        if (!everywhere) continue;
        out.push_back(m);
        if (limit != 0 && out.size() == limit) break;
      }
      return out;
    }
    case Store::SetOp::Union: {
      std::size_t total = 0;
      for (const ElemTable* s : sets) total += s == nullptr ? 0 : s->size();
      std::unordered_set<std::string_view> seen;
      seen.reserve(total);
      out.reserve(total);
      for (const ElemTable* s : sets) {
        if (s == nullptr) continue;
        for (const Elem* el : *s) {
          if (seen.insert(el->key()).second) out.push_back(el->key());
        }
      }
      return out;
    }
    case Store::SetOp::Diff: {
      if (sets.empty() || sets.front() == nullptr) return out;
      for (const Elem* el : *sets.front()) {
        const std::string_view m = el->key();
        const bool elsewhere =
            std::any_of(sets.begin() + 1, sets.end(), [&](const ElemTable* s) { return contains(s, m); });
        if (!elsewhere) out.push_back(m);
      }
      return out;
    }
  }
  return out;
}

}  // namespace

StoreResult<std::vector<std::string>> Store::set_algebra(SetOp op, KeyList keys) {
  using Out = std::vector<std::string>;
  return multi_key_read(*this, keys, [&](std::span<EntryRef* const> entries) -> StoreResult<Out> {
    auto sets = sets_of(entries);
    if (!sets.ok()) return make_err(sets.error());
    const std::vector<std::string_view> members = combine(op, sets.value(), 0);
    return Out(members.begin(), members.end());
  });
}

StoreResult<std::uint64_t> Store::sintercard(KeyList keys, std::uint64_t limit) {
  return multi_key_read(*this, keys, [&](std::span<EntryRef* const> entries) -> StoreResult<std::uint64_t> {
    auto sets = sets_of(entries);
    if (!sets.ok()) return make_err(sets.error());
    return static_cast<std::uint64_t>(combine(SetOp::Inter, sets.value(), limit).size());
  });
}

StoreResult<bool> Store::smove(std::string_view source, std::string_view destination, std::string_view member) {
  if (auto k = check_key_length(destination); !k.ok()) return make_err(k.error());
  const std::string_view keys[] = {source, destination};
  return multi_key_step<bool>(*this, keys, [&]() -> StoreResult<bool> {
    // Both kinds are checked before the first change.
    StoreResult<bool> present = sismember(source, member);
    if (!present.ok()) return present;
    if (auto d = scard(destination); !d.ok()) return make_err(d.error());
    if (!present.value() || source == destination) return present;
    // Added first: a refused addition (memory) leaves both sets as they were.
    if (auto added = sadd(destination, KeyList(&member, 1)); !added.ok()) return make_err(added.error());
    if (auto removed = srem(source, KeyList(&member, 1)); !removed.ok()) return make_err(removed.error());
    return true;
  });
}

StoreResult<std::uint64_t> Store::set_algebra_store(SetOp op, std::string_view destination, KeyList keys) {
  if (auto k = check_key_length(destination); !k.ok()) return make_err(k.error());
  std::vector<std::string_view> declared;
  declared.reserve(keys.size() + 1);
  declared.push_back(destination);
  declared.insert(declared.end(), keys.begin(), keys.end());
  return multi_key_step<std::uint64_t>(
      *this, declared, [&]() MEVORA_NO_THREAD_SAFETY_ANALYSIS -> StoreResult<std::uint64_t> {
        // Every shard is held by the step's transaction.
        LazyNow now(*clock_);
        Sets sets;
        sets.reserve(keys.size());
        for (std::string_view key : keys) {
          const std::uint64_t h = key_hash(key);
          Shard& s = shard_for(h);
          auto slot = live_slot_locked(s, key, h, now);
          if (!slot.ok()) return make_err(slot.error());
          if (slot.value() == Table::npos) {
            sets.push_back(nullptr);
            continue;
          }
          const EntryRef e = s.table.at(slot.value());
          stamp(e.head());
          if (!holds(e, CollectionKind::Set)) return make_err(StoreError::WrongType);
          sets.push_back(&e.coll()->set());
        }
        const std::vector<std::string_view> members = combine(op, sets, 0);

        const std::uint64_t hd = key_hash(destination);
        Shard& sd = shard_for(hd);
        auto dst = live_slot_locked(sd, destination, hd, now);
        if (!dst.ok()) return make_err(dst.error());
        const std::size_t dst_slot = dst.value();
        if (members.empty()) {
          if (dst_slot != Table::npos) {
            if (auto r = remove_slot_locked(sd, dst_slot); !r.ok()) return make_err(r.error());
          }
          return std::uint64_t{0};
        }

        // Everything that can fail, before the first record: admission for
        // the new set (less what the replaced value frees), then the set
        // itself, built off the table.
        if (max_memory_ != 0) {
          std::uint64_t need = align16(destination.size()) + kCollectionOverhead +
                               collections::items_cost(members);
          std::uint64_t freed = 0;
          if (dst_slot == Table::npos) {
            need += table_growth_cost(sd, destination, hd);
          } else {
            freed = sd.table.at(dst_slot).accounted_size();
          }
          if (auto a = admit_or_error(need > freed ? need - freed : 0); !a.ok()) return make_err(a.error());
        }
        PendingEntry fresh(EntryRef(CollEntry::create(CollectionKind::Set, destination, 0, 0)));
        CollEntry& c = *fresh.e.coll();
        collections::PreparedElems elems;
        for (std::string_view m : members) elems.add(Elem::create(m, {}));
        c.set().reserve(elems.size());
        if (dst_slot == Table::npos) reserve_slot_locked(sd);

        if (dst_slot != Table::npos) {
          if (auto r = log_mutation(WalRecord::del(destination)); !r.ok()) return make_err(r.error());
        }
        if (auto r = log_mutation(WalRecord::with_items(WalKind::SAdd, destination, members)); !r.ok()) {
          return make_err(r.error());
        }

        // Apply: nothing below allocates or fails. The members are copies,
        // so the replaced value (perhaps one of the sources) can go.
        stamp(c.head);
        const EntryRef replaced = put_locked(sd, hd, dst_slot, std::exchange(fresh.e, EntryRef()));
        for (Elem* el : elems.take()) {
          const std::uint64_t cost = set_member_cost(el->key().size());
          (void)c.set().add_prepared(el);  // the members are distinct
          collections::add_element(*this, c, cost);
        }
        if (replaced) replaced.destroy();
        return static_cast<std::uint64_t>(members.size());
      });
}

}  // namespace mevora
