// Running a collection write that logs several records, or touches
// several keys, as one atomic group. Internal to the store.
//
// A write whose change is expressed as more than one record (LTRIM as
// pops, HMSET as one HSET per field), or that changes several keys (SMOVE,
// LMOVE, the STORE forms), runs inside Store::atomically over its keys:
// the shard locks are taken in ascending index, the operations it is made
// of run under them unchanged, and with persistence their records reach
// the log as one frame, so a refused append undoes all of them. Inside a
// transaction already (MULTI/EXEC, Cache.transaction) the caller's scope
// holds the keys' locks and batches the records: the body just runs.
//
// The body must check everything that can fail for a reason other than
// the log (kinds, arguments) before its first change, so it never stops
// halfway.
#pragma once

#include <optional>
#include <utility>

#include "core/store.h"

namespace mevora::collections {

// Runs body() (returning a StoreResult<T>) atomically over keys; the log's
// refusal of the group becomes StoreError::LogRefused with nothing changed.
template <class T, class Body>
StoreResult<T> grouped(Store& store, KeyList keys, Body&& body) {
  if (TxnScope::current() != nullptr) return body();
  std::optional<StoreResult<T>> out;
  auto r = store.atomically(keys, false, nullptr, [&] { out.emplace(body()); });
  if (!r.ok()) return make_err(StoreError::log_refused(r.error().os_errno(), r.error().text()));
  return std::move(*out);
}

}  // namespace mevora::collections
