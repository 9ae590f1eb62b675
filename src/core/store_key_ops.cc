// Key operations beyond get/set/delete: type, rename, touch and randomkey
// (the absolute deadlines pexpireat and pexpiretime live in expiry.cc).
//
// rename is an atomic step (see store.h): it runs as a transaction over its
// two keys, or inside the transaction already running, so both shards are
// held together and its records reach the log as one frame, which recovery
// applies wholly or not at all.
#include <optional>
#include <string>
#include <vector>

#include "core/multi_key_step.h"
#include "core/store.h"

namespace mevora {
namespace {

// The records that rebuild collection c under key `to`, logged in order;
// the first refusal is returned (nothing is applied by the caller then).
StoreResult<void> log_rebuild(Store& store, const CollEntry& c, std::string_view to) {
  std::vector<std::string_view> items;
  items.reserve(c.count());
  switch (c.kind) {
    case CollectionKind::List:
      for (std::size_t i = 0; i < c.list().size(); ++i) items.emplace_back(c.list().at(i));
      if (auto r = store.log_mutation(WalRecord::with_items(WalKind::RPush, to, items)); !r.ok()) return r;
      break;
    case CollectionKind::Set:
      for (const Elem* el : c.set()) items.emplace_back(el->key());
      if (auto r = store.log_mutation(WalRecord::with_items(WalKind::SAdd, to, items)); !r.ok()) return r;
      break;
    case CollectionKind::Hash:
      for (const Elem* el : c.hash()) {
        if (auto r = store.log_mutation(WalRecord::hset(to, el->key(), el->value())); !r.ok()) return r;
      }
      break;
  }
  if (c.head.deadline_ms != 0) return store.log_mutation(WalRecord::expire(to, c.head.deadline_ms));
  return {};
}

}  // namespace

std::optional<KeyKind> Store::type(std::string_view key) {
  return read_path(key, [](EntryRef* e) -> std::optional<KeyKind> {
    if (e == nullptr) return std::nullopt;
    return kind_of(*e);
  });
}

std::uint64_t Store::touch(KeyList keys) {
  std::uint64_t n = 0;
  for (std::string_view key : keys) n += read_path(key, [](EntryRef* e) { return e != nullptr ? 1 : 0; });
  return n;
}

std::optional<std::string> Store::randomkey() {
  constexpr int kSamplesPerShard = 8;
  const std::size_t first = next_random() & shard_mask_;
  const std::uint64_t now = clock_->now_ms();
  for (std::size_t i = 0; i < shards_.size(); ++i) {
    Shard& s = *shards_[(first + i) & shard_mask_];
    ReadGuard g(s.lock);
    const std::size_t count = s.table.size();
    if (count == 0) continue;
    for (int k = 0; k < kSamplesPerShard; ++k) {
      EntryRef e = s.table.at(s.table.nth_occupied(next_random() % count));
      if (!e.head().due(now)) return std::string(e.key());
    }
    // Mostly due keys here: the first live one, if any.
    std::optional<std::string> found;
    s.table.for_each([&](EntryRef e) {
      if (!found && !e.head().due(now)) found.emplace(e.key());
    });
    if (found) return found;
  }
  return std::nullopt;
}

StoreResult<bool> Store::rename(std::string_view from, std::string_view to, bool only_if_absent) {
  if (auto k = check_key_length(to); !k.ok()) return make_err(k.error());
  const std::uint64_t h_from = key_hash(from);
  const std::uint64_t h_to = key_hash(to);
  if (max_memory_ != 0 && from != to) {
    // The value gets the new key's length, and may need a new table slot.
    if (live_size(shard_for(h_from), from, h_from, clock_->now_ms()).first) {
      const auto need = [&] {
        const std::uint64_t n = table_growth_cost(shard_for(h_to), to, h_to) + align16(to.size());
        return n > align16(from.size()) ? n - align16(from.size()) : 0;
      };
      if (auto a = admit_or_error(need); !a.ok()) {
        return make_err(a.error());
      }
    }
  }
  const std::string_view keys[] = {from, to};
  return multi_key_step<bool>(*this, keys, [&]() MEVORA_NO_THREAD_SAFETY_ANALYSIS -> StoreResult<bool> {
    // Both shards are held by the step's transaction.
    Shard& sf = shard_for(h_from);
    Shard& st = shard_for(h_to);
    LazyNow now(*clock_);
    auto src = live_slot_locked(sf, from, h_from, now);
    if (!src.ok()) return make_err(src.error());
    if (src.value() == Table::npos) return make_err(StoreError::NoSuchKey);
    auto dst = live_slot_locked(st, to, h_to, now);
    if (!dst.ok()) return make_err(dst.error());
    const std::size_t dst_slot = dst.value();
    if (from == to) return !only_if_absent;
    if (dst_slot != Table::npos && only_if_absent) return false;

    // Everything that can fail, before the first record.
    const EntryRef moving = sf.table.at(sf.table.find(from, h_from));
    const std::uint64_t old_size = moving.accounted_size();
    PendingEntry fresh;
    std::string new_key;
    if (moving.is_string()) {
      const StrEntry* e = moving.str();
      fresh.e = EntryRef(StrEntry::create(to, e->value(), e->head.deadline_ms, e->head.lru_stamp.load()));
    } else {
      new_key.assign(to);
    }
    if (dst_slot == Table::npos) reserve_slot_locked(st);
    // Found after every step that may rebuild the table (an expiry removal,
    // the reservation); nothing before the erase moves it again.
    const std::size_t src_slot = sf.table.find(from, h_from);

    if (dst_slot != Table::npos) {
      if (auto r = log_mutation(WalRecord::del(to)); !r.ok()) return make_err(r.error());
    }
    if (auto r = log_mutation(WalRecord::del(from)); !r.ok()) return make_err(r.error());
    if (moving.is_string()) {
      const StrEntry* e = moving.str();
      if (auto r = log_mutation(WalRecord::set(to, e->head.deadline_ms, e->value())); !r.ok()) {
        return make_err(r.error());
      }
    } else if (auto r = log_rebuild(*this, *moving.coll(), to); !r.ok()) {
      return make_err(r.error());
    }

    // Apply: nothing below allocates or fails. The table room for `to` was
    // reserved (or its slot is replaced in place), so the source slot does
    // not move before it is erased.
    EntryRef placed = moving;
    if (!moving.is_string()) {
      moving.coll()->rekey(std::move(new_key));
    } else {
      placed = std::exchange(fresh.e, EntryRef());
    }
    const EntryRef replaced = put_locked(st, h_to, dst_slot, placed);
    if (replaced) replaced.destroy();
    (void)sf.table.erase(src_slot);
    sub_used(old_size);
    recharge_table(sf);
    if (moving.is_string()) moving.destroy();
    return true;
  });
}

}  // namespace mevora
