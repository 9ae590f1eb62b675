// Rebuilding a store from its snapshot and log (see recovery.h).
#include "core/persist/recovery.h"

#include <utility>

#include "core/store.h"

namespace mevora::persist {
namespace {

// Inserts or replaces key as an inline string with the given deadline. A
// key no store could hold (see check_key_length) is skipped, as the
// replayed collection operations skip it by refusing it.
void insert_string(Store& store, std::string_view key, std::uint64_t deadline_ms, std::string_view value) {
  if (!check_key_length(key).ok()) return;
  const std::uint64_t h = key_hash(key);
  Shard& s = store.shard_for(h);
  WriteGuard g(s.lock);
  store.insert_locked(s, h, EntryRef(StrEntry::create(key, value, deadline_ms, store.next_stamp())));
}

}  // namespace

// ---- SnapshotLoader --------------------------------------------------------------

SnapshotLoader::~SnapshotLoader() {
  if (pending_ != nullptr) CollEntry::destroy(pending_);
}

void SnapshotLoader::add_string(std::string_view key, std::uint64_t deadline_ms, std::string_view value) {
  insert_string(store_, key, deadline_ms, value);
}

void SnapshotLoader::begin(CollectionKind kind, std::string_view key, std::uint64_t deadline_ms) {
  if (pending_ != nullptr) {
    CollEntry::destroy(pending_);
    pending_ = nullptr;
  }
  // Skipped like an over-long string key: its items find no collection.
  if (!check_key_length(key).ok()) return;
  pending_ = CollEntry::create(kind, key, deadline_ms, store_.next_stamp());
}

void SnapshotLoader::begin_list(std::string_view key, std::uint64_t deadline_ms) {
  begin(CollectionKind::List, key, deadline_ms);
}

void SnapshotLoader::begin_hash(std::string_view key, std::uint64_t deadline_ms) {
  begin(CollectionKind::Hash, key, deadline_ms);
}

void SnapshotLoader::begin_set(std::string_view key, std::uint64_t deadline_ms) {
  begin(CollectionKind::Set, key, deadline_ms);
}

void SnapshotLoader::list_item(std::string_view value) {
  if (pending_ == nullptr || pending_->kind != CollectionKind::List) return;
  pending_->list().push_back(std::string(value));
  pending_->add_cost(list_item_cost(value.size()));
}

void SnapshotLoader::hash_pair(std::string_view field, std::string_view value) {
  if (pending_ == nullptr || pending_->kind != CollectionKind::Hash) return;
  const std::optional<std::uint64_t> old_len = pending_->hash().put(field, value);
  if (!old_len.has_value()) {
    pending_->add_cost(hash_field_cost(field.size(), value.size()));
    return;
  }
  // A later duplicate wins, charged as hset charges a replaced value.
  pending_->sub_cost(align16(*old_len));
  pending_->add_cost(align16(value.size()));
}

void SnapshotLoader::set_member(std::string_view member) {
  if (pending_ == nullptr || pending_->kind != CollectionKind::Set) return;
  if (pending_->set().add(member)) pending_->add_cost(set_member_cost(member.size()));
}

void SnapshotLoader::end_collection() {
  if (pending_ == nullptr) return;
  CollEntry* c = std::exchange(pending_, nullptr);
  const std::uint64_t h = key_hash(c->key());
  Shard& s = store_.shard_for(h);
  WriteGuard g(s.lock);
  store_.insert_locked(s, h, EntryRef(c));  // frees c itself if it throws
}

// ---- LogReplayer ---------------------------------------------------------------------

void LogReplayer::set(std::string_view key, std::uint64_t deadline_ms, std::string_view value) {
  insert_string(store_, key, deadline_ms, value);
}

void LogReplayer::del(std::string_view key) {
  const std::uint64_t h = key_hash(key);
  Shard& s = store_.shard_for(h);
  WriteGuard g(s.lock);
  (void)store_.remove_locked(s, key, h);  // nothing is logged while rebuilding
}

void LogReplayer::expire(std::string_view key, std::uint64_t deadline_ms) {
  const std::uint64_t h = key_hash(key);
  Shard& s = store_.shard_for(h);
  WriteGuard g(s.lock);
  const std::size_t slot = s.table.find(key, h);
  if (slot != Table::npos) s.table.at(slot).head().deadline_ms = deadline_ms;
}

void LogReplayer::hset(std::string_view key, std::string_view field, std::string_view value) {
  (void)store_.hset(key, field, value);
}

void LogReplayer::hdel(std::string_view key, std::span<const std::string_view> fields) {
  (void)store_.hdel(key, fields);
}

void LogReplayer::lpush(std::string_view key, std::span<const std::string_view> values) {
  (void)store_.lpush(key, values);
}

void LogReplayer::rpush(std::string_view key, std::span<const std::string_view> values) {
  (void)store_.rpush(key, values);
}

void LogReplayer::lpop(std::string_view key) { (void)store_.lpop(key); }

void LogReplayer::lset(std::string_view key, std::int64_t index, std::string_view value) {
  (void)store_.lset(key, index, value);
}

void LogReplayer::linsert(std::string_view key, bool after, std::string_view pivot, std::string_view value) {
  (void)store_.linsert(key, after, pivot, value);
}

void LogReplayer::lrem(std::string_view key, std::int64_t count, std::string_view value) {
  (void)store_.lrem(key, count, value);
}

void LogReplayer::rpop(std::string_view key) { (void)store_.rpop(key); }

void LogReplayer::sadd(std::string_view key, std::span<const std::string_view> members) {
  (void)store_.sadd(key, members);
}

void LogReplayer::srem(std::string_view key, std::span<const std::string_view> members) {
  (void)store_.srem(key, members);
}

void LogReplayer::flush() { (void)store_.flush(); }

}  // namespace mevora::persist
