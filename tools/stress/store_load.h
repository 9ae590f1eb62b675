// The threads of the stress program that call Store methods directly.
//
// store_worker: every kind of operation on the persistent store, and on a
// plain in-memory store the calls the binding makes with its wait hook
// installed next to the same calls without; short deadlines keep the
// sweepers busy.
// eviction_worker: writes of every kind to a store with a memory limit and
// allkeys-lru, so admission evicts all the time.
// admin_worker: the whole-store operations: save, flush, keys, len,
// persist_stats, a direct sweep pass and a direct eviction.
//
// Each runs until run.going() turns false and records what it did in its
// Counters and what went wrong in run.failures. Thread safety: the stores
// may be shared by any number of these threads.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "core/store.h"
#include "stress_common.h"

namespace mevora::stress {

struct Stores {
  std::shared_ptr<Store> persistent;  // in a data directory: logged, snapshotted
  std::shared_ptr<Store> plain;       // in memory, no limit: the fast paths apply
  std::shared_ptr<Store> limited;     // in memory, a small limit, allkeys-lru
};

// One operation of any kind (strings, counters, hashes, lists, sets,
// deadlines, key patterns) on a random key of the shared key space.
void any_store_op(Run& run, Store& store, Rng& rng, Counters& counters);

void store_worker(Run& run, const Stores& stores, std::uint64_t seed, int id, Counters& counters);
void eviction_worker(Run& run, Store& limited, std::uint64_t seed, Counters& counters);
void admin_worker(Run& run, const Stores& stores, std::uint64_t seed, Counters& counters);

// Every live key without a deadline, mapped to its kind and contents as
// text: what must survive a close and a reopen unchanged.
std::map<std::string, std::string> lasting_keys(Store& store);

}  // namespace mevora::stress
