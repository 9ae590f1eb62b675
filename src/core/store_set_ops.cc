// Set operations beyond sadd/srem/smembers/sismember/scard (store_sets.cc):
// membership of several members, random members, random removal and the
// member cursor. A removal is logged as SREM of the members removed.
#include <optional>
#include <string>
#include <vector>

#include "core/collection_access.h"
#include "core/elem_pick.h"
#include "core/glob.h"

namespace mevora {
namespace {

using collections::holds;

// Runs read(const ElemTable&) on the set under key with the shard lock
// shared; a missing key reads as `missing`.
template <class T, class Read>
StoreResult<T> read_set(Store& store, std::string_view key, T missing, Read&& read) {
  return store.read_path(key, [&](EntryRef* e) -> StoreResult<T> {
    if (e == nullptr) return std::move(missing);
    if (!holds(*e, CollectionKind::Set)) return make_err(StoreError::WrongType);
    return read(e->coll()->set());
  });
}

}  // namespace

StoreResult<std::vector<bool>> Store::smismember(std::string_view key, KeyList members) {
  using Out = std::vector<bool>;
  return read_set(*this, key, Out(members.size(), false), [&](const ElemTable& set) -> StoreResult<Out> {
    Out out;
    out.reserve(members.size());
    for (std::string_view m : members) out.push_back(set.contains(m));
    return out;
  });
}

StoreResult<std::vector<std::string>> Store::srandmember(std::string_view key, std::optional<std::int64_t> count) {
  using Out = std::vector<std::string>;
  if (!collections::pick_count_allowed(count)) return make_err(StoreError::NotInteger);
  return read_set(*this, key, Out(), [&](const ElemTable& set) -> StoreResult<Out> {
    Out out;
    const auto picked = collections::pick_elems(set, count.value_or(1), [this] { return next_random(); });
    out.reserve(picked.size());
    for (const Elem* el : picked) out.emplace_back(el->key());
    return out;
  });
}

StoreResult<std::vector<std::string>> Store::spop(std::string_view key, std::optional<std::uint64_t> count) {
  using Out = std::vector<std::string>;
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);
  WriteGuard g(s.lock);
  if (auto r = expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  auto found = collections::find_locked(*this, s, key, h, CollectionKind::Set);
  if (!found.ok()) return make_err(found.error());
  if (found.value() == nullptr) return Out();
  CollEntry& c = *found.value();
  const std::uint64_t want = std::min<std::uint64_t>(count.value_or(1), c.set().size());
  if (want == 0) return Out();

  // The members taken, copied (and listed for the record) before logging.
  Out taken;
  taken.reserve(want);
  for (const Elem* el : collections::pick_elems(c.set(), static_cast<std::int64_t>(want),
                                                 [this] { return next_random(); })) {
    taken.emplace_back(el->key());
  }
  std::vector<std::string_view> views(taken.begin(), taken.end());
  if (auto r = log_mutation(WalRecord::with_items(WalKind::SRem, key, views)); !r.ok()) return make_err(r.error());
  for (std::string_view m : views) {
    if (c.set().erase(m).has_value()) collections::remove_element(*this, c, set_member_cost(m.size()));
  }
  drop_if_empty(s, key, h);
  return taken;
}

StoreResult<CollScanPage> Store::sscan(std::string_view key, std::uint64_t cursor, const ScanFilter& filter) {
  const std::optional<GlobPattern> glob =
      filter.match ? std::optional<GlobPattern>(std::in_place, *filter.match) : std::nullopt;
  return read_set(*this, key, CollScanPage(), [&](const ElemTable& set) -> StoreResult<CollScanPage> {
    CollScanPage page;
    page.cursor = set.scan(
        cursor, filter.count == 0 ? 1 : filter.count,
        [&](const Elem* el) {
          if (glob && !glob->matches(el->key())) return;
          page.items.emplace_back(el->key());
        },
        &page.homes_visited);
    return page;
  });
}

}  // namespace mevora
