// Store::atomically, the TxnScope it runs under, the watch registry and the
// transaction's log batch (see transaction.h, watch.h, wal_batch.h).
#include "core/transaction.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "core/store.h"
#include "core/watch.h"

namespace mevora {
namespace {

// A deep copy of an entry, with the same accounted size, owned by the caller.
EntryRef clone_entry(EntryRef e) {
  const EntryHead& h = e.head();
  const std::uint32_t stamp = h.lru_stamp.load(std::memory_order_relaxed);
  if (e.is_string()) return EntryRef(StrEntry::create(e.key(), e.str()->value(), h.deadline_ms, stamp));
  const CollEntry& src = *e.coll();
  CollEntry* c = CollEntry::create(src.kind, src.key(), h.deadline_ms, stamp);
  try {
    switch (src.kind) {
      case CollectionKind::List:
        for (std::size_t i = 0; i < src.list().size(); ++i) c->list().push_back(src.list().at(i));
        break;
      case CollectionKind::Hash:
        for (const Elem* el : src.hash()) c->hash().put(el->key(), el->value());
        break;
      case CollectionKind::Set:
        for (const Elem* el : src.set()) c->set().add(el->key());
        break;
    }
  } catch (...) {
    CollEntry::destroy(c);
    throw;
  }
  c->value_size = src.value_size;
  return EntryRef(c);
}

std::uint64_t entries_size(const Table& t) {
  std::uint64_t n = 0;
  t.for_each([&](EntryRef e) { n += e.accounted_size(); });
  return n;
}

}  // namespace

// ---- TxnScope ---------------------------------------------------------------------

TxnScope::TxnScope(Store& store, std::vector<std::size_t> held, std::span<const std::string_view> declared)
    : store_(store), held_(std::move(held)), declared_(declared.begin(), declared.end()) {
  std::size_t locked = 0;
  try {
    for (; locked < held_.size(); ++locked) store_.shard_at(held_[locked]).lock.lock_for(this);
  } catch (...) {
    while (locked > 0) store_.shard_at(held_[--locked]).lock.unlock_from(this);
    throw;
  }
  txn_detail::current = this;
}

TxnScope::~TxnScope() {
  txn_detail::current = nullptr;
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) store_.shard_at(*it).lock.unlock_from(this);
  // Copies and flushed tables are private to this scope: freed unlocked.
  for (SavedEntry& s : saved_) {
    if (s.copy) s.copy.destroy();
  }
}

bool TxnScope::declares(std::string_view key) const {
  return std::find(declared_.begin(), declared_.end(), key) != declared_.end();
}

void TxnScope::save_declared_entries() MEVORA_NO_THREAD_SAFETY_ANALYSIS {
  journaling_ = true;
  LazyNow now(store_.clock());
  for (std::string_view key : declared_) {
    const bool seen = std::any_of(saved_.begin(), saved_.end(), [&](const SavedEntry& s) { return s.key == key; });
    if (seen) continue;
    const std::uint64_t h = key_hash(key);
    Shard& s = store_.shard_for(h);
    const std::size_t slot = s.table.find(key, h);
    SavedEntry entry{std::string(key), EntryRef()};
    if (slot != Table::npos) entry.copy = clone_entry(s.table.at(slot));
    try {
      saved_.push_back(std::move(entry));
    } catch (...) {
      if (entry.copy) entry.copy.destroy();
      throw;
    }
  }
}

bool TxnScope::keep_flushed(std::vector<Table>& tables) {
  if (!journaling_ || has_flushed_) return false;
  flushed_ = std::move(tables);
  has_flushed_ = true;
  return true;
}

TxnScope::Route TxnScope::route_for(const StoreInternals& store) const {
  if (&store != static_cast<const StoreInternals*>(&store_)) return Route::Direct;
  if (muted_) return Route::Drop;
  return direct_ ? Route::Direct : Route::Batch;
}

Result<void, PersistError> TxnScope::commit() {
  Persistence* p = store_.persistence();
  if (p == nullptr || batch_.empty()) return {};
  if (batch_.error().has_value()) return make_err(*batch_.error());
  before_wait();  // the log may write to or flush the disk
  return p->append_batch(batch_);
}

void TxnScope::undo() noexcept MEVORA_NO_THREAD_SAFETY_ANALYSIS {
  muted_ = true;
  if (has_flushed_) {
    // Every shard is held: a flush needs the whole keyspace.
    for (std::size_t i = 0; i < flushed_.size() && i < store_.shard_count(); ++i) {
      Shard& s = store_.shard_at(i);
      Table current = s.table.detach();
      store_.sub_used(entries_size(current));
      s.table = std::move(flushed_[i]);
      store_.add_used(entries_size(s.table));
      store_.recharge_table(s);
    }
    flushed_.clear();
  }
  for (SavedEntry& saved : saved_) {
    const std::uint64_t h = key_hash(saved.key);
    Shard& s = store_.shard_for(h);
    (void)store_.remove_locked(s, saved.key, h);  // muted: logs nothing, so it cannot fail
    if (saved.copy) {
      try {
        store_.insert_locked(s, h, std::exchange(saved.copy, EntryRef()));
      } catch (...) {
        // Out of memory while growing the table: the key stays absent.
      }
    }
  }
  muted_ = false;
}

// ---- Store::atomically ---------------------------------------------------------------

Result<bool, PersistError> Store::atomically(KeyList keys, bool whole_keyspace, const Watcher* watcher,
                                             const std::function<void()>& body) {
  std::vector<std::size_t> held;
  if (whole_keyspace) {
    held.resize(shard_count());
    for (std::size_t i = 0; i < held.size(); ++i) held[i] = i;
  } else {
    for (std::string_view k : keys) held.push_back(shard_index(k));
    if (watcher != nullptr) {
      for (const std::string& k : watcher->keys()) held.push_back(shard_index(k));
    }
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
  }

  TxnScope scope(*this, std::move(held), keys);
  if (watcher != nullptr) {
    // A watched key whose deadline passed has changed, even if nobody
    // touched it since: remove it now (marking the watcher).
    TxnScope::DirectLogging direct(&scope);
    LazyNow now(*clock_);
    for (const std::string& k : watcher->keys()) {
      const std::uint64_t h = key_hash(k);
      Shard& s = shard_for(h);
      WriteGuard g(s.lock);  // held: a no-op
      // Refused by the log, the due key stays (invisible); so does the
      // refusal, which then fails the transaction's own records.
      (void)expire_if_due(s, k, h, now);
    }
    if (watcher->dirty()) return false;
  }
  if (persist_ != nullptr) scope.save_declared_entries();
  try {
    body();
  } catch (...) {
    // What ran has taken effect and must reach the log as a whole.
    if (!scope.commit().ok()) scope.undo();
    throw;
  }
  if (auto r = scope.commit(); !r.ok()) {
    scope.undo();
    return make_err(r.error());
  }
  return true;
}

// ---- watches ---------------------------------------------------------------------------

void Watcher::watch(std::span<const std::string_view> keys) {
  for (std::string_view key : keys) {
    if (std::find(keys_.begin(), keys_.end(), key) != keys_.end()) continue;
    keys_.reserve(keys_.size() + 1);
    store_->add_watch(*this, key);
    keys_.emplace_back(key);
  }
}

void Watcher::clear() {
  for (const std::string& key : keys_) store_->remove_watch(*this, key);
  keys_.clear();
  dirty_.store(false, std::memory_order_release);
}

void Store::add_watch(Watcher& w, std::string_view key) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  WriteGuard g(s.lock);
  LazyNow now(*clock_);
  // An expired key is gone before the watch starts, so its removal is no
  // change; if the log refuses that removal, the key's later one is.
  (void)expire_if_due(s, key, h, now);
  auto it = s.watchers.find(key);
  if (it == s.watchers.end()) it = s.watchers.emplace(std::string(key), std::vector<Watcher*>()).first;
  it->second.push_back(&w);
  watch_count_.fetch_add(1, std::memory_order_relaxed);
}

void Store::remove_watch(Watcher& w, std::string_view key) {
  const std::uint64_t h = key_hash(key);
  Shard& s = shard_for(h);
  WriteGuard g(s.lock);
  auto it = s.watchers.find(key);
  if (it == s.watchers.end()) return;
  auto& list = it->second;
  auto pos = std::find(list.begin(), list.end(), &w);
  if (pos == list.end()) return;
  list.erase(pos);
  if (list.empty()) s.watchers.erase(it);
  watch_count_.fetch_sub(1, std::memory_order_relaxed);
}

void StoreInternals::notify_watchers(const WalRecord& record) MEVORA_NO_THREAD_SAFETY_ANALYSIS {
  if (record.kind == WalKind::Flush) {
    // Under every shard's lock: a watched key changes if it was live.
    const std::uint64_t now = clock_->now_ms();
    for (auto& sp : shards_) {
      for (auto& [key, watchers] : sp->watchers) {
        const std::size_t slot = sp->table.find(key, key_hash(key));
        if (slot == Table::npos || sp->table.at(slot).head().due(now)) continue;
        for (Watcher* w : watchers) w->mark_dirty();
      }
    }
    return;
  }
  Shard& s = shard_for(key_hash(record.key));
  if (s.watchers.empty()) return;
  auto it = s.watchers.find(record.key);
  if (it == s.watchers.end()) return;
  for (Watcher* w : it->second) w->mark_dirty();
}

}  // namespace mevora
