// Fuzz target: write-ahead-log replay and record decoding.
//
// Input layout: byte 0 is the mode; the rest is a segment file. With mode
// bit 0 set, every frame that fits the file and has a non-empty payload
// gets its correct CRC before the file is written, so the decoder behind
// the checksum is reached; frames of length 0 keep their CRC. Mode bit 1
// replays the segment as one that is not the last (no torn tail allowed).
//
// The segment is written as wal-1.log in a scratch directory (tmpfs when
// available) and replayed. An in-memory walk of the frame rules here, with
// a bitwise CRC, predicts the outcome. Invariants:
//   - replay_segment gives the predicted outcome: clean, torn at the
//     predicted byte, or the predicted "WAL record malformed: ..." or
//     "corrupt WAL frame in ..." error,
//     with the same records handed to the sink in the same order;
//   - a clean or failed replay leaves the file as it was; a torn one leaves
//     exactly the bytes before the reported position;
//   - no descriptor stays open, no memory leaks (LeakSanitizer), every
//     byte of every view is readable (AddressSanitizer);
//   - apply_record over the whole segment as one payload hands out views
//     inside that payload, calls the sink exactly once on success (once per
//     inner record for a transaction record, code 13) and never on failure:
//     a transaction applies all of its records or none;
//   - every decoded record, encoded again with encode_record, gives a frame
//     with a correct header that decodes to the same record;
//   - the records a replay applied, collected into a WalBatch and framed
//     with encode_batch, decode to the same records in the same order.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/persist/coding.h"
#include "core/persist/wal.h"
#include "core/wal_batch.h"
#include "fuzz/fuzz_support.h"

namespace {

using mevora::WalKind;
using mevora::WalRecord;
using mevora::persist::RecordSink;

constexpr std::uint64_t kSegment = 1;

struct Call {
  WalKind kind = WalKind::Flush;
  std::string key;
  std::uint64_t deadline = 0;
  std::string field;
  std::string value;
  std::vector<std::string> items;

  bool operator==(const Call&) const = default;
};

// Copies every view it is given (so each byte is read) and, when bounds are
// set, checks that the views lie inside them.
class RecordingSink final : public RecordSink {
 public:
  explicit RecordingSink(std::string_view bounds = {}) : bounds_(bounds) {}

  void set(std::string_view key, std::uint64_t deadline_ms, std::string_view value) override {
    add({WalKind::Set, take(key), deadline_ms, {}, take(value), {}});
  }
  void del(std::string_view key) override { add({WalKind::Del, take(key), 0, {}, {}, {}}); }
  void expire(std::string_view key, std::uint64_t deadline_ms) override {
    add({WalKind::Expire, take(key), deadline_ms, {}, {}, {}});
  }
  void hset(std::string_view key, std::string_view field, std::string_view value) override {
    add({WalKind::HSet, take(key), 0, take(field), take(value), {}});
  }
  void hdel(std::string_view key, std::span<const std::string_view> fields) override {
    add_list(WalKind::HDel, key, fields);
  }
  void lpush(std::string_view key, std::span<const std::string_view> values) override {
    add_list(WalKind::LPush, key, values);
  }
  void rpush(std::string_view key, std::span<const std::string_view> values) override {
    add_list(WalKind::RPush, key, values);
  }
  void lpop(std::string_view key) override { add({WalKind::LPop, take(key), 0, {}, {}, {}}); }
  void rpop(std::string_view key) override { add({WalKind::RPop, take(key), 0, {}, {}, {}}); }
  void sadd(std::string_view key, std::span<const std::string_view> members) override {
    add_list(WalKind::SAdd, key, members);
  }
  void srem(std::string_view key, std::span<const std::string_view> members) override {
    add_list(WalKind::SRem, key, members);
  }
  void flush() override { add({}); }
  void lset(std::string_view key, std::int64_t index, std::string_view value) override {
    add({WalKind::LSet, take(key), static_cast<std::uint64_t>(index), {}, take(value), {}});
  }
  void linsert(std::string_view key, bool after, std::string_view pivot, std::string_view value) override {
    add({WalKind::LInsert, take(key), after ? 1u : 0u, take(pivot), take(value), {}});
  }
  void lrem(std::string_view key, std::int64_t count, std::string_view value) override {
    add({WalKind::LRem, take(key), static_cast<std::uint64_t>(count), {}, take(value), {}});
  }

  std::vector<Call> calls;

 private:
  std::string take(std::string_view v) const {
    if (!bounds_.empty() && !v.empty()) {
      MEVORA_FUZZ_CHECK(v.data() >= bounds_.data() && v.data() + v.size() <= bounds_.data() + bounds_.size(),
                        "a record view points outside its payload");
    }
    return std::string(v);
  }
  void add_list(WalKind kind, std::string_view key, std::span<const std::string_view> list) {
    Call c{kind, take(key), 0, {}, {}, {}};
    for (std::string_view s : list) c.items.push_back(take(s));
    add(std::move(c));
  }
  void add(Call c) { calls.push_back(std::move(c)); }

  std::string_view bounds_;
};

struct Outcome {
  enum class Kind { Clean, Torn, Error } kind = Kind::Clean;
  std::uint64_t torn_at = 0;
  std::string error;
  std::vector<Call> calls;
};

// The frame rules, applied to the bytes in memory, for segment kSegment
// replayed as the last segment (last) or as an earlier one.
Outcome predict(std::string_view seg, bool last) {
  Outcome out;
  RecordingSink sink;
  std::vector<std::string_view> items;
  std::uint64_t p = 0;
  const std::uint64_t s = seg.size();
  const auto fail = [&](std::string text) {
    out.kind = Outcome::Kind::Error;
    out.error = std::move(text);
    out.calls = std::move(sink.calls);
    return out;
  };
  while (p < s) {
    const std::string here = mevora::persist::corrupt_frame_text(kSegment, p);
    if (s - p < mevora::persist::kFrameHeaderSize) {
      if (!last) return fail(here);
      break;
    }
    const std::uint32_t len = mevora::fuzz::load_le32(seg.data() + p);
    const std::uint32_t crc = mevora::fuzz::load_le32(seg.data() + p + 4);
    if (len == 0 && crc == 0) {
      if (last && seg.substr(p).find_first_not_of('\0') == std::string_view::npos) break;
      return fail("WAL record malformed: truncated");
    }
    if (p + mevora::persist::kFrameHeaderSize + len > s) {
      if (!last) return fail(here);
      break;
    }
    const std::string_view payload = seg.substr(p + mevora::persist::kFrameHeaderSize, len);
    if (len == 0 || mevora::fuzz::reference_crc32(payload) != crc) {
      const std::uint64_t end = p + mevora::persist::kFrameHeaderSize + len;
      const bool zeros_after = seg.substr(end).find_first_not_of('\0') == std::string_view::npos;
      if (!last || !zeros_after) return fail(here);
      break;
    }
    if (auto a = mevora::persist::apply_record(payload, sink, items); !a.ok()) return fail(a.error().text());
    p += mevora::persist::kFrameHeaderSize + len;
  }
  if (p != s) {
    out.kind = Outcome::Kind::Torn;
    out.torn_at = p;
  }
  out.calls = std::move(sink.calls);
  return out;
}

// The WalRecord of c; its views point into c and item_views.
WalRecord record_of(const Call& c, std::vector<std::string_view>& item_views) {
  item_views.assign(c.items.begin(), c.items.end());
  WalRecord rec;
  switch (c.kind) {
    case WalKind::Set: rec = WalRecord::set(c.key, c.deadline, c.value); break;
    case WalKind::Expire: rec = WalRecord::expire(c.key, c.deadline); break;
    case WalKind::HSet: rec = WalRecord::hset(c.key, c.field, c.value); break;
    case WalKind::Del:
    case WalKind::LPop:
    case WalKind::RPop: rec = WalRecord::key_only(c.kind, c.key); break;
    case WalKind::Flush: rec = WalRecord::flush(); break;
    case WalKind::LSet: rec = WalRecord::lset(c.key, static_cast<std::int64_t>(c.deadline), c.value); break;
    case WalKind::LInsert: rec = WalRecord::linsert(c.key, c.deadline == 1, c.field, c.value); break;
    case WalKind::LRem: rec = WalRecord::lrem(c.key, static_cast<std::int64_t>(c.deadline), c.value); break;
    default: rec = WalRecord::with_items(c.kind, c.key, item_views); break;
  }
  return rec;
}

// Encodes c again and checks the frame and its decoding.
void check_round_trip(const Call& c) {
  std::vector<std::string_view> item_views;
  const WalRecord rec = record_of(c, item_views);
  std::string frame = "prefix";  // encode_record appends and keeps what is there
  MEVORA_FUZZ_CHECK(mevora::persist::encode_record(rec, frame).ok(), "encode_record failed");
  MEVORA_FUZZ_CHECK(frame.compare(0, 6, "prefix") == 0, "encode_record changed existing bytes");
  std::string_view f = std::string_view(frame).substr(6);
  MEVORA_FUZZ_CHECK(f.size() >= mevora::persist::kFrameHeaderSize, "frame shorter than its header");
  const std::string_view payload = f.substr(mevora::persist::kFrameHeaderSize);
  MEVORA_FUZZ_CHECK(mevora::fuzz::load_le32(f.data()) == payload.size(), "frame length is wrong");
  MEVORA_FUZZ_CHECK(mevora::fuzz::load_le32(f.data() + 4) == mevora::fuzz::reference_crc32(payload),
                    "frame CRC is wrong");
  RecordingSink sink(payload);
  std::vector<std::string_view> items;
  MEVORA_FUZZ_CHECK(mevora::persist::apply_record(payload, sink, items).ok(), "an encoded record does not decode");
  MEVORA_FUZZ_CHECK(sink.calls.size() == 1 && sink.calls[0] == c, "an encoded record decodes differently");
}

// Frames calls as one transaction and checks that it decodes to them.
void check_batch_round_trip(const std::vector<Call>& calls) {
  mevora::WalBatch batch;
  for (const Call& c : calls) {
    std::vector<std::string_view> item_views;
    batch.add(record_of(c, item_views));
  }
  std::string frame;
  MEVORA_FUZZ_CHECK(mevora::persist::encode_batch(batch, frame).ok(), "encode_batch failed");
  if (calls.empty()) {
    MEVORA_FUZZ_CHECK(frame.empty(), "an empty batch was framed");
    return;
  }
  const std::string_view payload = std::string_view(frame).substr(mevora::persist::kFrameHeaderSize);
  MEVORA_FUZZ_CHECK(mevora::fuzz::load_le32(frame.data()) == payload.size(), "batch frame length is wrong");
  MEVORA_FUZZ_CHECK(mevora::fuzz::load_le32(frame.data() + 4) == mevora::fuzz::reference_crc32(payload),
                    "batch frame CRC is wrong");
  RecordingSink sink(payload);
  std::vector<std::string_view> items;
  MEVORA_FUZZ_CHECK(mevora::persist::apply_record(payload, sink, items).ok(), "an encoded batch does not decode");
  MEVORA_FUZZ_CHECK(sink.calls == calls, "an encoded batch decodes differently");
}

std::string fix_crcs(std::string seg) {
  std::size_t p = 0;
  while (seg.size() - p >= mevora::persist::kFrameHeaderSize) {
    const std::uint32_t len = mevora::fuzz::load_le32(seg.data() + p);
    if (seg.size() - p - mevora::persist::kFrameHeaderSize < len) break;
    if (len != 0) {
      const std::string_view payload = std::string_view(seg).substr(p + mevora::persist::kFrameHeaderSize, len);
      mevora::fuzz::store_le32(seg.data() + p + 4, mevora::fuzz::reference_crc32(payload));
    }
    p += mevora::persist::kFrameHeaderSize + len;
  }
  return seg;
}

const std::string& segment_file() {
  static const std::string path = [] {
    auto& dir = mevora::fuzz::ScratchDir::get();
    dir.remember("wal-1.log");
    return mevora::persist::segment_path(dir.path(), kSegment);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string seg = (in[0] & 1) ? fix_crcs(std::string(in.substr(1))) : std::string(in.substr(1));
  MEVORA_FUZZ_CHECK(mevora::persist::crc32(seg) == mevora::fuzz::reference_crc32(seg),
                    "crc32 differs from the bitwise CRC");

  // Replay from the file.
  const std::string& path = segment_file();
  mevora::fuzz::write_whole_file(path, seg);
  // Byte 0 bit 1 replays the segment as one that is not the last: no torn
  // tail is possible there.
  const bool last = (in[0] & 2) == 0;
  const Outcome want = predict(seg, last);
  const int free_fd = mevora::fuzz::lowest_free_fd();
  RecordingSink sink;
  auto got = mevora::persist::replay_segment(mevora::fuzz::ScratchDir::get().path(), kSegment, sink, last);
  MEVORA_FUZZ_CHECK(mevora::fuzz::lowest_free_fd() == free_fd, "replay left a descriptor open");
  const std::string after = mevora::fuzz::read_whole_file(path);
  switch (want.kind) {
    case Outcome::Kind::Clean:
      MEVORA_FUZZ_CHECK(got.ok() && !got->torn, "a clean segment did not replay clean");
      MEVORA_FUZZ_CHECK(after == seg, "a clean replay changed the file");
      break;
    case Outcome::Kind::Torn:
      MEVORA_FUZZ_CHECK(got.ok() && got->torn && got->torn_at == want.torn_at, "torn tail not found where expected");
      MEVORA_FUZZ_CHECK(after == seg.substr(0, want.torn_at), "a torn segment was not cut at the reported byte");
      break;
    case Outcome::Kind::Error:
      MEVORA_FUZZ_CHECK(!got.ok() && got.error().kind() == mevora::PersistErrorKind::InvalidData &&
                            got.error().text() == want.error,
                        "a bad segment did not fail as expected");
      MEVORA_FUZZ_CHECK(after == seg, "a failed replay changed the file");
      break;
  }
  MEVORA_FUZZ_CHECK(sink.calls == want.calls, "replay applied other records than predicted");
  for (const Call& c : want.calls) check_round_trip(c);
  check_batch_round_trip(want.calls);

  // The whole segment as one payload.
  RecordingSink direct(seg);
  std::vector<std::string_view> items;
  auto one = mevora::persist::apply_record(seg, direct, items);
  const bool transaction = !seg.empty() && static_cast<std::uint8_t>(seg[0]) == mevora::persist::kTxnRecordCode;
  if (one.ok()) {
    MEVORA_FUZZ_CHECK(transaction || direct.calls.size() == 1, "a decoded payload did not call the sink once");
    for (const Call& c : direct.calls) check_round_trip(c);
  } else {
    MEVORA_FUZZ_CHECK(direct.calls.empty(), "a malformed payload reached the sink");
    MEVORA_FUZZ_CHECK(one.error().kind() == mevora::PersistErrorKind::InvalidData &&
                          one.error().text().starts_with("WAL record malformed: "),
                      "a malformed payload gave an unexpected error");
  }
  return 0;
}
