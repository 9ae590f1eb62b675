// List operations: lpush, rpush, lpop, rpop, lrange, llen.
//
// A list comes into existence with its first push and disappears when its
// last item is popped (drop_if_empty, under the same lock hold). Pushes are
// the only list operations that can grow memory and ask admit() first. A
// push of several values is applied under one hold of the shard's
// exclusive lock, so no reader sees a partly pushed sequence.
#include <algorithm>
#include <string>
#include <vector>

#include "core/collection_access.h"

namespace mevora {
namespace {

enum class End { Head, Tail };

StoreResult<std::uint64_t> push(Store& store, std::string_view key, KeyList values, End end) {
  if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
  const std::uint64_t h = key_hash(key);
  Shard& s = store.shard_for(h);
  LazyNow now(store.clock());

  // Priced as a new list holding every value, even when the list exists.
  const std::uint64_t values_cost = collections::items_cost(values);
  const auto need = [&] {
    return kCollectionOverhead + align16(key.size()) + store.table_growth_cost(s, key, h) + values_cost;
  };
  if (auto a = store.admit_or_error(need); !a.ok()) return make_err(a.error());
  // The items the list will own, copied before any lock is taken.
  std::vector<std::string> items(values.begin(), values.end());

  WriteGuard g(s.lock);
  if (auto r = store.expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  const WalKind kind = end == End::Head ? WalKind::LPush : WalKind::RPush;
  if (items.empty() && s.table.find(key, h) == Table::npos) {
    return collections::log_empty_write(store, WalRecord::with_items(kind, key, values), key);
  }
  auto found = collections::find_or_build_locked(store, s, key, h, CollectionKind::List);
  if (!found.ok()) return make_err(found.error());
  collections::Target& target = found.value();
  CollEntry& c = target.coll();
  c.list().reserve(items.size());

  if (auto r = store.log_mutation(WalRecord::with_items(kind, key, values)); !r.ok()) return make_err(r.error());
  target.commit(store, s, h);
  ByteDeque& list = c.list();
  for (std::string& v : items) {
    const std::uint64_t cost = list_item_cost(v.size());
    if (end == End::Head) {
      list.push_front(std::move(v));  // a, b, c onto [x] gives [c, b, a, x]
    } else {
      list.push_back(std::move(v));
    }
    collections::add_element(store, c, cost);
  }
  store.recharge_table(s);
  return static_cast<std::uint64_t>(list.size());
}

StoreResult<std::optional<std::string>> pop(Store& store, std::string_view key, End end) {
  using Out = StoreResult<std::optional<std::string>>;
  const std::uint64_t h = key_hash(key);
  Shard& s = store.shard_for(h);
  LazyNow now(store.clock());

  WriteGuard g(s.lock);
  if (auto r = store.expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = collections::find_locked(store, s, key, h, CollectionKind::List);
  if (!found.ok()) return make_err(found.error());
  if (found.value() == nullptr || found.value()->list().empty()) return Out(std::optional<std::string>());
  CollEntry& c = *found.value();

  const WalKind kind = end == End::Head ? WalKind::LPop : WalKind::RPop;
  if (auto r = store.log_mutation(WalRecord::key_only(kind, key)); !r.ok()) return make_err(r.error());
  std::string item = end == End::Head ? c.list().pop_front() : c.list().pop_back();
  collections::remove_element(store, c, list_item_cost(item.size()));
  store.drop_if_empty(s, key, h);
  return Out(std::optional<std::string>(std::move(item)));
}

}  // namespace

StoreResult<std::uint64_t> Store::lpush(std::string_view key, KeyList values) {
  return push(*this, key, values, End::Head);
}

StoreResult<std::uint64_t> Store::rpush(std::string_view key, KeyList values) {
  return push(*this, key, values, End::Tail);
}

StoreResult<std::optional<std::string>> Store::lpop(std::string_view key) {
  return pop(*this, key, End::Head);
}

StoreResult<std::optional<std::string>> Store::rpop(std::string_view key) {
  return pop(*this, key, End::Tail);
}

StoreResult<std::vector<std::string>> Store::lrange(std::string_view key, std::int64_t start, std::int64_t stop) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<std::vector<std::string>> {
    std::vector<std::string> out;
    if (e == nullptr) return out;
    if (!collections::holds(*e, CollectionKind::List)) return make_err(StoreError::WrongType);
    const ByteDeque& list = e->coll()->list();
    // n fits in i64 (a list cannot hold 2^63 items), so n + start and
    // n + stop cannot overflow for negative start and stop.
    const auto n = static_cast<std::int64_t>(list.size());
    const std::int64_t first = start >= 0 ? start : std::max<std::int64_t>(n + start, 0);
    const std::int64_t last = stop >= 0 ? std::min(stop, n - 1) : n + stop;
    if (n == 0 || first > last || first >= n) return out;
    out.reserve(static_cast<std::size_t>(last - first + 1));
    for (std::int64_t i = first; i <= last; ++i) out.push_back(list.at(static_cast<std::size_t>(i)));
    return out;
  });
}

StoreResult<std::uint64_t> Store::llen(std::string_view key) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<std::uint64_t> {
    if (e == nullptr) return std::uint64_t{0};
    if (!collections::holds(*e, CollectionKind::List)) return make_err(StoreError::WrongType);
    return static_cast<std::uint64_t>(e->coll()->list().size());
  });
}

}  // namespace mevora
