// Hash operations beyond the basic ones (store_hashes.cc): multi-field
// reads and writes, field counters, random fields and the field cursor.
//
// Every change of a field is logged as HSET of the field's new value, so
// replay needs no record kind beyond those of the basic operations.
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/collection_access.h"
#include "core/multi_key_step.h"
#include "core/elem_pick.h"
#include "core/glob.h"
#include "core/number_text.h"

namespace mevora {
namespace {

using collections::holds;

// Runs read(const ElemTable&) on the hash under key with the shard lock
// shared; a missing key reads as `missing`.
template <class T, class Read>
StoreResult<T> read_hash(Store& store, std::string_view key, T missing, Read&& read) {
  return store.read_path(key, [&](EntryRef* e) -> StoreResult<T> {
    if (e == nullptr) return std::move(missing);
    if (!holds(*e, CollectionKind::Hash)) return make_err(StoreError::WrongType);
    return read(e->coll()->hash());
  });
}

// The admission need of a write to the hash under key before its fields
// are counted: a new hash, as hset prices one.
std::uint64_t hash_need(Store& store, Shard& s, std::string_view key, std::uint64_t h) {
  return align16(key.size()) + kCollectionOverhead + store.table_growth_cost(s, key, h);
}

// The longest text a field counter stores: an i64 in decimal (20 bytes)
// or a double in its shortest form (24 bytes), rounded up.
constexpr std::uint64_t kLongestNumberText = 32;

// Writes the pairs into the hash under key as one step: under the shard's
// exclusive lock, checks the kind and builds every new element, logs one
// HSET per pair, then stores them (nothing can fail after the first
// record). With only_if_absent (one pair), a field already present is
// left as it is and nothing is logged. Returns the number of fields that
// were new.
StoreResult<std::uint64_t> write_fields(Store& store, std::string_view key, std::span<const KeyValue> pairs,
                                        bool only_if_absent) {
  const std::uint64_t h = key_hash(key);
  Shard& s = store.shard_for(h);
  LazyNow now(store.clock());
  std::uint64_t fields_need = 0;
  for (const auto& [field, value] : pairs) fields_need += hash_field_cost(field.size(), value.size());
  if (auto a = store.admit_or_error([&] { return hash_need(store, s, key, h) + fields_need; }); !a.ok()) {
    return make_err(a.error());
  }

  WriteGuard g(s.lock);
  if (auto r = store.expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = collections::find_or_build_locked(store, s, key, h, CollectionKind::Hash);
  if (!found.ok()) return make_err(found.error());
  collections::Target& target = found.value();
  CollEntry& c = target.coll();
  if (only_if_absent && c.hash().contains(pairs.front().first)) return std::uint64_t{0};

  collections::PreparedElems fresh;
  for (const auto& [field, value] : pairs) fresh.add(Elem::create(field, value));
  c.hash().reserve(pairs.size());

  for (const auto& [field, value] : pairs) {
    if (auto r = store.log_mutation(WalRecord::hset(key, field, value)); !r.ok()) return make_err(r.error());
  }
  target.commit(store, s, h);
  std::uint64_t added = 0;
  for (Elem* e : fresh.take()) {
    const std::uint64_t field_len = e->key().size();
    const std::uint64_t value_len = e->value().size();
    const std::optional<std::uint64_t> old_len = c.hash().put_prepared(e);
    if (old_len.has_value()) {
      collections::remove_element(store, c, align16(*old_len));
      collections::add_element(store, c, align16(value_len));
    } else {
      collections::add_element(store, c, hash_field_cost(field_len, value_len));
      ++added;
    }
  }
  store.recharge_table(s);
  return added;
}

// Replaces the field's value with what next(current value or nullopt)
// makes of it, as one step: the new text is computed under the shard's
// exclusive lock (next's error leaves everything unchanged), logged as
// HSET and stored. Returns next's result.
template <class T, class Next>
StoreResult<T> update_field(Store& store, std::string_view key, std::string_view field, Next&& next) {
  const std::uint64_t h = key_hash(key);
  Shard& s = store.shard_for(h);
  LazyNow now(store.clock());
  // Priced as a new hash holding the field with the longest number text.
  const auto need = [&] { return hash_need(store, s, key, h) + hash_field_cost(field.size(), kLongestNumberText); };
  if (auto a = store.admit_or_error(need); !a.ok()) return make_err(a.error());

  WriteGuard g(s.lock);
  if (auto r = store.expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = collections::find_or_build_locked(store, s, key, h, CollectionKind::Hash);
  if (!found.ok()) return make_err(found.error());
  collections::Target& target = found.value();
  CollEntry& c = target.coll();
  const Elem* current = c.hash().find(field);
  std::optional<std::string_view> old_value;
  if (current != nullptr) old_value = current->value();
  StoreResult<std::pair<T, std::string>> made = next(old_value);
  if (!made.ok()) return make_err(made.error());
  const std::string& text = made.value().second;

  collections::PreparedElems fresh;
  fresh.add(Elem::create(field, text));
  if (current == nullptr) c.hash().reserve(1);
  if (auto r = store.log_mutation(WalRecord::hset(key, field, text)); !r.ok()) return make_err(r.error());
  target.commit(store, s, h);
  const std::optional<std::uint64_t> old_len = c.hash().put_prepared(fresh.take().front());
  if (old_len.has_value()) {
    collections::remove_element(store, c, align16(*old_len));
    collections::add_element(store, c, align16(text.size()));
  } else {
    collections::add_element(store, c, hash_field_cost(field.size(), text.size()));
  }
  store.recharge_table(s);
  return std::move(made.value().first);
}

}  // namespace

StoreResult<std::vector<std::optional<std::string>>> Store::hmget(std::string_view key, KeyList fields) {
  using Values = std::vector<std::optional<std::string>>;
  return read_hash(*this, key, Values(fields.size()), [&](const ElemTable& map) -> StoreResult<Values> {
    Values out;
    out.reserve(fields.size());
    for (std::string_view f : fields) {
      const Elem* el = map.find(f);
      out.push_back(el == nullptr ? std::nullopt : std::optional<std::string>(el->value()));
    }
    return out;
  });
}

StoreResult<void> Store::hmset(std::string_view key, std::span<const KeyValue> pairs) {
  const std::string_view keys[] = {key};
  auto r = multi_key_step<std::uint64_t>(*this, keys, [&] { return write_fields(*this, key, pairs, false); });
  if (!r.ok()) return make_err(r.error());
  return {};
}

StoreResult<bool> Store::hsetnx(std::string_view key, std::string_view field, std::string_view value) {
  const KeyValue pair{field, value};
  auto r = write_fields(*this, key, std::span(&pair, 1), true);
  if (!r.ok()) return make_err(r.error());
  return r.value() == 1;
}

StoreResult<bool> Store::hexists(std::string_view key, std::string_view field) {
  return read_hash(*this, key, false, [&](const ElemTable& map) -> StoreResult<bool> { return map.contains(field); });
}

namespace {

// A copy of one side (part(el)) of every field of the hash under key.
template <class Part>
StoreResult<std::vector<std::string>> hash_column(Store& store, std::string_view key, Part part) {
  using Out = std::vector<std::string>;
  return read_hash(store, key, Out(), [&](const ElemTable& map) -> StoreResult<Out> {
    Out out;
    out.reserve(map.size());
    for (const Elem* el : map) out.emplace_back(part(*el));
    return out;
  });
}

}  // namespace

StoreResult<std::vector<std::string>> Store::hkeys(std::string_view key) {
  return hash_column(*this, key, [](const Elem& el) { return el.key(); });
}

StoreResult<std::vector<std::string>> Store::hvals(std::string_view key) {
  return hash_column(*this, key, [](const Elem& el) { return el.value(); });
}

StoreResult<std::uint64_t> Store::hstrlen(std::string_view key, std::string_view field) {
  return read_hash(*this, key, std::uint64_t{0}, [&](const ElemTable& map) -> StoreResult<std::uint64_t> {
    const Elem* el = map.find(field);
    return el == nullptr ? std::uint64_t{0} : static_cast<std::uint64_t>(el->value().size());
  });
}

StoreResult<std::int64_t> Store::hincrby(std::string_view key, std::string_view field, std::int64_t amount) {
  using Made = StoreResult<std::pair<std::int64_t, std::string>>;
  return update_field<std::int64_t>(*this, key, field, [&](std::optional<std::string_view> old) -> Made {
    std::int64_t current = 0;
    if (old.has_value() && !parse_counter(*old, current)) return make_err(StoreError::NotInteger);
    std::int64_t result = 0;
    if (__builtin_add_overflow(current, amount, &result)) return make_err(StoreError::Overflow);
    return std::pair(result, std::to_string(result));
  });
}

StoreResult<std::string> Store::hincrbyfloat(std::string_view key, std::string_view field, double amount) {
  using Made = StoreResult<std::pair<std::string, std::string>>;
  return update_field<std::string>(*this, key, field, [&](std::optional<std::string_view> old) -> Made {
    double current = 0;
    if (old.has_value()) {
      const std::optional<double> parsed = parse_float_text(*old);
      if (!parsed) return make_err(StoreError::NotFloat);
      current = *parsed;
    }
    const double result = current + amount;
    if (!std::isfinite(result)) return make_err(StoreError::NotFinite);
    std::string text = float_text(result);
    return std::pair(text, text);
  });
}

StoreResult<std::vector<std::pair<std::string, std::string>>> Store::hrandfield(std::string_view key,
                                                                               std::optional<std::int64_t> count,
                                                                               bool with_values) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  if (!collections::pick_count_allowed(count)) return make_err(StoreError::NotInteger);
  return read_hash(*this, key, Pairs(), [&](const ElemTable& map) -> StoreResult<Pairs> {
    Pairs out;
    const auto picked = collections::pick_elems(map, count.value_or(1), [this] { return next_random(); });
    out.reserve(picked.size());
    for (const Elem* el : picked) {
      out.emplace_back(el->key(), with_values ? el->value() : std::string_view());
    }
    return out;
  });
}

StoreResult<CollScanPage> Store::hscan(std::string_view key, std::uint64_t cursor, const ScanFilter& filter) {
  const std::optional<GlobPattern> glob =
      filter.match ? std::optional<GlobPattern>(std::in_place, *filter.match) : std::nullopt;
  return read_hash(*this, key, CollScanPage(), [&](const ElemTable& map) -> StoreResult<CollScanPage> {
    CollScanPage page;
    page.cursor = map.scan(
        cursor, filter.count == 0 ? 1 : filter.count,
        [&](const Elem* el) {
          if (glob && !glob->matches(el->key())) return;
          page.items.emplace_back(el->key());
          page.items.emplace_back(el->value());
        },
        &page.homes_visited);
    return page;
  });
}

}  // namespace mevora
