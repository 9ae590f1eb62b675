// The snapshot file: every live key of a store with its value and deadline,
// plus the number of the first log segment it does not cover (wal_seq).
//
// Layout (integers little-endian; varint and byte strings as in coding.h):
//   offset 0        8   magic "QVSNAP01"
//   offset 8        4   version, u32, always 1
//   offset 12       8   wal_seq, u64
//   offset 20       *   key records
//   end - 13        1   end marker 0xFF
//   end - 12        8   record count, u64
//   end - 4         4   CRC-32 of every byte before it
// A file without records is 33 bytes, the smallest valid size.
//
// Key record: type byte, key (byte string), deadline (u64, 0 = none), then
//   1 String  the value as a byte string
//   2 List    byte string list, head first
//   3 Hash    varint pair count, then field / value byte string pairs
//   4 Set     byte string list of the members
// Readers assume no order among records, pairs or members; a later record
// for the same key replaces an earlier one.
//
// A snapshot is written as "snapshot.tmp" through a 64 KiB buffer that keeps
// a running CRC, synced, then renamed over "snapshot.qvs" and the directory
// synced, so the directory always holds either the complete old snapshot or
// the complete new one. Loading verifies the whole-file CRC before any
// record reaches the sink.
//
// Thread safety: a SnapshotWriter is used by one thread (the saver, holding
// the store's save mutex). load_snapshot runs on the opening thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/persist_error.h"
#include "util/result.h"
#include "util/unique_fd.h"

namespace mevora::persist {

inline constexpr char kSnapshotFileName[] = "snapshot.qvs";
inline constexpr char kSnapshotTmpName[] = "snapshot.tmp";
inline constexpr std::string_view kSnapshotMagic = "QVSNAP01";
inline constexpr std::uint32_t kSnapshotVersion = 1;
inline constexpr std::uint8_t kSnapshotEndMarker = 0xFF;
inline constexpr std::uint64_t kMinSnapshotSize = 33;
inline constexpr std::size_t kSnapshotWriteBuffer = 64 * 1024;
// Bytes written between hints to start writing the file back.
inline constexpr std::size_t kWritebackChunk = 8 * 1024 * 1024;
inline constexpr std::size_t kSnapshotChecksumChunk = 64 * 1024;
inline constexpr std::size_t kSnapshotReadBuffer = 8 * 1024;

// Record types; a Collection tag t maps to type t + 2.
enum class SnapshotType : std::uint8_t { String = 1, List = 2, Hash = 3, Set = 4 };

// ---- writing ----------------------------------------------------------------------

// Streams records into "snapshot.tmp". Records whose deadline is not 0 and
// at or before `now_ms` are skipped (their items are accepted and dropped),
// so expired keys are never written. A collection is written as begin_*
// with its element count followed by exactly that many item calls;
// anything else is refused with the error "snapshot writer misuse" (kind
// Other) rather than producing an unreadable file. After the first error
// every call returns that error; nothing already written is undone (a
// partial "snapshot.tmp" may stay behind and "snapshot.qvs" is untouched).
class SnapshotWriter {
 public:
  // Creates or truncates dir/"snapshot.tmp" (0666 before the umask) and
  // writes the magic, the version and wal_seq.
  static Result<SnapshotWriter, PersistError> begin(const std::string& dir, std::uint64_t wal_seq,
                                                    std::uint64_t now_ms);

  SnapshotWriter(SnapshotWriter&&) noexcept = default;
  SnapshotWriter& operator=(SnapshotWriter&&) noexcept = default;

  Result<void, PersistError> add_string(std::string_view key, std::uint64_t deadline_ms,
                                        std::string_view value);

  Result<void, PersistError> begin_list(std::string_view key, std::uint64_t deadline_ms, std::uint64_t count);
  Result<void, PersistError> list_item(std::string_view value);
  Result<void, PersistError> begin_hash(std::string_view key, std::uint64_t deadline_ms, std::uint64_t pairs);
  Result<void, PersistError> hash_pair(std::string_view field, std::string_view value);
  Result<void, PersistError> begin_set(std::string_view key, std::uint64_t deadline_ms, std::uint64_t count);
  Result<void, PersistError> set_member(std::string_view member);

  // Whole collections at once (begin + items).
  Result<void, PersistError> add_list(std::string_view key, std::uint64_t deadline_ms,
                                      std::span<const std::string_view> items);
  Result<void, PersistError> add_hash(std::string_view key, std::uint64_t deadline_ms,
                                      std::span<const std::pair<std::string_view, std::string_view>> pairs);
  Result<void, PersistError> add_set(std::string_view key, std::uint64_t deadline_ms,
                                     std::span<const std::string_view> members);

  // Writes the end marker, the count and the CRC; flushes, syncs, sizes
  // (fstat) and closes the file; renames it to "snapshot.qvs"; syncs the
  // directory. Returns the file size. The writer is spent afterwards.
  Result<std::uint64_t, PersistError> finish();

  // Whether a record with this deadline is skipped.
  bool expired(std::uint64_t deadline_ms) const { return deadline_ms != 0 && deadline_ms <= now_ms_; }
  std::uint64_t records() const { return records_; }
  // The CRC of every byte handed to the file so far.
  std::uint32_t crc() const;

 private:
  SnapshotWriter() = default;

  Result<void, PersistError> start_record(SnapshotType type, std::string_view key,
                                          std::uint64_t deadline_ms, std::optional<std::uint64_t> count);
  Result<void, PersistError> next_item(SnapshotType type);
  Result<void, PersistError> put(const char* data, std::size_t n);
  Result<void, PersistError> put_field(std::string_view s);
  Result<void, PersistError> put_varint(std::uint64_t v);
  Result<void, PersistError> put_u64(std::uint64_t v);
  Result<void, PersistError> flush_buffer();
  void wrote(std::size_t n);
  Result<void, PersistError> fail(PersistError e);
  Result<void, PersistError> misuse();

  UniqueFd fd_;
  std::string dir_;
  std::unique_ptr<char[]> buf_;  // kSnapshotWriteBuffer bytes
  std::size_t used_ = 0;
  std::uint64_t unsynced_ = 0;  // bytes written since writeback was last started
  std::uint32_t crc_ = 0;  // over the bytes already flushed
  std::uint64_t now_ms_ = 0;
  std::uint64_t records_ = 0;
  std::uint64_t pending_items_ = 0;  // items the open collection still expects
  SnapshotType pending_type_ = SnapshotType::String;
  bool skipping_ = false;  // the open collection is expired and dropped
  bool spent_ = false;
  std::optional<PersistError> failed_;
};

// What write_snapshot reads: the keyspace, shard by shard, in index order.
// The store holds the read locks that make the content a consistent cut and
// releases shard i's lock as soon as write_shard(i) returns; when a call
// fails (or begin fails and no call is made) the store releases every shard
// it still holds.
class EntrySource {
 public:
  virtual ~EntrySource() = default;
  virtual std::size_t shard_count() const = 0;
  virtual Result<void, PersistError> write_shard(std::size_t shard, SnapshotWriter& out) = 0;
};

// Writes and installs a new "snapshot.qvs" with the given wal_seq, leaving
// out keys expired at now_ms. Returns the file size.
Result<std::uint64_t, PersistError> write_snapshot(const std::string& dir, std::uint64_t wal_seq,
                                                   std::uint64_t now_ms, EntrySource& source);

// ---- loading -----------------------------------------------------------------------

// Receives the records of a verified snapshot in file order. Views are valid
// only during the call. A collection arrives as begin_* (the record's key
// and deadline), its items, then end_collection, where the store inserts it.
// If load_snapshot fails part-way, the sink's content must be discarded.
class SnapshotSink {
 public:
  virtual ~SnapshotSink() = default;
  virtual void add_string(std::string_view key, std::uint64_t deadline_ms, std::string_view value) = 0;
  virtual void begin_list(std::string_view key, std::uint64_t deadline_ms) = 0;
  virtual void list_item(std::string_view value) = 0;
  virtual void begin_hash(std::string_view key, std::uint64_t deadline_ms) = 0;
  virtual void hash_pair(std::string_view field, std::string_view value) = 0;
  virtual void begin_set(std::string_view key, std::uint64_t deadline_ms) = 0;
  virtual void set_member(std::string_view member) = 0;
  virtual void end_collection() = 0;
};

struct SnapshotInfo {
  std::uint64_t wal_seq = 0;  // first segment not covered by the snapshot
  std::uint64_t size = 0;     // file size in bytes; 0 when there is none
};

// Loads dir/"snapshot.qvs" into sink. No snapshot (ENOENT) gives {0, 0}.
// First pass: CRC over all but the last 4 bytes in 64 KiB chunks, checked
// against them; only then a second, parsing pass (8 KiB buffered, never
// reading the stored CRC) hands records to sink. Errors:
//   - InvalidData "snapshot: " + "file truncated" (under 33 bytes or
//     shorter than its size), "checksum mismatch", "bad magic",
//     "unsupported version", "record count mismatch", "unknown record
//     type", "varint overflow";
//   - UnexpectedEof "failed to fill whole buffer": a field or length runs
//     past the end of the records;
//   - Os: the file or its metadata cannot be read (any stat error other
//     than ENOENT fails the load: an unreadable snapshot is not "none").
Result<SnapshotInfo, PersistError> load_snapshot(const std::string& dir, SnapshotSink& sink);

// Deletes a leftover dir/"snapshot.tmp"; every error is ignored.
void remove_snapshot_tmp(const std::string& dir);

}  // namespace mevora::persist
