// StorePersistence: appending, save, close and the counters. The background
// threads are in background.cc.
#include "core/persist/persist.h"

#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "core/all_shards_guard.h"
#include "core/persist/file_io.h"
#include "core/persist/snapshot.h"
#include "core/store.h"
#include "util/platform.h"

namespace mevora::persist {
namespace {

// The shared locks of every shard (an AllShardsReadGuard), taken when
// built, so no key can change while the log is rotated. write_shard
// releases each shard as soon as it has been written (its writers then log
// into the new segment); whatever is still held is released at scope exit,
// also when the snapshot fails part-way.
class FrozenShards final : public EntrySource {
 public:
  explicit FrozenShards(Store& store) : store_(store), locks_(store) {}

  std::size_t shard_count() const override { return store_.shard_count(); }

  // Shards are written in index order, so shard i is the lowest one held.
  Result<void, PersistError> write_shard(std::size_t i, SnapshotWriter& out) override {
    auto r = write_entries(store_.shard_at(i), out);
    locks_.release_below(i + 1);
    return r;
  }

 private:
  // Under shard s's shared lock (held by this object).
  static Result<void, PersistError> write_entries(Shard& s, SnapshotWriter& out)
      MEVORA_NO_THREAD_SAFETY_ANALYSIS {
    Result<void, PersistError> r;
    // Entries live in their own allocations, in hash order: walking them is
    // one dependent cache miss per line of every entry unless fetched ahead.
    // Two stages: kFar slots ahead the entry's first line is requested; kNear
    // slots ahead that line has arrived, so the entry's size is known and
    // its remaining lines are requested too.
    constexpr std::size_t kFar = 16;
    constexpr std::size_t kNear = 6;
    std::size_t far = s.table.first_occupied();
    std::size_t near = far;
    for (std::size_t n = 0; n < kFar && far != Table::npos; ++n) {
      prefetch_head(s.table.at(far));
      if (n >= kFar - kNear) {
        prefetch_rest(s.table.at(near));
        near = s.table.next_occupied(near + 1);
      }
      far = s.table.next_occupied(far + 1);
    }
    for (std::size_t slot = s.table.first_occupied(); slot != Table::npos && r.ok();
         slot = s.table.next_occupied(slot + 1)) {
      if (far != Table::npos) {
        prefetch_head(s.table.at(far));
        far = s.table.next_occupied(far + 1);
      }
      if (near != Table::npos) {
        prefetch_rest(s.table.at(near));
        near = s.table.next_occupied(near + 1);
      }
      const EntryRef e = s.table.at(slot);
      const std::uint64_t deadline = e.head().deadline_ms;
      if (out.expired(deadline)) continue;
      r = write_entry(e, deadline, out);
    }
    return r;
  }

  static void prefetch_head(EntryRef e) {
    __builtin_prefetch(reinterpret_cast<const void*>(e.bits() & ~std::uintptr_t{1}));
  }

  // The lines of a string entry after its first (collections are walked
  // element by element anyway). An upper bound: the wide header may or may
  // not be there.
  static void prefetch_rest(EntryRef e) {
    if (!e.is_string()) return;
    const StrEntry* se = e.str();
    const auto* p = reinterpret_cast<const char*>(se);
    const std::size_t bytes = sizeof(StrEntry) + 16 + se->buffer_len();
    for (std::size_t off = 64; off < bytes && off < 64 * 8; off += 64) __builtin_prefetch(p + off);
  }

  static Result<void, PersistError> write_entry(EntryRef e, std::uint64_t deadline, SnapshotWriter& out) {
    if (e.is_string()) return out.add_string(e.key(), deadline, e.str()->value());
    const CollEntry& c = *e.coll();
    switch (c.kind) {
      case CollectionKind::List: {
        const ByteDeque& list = c.list();
        if (auto r = out.begin_list(c.key(), deadline, list.size()); !r.ok()) return r;
        for (std::size_t i = 0; i < list.size(); ++i) {
          if (auto r = out.list_item(list.at(i)); !r.ok()) return r;
        }
        return {};
      }
      case CollectionKind::Hash:
        if (auto r = out.begin_hash(c.key(), deadline, c.hash().size()); !r.ok()) return r;
        for (const Elem* el : c.hash()) {
          if (auto r = out.hash_pair(el->key(), el->value()); !r.ok()) return r;
        }
        return {};
      case CollectionKind::Set:
        if (auto r = out.begin_set(c.key(), deadline, c.set().size()); !r.ok()) return r;
        for (const Elem* member : c.set()) {
          if (auto r = out.set_member(member->key()); !r.ok()) return r;
        }
        return {};
    }
    return {};
  }

  Store& store_;
  AllShardsReadGuard locks_;
};

PersistError closed_error() { return PersistError::make(PersistErrorKind::Other, "store is closed"); }

}  // namespace

StorePersistence::StorePersistence(std::string dir, WalWriter wal, DirLock lock,
                                   std::optional<std::string> note, std::uint64_t snapshot_bytes)
    : dir_(std::move(dir)),
      policy_(wal.policy()),
      wal_(std::move(wal)),
      dir_lock_(std::move(lock)) {
  stats_.last_error = std::move(note);
  stats_.snapshot_bytes = snapshot_bytes;
}

StorePersistence::~StorePersistence() {
  stop_threads();
  {
    // Closes the segment without a sync: a dropped store flushes nothing.
    MutexGuard g(wal_mu_);
    wal_ = WalWriter(policy_);
  }
  MutexGuard g(lock_mu_);
  release_dir_lock(dir_lock_);
}

// ---- appending -------------------------------------------------------------------

Result<void, PersistError> StorePersistence::append(const WalRecord& rec) { return append_frame(&rec, nullptr); }

Result<void, PersistError> StorePersistence::append_batch(const WalBatch& batch) {
  return append_frame(nullptr, &batch);
}

Result<void, PersistError> StorePersistence::append_frame(const WalRecord* rec, const WalBatch* batch) {
  Result<void, PersistError> r;
  {
    MutexGuard g(wal_mu_);
    if (!wal_.is_open()) return {};
    if (refusal_.has_value()) return make_err(*refusal_);
    r = rec != nullptr ? wal_.append(*rec) : wal_.append_batch(*batch);
    if (r.ok()) return r;
    // A record too large to frame wrote nothing: the log is still whole.
    if (r.error().kind() != PersistErrorKind::InvalidInput) refuse_locked(r.error());
  }
  record_error("WAL append failed: " + r.error().text());
  return r;
}

void StorePersistence::refuse_locked(const PersistError& err) {
  refusal_ = err;
  ++refusal_epoch_;
}

bool StorePersistence::writes_refused() {
  MutexGuard g(wal_mu_);
  return refusal_.has_value();
}

// ---- save ----------------------------------------------------------------------------

Result<void, PersistError> StorePersistence::save(Store& store) {
  MutexGuard g(save_mu_);
  auto r = save_locked(store);
  if (!r.ok()) record_error("save failed: " + r.error().text());
  return r;
}

Result<void, PersistError> StorePersistence::save_locked(Store& store) {
  FrozenShards frozen(store);
  std::uint64_t n = 0;
  std::uint64_t epoch = 0;
  {
    MutexGuard g(wal_mu_);
    if (!wal_.is_open()) return make_err(closed_error());
    if (wal_.segment() == std::numeric_limits<std::uint64_t>::max()) {
      // The next number would wrap to 0 and sort before every segment.
      return make_err(PersistError::make(PersistErrorKind::Other, "WAL segment numbers exhausted"));
    }
    // After a failed append the segment may end in a frame whose caller
    // was told it failed: it must not outlive the rotation.
    if (refusal_.has_value()) {
      if (auto r = wal_.cut_to_logged(); !r.ok()) return r;
    }
    if (auto r = wal_.sync_active(); !r.ok()) {
      refuse_locked(r.error());
      return r;
    }
    n = wal_.segment() + 1;
    if (auto r = wal_.rotate_to(dir_, n); !r.ok()) return r;
    epoch = refusal_epoch_;
  }
  auto size = write_snapshot(dir_, n, store.clock().now_ms(), frozen);
  if (!size.ok()) return make_err(size.error());
  if (auto r = delete_segments_below(n); !r.ok()) return r;
  if (auto r = sync_dir(dir_); !r.ok()) return r;

  {
    // The snapshot holds every change memory holds, and the fresh segment
    // follows it: the log is whole again, unless it failed anew meanwhile.
    MutexGuard g(wal_mu_);
    if (refusal_epoch_ == epoch) refusal_.reset();
  }
  MutexGuard g(stats_mu_);
  stats_.last_save_ms = platform::wall_clock_ms();
  stats_.snapshot_bytes = *size;
  stats_.last_error.reset();
  return {};
}

Result<void, PersistError> StorePersistence::delete_segments_below(std::uint64_t n) {
  auto segments = list_segments(dir_);
  if (!segments.ok()) return make_err(segments.error());
  for (std::uint64_t m : *segments) {
    if (m >= n) break;  // ascending
    if (::unlink(segment_path(dir_, m).c_str()) != 0) {
      const int err = errno;
      if (err != ENOENT) return os_error(err);
    }
  }
  return {};
}

// ---- close -------------------------------------------------------------------------

void StorePersistence::close(Store& store) {
  stop_threads();
  if (auto r = save(store); !r.ok()) record_error("final save failed: " + r.error().text());
  Result<void, PersistError> closed;
  {
    MutexGuard g(wal_mu_);
    closed = wal_.close();
  }
  if (!closed.ok()) record_error("WAL close failed: " + closed.error().text());
  MutexGuard g(lock_mu_);
  release_dir_lock(dir_lock_);
}

// ---- counters ------------------------------------------------------------------------

PersistStats StorePersistence::stats() {
  PersistStats out;
  {
    MutexGuard g(wal_mu_);
    out.wal_bytes = wal_.wal_bytes();
    out.writes_refused = refusal_.has_value();
  }
  MutexGuard g(stats_mu_);
  out.last_error = stats_.last_error;
  out.last_save_ms = stats_.last_save_ms;
  out.snapshot_bytes = stats_.snapshot_bytes;
  out.loaded_keys = stats_.loaded_keys;
  return out;
}

void StorePersistence::set_loaded_keys(std::uint64_t n) {
  MutexGuard g(stats_mu_);
  stats_.loaded_keys = n;
}

std::uint64_t StorePersistence::wal_bytes() {
  MutexGuard g(wal_mu_);
  return wal_.wal_bytes();
}

void StorePersistence::flush_if_dirty() {
  // The sync runs without wal_mu_, so appends go on while the disk works;
  // it covers every record acknowledged before the descriptor was taken.
  // Without a spare descriptor the segment is synced under the lock.
  Result<void, PersistError> r;
  UniqueFd fd;
  {
    MutexGuard g(wal_mu_);
    auto taken = wal_.take_flush();
    if (taken.ok()) {
      fd = std::move(*taken);
    } else {
      r = wal_.sync_if_dirty();
      // Records already acknowledged may not reach the disk.
      if (!r.ok()) refuse_locked(r.error());
    }
  }
  if (fd.valid()) {
    r = sync_file(fd.get());
    if (!r.ok()) {
      // Records already acknowledged may not reach the disk: writes stay
      // refused until a save has put everything in a snapshot.
      MutexGuard g(wal_mu_);
      wal_.flush_failed();
      refuse_locked(r.error());
    }
  }
  if (!r.ok()) record_error("fsync failed: " + r.error().text());
}

void StorePersistence::record_error(std::string text) {
  MutexGuard g(stats_mu_);
  stats_.last_error = std::move(text);
}

}  // namespace mevora::persist
