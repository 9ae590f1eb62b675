// Persistence: what a persistent store plugs into its Store.
//
// The core calls only this interface; the implementation (log writer,
// snapshots, background threads, directory lock) lives in core/persist and
// is installed by Store::open. An in-memory store has none.
#pragma once

#include "core/persist_error.h"
#include "core/store_types.h"
#include "core/wal_batch.h"
#include "core/wal_record.h"
#include "util/result.h"

namespace mevora {

class Store;

class Persistence {
 public:
  virtual ~Persistence() = default;

  // Appends one record to the log, before the change it describes is
  // applied. Called with the changed key's shard lock held exclusively (or
  // all shard locks, for FLUSH). An error means the record is not in the
  // log and the caller must not apply the change; after an I/O failure
  // every later append fails the same way until a successful save. Once
  // the log is closed, records are dropped and the append succeeds.
  virtual Result<void, PersistError> append(const WalRecord& record) = 0;

  // Appends the records of one transaction as one frame, so that recovery
  // applies all of them or none. Called with the transaction's shard locks
  // held, before any is released. Unlike append, a failure is returned:
  // the transaction then undoes its changes and reports the error. A batch
  // of one record is written as that record's ordinary frame.
  virtual Result<void, PersistError> append_batch(const WalBatch& batch) = 0;

  // Writes a snapshot and retires old log segments. Takes the save mutex,
  // then shard locks, then the log mutex. Must be called without any shard
  // lock held.
  virtual Result<void, PersistError> save(Store& store) = 0;

  // Stops and joins the background threads, writes a final snapshot,
  // closes the log and releases the directory lock. Called once, after the
  // store's closed flag was set.
  virtual void close(Store& store) = 0;

  // A copy of the counters.
  virtual PersistStats stats() = 0;

  // The data directory and the fsync policy the log runs with, as given
  // when the store was opened (the server's CONFIG GET reports them).
  virtual std::string directory() const = 0;
  virtual FsyncPolicy fsync_policy() const = 0;
};

}  // namespace mevora
