// String operations beyond get/set: counters (incr; decr is incr with the
// negated amount), in-place append, and the multi-key mget and mset.
#include <algorithm>
#include <charconv>
#include <limits>

#include "core/multi_key_read.h"
#include "core/number_text.h"
#include "core/store.h"

namespace mevora {

StoreResult<std::int64_t> Store::incr(std::string_view key, std::int64_t amount) {
  if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);

  if (max_memory_ != 0) {
    // The longest i64 text is 20 bytes.
    if (auto a = admit_string_write(s, key, h, live_size(s, key, h, now.get()), 20); !a.ok()) {
      return make_err(a.error());
    }
  }

  WriteGuard g(s.lock);
  std::int64_t current = 0;
  std::uint64_t deadline = 0;
  auto live = live_slot_locked(s, key, h, now);
  if (!live.ok()) return make_err(live.error());
  const std::size_t slot = live.value();
  if (slot != Table::npos) {
    EntryRef e = s.table.at(slot);
    if (!e.is_string()) return make_err(StoreError::WrongType);
    if (!parse_counter(e.str()->value(), current)) return make_err(StoreError::NotInteger);
    deadline = e.head().deadline_ms;
  }
  std::int64_t result;
  if (__builtin_add_overflow(current, amount, &result)) return make_err(StoreError::Overflow);

  char text[24];
  auto [end, ec] = std::to_chars(text, text + sizeof text, result);
  (void)ec;  // 24 bytes always hold a 64-bit integer
  const std::string_view value(text, static_cast<std::size_t>(end - text));
  StrEntry* fresh = StrEntry::create(key, value, deadline, 0);
  try {
    if (slot == Table::npos) reserve_slot_locked(s);
  } catch (...) {
    StrEntry::destroy(fresh);
    throw;
  }
  if (auto logged = log_mutation(WalRecord::set(key, deadline, value)); !logged.ok()) {
    StrEntry::destroy(fresh);
    return make_err(logged.error());
  }
  fresh->head.stamp(next_stamp());
  const EntryRef old = put_locked(s, h, slot, EntryRef(fresh));
  if (old) old.destroy();
  return result;
}

StoreResult<std::uint64_t> Store::append(std::string_view key, std::string_view bytes) {
  if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);

  if (max_memory_ != 0) {
    const bool live = live_size(s, key, h, now.get()).first;
    const auto need = [&] {
      return live ? bytes.size() : align16(key.size() + bytes.size()) + table_growth_cost(s, key, h);
    };
    if (auto a = admit_or_error(need); !a.ok()) return make_err(a.error());
  }

  WriteGuard g(s.lock);
  if (auto r = expire_if_due(s, key, h, now); !r.ok()) return make_err(r.error());
  const std::size_t slot = s.table.find(key, h);
  if (slot == Table::npos) {
    StrEntry* fresh = StrEntry::create(key, bytes, 0, 0);
    try {
      reserve_slot_locked(s);
    } catch (...) {
      StrEntry::destroy(fresh);
      throw;
    }
    if (auto logged = log_mutation(WalRecord::set(key, 0, bytes)); !logged.ok()) {
      StrEntry::destroy(fresh);
      return make_err(logged.error());
    }
    fresh->head.stamp(next_stamp());
    (void)put_locked(s, h, Table::npos, EntryRef(fresh));
    return static_cast<std::uint64_t>(bytes.size());
  }
  EntryRef& ref = s.table.at(slot);
  if (!ref.is_string()) return make_err(StoreError::WrongType);
  stamp(ref.head());
  // The record carries the whole new value, so the bytes go into room
  // made beforehand (in place, or in a grown copy that replaces the entry
  // only once the record is logged); a refused record takes them off again.
  StrEntry* cur = ref.str();
  StrEntry* e = StrEntry::with_room(cur, bytes.size());
  const std::uint64_t old_len = e->value_len();
  e->append_in_place(bytes);
  if (auto logged = log_mutation(WalRecord::set(e->key(), e->head.deadline_ms, e->value())); !logged.ok()) {
    if (e == cur) {
      e->truncate_value(old_len);
    } else {
      StrEntry::destroy(e);
    }
    return make_err(logged.error());
  }
  if (e != cur) {
    ref = EntryRef(e);
    used_.fetch_add(align16(e->buffer_cap()) - align16(cur->buffer_cap()), std::memory_order_relaxed);
    StrEntry::destroy(cur);
  }
  recharge_table(s);
  return e->value_len();
}

// The keys are read at one instant (multi_key_read.h): a transaction that
// changes several of them is seen wholly or not at all.
std::vector<std::optional<std::string>> Store::mget(KeyList keys) {
  return multi_key_read(*this, keys, [](std::span<EntryRef* const> entries) {
    std::vector<std::optional<std::string>> out;
    out.reserve(entries.size());
    for (const EntryRef* e : entries) {
      if (e != nullptr && e->is_string()) {
        out.emplace_back(std::string(e->str()->value()));
      } else {
        out.emplace_back();
      }
    }
    return out;
  });
}

StoreResult<void> Store::mset(std::span<const KeyValue> pairs) {
  // Every key is checked before the first is written: an over-long key
  // anywhere refuses the whole call with nothing changed.
  for (const auto& pair : pairs) {
    if (auto k = check_key_length(pair.first); !k.ok()) return k;
  }
  for (const auto& [key, value] : pairs) {
    auto r = set(key, value, std::nullopt, false, false);
    if (!r.ok()) return make_err(r.error());
  }
  return {};
}

}  // namespace mevora
