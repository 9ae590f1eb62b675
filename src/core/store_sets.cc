// Set operations: sadd, srem, smembers, sismember, scard.
//
// A set comes into existence with sadd and disappears when srem takes its
// last member (drop_if_empty, under the same lock hold). An sadd of no
// members on a missing key stores nothing and logs SADD, then DEL (the set
// it would create is empty and dropped at once). Members are looked up by
// string_view; a member's allocation is made only for members not yet
// present, before the SADD is logged.
#include "core/collection_access.h"

namespace mevora {

using collections::holds;

StoreResult<std::uint64_t> Store::sadd(std::string_view key, KeyList members) {
  if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);

  // Priced as a new set holding every given member, repeats and members
  // already present included; at least 80, so a limited store always runs
  // the admission check.
  const std::uint64_t members_cost = collections::items_cost(members);
  const auto need = [&] {
    return align16(key.size()) + kCollectionOverhead + table_growth_cost(s, key, h) + members_cost;
  };
  if (auto a = admit_or_error(need); !a.ok()) return make_err(a.error());

  LazyNow now(*clock_);
  WriteGuard g(s.lock);
  if (auto r = expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  if (members.empty() && s.table.find(key, h) == Table::npos) {
    return collections::log_empty_write(*this, WalRecord::with_items(WalKind::SAdd, key, members), key);
  }
  auto found = collections::find_or_build_locked(*this, s, key, h, CollectionKind::Set);
  if (!found.ok()) return make_err(found.error());
  collections::Target& target = found.value();
  CollEntry& c = target.coll();

  // The members not yet present, built before logging; a member repeated
  // in this call is built twice and its second copy freed when applied.
  collections::PreparedElems fresh;
  for (std::string_view m : members) {
    if (!c.set().contains(m)) fresh.add(Elem::create(m, {}));
  }
  c.set().reserve(fresh.size());

  // Logged with every given member in request order, before inserting.
  if (auto r = log_mutation(WalRecord::with_items(WalKind::SAdd, key, members)); !r.ok()) return make_err(r.error());
  target.commit(*this, s, h);
  std::uint64_t added = 0;
  for (Elem* e : fresh.take()) {
    const std::uint64_t cost = set_member_cost(e->key().size());
    if (!c.set().add_prepared(e)) continue;  // repeated in this call
    collections::add_element(*this, c, cost);
    ++added;
  }
  recharge_table(s);
  return added;
}

StoreResult<std::uint64_t> Store::srem(std::string_view key, KeyList members) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);

  WriteGuard g(s.lock);
  if (auto r = expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = collections::find_locked(*this, s, key, h, CollectionKind::Set);
  if (!found.ok()) return make_err(found.error());
  if (found.value() == nullptr) return std::uint64_t{0};
  CollEntry& c = *found.value();

  // Logged with every given member, present or not, before any removal.
  if (auto r = log_mutation(WalRecord::with_items(WalKind::SRem, key, members)); !r.ok()) return make_err(r.error());
  std::uint64_t removed = 0;
  for (std::string_view m : members) {
    if (!c.set().erase(m).has_value()) continue;
    collections::remove_element(*this, c, set_member_cost(m.size()));
    ++removed;
  }
  drop_if_empty(s, key, h);
  return removed;
}

StoreResult<std::vector<std::string>> Store::smembers(std::string_view key) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<std::vector<std::string>> {
    std::vector<std::string> out;
    if (e == nullptr) return out;
    if (!holds(*e, CollectionKind::Set)) return make_err(StoreError::WrongType);
    const ElemTable& set = e->coll()->set();
    out.reserve(set.size());
    for (const Elem* m : set) out.emplace_back(m->key());
    return out;
  });
}

StoreResult<bool> Store::sismember(std::string_view key, std::string_view member) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<bool> {
    if (e == nullptr) return false;
    if (!holds(*e, CollectionKind::Set)) return make_err(StoreError::WrongType);
    return e->coll()->set().contains(member);
  });
}

StoreResult<std::uint64_t> Store::scard(std::string_view key) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<std::uint64_t> {
    if (e == nullptr) return std::uint64_t{0};
    if (!holds(*e, CollectionKind::Set)) return make_err(StoreError::WrongType);
    return static_cast<std::uint64_t>(e->coll()->set().size());
  });
}

}  // namespace mevora
