// The whole-keyspace operations keys (listing by glob pattern) and flush.
//
// keys visits the shards one after another under each one's shared lock,
// so its result is not a snapshot of one instant; it neither stamps nor
// removes entries (a due entry is skipped and left for lazy expiry or the
// sweeper).
//
// flush holds every shard's exclusive lock at once, so no operation sees a
// half-emptied store and no mutation can be logged between the FLUSH record
// and the emptying. Only the detach happens under the locks; the old
// entries are freed after every lock is released.
#include <vector>

#include "core/all_shards_guard.h"
#include "core/glob.h"
#include "core/store.h"

namespace mevora {

std::vector<std::string> Store::keys(std::string_view pattern) {
  before_wait();  // a walk over the whole keyspace
  const GlobPattern glob(pattern);
  const std::uint64_t now = clock_->now_ms();
  std::vector<std::string> out;
  for (auto& sp : shards_) {
    Shard& s = *sp;
    ReadGuard g(s.lock);
    s.table.for_each([&](EntryRef e) {
      if (e.head().due(now)) return;
      const std::string_view key = e.key();
      if (glob.matches(key)) out.emplace_back(key);
    });
  }
  return out;
}

// Exempt from the thread-safety analysis: the tables are touched under
// AllShardsWriteGuard, whose run-time set of locks the analysis cannot name.
StoreResult<void> Store::flush() MEVORA_NO_THREAD_SAFETY_ANALYSIS {
  before_wait();  // takes every shard's lock, frees the whole keyspace
  std::vector<Table> detached;
  detached.reserve(shards_.size());  // the only allocation; before any lock
  {
    AllShardsWriteGuard all(*this);
    if (auto r = log_mutation(WalRecord::flush()); !r.ok()) return r;
    for (auto& sp : shards_) {
      Shard& s = *sp;
      std::uint64_t entries = 0;
      s.table.for_each([&](EntryRef e) { entries += e.accounted_size(); });
      sub_used(entries);
      detached.push_back(s.table.detach());
      recharge_table(s);
    }
  }
  // Inside a transaction that may have to undo itself, its scope keeps the
  // old tables (see TxnScope::undo) and frees them when it ends.
  if (TxnScope* t = TxnScope::current(); t != nullptr && t->keep_flushed(detached)) return {};
  detached.clear();  // frees the old tables and their entries, no lock held
  return {};
}

}  // namespace mevora
