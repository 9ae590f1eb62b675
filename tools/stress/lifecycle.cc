#include "lifecycle.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "server/listener.h"
#include "server_load.h"
#include "store_load.h"
#include "util/named_thread.h"

namespace mevora::stress {
namespace {

constexpr int kDoomedClients = 2;
constexpr int kCycledWriters = 2;

void pause_ms(Rng& rng, std::uint64_t lo, std::uint64_t hi) {
  std::this_thread::sleep_for(std::chrono::milliseconds(lo + rng.below(hi - lo + 1)));
}

StoreConfig cycled_config(const std::string& dir, Rng& rng) {
  static constexpr FsyncPolicy kPolicies[] = {FsyncPolicy::Always, FsyncPolicy::EverySec, FsyncPolicy::Never};
  StoreConfig c;
  c.persist_dir = dir;
  c.fsync = kPolicies[rng.below(3)];
  c.snapshot_interval = 1;
  c.shards = 4;
  c.sweep_interval_ms = 10;
  return c;
}

// Opens the store in dir. A store dropped without close releases the
// directory only when its last reference goes, which a background save
// still running may hold for a while: WouldBlock is retried (bounded).
Result<std::shared_ptr<Store>, PersistError> reopen(const StoreConfig& config) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (true) {
    auto opened = Store::open(config);
    if (opened.ok() || opened.error().kind() != PersistErrorKind::WouldBlock ||
        std::chrono::steady_clock::now() > until) {
      return opened;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

void server_cycler(Run& run, std::shared_ptr<Store> store, const std::string& password, std::uint64_t seed,
                   Counters& counters) {
  Rng rng(seed);
  while (run.going()) {
    auto started = server::start_server("127.0.0.1", 0, password, store);
    if (!started.ok()) return run.failures.add("server cycler: cannot start a server: " + started.error().text());
    server::RunningServer srv = std::move(*started);
    counters.hit("server start and shutdown");
    std::vector<Counters> seen(kDoomedClients);
    {
      std::vector<NamedThread> clients;
      for (int i = 0; i < kDoomedClients; ++i) {
        clients.emplace_back("stress-doomed", [&, i, port = srv.port, s = rng.next()] {
          doomed_client(run, port, password, false, s, seen[i]);
        });
      }
      pause_ms(rng, 20, 200);
      server::shutdown_server(srv);
    }  // joins the clients: the shutdown ended their connections
    for (const Counters& c : seen) counters.add(c);
  }
}

void store_cycler(Run& run, const std::string& dir, const std::string& password, std::uint64_t seed,
                  Counters& counters) {
  Rng rng(seed);
  while (run.going()) {
    auto opened = reopen(cycled_config(dir, rng));
    if (!opened.ok()) return run.failures.add("store cycler: open failed: " + opened.error().text());
    std::shared_ptr<Store> store = std::move(*opened);
    // Mostly closed under load; otherwise dropped without close, so the
    // destructor stops the background threads (and may itself run on one
    // of them, or on a background save, whichever lets go last).
    const bool close_it = !rng.chance(3);
    counters.hit(close_it ? "store open, close under load" : "store open, drop without close");
    if (const auto stats = store->persist_stats(); stats.has_value() && stats->last_error.has_value()) {
      run.failures.add("store cycler: recovery recorded " + *stats->last_error);
    }
    auto started = server::start_server("127.0.0.1", 0, password, store);
    if (!started.ok()) return run.failures.add("store cycler: cannot start a server: " + started.error().text());
    server::RunningServer srv = std::move(*started);

    std::atomic<bool> stop{false};
    std::vector<Counters> seen(kCycledWriters + 1);
    {
      std::vector<NamedThread> threads;
      for (int i = 0; i < kCycledWriters; ++i) {
        threads.emplace_back("stress-cycled", [&, i, s = rng.next()] {
          Rng r(s);
          while (!stop.load(std::memory_order_relaxed) && !run.failures.any()) any_store_op(run, *store, r, seen[i]);
        });
      }
      threads.emplace_back("stress-doomed", [&, port = srv.port, s = rng.next()] {
        doomed_client(run, port, password, true, s, seen[kCycledWriters]);
      });
      pause_ms(rng, 50, 300);
      if (close_it) {
        store->close();        // while the writers and the server's client write
        pause_ms(rng, 10, 50);  // writes after the close stay in memory
        if (store->save().ok()) run.failures.add("store cycler: save succeeded after close");
      }
      server::shutdown_server(srv);
      stop.store(true, std::memory_order_relaxed);
    }  // joins the writers and the client
    for (const Counters& c : seen) counters.add(c);
  }
  // The last store must open too, and this waits for the one dropped last
  // to have let go of the directory before the program goes on to exit.
  auto last = reopen(cycled_config(dir, rng));
  if (!last.ok()) return run.failures.add("store cycler: the last open failed: " + last.error().text());
  (*last)->close();
}

}  // namespace mevora::stress
