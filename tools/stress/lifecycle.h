// The threads of the stress program that start and end things while
// others are busy with them.
//
// server_cycler: again and again, starts a server on the given store, lets
// doomed clients drive it for a moment and shuts it down under their load.
// store_cycler: again and again, opens a persistent store in dir (the same
// directory each time, so each open recovers what the last one wrote),
// drives it from writer threads and a server, and either closes it while
// they are still writing (then save must refuse) or, one time in three,
// drops it without close once they stopped; the next open must succeed
// without any recorded error.
//
// Both run until run.going() turns false. Thread safety: the store given to
// server_cycler may be shared with any other threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/store.h"
#include "stress_common.h"

namespace mevora::stress {

void server_cycler(Run& run, std::shared_ptr<Store> store, const std::string& password, std::uint64_t seed,
                   Counters& counters);
void store_cycler(Run& run, const std::string& dir, const std::string& password, std::uint64_t seed,
                  Counters& counters);

}  // namespace mevora::stress
