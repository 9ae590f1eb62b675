// multi_key_step: runs a store operation over several keys as one atomic
// step. Internal to the store's own files.
//
// Outside a transaction, the step runs as one (Store::atomically over the
// keys): their shards are held exclusively together and the records the
// step logs reach the log as one frame, which recovery applies wholly or
// not at all; if that frame cannot be written, the step's changes are
// undone and LogRefused is returned. Inside a running transaction the step
// simply joins it: that transaction holds the keys' shards and collects
// the records.
//
// Used for writes that touch several keys (RENAME, MSETNX, LMOVE, SMOVE,
// the set algebra STOREs) and for writes expressed as several records
// (HMSET as one HSET per field, LTRIM as pops). The body must check
// everything that can fail for a reason other than the log (kinds,
// arguments, admission) before its first change, so that it never stops
// halfway.
#pragma once

#include <optional>
#include <utility>

#include "core/store.h"

namespace mevora {

template <class T, class F>
StoreResult<T> multi_key_step(Store& store, KeyList keys, F&& body) {
  if (TxnScope::current() != nullptr) return body();
  std::optional<StoreResult<T>> out;
  auto r = store.atomically(keys, false, nullptr, [&] { out.emplace(body()); });
  if (!r.ok()) return make_err(StoreError::log_refused(r.error().os_errno(), r.error().text()));
  return std::move(*out);
}

}  // namespace mevora
