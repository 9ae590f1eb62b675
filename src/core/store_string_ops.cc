// String operations beyond get/set/append/incr: strlen, getrange,
// setrange, msetnx, incrbyfloat and getex.
//
// The writes that rebuild a value (setrange, incrbyfloat) build the new
// entry before logging SET with the key's deadline, then swap it in; the
// swap cannot fail.
#include <cmath>
#include <string>
#include <utility>

#include "core/number_text.h"
#include "core/multi_key_step.h"
#include "core/store.h"

namespace mevora {

StoreResult<std::uint64_t> Store::strlen(std::string_view key) {
  return read_path(key, [](EntryRef* e) -> StoreResult<std::uint64_t> {
    if (e == nullptr) return std::uint64_t{0};
    if (!e->is_string()) return make_err(StoreError::WrongType);
    return e->str()->value_len();
  });
}

StoreResult<std::string> Store::getrange(std::string_view key, std::int64_t start, std::int64_t stop) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<std::string> {
    if (e == nullptr) return std::string();
    if (!e->is_string()) return make_err(StoreError::WrongType);
    const std::string_view v = e->str()->value();
    const auto len = static_cast<std::int64_t>(v.size());
    if (start < 0) start = len + start;
    if (stop < 0) stop = len + stop;
    if (start < 0) start = 0;
    if (stop < 0) stop = 0;
    if (stop >= len) stop = len - 1;
    if (len == 0 || start > stop) return std::string();
    return std::string(v.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(stop - start + 1)));
  });
}

// Shared by setrange and incrbyfloat: replaces (or creates) the string
// under key with value, keeping the deadline, under the held lock.
// slot is the key's live slot or npos.
static StoreResult<void> replace_string_locked(Store& store, Shard& s, std::uint64_t h, std::size_t slot,
                                               std::string_view key, std::string_view value)
    MEVORA_REQUIRES(s.lock) {
  const std::uint64_t deadline = slot == Table::npos ? 0 : s.table.at(slot).head().deadline_ms;
  PendingEntry fresh(EntryRef(StrEntry::create(key, value, deadline, 0)));
  if (slot == Table::npos) store.reserve_slot_locked(s);
  if (auto r = store.log_mutation(WalRecord::set(key, deadline, value)); !r.ok()) return r;
  fresh.e.head().stamp(store.next_stamp());
  const EntryRef old = store.put_locked(s, h, slot, std::exchange(fresh.e, EntryRef()));
  if (old) old.destroy();
  return {};
}

StoreResult<std::uint64_t> Store::setrange(std::string_view key, std::uint64_t offset, std::string_view bytes) {
  if (offset > kMaxStringLen || bytes.size() > kMaxStringLen - offset) return make_err(StoreError::TooLarge);
  if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);
  const std::uint64_t end = offset + bytes.size();
  if (max_memory_ != 0 && !bytes.empty()) {
    if (auto a = admit_string_write(s, key, h, live_size(s, key, h, now.get()), end); !a.ok()) {
      return make_err(a.error());
    }
  }
  WriteGuard g(s.lock);
  auto live = live_slot_locked(s, key, h, now);
  if (!live.ok()) return make_err(live.error());
  const std::size_t slot = live.value();
  std::string value;
  if (slot != Table::npos) {
    const EntryRef e = s.table.at(slot);
    stamp(e.head());
    if (!e.is_string()) return make_err(StoreError::WrongType);
    if (bytes.empty()) return e.str()->value_len();
    value.assign(e.str()->value());
  } else if (bytes.empty()) {
    return std::uint64_t{0};
  }
  if (value.size() < end) value.resize(end, '\0');
  value.replace(offset, bytes.size(), bytes);
  if (auto r = replace_string_locked(*this, s, h, slot, key, value); !r.ok()) return make_err(r.error());
  return static_cast<std::uint64_t>(value.size());
}

StoreResult<bool> Store::msetnx(std::span<const KeyValue> pairs) {
  std::vector<std::string_view> keys;
  keys.reserve(pairs.size());
  std::uint64_t need = 0;
  for (const auto& [key, value] : pairs) {
    if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
    keys.push_back(key);
    need += align16(key.size() + value.size());
  }
  // Admission for the whole write before any lock: its sets then find room.
  if (max_memory_ != 0) {
    if (auto a = admit_or_error(need); !a.ok()) return make_err(a.error());
  }
  return multi_key_step<bool>(*this, keys, [&]() -> StoreResult<bool> {
    for (std::string_view key : keys) {
      if (exists(key)) return false;
    }
    for (const auto& [key, value] : pairs) {
      auto r = set(key, value, std::nullopt, false, false);
      if (!r.ok()) return make_err(r.error());
    }
    return true;
  });
}

StoreResult<std::string> Store::incrbyfloat(std::string_view key, double amount) {
  if (!std::isfinite(amount)) return make_err(StoreError::NotFloat);
  if (auto k = check_key_length(key); !k.ok()) return make_err(k.error());
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);
  if (max_memory_ != 0) {
    // The longest shortest-form double text is 24 bytes.
    if (auto a = admit_string_write(s, key, h, live_size(s, key, h, now.get()), 24); !a.ok()) {
      return make_err(a.error());
    }
  }
  WriteGuard g(s.lock);
  auto live = live_slot_locked(s, key, h, now);
  if (!live.ok()) return make_err(live.error());
  const std::size_t slot = live.value();
  double current = 0;
  if (slot != Table::npos) {
    const EntryRef e = s.table.at(slot);
    if (!e.is_string()) return make_err(StoreError::WrongType);
    const std::optional<double> stored = parse_float_text(e.str()->value());
    if (!stored) return make_err(StoreError::NotFloat);
    current = *stored;
  }
  const double sum = current + amount;
  if (!std::isfinite(sum)) return make_err(StoreError::Overflow);
  std::string text = float_text(sum);
  if (auto r = replace_string_locked(*this, s, h, slot, key, text); !r.ok()) return make_err(r.error());
  return text;
}

StoreResult<std::optional<std::string>> Store::getex(std::string_view key, const GetExpiry& expiry) {
  if (expiry.mode == GetExpiry::Mode::Keep) return get(key);
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  LazyNow now(*clock_);
  WriteGuard g(s.lock);
  auto live = live_slot_locked(s, key, h, now);
  if (!live.ok()) return make_err(live.error());
  const std::size_t slot = live.value();
  if (slot == Table::npos) return std::optional<std::string>();
  EntryRef e = s.table.at(slot);
  stamp(e.head());
  if (!e.is_string()) return make_err(StoreError::WrongType);
  std::optional<std::string> value(std::in_place, e.str()->value());
  std::uint64_t deadline = 0;
  switch (expiry.mode) {
    case GetExpiry::Mode::Keep:
    case GetExpiry::Mode::Persist:
      break;
    case GetExpiry::Mode::After:
      deadline = now.get() + expiry.ms < now.get() ? ~std::uint64_t{0} : now.get() + expiry.ms;
      break;
    case GetExpiry::Mode::At:
      if (expiry.ms <= now.get()) {
        if (auto r = remove_slot_locked(s, slot); !r.ok()) return make_err(r.error());
        return value;
      }
      deadline = expiry.ms;
      break;
  }
  if (deadline == e.head().deadline_ms) return value;  // persist without a deadline: no change
  if (auto r = log_mutation(WalRecord::expire(key, deadline)); !r.ok()) return make_err(r.error());
  e.head().deadline_ms = deadline;
  return value;
}

}  // namespace mevora
