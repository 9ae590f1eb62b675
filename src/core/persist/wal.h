// The write-ahead log: numbered segment files in the data directory, each a
// plain concatenation of frames; every change of the keyspace is appended as
// one frame, and recovery replays the segments in ascending order.
//
// Segment files are named "wal-<n>.log" with n in plain decimal (u64).
//
// Frame (integers little-endian):
//   +---------------+---------------+--------------------------------+
//   | length (u32)  | CRC-32 (u32)  | payload: length bytes          |
//   +---------------+---------------+--------------------------------+
// The CRC covers the payload only. The payload is a one-byte kind code
// (WalKind) followed by the body of that kind (see wal_record.h); keys,
// fields and lists are byte strings / byte string lists (coding.h), SET and
// HSET values are "the rest of the payload", deadlines are u64.
//
// Transaction record (kind 13), the effects of one atomic group of
// operations (core/transaction.h) in ONE frame, so that the frame's CRC
// makes them reach the store all together or not at all:
//   13 | varint count | count x ( varint length | payload of one record )
// Each inner payload is an ordinary record (kinds 1 to 12, code byte
// first); a transaction record never nests another. Replay checks every
// inner record before applying any of them. A group of one record is
// written as that record's ordinary frame, and kinds 1 to 12 are
// unchanged, so every file written without transactions reads as before.
// Fewer inner records than the count, an inner record that is itself
// malformed, or a nested transaction record make the frame malformed
// ("truncated", or "unknown operation" for a nested one); bytes after the
// last inner record are ignored, as after the fields of any kind.
//
// List edit records (kinds 14 to 16), for the list changes that pushes and
// pops cannot express exactly in a bounded record. Each is replayed by
// running the same edit on the list, which the log has brought to the same
// state it had when the edit was made:
//   14 LSet     | u64 index (two's complement) | key | value (the rest)
//   15 LInsert  | u64 0 before, 1 after | key | pivot | value (the rest)
//   16 LRem     | u64 count (two's complement) | key | value (the rest)
// Files without them read exactly as before; a LInsert position other than
// 0 or 1 is "unknown operation".
//
// Torn tails and corruption: appends only ever go to the end of the last
// segment, so only there can a crash leave damage, and only at its end. In
// the last segment, a final frame whose header or payload runs past the end
// of the file, a final frame whose CRC fails (or whose length is 0 with a
// non-zero CRC) and that ends exactly at the end of the file or is followed
// only by zero bytes up to it, or a run of zero bytes from a frame boundary
// to the end of the file (a file extended before a power loss, or the
// reserved space of a mapped segment whose writer died) is a torn tail: the
// segment is cut back to that frame's start and synced. Any other bad frame (one followed by more data,
// or any bad frame in a segment that is not the last) is corruption:
// InvalidData "corrupt WAL frame in wal-<n>.log at byte <p>", and nothing
// is changed. A frame that passes its CRC but cannot be decoded is
// InvalidData "WAL record malformed: truncated" or "... unknown operation";
// so is a zero header that is followed by anything but zeros.
//
// Thread safety: free functions are reentrant. A WalWriter is not
// synchronised: its owner (the store) holds its WAL mutex around every call,
// including the read-only accessors, and never requests a shard lock while
// holding it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/fsync_policy.h"
#include "core/persist_error.h"
#include "core/wal_batch.h"
#include "core/wal_record.h"
#include "util/result.h"
#include "util/unique_fd.h"
#include "util/unique_mapping.h"

namespace mevora::persist {

inline constexpr std::size_t kFrameHeaderSize = 8;
inline constexpr std::uint64_t kMaxPayloadSize = 0xFFFFFFFFull;
inline constexpr std::size_t kReplayBufferSize = 8 * 1024;
// The kind code of a transaction record. A WalRecord never has it: only
// a WalBatch is framed as one.
inline constexpr std::uint8_t kTxnRecordCode = 13;

// ---- segment naming -----------------------------------------------------------

// dir joined with "wal-" n ".log" (no zero fill).
std::string segment_path(std::string_view dir, std::uint64_t n);

// The segment number a directory entry name stands for: "wal-", one or more
// ASCII digits that fit a u64 (leading zeros allowed), ".log". Anything
// else is not a segment.
std::optional<std::uint64_t> parse_segment_name(std::string_view name);

// The segment numbers in dir, ascending, each listed once: wal-7.log and
// wal-07.log both name segment 7, which is read through segment_path (the
// plain name) and must be replayed only once. Fails with the directory's
// OS error when it cannot be read.
Result<std::vector<std::uint64_t>, PersistError> list_segments(const std::string& dir);

// ---- encoding -------------------------------------------------------------------

// The payload size of rec (code byte included).
std::uint64_t record_payload_size(const WalRecord& rec);

// Appends rec's payload (code byte and body, no frame header) to buf. The
// caller has checked its size with record_payload_size.
void encode_payload(const WalRecord& rec, std::string& buf);

// Appends one complete frame for rec to buf (existing content is kept).
// A payload over 4,294,967,295 bytes is the InvalidInput error
// "WAL record over 4 GiB"; the size is checked before anything is encoded,
// so buf is then unchanged.
Result<void, PersistError> encode_record(const WalRecord& rec, std::string& buf);

// Appends the frame of a transaction's records to buf: a transaction
// record, or for a batch of one record that record's ordinary frame;
// nothing for an empty batch. Errors: the batch's own error, or
// "WAL record over 4 GiB" (buf unchanged).
Result<void, PersistError> encode_batch(const WalBatch& batch, std::string& buf);

// ---- appending -------------------------------------------------------------------

// How a writer puts frames into the active segment.
//   Write   one write(2) per frame: the file holds exactly its frames.
//   Mapped  each frame is copied into a shared mapping of space reserved
//           ahead of the frames (kSegmentGrowStep at a time). The copy is
//           the kernel's the moment it is made, so a killed process loses
//           no appended frame, and an append costs no system call. While
//           the segment is open the file runs on past its frames in zero
//           bytes; it is cut back to its frames when the writer closes or
//           rotates (and by recovery after a crash), so a closed segment
//           is byte for byte what Write produces. The length of a frame is
//           stored first and its CRC last: a process killed during the copy
//           leaves a final frame that fails its CRC followed only by zeros,
//           which recovery treats as a torn tail.
enum class SegmentAccess : std::uint8_t { Write, Mapped };

// The access a store uses under policy: Mapped, except under Always, where
// every frame is synced before the append returns and a write(2) costs
// nothing next to that.
SegmentAccess access_for(FsyncPolicy policy);

// How far a mapped segment's reservation reaches past the frame that
// needed it (less only when the disk has no room for that much).
inline constexpr std::uint64_t kSegmentGrowStep = 4 * 1024 * 1024;

// The writer of the active segment. A default-constructed or closed writer
// has no file ("none"): append does nothing and succeeds. Destroying or
// replacing a writer closes its segment without a sync, cutting a mapped
// one back to its frames first.
class WalWriter {
 public:
  explicit WalWriter(FsyncPolicy policy = FsyncPolicy::EverySec, SegmentAccess access = SegmentAccess::Write)
      : policy_(policy), access_(access) {}
  ~WalWriter();
  WalWriter(WalWriter&&) noexcept = default;
  WalWriter& operator=(WalWriter&& other) noexcept;

  // Opens segment n of dir for appending, creating it when missing (0666
  // before the umask); syncs dir so that a newly created entry is durable;
  // wal_bytes becomes the file's size (recovery has cut a crashed
  // segment back to its frames). Nothing is reserved yet: a mapped
  // segment reserves space at its first append. On failure the writer is
  // unchanged.
  Result<void, PersistError> open_active(const std::string& dir, std::uint64_t n);

  // Write access: writes one frame with a single write loop; under Always
  // also syncs the segment. On a failed write or sync the segment is
  // truncated back to wal_bytes (truncation errors are ignored; see
  // cut_to_logged) so the frame does not stay, and the error is returned.
  // Mapped access: counts as one file write for the injected faults
  // (platform::write_fault), reserves more space when the frame does not
  // fit the mapping, then copies it; a failed reservation or mapping fails
  // the append before anything is copied. Either way a frame counts as
  // logged only when append succeeds, and under EverySec the writer
  // becomes dirty. Errors: "WAL record over 4 GiB" (InvalidInput, nothing
  // written), OS errors, "failed to write whole buffer".
  Result<void, PersistError> append(const WalRecord& rec);

  // The same for the frame of a transaction's records (encode_batch).
  Result<void, PersistError> append_batch(const WalBatch& batch);

  // Truncates the active segment to wal_bytes, dropping whatever a failed
  // append may have left after the last logged frame (and a mapped
  // segment's reserved space, which the next append reserves anew).
  Result<void, PersistError> cut_to_logged();

  // Syncs the active segment now and clears dirty on success (used before
  // a rotation). Nothing to do without a file. fsync also writes back the
  // pages stored through the mapping.
  Result<void, PersistError> sync_active();

  // The periodic flush: when dirty, syncs the active segment and clears
  // dirty on success (on failure dirty stays, so the next period retries);
  // without a file it only clears dirty.
  Result<void, PersistError> sync_if_dirty();
  // The periodic flush in two steps, so that the caller's lock need not be
  // held while the disk works: under the lock, take_flush clears dirty and
  // returns a duplicate of the active segment's descriptor (invalid when
  // there is nothing to flush); the caller then syncs that descriptor
  // without the lock. Appends that land meanwhile set dirty again for the
  // next flush, and a rotation or close cannot pull the file from under
  // the sync. Fails (changing nothing) only when the descriptor cannot be
  // duplicated.
  Result<UniqueFd, PersistError> take_flush();
  // After a failed sync of a taken flush: dirty again, so that the next
  // period tries again (as sync_if_dirty leaves it on failure).
  void flush_failed() {
    if (fd_.valid()) dirty_ = true;
  }

  // Opens segment n of dir (creating it), syncs dir and only then closes
  // the old segment and makes n active; wal_bytes becomes the new file's
  // size (0 for a new file). A mapped old segment is first cut back to its
  // frames and synced, so that no segment but the last can ever end in
  // reserved zeros. On failure whatever was opened is closed and the old
  // segment stays active. Callers sync the old segment first.
  Result<void, PersistError> rotate_to(const std::string& dir, std::uint64_t n);

  // Closes the log: cuts a mapped segment back to its frames, then, when
  // dirty, syncs. The file is closed and the writer has no file afterwards
  // even when that fails (the error is returned). Idempotent.
  Result<void, PersistError> close();

  bool is_open() const { return fd_.valid(); }
  std::uint64_t segment() const { return segment_; }
  std::uint64_t wal_bytes() const { return wal_bytes_; }
  bool dirty() const { return dirty_; }
  FsyncPolicy policy() const { return policy_; }
  SegmentAccess access() const { return access_; }

 private:
  // Puts the frame in buf_ into the segment and applies the fsync policy
  // (see append), by write(2) or through the mapping.
  Result<void, PersistError> write_buffer();
  Result<void, PersistError> copy_buffer();
  // Reserves the segment up to at least `end` plus a step (less when the
  // disk is short of room) and maps it from the page holding wal_bytes.
  Result<void, PersistError> grow(std::uint64_t end);
  // Unmaps and truncates the file to wal_bytes when it runs on past it.
  Result<void, PersistError> cut_back();

  UniqueFd fd_;
  UniqueMapping map_;           // Mapped: the window frames are copied into
  std::uint64_t map_start_ = 0;  // file offset of map_.data()
  std::uint64_t file_end_ = 0;   // the file may be this long (>= wal_bytes_)
  std::uint64_t segment_ = 0;
  std::uint64_t wal_bytes_ = 0;
  std::string buf_;  // the encode buffer: cleared per record, never shrunk
  bool dirty_ = false;
  FsyncPolicy policy_;
  SegmentAccess access_;
};

// ---- replay ----------------------------------------------------------------------

// Receives the records of a segment in file order. Views are valid only
// during the call. The store implements it by applying each record without
// logging, admission or eviction; results (including type errors) are
// discarded.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void set(std::string_view key, std::uint64_t deadline_ms, std::string_view value) = 0;
  virtual void del(std::string_view key) = 0;
  virtual void expire(std::string_view key, std::uint64_t deadline_ms) = 0;
  virtual void hset(std::string_view key, std::string_view field, std::string_view value) = 0;
  virtual void hdel(std::string_view key, std::span<const std::string_view> fields) = 0;
  virtual void lpush(std::string_view key, std::span<const std::string_view> values) = 0;
  virtual void rpush(std::string_view key, std::span<const std::string_view> values) = 0;
  virtual void lpop(std::string_view key) = 0;
  virtual void rpop(std::string_view key) = 0;
  virtual void sadd(std::string_view key, std::span<const std::string_view> members) = 0;
  virtual void srem(std::string_view key, std::span<const std::string_view> members) = 0;
  virtual void flush() = 0;
  virtual void lset(std::string_view key, std::int64_t index, std::string_view value) = 0;
  virtual void linsert(std::string_view key, bool after, std::string_view pivot, std::string_view value) = 0;
  virtual void lrem(std::string_view key, std::int64_t count, std::string_view value) = 0;
};

struct ReplayOutcome {
  bool torn = false;         // false: the whole segment was applied
  std::uint64_t torn_at = 0;  // when torn: the segment now ends here
};

// Applies every intact frame of segment n (opened by its plain name,
// without blocking; anything but a regular file is refused) to sink, in
// order. `last`: whether n is the last segment, the only one that may end
// in a torn tail (see the header). On a torn tail the file is truncated to
// the end of the last good frame and synced before returning torn. Errors:
// OS errors of opening, sizing, reading or truncating (nothing is cut
// because of a read error), InvalidData "corrupt WAL frame in ..." and
// "WAL record malformed: ...". Reads go through an 8 KiB buffer and one
// payload buffer that grows to the largest payload.
Result<ReplayOutcome, PersistError> replay_segment(const std::string& dir, std::uint64_t n, RecordSink& sink,
                                                   bool last = true);

// "corrupt WAL frame in wal-<n>.log at byte <p>".
std::string corrupt_frame_text(std::uint64_t n, std::uint64_t p);

// "truncated torn WAL tail in wal-<n>.log at byte <p>": the recovery note.
std::string torn_tail_note(std::uint64_t n, std::uint64_t p);

// Decodes one payload (code byte first) and hands it to sink; a
// transaction record hands over each of its records in order, after all of
// them were checked. `items` is
// scratch space for list bodies, reused across calls. Trailing bytes after
// the last field a kind reads are ignored (SET and HSET values take the
// rest). Errors: InvalidData "WAL record malformed: truncated" or
// "WAL record malformed: unknown operation"; sink is not called then.
Result<void, PersistError> apply_record(std::string_view payload, RecordSink& sink,
                                        std::vector<std::string_view>& items);

}  // namespace mevora::persist
