// Hash operations: hset, hget, hdel, hgetall, hlen.
//
// A hash comes into existence with its first field (hset) and disappears
// with its last (hdel, through drop_if_empty). hset is the only one that
// can grow memory, so the only one that asks admit() first. A field and its
// value live in one allocation (ElemTable); lookups take the field as a
// string_view, so no temporary string is built for a lookup.
#include "core/collection_access.h"

namespace mevora {

using collections::find_locked;
using collections::holds;
using collections::find_or_build_locked;

StoreResult<bool> Store::hset(std::string_view key, std::string_view field, std::string_view value) {
  if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);

  // Always priced as a new key holding a new field (80 + 56 = 136); not
  // reduced when either already exists.
  const auto need = [&] {
    return align16(key.size()) + align16(field.size()) + align16(value.size()) + table_growth_cost(s, key, h) +
           kCollectionOverhead + kElementOverhead;
  };
  if (auto a = admit_or_error(need); !a.ok()) return make_err(a.error());

  WriteGuard g(s.lock);
  if (auto r = expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = find_or_build_locked(*this, s, key, h, CollectionKind::Hash);
  if (!found.ok()) return make_err(found.error());
  collections::Target& target = found.value();
  CollEntry& c = target.coll();

  // A value of the same length is overwritten in place; anything else
  // goes in as a new element, built (with table room) before logging.
  const Elem* current = c.hash().find(field);
  const bool in_place = current != nullptr && current->value().size() == value.size();
  collections::PreparedElems fresh;
  if (!in_place) {
    fresh.add(Elem::create(field, value));
    if (current == nullptr) c.hash().reserve(1);
  }

  if (auto r = log_mutation(WalRecord::hset(key, field, value)); !r.ok()) return make_err(r.error());
  target.commit(*this, s, h);
  std::optional<std::uint64_t> old_len;
  if (in_place) {
    old_len = c.hash().put(field, value);  // same length: no allocation
  } else {
    old_len = c.hash().put_prepared(fresh.take().front());
  }
  if (!old_len.has_value()) {
    collections::add_element(*this, c, hash_field_cost(field.size(), value.size()));
  } else {
    collections::remove_element(*this, c, align16(*old_len));
    collections::add_element(*this, c, align16(value.size()));
  }
  recharge_table(s);
  return !old_len.has_value();
}

StoreResult<bool> Store::hget(std::string_view key, std::string_view field, ValueSink& out) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<bool> {
    if (e == nullptr) return false;
    if (!holds(*e, CollectionKind::Hash)) return make_err(StoreError::WrongType);
    const Elem* el = e->coll()->hash().find(field);
    if (el == nullptr) return false;
    out.take(el->value());
    return true;
  });
}

StoreResult<std::optional<std::string>> Store::hget(std::string_view key, std::string_view field) {
  return read_copy([&](ValueSink& out) { return hget(key, field, out); });
}

StoreResult<std::uint64_t> Store::hdel(std::string_view key, KeyList fields) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);

  WriteGuard g(s.lock);
  if (auto r = expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = find_locked(*this, s, key, h, CollectionKind::Hash);
  if (!found.ok()) return make_err(found.error());
  if (found.value() == nullptr) return std::uint64_t{0};
  CollEntry& c = *found.value();

  // Logged with every requested field, present or not, before any removal.
  if (auto r = log_mutation(WalRecord::with_items(WalKind::HDel, key, fields)); !r.ok()) return make_err(r.error());
  std::uint64_t removed = 0;
  for (std::string_view field : fields) {
    const std::optional<std::uint64_t> value_len = c.hash().erase(field);
    if (!value_len.has_value()) continue;  // missing, or named twice
    collections::remove_element(*this, c, hash_field_cost(field.size(), *value_len));
    ++removed;
  }
  drop_if_empty(s, key, h);
  return removed;
}

StoreResult<std::vector<std::pair<std::string, std::string>>> Store::hgetall(std::string_view key) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  return read_path(key, [&](EntryRef* e) -> StoreResult<Pairs> {
    Pairs out;
    if (e == nullptr) return out;
    if (!holds(*e, CollectionKind::Hash)) return make_err(StoreError::WrongType);
    const ElemTable& map = e->coll()->hash();
    out.reserve(map.size());
    for (const Elem* el : map) out.emplace_back(el->key(), el->value());
    return out;
  });
}

StoreResult<std::uint64_t> Store::hlen(std::string_view key) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<std::uint64_t> {
    if (e == nullptr) return std::uint64_t{0};
    if (!holds(*e, CollectionKind::Hash)) return make_err(StoreError::WrongType);
    return static_cast<std::uint64_t>(e->coll()->hash().size());
  });
}

}  // namespace mevora
