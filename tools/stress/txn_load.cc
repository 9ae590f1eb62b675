#include "txn_load.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/watch.h"

namespace mevora::stress {
namespace {

std::string field(Rng& rng, char prefix) { return prefix + std::to_string(rng.below(16)); }

// One write of any kind to key.
void write_one(Store& s, Rng& rng, const std::string& key) {
  const std::string_view item[] = {"i"};
  switch (rng.below(6)) {
    case 0: (void)s.set(key, std::string(rng.below(32), 'v'), std::nullopt, false, false); break;
    case 1: (void)s.incr(key, 1); break;
    case 2: (void)s.rpush(key, item); break;
    case 3: (void)s.hset(key, field(rng, 'f'), "v"); break;
    case 4: (void)s.sadd(key, item); break;
    default: {
      const std::string_view k[] = {key};
      (void)s.del(k);
      break;
    }
  }
}

void one_group(Run& run, Store& s, Rng& rng, Counters& c, bool check_pair) {
  std::vector<std::string> keys;
  const std::size_t n = 2 + rng.below(3);
  for (std::size_t i = 0; i < n; ++i) keys.push_back(pick_key(rng, 'k'));
  const std::string pair_a = "pair:a";
  const std::string pair_b = "pair:b";
  if (check_pair) {
    keys.push_back(pair_a);
    keys.push_back(pair_b);
  }
  std::vector<std::string_view> views(keys.begin(), keys.end());
  const bool whole = rng.chance(40);
  std::unique_ptr<Watcher> watcher;
  if (rng.chance(4)) {
    watcher = std::make_unique<Watcher>(s.shared_from_this());
    const std::string_view w[] = {views[0]};
    watcher->watch(w);
  }
  const std::string value = std::to_string(rng.below(1'000'000));
  auto r = s.atomically(views, whole, watcher.get(), [&] {
    for (std::size_t i = 0; i < n; ++i) write_one(s, rng, keys[i]);
    if (check_pair) {
      (void)s.set(pair_a, value, std::nullopt, false, false);
      (void)s.set(pair_b, value, std::nullopt, false, false);
      const std::string_view both[] = {pair_a, pair_b};
      const auto got = s.mget(both);
      if (got[0] != got[1]) run.failures.add("a pair changed inside the transaction that holds it");
    }
    if (whole) {
      (void)s.len();
      (void)s.keys("k1*");
      // The persistent store is flushed only through run.flushing (the
      // private counters rely on it), which cannot be entered here.
      if (!s.persistent() && rng.chance(8)) (void)s.flush();
    }
  });
  c.hit(!r.ok() ? "txn refused by the log" : r.value() ? "txn committed" : "txn aborted by a watch");
  if (check_pair) {
    const std::string_view both[] = {pair_a, pair_b};
    const auto got = s.mget(both);
    if (got[0] != got[1]) run.failures.add("mget saw a pair of keys out of step");
  }
}

}  // namespace

void txn_worker(Run& run, const Stores& stores, std::uint64_t seed, Counters& counters) {
  Rng rng(seed);
  while (run.going()) {
    switch (rng.below(3)) {
      case 0: one_group(run, *stores.persistent, rng, counters, true); break;
      case 1: one_group(run, *stores.plain, rng, counters, true); break;
      default: one_group(run, *stores.limited, rng, counters, false); break;
    }
  }
}

}  // namespace mevora::stress
