// List operations beyond push/pop/range/length (store_lists.cc): indexed
// reads, search, conditional pushes, counted pops, trimming and moves.
//
// Every change is logged with the basic list records (LPUSH, RPUSH, LPOP,
// RPOP); a change made of several of them runs as one group
// (multi_key_step.h), so replay rebuilds exactly the same list.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/collection_access.h"
#include "core/multi_key_step.h"

namespace mevora {
namespace {

using collections::holds;

// Runs read(const ByteDeque&) on the list under key with the shard lock
// shared; a missing key reads as `missing`.
template <class T, class Read>
StoreResult<T> read_list(Store& store, std::string_view key, T missing, Read&& read) {
  return store.read_path(key, [&](EntryRef* e) -> StoreResult<T> {
    if (e == nullptr) return std::move(missing);
    if (!holds(*e, CollectionKind::List)) return make_err(StoreError::WrongType);
    return read(e->coll()->list());
  });
}

// The position index names in a list of n items, or nullopt when out of
// range.
std::optional<std::size_t> position(std::int64_t index, std::size_t n) {
  const auto size = static_cast<std::int64_t>(n);
  const std::int64_t i = index < 0 ? size + index : index;
  if (i < 0 || i >= size) return std::nullopt;
  return static_cast<std::size_t>(i);
}

// Pops `front` items from the head and `back` items from the tail of the
// list under key (which holds at least front + back items), logging one
// LPOP or RPOP per item before applying it, then drops the emptied key.
// Runs under the shard's exclusive lock, inside a group, whose batch takes
// every record; should the log refuse one all the same, the pops stop
// there (memory still matching the log) and the refusal is returned.
StoreResult<std::vector<std::string>> pop_locked(Store& store, Shard& s, std::string_view key, std::uint64_t h,
                                                 CollEntry& c, std::uint64_t front, std::uint64_t back)
    MEVORA_REQUIRES(s.lock) {
  std::vector<std::string> out;
  out.reserve(front + back);
  for (std::uint64_t i = 0; i < front + back; ++i) {
    const bool head = i < front;
    auto r = store.log_mutation(WalRecord::key_only(head ? WalKind::LPop : WalKind::RPop, key));
    if (!r.ok()) {
      store.drop_if_empty(s, key, h);
      return make_err(r.error());
    }
    std::string item = head ? c.list().pop_front() : c.list().pop_back();
    collections::remove_element(store, c, list_item_cost(item.size()));
    out.push_back(std::move(item));
  }
  store.drop_if_empty(s, key, h);
  return out;
}

// Runs change(Shard&, CollEntry&) on the existing list under key, as one
// group under the shard's exclusive lock; nullopt when the key is missing.
template <class T, class Change>
StoreResult<std::optional<T>> change_list(Store& store, std::string_view key, Change&& change) {
  const std::string_view keys[] = {key};
  return multi_key_step<std::optional<T>>(store, keys, [&]() -> StoreResult<std::optional<T>> {
    const std::uint64_t h = key_hash(key);
    Shard& s = store.shard_for(h);
    LazyNow now(store.clock());
    WriteGuard g(s.lock);
    if (auto r = store.expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
    auto found = collections::find_locked(store, s, key, h, CollectionKind::List);
    if (!found.ok()) return make_err(found.error());
    if (found.value() == nullptr) return std::optional<T>();
    StoreResult<T> changed = change(s, h, *found.value());
    if (!changed.ok()) return make_err(changed.error());
    return std::optional<T>(std::move(changed.value()));
  });
}

}  // namespace

StoreResult<std::optional<std::string>> Store::lindex(std::string_view key, std::int64_t index) {
  using Out = std::optional<std::string>;
  return read_list(*this, key, Out(), [&](const ByteDeque& list) -> StoreResult<Out> {
    const std::optional<std::size_t> i = position(index, list.size());
    if (!i) return Out();
    return Out(list.at(*i));
  });
}

StoreResult<std::vector<std::int64_t>> Store::lpos(std::string_view key, std::string_view value, std::int64_t rank,
                                                   std::uint64_t count, std::uint64_t maxlen) {
  using Out = std::vector<std::int64_t>;
  return read_list(*this, key, Out(), [&](const ByteDeque& list) -> StoreResult<Out> {
    Out out;
    const std::size_t n = list.size();
    const bool forward = rank > 0;
    // Matches to pass over before the first one reported (rank is never
    // 0 here; -(rank + 1) avoids negating INT64_MIN).
    std::uint64_t skip = forward ? static_cast<std::uint64_t>(rank - 1) : static_cast<std::uint64_t>(-(rank + 1));
    const std::size_t limit = maxlen == 0 ? n : static_cast<std::size_t>(std::min<std::uint64_t>(maxlen, n));
    for (std::size_t step = 0; step < limit; ++step) {
      const std::size_t i = forward ? step : n - 1 - step;
      if (list.at(i) != value) continue;
      if (skip > 0) {
        --skip;
        continue;
      }
      out.push_back(static_cast<std::int64_t>(i));
      if (count != 0 && out.size() == count) break;
    }
    return out;
  });
}

StoreResult<std::uint64_t> Store::pushx(std::string_view key, KeyList values, ListEnd end) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);
  // Priced as pushes are: a new list holding every value.
  const std::uint64_t values_cost = collections::items_cost(values);
  const auto need = [&] { return kCollectionOverhead + align16(key.size()) + table_growth_cost(s, key, h) + values_cost; };
  if (auto a = admit_or_error(need); !a.ok()) return make_err(a.error());
  std::vector<std::string> items(values.begin(), values.end());

  WriteGuard g(s.lock);
  if (auto r = expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = collections::find_locked(*this, s, key, h, CollectionKind::List);
  if (!found.ok()) return make_err(found.error());
  if (found.value() == nullptr) return std::uint64_t{0};
  CollEntry& c = *found.value();
  c.list().reserve(items.size());

  const WalKind kind = end == ListEnd::Head ? WalKind::LPush : WalKind::RPush;
  if (auto r = log_mutation(WalRecord::with_items(kind, key, values)); !r.ok()) return make_err(r.error());
  for (std::string& v : items) {
    const std::uint64_t cost = list_item_cost(v.size());
    if (end == ListEnd::Head) {
      c.list().push_front(std::move(v));
    } else {
      c.list().push_back(std::move(v));
    }
    collections::add_element(*this, c, cost);
  }
  return static_cast<std::uint64_t>(c.list().size());
}

StoreResult<std::optional<std::vector<std::string>>> Store::pop_count(std::string_view key, std::uint64_t count,
                                                                      ListEnd end) {
  using Items = std::vector<std::string>;
  return change_list<Items>(*this, key, [&](Shard& s, std::uint64_t h, CollEntry& c) MEVORA_REQUIRES(s.lock) {
    const std::uint64_t n = std::min<std::uint64_t>(count, c.list().size());
    return end == ListEnd::Head ? pop_locked(*this, s, key, h, c, n, 0) : pop_locked(*this, s, key, h, c, 0, n);
  });
}

StoreResult<void> Store::ltrim(std::string_view key, std::int64_t start, std::int64_t stop) {
  auto r = change_list<bool>(*this, key, [&](Shard& s, std::uint64_t h, CollEntry& c) MEVORA_REQUIRES(s.lock) {
    // The clamping of lrange: n fits in i64, so n + start cannot overflow.
    const auto n = static_cast<std::int64_t>(c.list().size());
    const std::int64_t first = start >= 0 ? start : std::max<std::int64_t>(n + start, 0);
    const std::int64_t last = stop >= 0 ? std::min(stop, n - 1) : n + stop;
    const bool none_kept = first > last || first >= n;
    const auto front = static_cast<std::uint64_t>(none_kept ? n : first);
    const auto back = static_cast<std::uint64_t>(none_kept ? 0 : n - 1 - last);
    auto popped = pop_locked(*this, s, key, h, c, front, back);
    if (!popped.ok()) return StoreResult<bool>(make_err(popped.error()));
    return StoreResult<bool>(true);
  });
  if (!r.ok()) return make_err(r.error());
  return {};
}

StoreResult<std::optional<std::string>> Store::lmove(std::string_view source, std::string_view destination,
                                                     ListEnd from, ListEnd to) {
  using Out = std::optional<std::string>;
  const std::string_view keys[] = {source, destination};
  return multi_key_step<Out>(*this, keys, [&]() -> StoreResult<Out> {
    // Pushed first, popped second: a refused push (wrong kind, memory)
    // leaves both lists as they were, and on one key the pair rotates.
    StoreResult<Out> item = lindex(source, from == ListEnd::Head ? 0 : -1);
    if (!item.ok() || !item.value().has_value()) return item;
    const std::string_view v = *item.value();
    auto pushed = to == ListEnd::Head ? lpush(destination, KeyList(&v, 1)) : rpush(destination, KeyList(&v, 1));
    if (!pushed.ok()) return make_err(pushed.error());
    auto popped = from == ListEnd::Head ? lpop(source) : rpop(source);
    if (!popped.ok()) return make_err(popped.error());
    return item;
  });
}

// ---- edits (logged as LSET, LINSERT, LREM) ---------------------------------------------

namespace {

// Runs edit(Shard&, h, CollEntry&) on the existing list under key, under
// the shard's exclusive lock, after admitting `need` bytes; `missing` when
// the key is missing.
template <class T, class Edit>
StoreResult<T> edit_list(Store& store, std::string_view key, std::uint64_t need, T missing, Edit&& edit) {
  const std::uint64_t h = key_hash(key);
  Shard& s = store.shard_for(h);
  LazyNow now(store.clock());
  if (need != 0) {
    if (auto a = store.admit_or_error(need); !a.ok()) return make_err(a.error());
  }
  WriteGuard g(s.lock);
  if (auto r = store.expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = collections::find_locked(store, s, key, h, CollectionKind::List);
  if (!found.ok()) return make_err(found.error());
  if (found.value() == nullptr) return missing;
  return edit(s, h, *found.value());
}

}  // namespace

StoreResult<Store::ListSet> Store::lset(std::string_view key, std::int64_t index, std::string_view value) {
  return edit_list(*this, key, list_item_cost(value.size()), ListSet::NoSuchKey,
                   [&](Shard&, std::uint64_t, CollEntry& c) -> StoreResult<ListSet> {
                     const std::optional<std::size_t> i = position(index, c.list().size());
                     if (!i) return ListSet::OutOfRange;
                     std::string item(value);
                     if (auto r = log_mutation(WalRecord::lset(key, index, value)); !r.ok()) return make_err(r.error());
                     const std::string old = c.list().replace(*i, std::move(item));
                     collections::remove_element(*this, c, list_item_cost(old.size()));
                     collections::add_element(*this, c, list_item_cost(value.size()));
                     return ListSet::Done;
                   });
}

StoreResult<std::int64_t> Store::linsert(std::string_view key, bool after, std::string_view pivot,
                                         std::string_view value) {
  return edit_list(*this, key, list_item_cost(value.size()), std::int64_t{0},
                   [&](Shard&, std::uint64_t, CollEntry& c) -> StoreResult<std::int64_t> {
                     ByteDeque& list = c.list();
                     std::size_t at = 0;
                     while (at < list.size() && list.at(at) != pivot) ++at;
                     if (at == list.size()) return std::int64_t{-1};
                     std::string item(value);
                     list.reserve(1);
                     auto r = log_mutation(WalRecord::linsert(key, after, pivot, value));
                     if (!r.ok()) return make_err(r.error());
                     list.insert(after ? at + 1 : at, std::move(item));
                     collections::add_element(*this, c, list_item_cost(value.size()));
                     return static_cast<std::int64_t>(list.size());
                   });
}

StoreResult<std::uint64_t> Store::lrem(std::string_view key, std::int64_t count, std::string_view value) {
  return edit_list(*this, key, 0, std::uint64_t{0},
                   [&](Shard& s, std::uint64_t h, CollEntry& c) MEVORA_REQUIRES(s.lock) -> StoreResult<std::uint64_t> {
                     ByteDeque& list = c.list();
                     const std::size_t n = list.size();
                     // -(count + 1) + 1 avoids negating INT64_MIN.
                     const std::uint64_t limit = count >= 0 ? static_cast<std::uint64_t>(count)
                                                            : static_cast<std::uint64_t>(-(count + 1)) + 1;
                     std::vector<std::size_t> positions;
                     for (std::size_t step = 0; step < n; ++step) {
                       const std::size_t i = count >= 0 ? step : n - 1 - step;
                       if (list.at(i) != value) continue;
                       positions.push_back(i);
                       if (limit != 0 && positions.size() == limit) break;
                     }
                     if (positions.empty()) return std::uint64_t{0};
                     if (count < 0) std::reverse(positions.begin(), positions.end());
                     auto r = log_mutation(WalRecord::lrem(key, count, value));
                     if (!r.ok()) return make_err(r.error());
                     list.erase_positions(positions);
                     for (std::size_t k = 0; k < positions.size(); ++k) {
                       collections::remove_element(*this, c, list_item_cost(value.size()));
                     }
                     drop_if_empty(s, key, h);
                     return static_cast<std::uint64_t>(positions.size());
                   });
}

}  // namespace mevora
