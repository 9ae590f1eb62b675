// Store::open: the persistent constructor. Locks the data directory,
// rebuilds the keyspace from the snapshot and the log segments, opens the
// active segment, installs the persistence state, purges keys that expired
// while the store was closed, and starts the background threads.
//
// Until the persistence state is installed the store is private to this
// thread and runs with a clock that reads 0, no memory limit and no
// logging, so recovery never expires, evicts or logs anything. On any
// failure the store under construction is discarded, the files opened here
// are closed and the lock is released; changes already made to files
// (older segments deleted, torn tails cut back) stay.
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/persist/lock.h"
#include "core/persist/persist.h"
#include "core/persist/recovery.h"
#include "core/persist/snapshot.h"
#include "core/persist/wal.h"
#include "core/store.h"

namespace mevora {
namespace {

using persist::DirLock;
using persist::WalWriter;

// What recovery hands to the persistence state.
struct Recovered {
  std::uint64_t snapshot_bytes = 0;
  std::uint64_t active = 0;          // the segment to append to
  std::optional<std::string> note;   // the last torn-tail note
};

// Loads the snapshot and replays the segments at or above its wal_seq into
// store, deleting the older ones.
Result<Recovered, PersistError> recover(Store& store, const std::string& dir) {
  Recovered out;
  std::uint64_t wal_seq = 0;
  {
    persist::SnapshotLoader loader(store);
    auto snap = persist::load_snapshot(dir, loader);
    if (!snap.ok()) return make_err(snap.error());
    wal_seq = snap->wal_seq;
    out.snapshot_bytes = snap->size;
  }
  auto segments = persist::list_segments(dir);
  if (!segments.ok()) return make_err(segments.error());

  // Nothing on disk changes before every segment has been judged: only the
  // last one may be cut back (a torn tail, at the very end of the replay);
  // segments the snapshot covers are deleted after it.
  out.active = wal_seq;
  persist::LogReplayer replayer(store);
  std::vector<std::uint64_t> covered;
  const std::uint64_t last = segments->empty() ? 0 : segments->back();
  for (std::uint64_t n : *segments) {
    if (n < wal_seq) {
      // Covered by the snapshot: left behind by a save that stopped after
      // installing it.
      covered.push_back(n);
      continue;
    }
    auto replayed = persist::replay_segment(dir, n, replayer, n == last);
    if (!replayed.ok()) return make_err(replayed.error());
    if (replayed->torn) out.note = persist::torn_tail_note(n, replayed->torn_at);
    out.active = n;  // ascending, so the highest one wins
  }
  for (std::uint64_t n : covered) {
    if (::unlink(persist::segment_path(dir, n).c_str()) != 0) {
      const int err = errno;
      if (err != ENOENT) return os_error(err);
    }
  }
  persist::remove_snapshot_tmp(dir);
  return out;
}

// Removes every key due at the wall clock's now, shard by shard; each
// removal logs its DEL.
void purge_expired(Store& store) MEVORA_NO_THREAD_SAFETY_ANALYSIS {
  const std::uint64_t now = store.clock().now_ms();
  std::vector<std::string> due;
  for (std::size_t i = 0; i < store.shard_count(); ++i) {
    Shard& s = store.shard_at(i);
    WriteGuard g(s.lock);
    due.clear();
    s.table.for_each([&](EntryRef e) {
      if (e.head().due(now)) due.emplace_back(e.key());
    });
    // Collected first: a removal may shrink the table under the walk. A key
    // whose DEL the log refuses stays, invisible, for a later removal.
    for (const std::string& key : due) (void)store.remove_locked(s, key, key_hash(key));
  }
}

}  // namespace

Result<std::shared_ptr<Store>, PersistError> Store::open(const StoreConfig& config) {
  if (!config.persist_dir.has_value()) {
    return make_err(PersistError::make(PersistErrorKind::InvalidInput, "no data directory given"));
  }
  const std::string& dir = *config.persist_dir;
  auto lock = persist::acquire_dir_lock(dir);
  if (!lock.ok()) return make_err(lock.error());

  StoreConfig plain;
  plain.shards = config.shards;
  plain.max_memory = 0;
  plain.policy = EvictionPolicy::NoEviction;
  plain.sweep_interval_ms = 0;
  auto store = std::make_shared<Store>(StoreConstruction(), plain, std::make_shared<FakeClock>(0));

  auto recovered = recover(*store, dir);
  WalWriter wal(config.fsync, persist::access_for(config.fsync));
  if (recovered.ok()) {
    // Also syncs the directory and sizes the segment (wal_bytes).
    if (auto r = wal.open_active(dir, recovered->active); !r.ok()) recovered = make_err(r.error());
  }
  if (!recovered.ok()) {
    store.reset();
    persist::release_dir_lock(*lock);
    return make_err(recovered.error());
  }

  store->set_clock(std::make_shared<WallClock>());
  auto owned = std::make_unique<persist::StorePersistence>(dir, std::move(wal), std::move(*lock),
                                                           std::move(recovered->note),
                                                           recovered->snapshot_bytes);
  persist::StorePersistence& persistence = *owned;
  store->install_persistence(std::move(owned));
  store->set_limits(config.max_memory, config.policy);

  purge_expired(*store);
  persistence.set_loaded_keys(store->len());

  if (config.sweep_interval_ms != 0) store->start_sweeper(config.sweep_interval_ms);
  persistence.start_threads(*store, config.snapshot_interval);
  return store;
}

}  // namespace mevora
