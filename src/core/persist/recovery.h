// The sinks through which Store::open rebuilds a store under construction:
// SnapshotLoader takes the records of a verified snapshot, LogReplayer the
// records of the log segments.
//
// Both expect a store that is still private to the opening thread, has no
// persistence installed (so nothing is logged again), no memory limit
// (so nothing is refused or evicted) and a clock that reads 0 (so nothing
// expires while it is rebuilt). They take each key's shard lock like any
// store operation, and keep used_memory exact: every entry goes in through
// insert_locked with its accounted size, every element cost is counted
// in its collection's value_size.
//
// Ownership: the store outlives the sink. A SnapshotLoader owns the
// collection it is filling between begin_* and end_collection and frees it
// if the load stops part-way.
//
// Thread safety: one thread (the opener) uses a sink.
#pragma once

#include <span>
#include <string_view>

#include "core/persist/snapshot.h"
#include "core/persist/wal.h"
#include "core/value.h"

namespace mevora {
class Store;
}  // namespace mevora

namespace mevora::persist {

// Inserts snapshot records (a record whose key is longer than kMaxKeyLen is
// skipped): strings as inline entries with their deadline;
// lists in file order (head first); hashes with a later duplicate field
// replacing the earlier value; sets with duplicate members held once. A
// key that occurs twice ends up holding its later record.
class SnapshotLoader final : public SnapshotSink {
 public:
  explicit SnapshotLoader(Store& store) : store_(store) {}
  ~SnapshotLoader() override;
  SnapshotLoader(const SnapshotLoader&) = delete;
  SnapshotLoader& operator=(const SnapshotLoader&) = delete;

  void add_string(std::string_view key, std::uint64_t deadline_ms, std::string_view value) override;
  void begin_list(std::string_view key, std::uint64_t deadline_ms) override;
  void list_item(std::string_view value) override;
  void begin_hash(std::string_view key, std::uint64_t deadline_ms) override;
  void hash_pair(std::string_view field, std::string_view value) override;
  void begin_set(std::string_view key, std::uint64_t deadline_ms) override;
  void set_member(std::string_view member) override;
  void end_collection() override;

 private:
  void begin(CollectionKind kind, std::string_view key, std::uint64_t deadline_ms);

  Store& store_;
  CollEntry* pending_ = nullptr;  // owned until end_collection inserts it
};

// Applies log records: SET inserts a string with the record's absolute
// deadline, DEL removes the key, EXPIRE sets (0: clears) the deadline of an
// existing key and ignores a missing one; the collection records and FLUSH
// run the store's own operations, whose results and errors (a WrongType,
// say) are discarded.
class LogReplayer final : public RecordSink {
 public:
  explicit LogReplayer(Store& store) : store_(store) {}

  void set(std::string_view key, std::uint64_t deadline_ms, std::string_view value) override;
  void del(std::string_view key) override;
  void expire(std::string_view key, std::uint64_t deadline_ms) override;
  void hset(std::string_view key, std::string_view field, std::string_view value) override;
  void hdel(std::string_view key, std::span<const std::string_view> fields) override;
  void lpush(std::string_view key, std::span<const std::string_view> values) override;
  void rpush(std::string_view key, std::span<const std::string_view> values) override;
  void lpop(std::string_view key) override;
  void rpop(std::string_view key) override;
  void sadd(std::string_view key, std::span<const std::string_view> members) override;
  void srem(std::string_view key, std::span<const std::string_view> members) override;
  void flush() override;
  void lset(std::string_view key, std::int64_t index, std::string_view value) override;
  void linsert(std::string_view key, bool after, std::string_view pivot, std::string_view value) override;
  void lrem(std::string_view key, std::int64_t count, std::string_view value) override;

 private:
  Store& store_;
};

}  // namespace mevora::persist
