// mevora_stress: drives one persistent store from many threads at once, for
// a bounded time, so that a ThreadSanitizer build sees every lock, atomic
// and background thread of the store, the persistence layer and the server
// at work together. Usage: mevora_stress [--seconds N] (default 20).
//
// The load: store workers calling every store operation on a persistent
// store (fsync everysec, a snapshot every second, a sweeper every 10 ms)
// and the non-blocking fast paths on a plain in-memory store; eviction
// workers on an in-memory store with a 256 KiB limit and allkeys-lru; an
// admin thread saving, flushing, listing and sweeping; a running server
// on 127.0.0.1 (port chosen by the OS) over the persistent store, with
// pipelined and one-at-a-time clients, connections that come and go, and
// idle connections left open for the shutdown to close; more servers on the
// same store started and shut down under load, one after another; and a
// second persistent store in its own directory opened, loaded, closed under
// load and reopened, again and again.
//
// Besides what the sanitizer reports, the run fails when: a store without
// a limit refuses memory, the limited store refuses a write under
// allkeys-lru, a private counter does not count exactly, persistence
// records an error, a server reply is malformed, missing or an unexpected
// error, the shutdown leaves a connection open, memory accounting does not
// return to its starting figure after a flush, or the keys without a
// deadline differ after closing and reopening the persistent store.
//
// Exit status: 0 when nothing failed, 1 otherwise, 2 for bad arguments.
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/store.h"
#include "lifecycle.h"
#include "server/listener.h"
#include "server_load.h"
#include "store_load.h"
#include "stress_common.h"
#include "txn_load.h"
#include "util/named_thread.h"

namespace mevora::stress {
namespace {

constexpr int kStoreWorkers = 4;
constexpr int kEvictionWorkers = 2;
constexpr int kTxnWorkers = 2;
constexpr int kPlainClients = 2;
constexpr int kPipelinedClients = 2;
constexpr int kIdleConnections = 2;
constexpr std::uint64_t kLimitedBytes = 256 * 1024;
const std::string kPassword = "stress-password";

StoreConfig persistent_config(const std::string& dir) {
  StoreConfig c;
  c.persist_dir = dir;
  c.fsync = FsyncPolicy::EverySec;
  c.snapshot_interval = 1;
  c.shards = 8;
  c.sweep_interval_ms = 10;
  return c;
}

StoreConfig memory_config(std::uint64_t max_memory, EvictionPolicy policy) {
  StoreConfig c;
  c.shards = 8;
  c.sweep_interval_ms = 5;
  c.max_memory = max_memory;
  c.policy = policy;
  return c;
}

// Waits until the caller holds the only reference to store: the server's
// threads and any background save started by BGSAVE have let go.
bool wait_sole_owner(const std::shared_ptr<Store>& store) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (store.use_count() > 1) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void check_persist_stats(Run& run, Store& store, const char* when) {
  const std::optional<PersistStats> stats = store.persist_stats();
  if (!stats.has_value()) return run.failures.add(std::string("no persist_stats ") + when);
  if (stats->last_error.has_value()) {
    run.failures.add(std::string("persistence error ") + when + ": " + *stats->last_error);
  }
}

// A flush must give back exactly what the entries were charged.
void check_flush_accounting(Run& run, Store& store, std::uint64_t empty, const char* name) {
  (void)store.flush();
  if (store.used_memory() != empty) {
    run.failures.add(std::string(name) + " store: used_memory is " + std::to_string(store.used_memory()) +
                     " after a flush, " + std::to_string(empty) + " when new");
  }
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when this goes.
struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mevora-stress-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

// Connections that authenticate and then wait for the shutdown to end them.
std::vector<RespConn> open_idle(Run& run, std::uint16_t port) {
  std::vector<RespConn> idle;
  for (int i = 0; i < kIdleConnections; ++i) {
    std::optional<RespConn> c = RespConn::connect(port, 60);
    if (!c.has_value() || !c->send_all(encode({"AUTH", kPassword})) || !c->read_reply().has_value()) {
      run.failures.add("idle connection: cannot connect and authenticate");
      break;
    }
    idle.push_back(std::move(*c));
  }
  return idle;
}

// Starts every load thread and joins them when the run ends.
void run_load(Run& run, const Stores& stores, std::uint16_t port, const std::string& cycled_dir,
              std::vector<Counters>& counters) {
  std::vector<NamedThread> threads;
  std::size_t next = 0;
  std::uint64_t seed = 0x5eed;
  const auto start = [&](const char* name, auto body) {
    threads.emplace_back(name, [body, s = ++seed, &c = counters.at(next++)] { body(s, c); });
  };
  for (int i = 0; i < kStoreWorkers; ++i) {
    start("stress-store", [&, i](std::uint64_t s, Counters& c) { store_worker(run, stores, s, i, c); });
  }
  for (int i = 0; i < kEvictionWorkers; ++i) {
    start("stress-evict", [&](std::uint64_t s, Counters& c) { eviction_worker(run, *stores.limited, s, c); });
  }
  for (int i = 0; i < kPlainClients + kPipelinedClients; ++i) {
    start("stress-client", [&, i](std::uint64_t s, Counters& c) {
      client_worker(run, port, kPassword, i >= kPlainClients, s, i, c);
    });
  }
  for (int i = 0; i < kTxnWorkers; ++i) {
    start("stress-txn", [&](std::uint64_t s, Counters& c) { txn_worker(run, stores, s, c); });
  }
  start("stress-churn", [&](std::uint64_t s, Counters& c) { churn_worker(run, port, kPassword, s, c); });
  start("stress-admin", [&](std::uint64_t s, Counters& c) { admin_worker(run, stores, s, c); });
  start("stress-srvcycle", [&](std::uint64_t s, Counters& c) {
    server_cycler(run, stores.persistent, kPassword, s, c);
  });
  start("stress-dbcycle", [&](std::uint64_t s, Counters& c) { store_cycler(run, cycled_dir, kPassword, s, c); });
}

// Closes the persistent store, reopens its directory and compares the keys
// without a deadline. Returns how many there were.
std::size_t check_close_and_reopen(Run& run, std::shared_ptr<Store> store, const std::string& dir) {
  (void)store->set("stress:last", "written before close", std::nullopt, false, false);
  const std::map<std::string, std::string> before = lasting_keys(*store);
  store->close();
  check_persist_stats(run, *store, "after close");
  store.reset();

  auto reopened = Store::open(persistent_config(dir));
  if (!reopened.ok()) {
    run.failures.add("reopening " + dir + " failed: " + reopened.error().text());
    return before.size();
  }
  Store& again = **reopened;
  check_persist_stats(run, again, "after reopening");
  const std::map<std::string, std::string> after = lasting_keys(again);
  if (after != before) {
    run.failures.add("reopened store has " + std::to_string(after.size()) + " lasting keys, " +
                     std::to_string(before.size()) + " before close, or different contents");
  }
  again.close();
  return before.size();
}

int report(Run& run, const std::vector<Counters>& counters, double load_s, std::size_t lasting) {
  std::map<std::string, std::uint64_t> total;
  for (const Counters& c : counters) c.merge_into(total);
  std::uint64_t ops = 0;
  for (const auto& [op, n] : total) {
    std::printf("  %-32s %llu\n", op.c_str(), static_cast<unsigned long long>(n));
    ops += n;
  }
  std::printf("%llu operations in %.1f s; %zu keys without a deadline survived close and reopen\n",
              static_cast<unsigned long long>(ops), load_s, lasting);
  if (run.failures.count() == 0) {
    std::printf("stress: no failures\n");
    return 0;
  }
  for (const std::string& f : run.failures.list()) std::printf("FAILED: %s\n", f.c_str());
  std::printf("stress: %llu failures\n", static_cast<unsigned long long>(run.failures.count()));
  return 1;
}

int run_stress(int seconds) {
  const TempDir top;
  if (top.path.empty()) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = top.path + "/main";
  Run run;
  Stores stores;
  auto opened = Store::open(persistent_config(dir));
  if (!opened.ok()) {
    std::fprintf(stderr, "cannot open %s: %s\n", dir.c_str(), opened.error().text().c_str());
    return 1;
  }
  stores.persistent = std::move(*opened);
  stores.plain = Store::create(memory_config(0, EvictionPolicy::NoEviction));
  stores.limited = Store::create(memory_config(kLimitedBytes, EvictionPolicy::AllKeysLru));
  const std::uint64_t plain_empty = stores.plain->used_memory();
  const std::uint64_t limited_empty = stores.limited->used_memory();
  auto started = server::start_server("127.0.0.1", 0, kPassword, stores.persistent);
  if (!started.ok()) {
    std::fprintf(stderr, "cannot start the server: %s\n", started.error().text().c_str());
    return 1;
  }
  server::RunningServer srv = std::move(*started);
  std::vector<RespConn> idle = open_idle(run, srv.port);

  const auto t0 = std::chrono::steady_clock::now();
  run.until = t0 + std::chrono::seconds(seconds);
  std::vector<Counters> counters(kStoreWorkers + kEvictionWorkers + kTxnWorkers + kPlainClients +
                                 kPipelinedClients + 4);
  run_load(run, stores, srv.port, top.path + "/cycled", counters);
  const double load_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  server::shutdown_server(srv);
  for (RespConn& c : idle) {
    if (!c.wait_closed()) run.failures.add("an idle connection stayed open after the server shut down");
  }
  if (!wait_sole_owner(stores.persistent)) run.failures.add("the store is still referenced after shutdown");
  check_persist_stats(run, *stores.persistent, "after the load");
  check_flush_accounting(run, *stores.plain, plain_empty, "plain");
  if (stores.limited->used_memory() > 2 * kLimitedBytes) {
    run.failures.add("limited store holds " + std::to_string(stores.limited->used_memory()) + " bytes");
  }
  check_flush_accounting(run, *stores.limited, limited_empty, "limited");
  const std::size_t lasting = check_close_and_reopen(run, std::move(stores.persistent), dir);
  return report(run, counters, load_s, lasting);
}

}  // namespace
}  // namespace mevora::stress

int main(int argc, char** argv) {
  int seconds = 20;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      seconds = 0;
    }
    if (seconds <= 0) {
      std::fprintf(stderr, "usage: %s [--seconds N]   (N > 0, default 20)\n", argv[0]);
      return 2;
    }
  }
  return mevora::stress::run_stress(seconds);
}
