// StorePersistence: the persistence state of a persistent Store, installed
// by Store::open once the keyspace has been rebuilt (open.cc).
//
// It owns everything a persistent store keeps besides its keys:
//   - the WalWriter of the active log segment, under the WAL mutex;
//   - the counters (PersistStats without wal_bytes), under the stats mutex;
//   - the DirLock of the data directory, under its own mutex;
//   - the "mevora-heal", "mevora-fsync" and "mevora-snapshot" threads,
//     under the thread-list mutex;
//   - the save mutex, which serialises save.
//
// Lock order (the store's one order): save mutex, shard locks in ascending
// index, WAL mutex, stats mutex. append() is called with the changed key's
// shard lock held exclusively and takes the WAL mutex, then (after
// releasing it) the stats mutex. Nothing here requests a shard lock while
// holding the WAL mutex or the stats mutex.
//
// Refusing writes: a record counts as logged only when append returns
// success, and the store applies a change only then. When an append or a
// sync of the log fails (including the fsync thread's, under everysec),
// the log may lack records or hold a frame the caller was told failed, so
// from then on every append is refused with that same error, until a save
// succeeds: it cuts the active segment back to its last logged frame,
// syncs it, rotates to a fresh segment and writes a snapshot of memory,
// which holds every change that was ever acknowledged. A "mevora-heal"
// thread retries that save every few seconds while writes are refused; the
// user's save and BGSAVE heal the same way. A record too large to frame
// fails only its own operation.
//
// Errors: append returns its error and records "WAL append failed: " + text
// in last_error; the fsync thread and close never fail their caller; they
// record "fsync failed: ", "final save failed: " or "WAL close failed: "
// followed by the error text. save returns its error and records it as
// "save failed: " + text; a successful save clears last_error.
//
// Background threads (PeriodicThread) use the store by reference and hold
// no reference count on it, so they never keep it alive. They wait their
// whole period on their own condition variable; close and the destructor
// stop them (at once, or after the save one of them is running) and join
// them.
//
// Destruction without close (the store's last reference dropped): the
// threads are stopped and joined, the active segment is closed without a
// sync, and the directory lock is released. No final snapshot is written.
//
// Thread safety: every public method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/persist/lock.h"
#include "core/persist/wal.h"
#include "core/persistence.h"
#include "core/store_types.h"
#include "util/periodic_thread.h"
#include "util/rwlock.h"

namespace mevora {
class Store;
}  // namespace mevora

namespace mevora::persist {

// How often the fsync thread flushes a dirty segment under everysec.
inline constexpr std::uint64_t kFsyncPeriodMs = 1000;
// How often the heal thread retries a save while writes are refused.
inline constexpr std::uint64_t kHealPeriodMs = 3000;

class StorePersistence final : public Persistence {
 public:
  // `wal` holds the open active segment; `lock` the held directory lock.
  // last_error starts as `note` (the recovery note, if any); snapshot_bytes
  // as the size of the snapshot loaded at open; everything else 0.
  StorePersistence(std::string dir, WalWriter wal, DirLock lock, std::optional<std::string> note,
                   std::uint64_t snapshot_bytes);
  ~StorePersistence() override;

  StorePersistence(const StorePersistence&) = delete;
  StorePersistence& operator=(const StorePersistence&) = delete;

  // Frames rec into the active segment and applies the fsync policy.
  // Does nothing (and succeeds) once the log is closed. Refused with the
  // error that started the refusal while writes are refused; an I/O
  // failure starts one. Failures are also recorded in last_error.
  Result<void, PersistError> append(const WalRecord& rec) override;

  // Frames a transaction's records as one frame (see WalWriter); returns
  // the failure (also recorded as "WAL append failed: " + text). Nothing
  // to do once the log is closed.
  Result<void, PersistError> append_batch(const WalBatch& batch) override;

  // Writes a snapshot and retires the segments it covers: syncs and
  // rotates the log to segment n + 1 while every shard is held shared,
  // writes the snapshot with wal_seq n + 1 releasing each shard right after
  // it is written, deletes older segments and syncs the directory. Errors:
  // Other "store is closed" once the log is closed, or the I/O error of a
  // step; each is recorded as "save failed: " + text. A failure after the
  // rotation does not undo it. Must be called without any shard lock held.
  Result<void, PersistError> save(Store& store) override;

  // Stops and joins the background threads, takes a final snapshot, closes
  // the log and releases the directory lock. Called once, by Store::close,
  // after the store's closed flag was set.
  void close(Store& store) override;

  // A copy of the counters: wal_bytes under the WAL mutex, then the rest
  // under the stats mutex (not one atomic snapshot across both).
  PersistStats stats() override;
  std::string directory() const override { return dir_; }
  FsyncPolicy fsync_policy() const override { return policy_; }

  // Sets loaded_keys (once, at the end of recovery).
  void set_loaded_keys(std::uint64_t n);

  // Starts "mevora-heal", "mevora-fsync" when the policy is EverySec and
  // "mevora-snapshot" when snapshot_interval_s != 0. They use `store` by
  // reference: it must own this object. Throws std::system_error if a
  // thread cannot be created (threads already started stay registered and
  // are joined as usual).
  void start_threads(Store& store, std::uint64_t snapshot_interval_s);

  // One period of the fsync thread: syncs the active segment when dirty,
  // without holding the log's lock while the disk works (appends go on
  // meanwhile); a failure keeps it dirty, refuses writes and records
  // "fsync failed: " + text.
  void flush_if_dirty();

  // Whether writes are refused (see the header).
  bool writes_refused();

  // The active segment's length as the writer knows it.
  std::uint64_t wal_bytes();

  const std::string& dir() const { return dir_; }

 private:
  // Steps of save after the save mutex: everything that can fail.
  Result<void, PersistError> save_locked(Store& store) MEVORA_REQUIRES(save_mu_);
  // Deletes the segments numbered below n; a missing file is fine.
  Result<void, PersistError> delete_segments_below(std::uint64_t n);
  // Replaces last_error.
  void record_error(std::string text) MEVORA_EXCLUDES(stats_mu_);
  // Starts (or renews) the refusal of writes with err.
  void refuse_locked(const PersistError& err) MEVORA_REQUIRES(wal_mu_);
  // Appends one frame (a record, or a transaction's batch when rec is
  // null) unless writes are refused; a failed write refuses later ones.
  Result<void, PersistError> append_frame(const WalRecord* rec, const WalBatch* batch);
  // Takes the threads out, stops and joins them. Must be called without
  // the save mutex or any shard lock held (a thread may be saving).
  void stop_threads() MEVORA_EXCLUDES(threads_mu_);

  const std::string dir_;
  const FsyncPolicy policy_;

  // Serialises save; taken before any shard lock.
  Mutex save_mu_;

  // Guards the writer of the active segment; taken after shard locks.
  Mutex wal_mu_ MEVORA_ACQUIRED_AFTER(save_mu_);
  WalWriter wal_ MEVORA_GUARDED_BY(wal_mu_);
  // Set while writes are refused: the error every append returns.
  std::optional<PersistError> refusal_ MEVORA_GUARDED_BY(wal_mu_);
  // Counts refusals, so a save clears only a refusal that began before it
  // rotated the log (a failure during its snapshot keeps writes refused).
  std::uint64_t refusal_epoch_ MEVORA_GUARDED_BY(wal_mu_) = 0;

  // Guards the counters (all fields except wal_bytes, which is wal_'s).
  Mutex stats_mu_ MEVORA_ACQUIRED_AFTER(wal_mu_);
  PersistStats stats_ MEVORA_GUARDED_BY(stats_mu_);

  // Guards the directory lock until close or destruction releases it.
  Mutex lock_mu_;
  DirLock dir_lock_ MEVORA_GUARDED_BY(lock_mu_);

  // Guards the list of background threads.
  Mutex threads_mu_;
  std::vector<std::unique_ptr<PeriodicThread>> threads_ MEVORA_GUARDED_BY(threads_mu_);
};

}  // namespace mevora::persist
