// The transaction threads of the stress program: Store::atomically on each
// of the stores, beside every other kind of load.
//
// txn_worker: groups of writes to two to four keys (strings, counters,
// lists, hashes, sets) run atomically, sometimes under a watch, sometimes
// over the whole keyspace (keys, len, flush inside); on the persistent and
// the plain store each group also sets a pair of keys to one value, and
// reading the pair back (mget, or gets inside a transaction) must never
// find them different. On the limited store writes inside a transaction
// must evict without waiting for shards out of order.
//
// Thread safety: any number of these threads may share the stores.
#pragma once

#include <cstdint>

#include "store_load.h"

namespace mevora::stress {

void txn_worker(Run& run, const Stores& stores, std::uint64_t seed, Counters& counters);

}  // namespace mevora::stress
