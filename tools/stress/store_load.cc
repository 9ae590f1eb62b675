#include "store_load.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/wait_hook.h"

namespace mevora::stress {
namespace {

// A value of 1 to max_len bytes, its first byte a digit so that some of
// them are valid integers for incr.
std::string pick_value(Rng& rng, std::size_t max_len) {
  std::string v(1 + rng.below(max_len), 'v');
  v[0] = static_cast<char>('0' + rng.below(10));
  return v;
}

// A deadline short enough that the sweeper and lazy expiry meet it during
// the run: 1 to 30 ms.
std::uint64_t short_ttl(Rng& rng) { return 1 + rng.below(30); }

std::string field(Rng& rng, char prefix) { return prefix + std::to_string(rng.below(16)); }

// Stores without a limit never refuse memory; every other error kind is a
// legitimate answer for some key of the shared key space.
template <class T>
void no_oom(Run& run, const StoreResult<T>& r, std::string_view op) {
  if (!r.ok() && r.error() == StoreError::OutOfMemory) {
    run.failures.add(std::string(op) + ": OutOfMemory from a store without a memory limit");
  }
}

// A hook that only counts: the store calls it from any point where it may
// block, possibly under shard locks, as the binding's GIL hand-off does.
class CountingWaitHook final : public WaitHook {
 public:
  void before_wait() noexcept override { ++calls; }
  int calls = 0;
};

// The operations the binding makes with its wait hook installed, on the
// plain store (one key space, every kind), next to the same ones without.
void plain_op(Run& run, Store& s, Rng& rng, Counters& c) {
  const std::string key = pick_key(rng, 'k');
  const std::string_view one[] = {"m"};
  CountingWaitHook hook;
  WaitHookScope scope(hook);
  switch (rng.below(12)) {
    case 0: {
      c.hit("plain hooked set");
      std::optional<std::uint64_t> ttl;
      if (rng.chance(3)) ttl = short_ttl(rng);
      no_oom(run, s.set(key, pick_value(rng, 48), ttl, false, false), "set");
      break;
    }
    case 1: {
      c.hit("plain hooked get into a sink");
      std::string copy;
      CopySink sink(copy);
      (void)s.get(key, sink);
      break;
    }
    case 2:
      c.hit("plain set");
      no_oom(run, s.set(key, pick_value(rng, 48), short_ttl(rng), false, false), "set");
      break;
    case 3: c.hit("plain get"); (void)s.get(key); break;
    case 4: {
      c.hit("plain del");
      const std::string_view keys[] = {key};
      (void)s.del(keys);
      break;
    }
    case 5: c.hit("plain hset"); no_oom(run, s.hset(key, field(rng, 'f'), "v"), "hset"); break;
    case 6: {
      c.hit("plain hooked hget into a sink");
      std::string copy;
      CopySink sink(copy);
      (void)s.hget(key, field(rng, 'f'), sink);
      break;
    }
    case 7: c.hit("plain hooked incr"); no_oom(run, s.incr(key, 1), "incr"); break;
    case 8: c.hit("plain hooked hset"); no_oom(run, s.hset(key, field(rng, 'f'), "w"), "hset"); break;
    case 9: c.hit("plain hooked lpush"); no_oom(run, s.lpush(key, one), "lpush"); break;
    case 10: c.hit("plain hooked rpop"); no_oom(run, s.rpop(key), "rpop"); break;
    default: c.hit("plain hooked sadd"); no_oom(run, s.sadd(key, one), "sadd"); break;
  }
  // The hook runs at most once per scope.
  if (hook.calls > 1) run.failures.add("the wait hook ran more than once in one call");
}

void pause_ms(Rng& rng, std::uint64_t lo, std::uint64_t hi) {
  std::this_thread::sleep_for(std::chrono::milliseconds(lo + rng.below(hi - lo + 1)));
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += std::to_string(p.size()) + ':' + p + ',';
  return out;
}


}  // namespace

void any_store_op(Run& run, Store& s, Rng& rng, Counters& c) {
  std::string a = pick_key(rng, 'k');
  switch (rng.below(34)) {
    case 0: c.hit("get"); (void)s.get(a); break;
    case 1: {
      c.hit("get into a sink");
      std::string out;
      CopySink sink(out);
      (void)s.get(a, sink);
      break;
    }
    case 2: c.hit("set"); no_oom(run, s.set(a, pick_value(rng, 64), std::nullopt, false, false), "set"); break;
    case 3:
      c.hit("set_ttl");
      no_oom(run, s.set(a, pick_value(rng, 64), short_ttl(rng), rng.chance(3), rng.chance(3)), "set");
      break;
    case 4: {
      c.hit("del");
      const std::string b = pick_key(rng, 'h');
      const std::string_view keys[] = {a, b};
      (void)s.del(keys);
      break;
    }
    case 5: c.hit("exists"); (void)s.exists(a); break;
    case 6: {
      c.hit("incr");
      const auto amount = static_cast<std::int64_t>(rng.below(2000)) - 1000;
      (void)s.incr(pick_key(rng, 'c'), rng.chance(50) ? std::numeric_limits<std::int64_t>::max() : amount);
      break;
    }
    case 7: c.hit("append"); no_oom(run, s.append(a, pick_value(rng, 16)), "append"); break;
    case 8: {
      c.hit("mget");
      const std::string b = pick_key(rng, 'c');
      const std::string_view keys[] = {a, b, a};
      (void)s.mget(keys);
      break;
    }
    case 9: {
      c.hit("mset");
      const std::string b = pick_key(rng, 'k');
      const std::string va = pick_value(rng, 32);
      const std::string vb = pick_value(rng, 32);
      const KeyValue pairs[] = {{a, va}, {b, vb}};
      no_oom(run, s.mset(pairs), "mset");
      break;
    }
    case 10:
      c.hit("hset");
      no_oom(run, s.hset(pick_key(rng, 'h'), field(rng, 'f'), pick_value(rng, 32)), "hset");
      break;
    case 11: c.hit("hget"); (void)s.hget(pick_key(rng, 'h'), field(rng, 'f')); break;
    case 12: {
      c.hit("hdel");
      const std::string f = field(rng, 'f');
      const std::string_view fields[] = {f};
      (void)s.hdel(pick_key(rng, 'h'), fields);
      break;
    }
    case 13: c.hit("hgetall"); (void)s.hgetall(pick_key(rng, 'h')); break;
    case 14: c.hit("hlen"); (void)s.hlen(pick_key(rng, 'h')); break;
    case 15: {
      c.hit("lpush");
      const std::string v = pick_value(rng, 16);
      const std::string_view values[] = {v, v};
      no_oom(run, s.lpush(pick_key(rng, 'l'), values), "lpush");
      break;
    }
    case 16: {
      c.hit("rpush");
      const std::string v = pick_value(rng, 16);
      const std::string_view values[] = {v};
      no_oom(run, s.rpush(pick_key(rng, 'l'), values), "rpush");
      break;
    }
    case 17: c.hit("lpop"); (void)s.lpop(pick_key(rng, 'l')); break;
    case 18: c.hit("rpop"); (void)s.rpop(pick_key(rng, 'l')); break;
    case 19: {
      c.hit("lrange");
      const auto start = static_cast<std::int64_t>(rng.below(10)) - 5;
      (void)s.lrange(pick_key(rng, 'l'), start, rng.chance(2) ? -1 : 8);
      break;
    }
    case 20: c.hit("llen"); (void)s.llen(pick_key(rng, 'l')); break;
    case 21: {
      c.hit("sadd");
      const std::string m1 = field(rng, 'm');
      const std::string m2 = field(rng, 'm');
      const std::string_view members[] = {m1, m2};
      no_oom(run, s.sadd(pick_key(rng, 's'), members), "sadd");
      break;
    }
    case 22: {
      c.hit("srem");
      const std::string m = field(rng, 'm');
      const std::string_view members[] = {m};
      (void)s.srem(pick_key(rng, 's'), members);
      break;
    }
    case 23: c.hit("smembers"); (void)s.smembers(pick_key(rng, 's')); break;
    case 24: c.hit("sismember"); (void)s.sismember(pick_key(rng, 's'), field(rng, 'm')); break;
    case 25: c.hit("scard"); (void)s.scard(pick_key(rng, 's')); break;
    case 26: c.hit("pexpire"); (void)s.pexpire(a, short_ttl(rng)); break;
    case 27: c.hit("persist"); (void)s.persist(a); break;
    case 28: c.hit("pttl"); (void)s.pttl(a); break;
    case 29: {
      // A page of a cursor iteration from an arbitrary cursor: every value
      // is a valid place to continue from.
      c.hit("scan");
      ScanFilter filter;
      filter.count = 1 + rng.below(64);
      if (rng.chance(3)) filter.match = "k1*";
      (void)s.scan(rng.chance(4) ? 0 : rng.next(), filter);
      break;
    }
    case 31: c.hit("smove"); no_oom(run, s.smove(pick_key(rng, 's'), pick_key(rng, 's'), field(rng, 'm')), "smove"); break;
    case 32: {
      // Several shards held together: shared for the read, exclusive for the store.
      const std::string x = pick_key(rng, 's');
      const std::string y = pick_key(rng, 's');
      const std::string_view keys[] = {x, y};
      const auto op = static_cast<Store::SetOp>(rng.below(3));
      if (rng.chance(2)) {
        c.hit("set algebra");
        (void)s.set_algebra(op, keys);
      } else {
        c.hit("set algebra store");
        no_oom(run, s.set_algebra_store(op, rng.chance(4) ? a : pick_key(rng, 's'), keys), "set algebra store");
      }
      break;
    }
    default: c.hit("keys"); (void)s.keys(rng.chance(2) ? "k1*" : "[hl]?"); break;
  }
}


void store_worker(Run& run, const Stores& stores, std::uint64_t seed, int id, Counters& counters) {
  Rng rng(seed);
  const std::string own = "own:" + std::to_string(id);
  OwnCounter own_counter;
  while (run.going()) {
    const std::uint64_t pick = rng.below(20);
    if (pick == 0) {
      counters.hit("own incr");
      const std::uint64_t before = run.flush_generation.load(std::memory_order_acquire);
      const auto r = stores.persistent->incr(own, 1);
      const std::uint64_t after = run.flush_generation.load(std::memory_order_acquire);
      if (!r.ok()) {
        run.failures.add("incr of a private counter failed: " + std::string(store_error_message(r.error())));
      } else {
        own_counter.check(run, before, after, r.value(), "store " + own);
      }
    } else if (pick < 5) {
      plain_op(run, *stores.plain, rng, counters);
    } else {
      any_store_op(run, *stores.persistent, rng, counters);
    }
  }
}

void eviction_worker(Run& run, Store& limited, std::uint64_t seed, Counters& counters) {
  Rng rng(seed);
  while (run.going()) {
    // Two thousand string keys of up to 700 bytes need far more than the
    // limit, so nearly every write has to evict first.
    const std::string key = "e" + std::to_string(rng.below(2048));
    const std::string small = "e" + std::string(1, "hls"[rng.below(3)]) + std::to_string(rng.below(64));
    const char* refused = nullptr;
    switch (rng.below(8)) {
      case 0:
      case 1:
      case 2: {
        counters.hit("limited set");
        std::optional<std::uint64_t> ttl;
        if (rng.chance(4)) ttl = short_ttl(rng);
        const auto r = limited.set(key, std::string(16 + rng.below(700), 'x'), ttl, false, false);
        if (!r.ok() && r.error() == StoreError::OutOfMemory) refused = "set";
        break;
      }
      case 3: counters.hit("limited get"); (void)limited.get(key); break;
      case 4: {
        counters.hit("limited hset");
        const auto r = limited.hset(small, field(rng, 'f'), std::string(rng.below(200), 'h'));
        if (!r.ok() && r.error() == StoreError::OutOfMemory) refused = "hset";
        break;
      }
      case 5: {
        counters.hit("limited rpush");
        const std::string v(rng.below(200), 'l');
        const std::string_view values[] = {v};
        const auto r = limited.rpush(small, values);
        if (!r.ok() && r.error() == StoreError::OutOfMemory) refused = "rpush";
        (void)limited.lpop(small);
        break;
      }
      case 6: {
        counters.hit("limited sadd");
        const std::string m = field(rng, 'm');
        const std::string_view members[] = {m};
        const auto r = limited.sadd(small, members);
        if (!r.ok() && r.error() == StoreError::OutOfMemory) refused = "sadd";
        break;
      }
      default: {
        counters.hit("limited incr");
        const auto r = limited.incr("ec" + std::to_string(rng.below(64)), 1);
        if (!r.ok() && r.error() == StoreError::OutOfMemory) refused = "incr";
        break;
      }
    }
    // allkeys-lru can always make room for an entry far below the limit.
    if (refused != nullptr) run.failures.add(std::string("limited store refused ") + refused + " with allkeys-lru");
  }
}

void admin_worker(Run& run, const Stores& stores, std::uint64_t seed, Counters& counters) {
  Rng rng(seed);
  Store& s = *stores.persistent;
  while (run.going()) {
    pause_ms(rng, 20, 120);
    switch (rng.below(10)) {
      case 0:
      case 1: {
        counters.hit("save");
        const auto r = s.save();
        if (!r.ok()) run.failures.add("save failed: " + r.error().text());
        break;
      }
      case 2:
        counters.hit("flush");
        run.flushing([&] { (void)s.flush(); });
        break;
      case 3: counters.hit("plain flush"); (void)stores.plain->flush(); break;
      case 4: counters.hit("limited flush"); (void)stores.limited->flush(); break;
      case 5: counters.hit("keys *"); (void)s.keys("*"); break;
      case 6: counters.hit("len"); (void)s.len(); (void)stores.limited->len(); break;
      case 7: counters.hit("sweep_once"); s.sweep_once(); stores.plain->sweep_once(); break;
      case 8: counters.hit("evict_one"); (void)stores.limited->evict_one(false); break;
      default: {
        counters.hit("persist_stats");
        const auto stats = s.persist_stats();
        if (!stats.has_value()) {
          run.failures.add("persist_stats of the persistent store is empty");
        } else if (stats->last_error.has_value()) {
          run.failures.add("persistence recorded an error: " + *stats->last_error);
        }
        break;
      }
    }
  }
}

std::map<std::string, std::string> lasting_keys(Store& store) {
  std::map<std::string, std::string> out;
  for (const std::string& key : store.keys("*")) {
    if (store.pttl(key) != -1) continue;  // gone, or due before the comparison
    if (auto str = store.get(key); str.ok()) {
      if (str.value().has_value()) out[key] = "string " + *str.value();
    } else if (auto hash = store.hgetall(key); hash.ok()) {
      std::vector<std::string> parts;
      for (auto& [f, v] : hash.value()) parts.push_back(f + '=' + v);
      std::sort(parts.begin(), parts.end());
      out[key] = "hash " + joined(parts);
    } else if (auto list = store.lrange(key, 0, -1); list.ok()) {
      out[key] = "list " + joined(list.value());
    } else if (auto set = store.smembers(key); set.ok()) {
      std::vector<std::string> members = set.value();
      std::sort(members.begin(), members.end());
      out[key] = "set " + joined(members);
    }
  }
  return out;
}

}  // namespace mevora::stress
