#include "core/persist/wal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/persist/coding.h"
#include "core/persist/test_files.h"
#include "util/platform.h"

namespace mevora::persist {
namespace {

using namespace std::string_literals;
using testing_files::read_file;
using testing_files::TempDir;
using testing_files::write_file;

// Records every call as one line of text.
class RecordingSink : public RecordSink {
 public:
  std::vector<std::string> calls;

  void set(std::string_view k, std::uint64_t d, std::string_view v) override {
    add("set", k, std::to_string(d) + " " + std::string(v));
  }
  void del(std::string_view k) override { add("del", k, ""); }
  void expire(std::string_view k, std::uint64_t d) override { add("expire", k, std::to_string(d)); }
  void hset(std::string_view k, std::string_view f, std::string_view v) override {
    add("hset", k, std::string(f) + " " + std::string(v));
  }
  void hdel(std::string_view k, std::span<const std::string_view> i) override { add("hdel", k, join(i)); }
  void lpush(std::string_view k, std::span<const std::string_view> i) override { add("lpush", k, join(i)); }
  void rpush(std::string_view k, std::span<const std::string_view> i) override { add("rpush", k, join(i)); }
  void lpop(std::string_view k) override { add("lpop", k, ""); }
  void rpop(std::string_view k) override { add("rpop", k, ""); }
  void sadd(std::string_view k, std::span<const std::string_view> i) override { add("sadd", k, join(i)); }
  void srem(std::string_view k, std::span<const std::string_view> i) override { add("srem", k, join(i)); }
  void flush() override { calls.push_back("flush"); }
  void lset(std::string_view k, std::int64_t i, std::string_view v) override {
    add("lset", k, std::to_string(i) + " " + std::string(v));
  }
  void linsert(std::string_view k, bool after, std::string_view p, std::string_view v) override {
    add("linsert", k, std::string(after ? "after " : "before ") + std::string(p) + " " + std::string(v));
  }
  void lrem(std::string_view k, std::int64_t n, std::string_view v) override {
    add("lrem", k, std::to_string(n) + " " + std::string(v));
  }

 private:
  static std::string join(std::span<const std::string_view> items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i > 0 ? "," : "") + std::string(items[i]);
    return out + "]";
  }
  void add(const char* op, std::string_view k, const std::string& rest) {
    calls.push_back(std::string(op) + " " + std::string(k) + (rest.empty() ? "" : " " + rest));
  }
};

std::string frame_of(const std::string& payload) {
  std::string out;
  put_u32(out, static_cast<std::uint32_t>(payload.size()));
  put_u32(out, crc32(payload));
  return out + payload;
}

std::string encoded(const WalRecord& rec) {
  std::string buf;
  EXPECT_TRUE(encode_record(rec, buf).ok());
  return buf;
}

const std::string_view kItems[] = {"a", "", "ccc"};

// One record of every kind, its payload bytes, and the sink line it replays as.
struct KindCase {
  WalRecord rec;
  std::string payload;
  std::string replayed;
  std::size_t min_len;  // shortest valid prefix (SET / HSET values are the rest)
};

std::vector<KindCase> kind_cases() {
  return {
      {WalRecord::set("k", 0x0102, "val"), "\x01\x02\x01\0\0\0\0\0\0\x01kval"s, "set k 258 val", 11},
      {WalRecord::set("", 0, ""), "\x01\0\0\0\0\0\0\0\0\x00"s, "set  0 ", 10},
      {WalRecord::del("key"), "\x02\x03key"s, "del key", 5},
      {WalRecord::expire("k", 7), "\x03\x07\0\0\0\0\0\0\0\x01k"s, "expire k 7", 11},
      {WalRecord::hset("h", "f", "v"), "\x04\x01h\x01" "fv"s, "hset h f v", 5},
      {WalRecord::with_items(WalKind::HDel, "h", kItems), "\x05\x01h\x03\x01" "a\x00\x03" "ccc"s,
       "hdel h [a,,ccc]", 11},
      {WalRecord::with_items(WalKind::LPush, "l", kItems), "\x06\x01l\x03\x01" "a\x00\x03" "ccc"s,
       "lpush l [a,,ccc]", 11},
      {WalRecord::with_items(WalKind::RPush, "l", kItems), "\x07\x01l\x03\x01" "a\x00\x03" "ccc"s,
       "rpush l [a,,ccc]", 11},
      {WalRecord::key_only(WalKind::LPop, "l"), "\x08\x01l"s, "lpop l", 3},
      {WalRecord::key_only(WalKind::RPop, "l"), "\x09\x01l"s, "rpop l", 3},
      {WalRecord::with_items(WalKind::SAdd, "s", kItems), "\x0a\x01s\x03\x01" "a\x00\x03" "ccc"s,
       "sadd s [a,,ccc]", 11},
      {WalRecord::with_items(WalKind::SRem, "s", {}), "\x0b\x01s\x00"s, "srem s []", 4},
      {WalRecord::flush(), "\x0c"s, "flush", 1},
      {WalRecord::lset("l", 2, "v"), "\x0e\x02\0\0\0\0\0\0\0\x01lv"s, "lset l 2 v", 11},
      {WalRecord::linsert("l", true, "p", "v"), "\x0f\x01\0\0\0\0\0\0\0\x01l\x01pv"s, "linsert l after p v", 13},
      {WalRecord::linsert("l", false, "", ""), "\x0f\0\0\0\0\0\0\0\0\x01l\x00"s, "linsert l before  ", 12},
      {WalRecord::lrem("l", -1, "v"), "\x10\xff\xff\xff\xff\xff\xff\xff\xff\x01lv"s, "lrem l -1 v", 11},
  };
}

// ---- naming ----------------------------------------------------------------------

TEST(WalNamingTest, SegmentPathUsesPlainDecimal) {
  EXPECT_EQ(segment_path("d", 7), "d/wal-7.log");
  EXPECT_EQ(segment_path("d/", 0), "d/wal-0.log");
  EXPECT_EQ(segment_path("/x/y", UINT64_MAX), "/x/y/wal-18446744073709551615.log");
}

TEST(WalNamingTest, ScanRuleAcceptsOnlyDigitNames) {
  struct Case {
    const char* name;
    std::optional<std::uint64_t> n;
  };
  const Case cases[] = {
      {"wal-0.log", 0},
      {"wal-7.log", 7},
      {"wal-007.log", 7},
      {"wal-18446744073709551615.log", UINT64_MAX},
      {"wal-18446744073709551616.log", std::nullopt},
      {"wal-99999999999999999999.log", std::nullopt},
      {"wal-.log", std::nullopt},
      {"wal-1a.log", std::nullopt},
      {"wal-+1.log", std::nullopt},
      {"wal--1.log", std::nullopt},
      {"wal- 1.log", std::nullopt},
      {"wal-1.log.bak", std::nullopt},
      {"wal-1.LOG", std::nullopt},
      {"xwal-1.log", std::nullopt},
      {"wal-1log", std::nullopt},
      {"wal-\xd9\xa1.log", std::nullopt},  // a non-ASCII digit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_segment_name(c.name), c.n);
  }
}

TEST(WalNamingTest, ListSegmentsSortsAndListsEachNumberOnce) {
  TempDir tmp;
  for (const char* f : {"wal-10.log", "wal-2.log", "wal-7.log", "wal-07.log", "wal-1a.log", "LOCK",
                        "snapshot.qvs", "wal-.log"}) {
    write_file(tmp.file(f), "");
  }
  auto segs = list_segments(tmp.path());
  ASSERT_TRUE(segs.ok());
  EXPECT_EQ(*segs, (std::vector<std::uint64_t>{2, 7, 10}));

  auto missing = list_segments(tmp.file("nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_errno(), ENOENT);
}

// ---- encoding --------------------------------------------------------------------

TEST(WalEncodingTest, EveryKindHasItsExactBytes) {
  for (const KindCase& c : kind_cases()) {
    SCOPED_TRACE(c.replayed);
    EXPECT_EQ(encoded(c.rec), frame_of(c.payload));
  }
  // Frames are appended after what the buffer holds.
  std::string buf = "xy";
  ASSERT_TRUE(encode_record(WalRecord::flush(), buf).ok());
  EXPECT_EQ(buf, "xy" + frame_of("\x0c"));
}

TEST(WalEncodingTest, KeyLengthVarintSwitchesToTwoBytesAt128) {
  const std::string k127(127, 'k');
  const std::string k128(128, 'k');
  EXPECT_EQ(encoded(WalRecord::del(k127)), frame_of("\x02\x7f" + k127));
  EXPECT_EQ(encoded(WalRecord::del(k128)), frame_of("\x02\x80\x01" + k128));
}

TEST(WalEncodingTest, PayloadOver4GiBIsRefusedWithoutEncoding) {
  // 4097 views of one 1 MiB block: over 4 GiB of payload, no such memory.
  const std::string block(1 << 20, 'x');
  const std::vector<std::string_view> items(4097, block);
  std::string buf = "keep";
  auto r = encode_record(WalRecord::with_items(WalKind::RPush, "k", items), buf);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), PersistErrorKind::InvalidInput);
  EXPECT_EQ(r.error().text(), "WAL record over 4 GiB");
  EXPECT_EQ(buf, "keep");

  WalWriter w(FsyncPolicy::Never);
  TempDir tmp;
  ASSERT_TRUE(w.open_active(tmp.path(), 0).ok());
  auto a = w.append(WalRecord::with_items(WalKind::RPush, "k", items));
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().text(), "WAL record over 4 GiB");
  EXPECT_EQ(w.wal_bytes(), 0u);
  EXPECT_EQ(read_file(segment_path(tmp.path(), 0)), "");
}

// ---- decoding ---------------------------------------------------------------------

TEST(WalDecodingTest, EveryPrefixOfAPayloadIsTruncatedOrAShorterValue) {
  std::vector<std::string_view> scratch;
  for (const KindCase& c : kind_cases()) {
    SCOPED_TRACE(c.replayed);
    for (std::size_t len = 1; len <= c.payload.size(); ++len) {
      RecordingSink sink;
      auto r = apply_record(std::string_view(c.payload).substr(0, len), sink, scratch);
      if (len >= c.min_len) {
        ASSERT_TRUE(r.ok()) << len;
        ASSERT_EQ(sink.calls.size(), 1u);
        if (len == c.payload.size()) {
          EXPECT_EQ(sink.calls[0], c.replayed);
        }
      } else {
        ASSERT_FALSE(r.ok()) << len;
        EXPECT_EQ(r.error().kind(), PersistErrorKind::InvalidData);
        EXPECT_EQ(r.error().text(), "WAL record malformed: truncated");
        EXPECT_TRUE(sink.calls.empty());
      }
    }
  }
}

TEST(WalDecodingTest, TrailingBytesAreIgnoredExceptForValues) {
  std::vector<std::string_view> scratch;
  for (const KindCase& c : kind_cases()) {
    SCOPED_TRACE(c.replayed);
    RecordingSink sink;
    ASSERT_TRUE(apply_record(c.payload + "junk", sink, scratch).ok());
    ASSERT_EQ(sink.calls.size(), 1u);
    bool value_is_rest = c.rec.kind == WalKind::Set || c.rec.kind == WalKind::HSet || c.rec.kind == WalKind::LSet ||
                         c.rec.kind == WalKind::LInsert || c.rec.kind == WalKind::LRem;
    EXPECT_EQ(sink.calls[0], c.replayed + (value_is_rest ? "junk" : ""));
  }
}

TEST(WalDecodingTest, MalformedPayloadsAreRejected) {
  struct Case {
    const char* name;
    std::string payload;
    const char* reason;
  };
  const Case cases[] = {
      {"code 0", "\x00\x01k"s, "unknown operation"},
      {"code 17", "\x11\x01k"s, "unknown operation"},
      {"list insert at a position that is neither before nor after", "\x0f\x02\0\0\0\0\0\0\0\x01l\x01pv"s,
       "unknown operation"},
      {"list set without its index", "\x0e\x01\0"s, "truncated"},
      {"transaction without its count", "\x0d"s, "truncated"},
      {"transaction with fewer records than its count", "\x0d\x02\x03\x02\x01k"s, "truncated"},
      {"transaction inside a transaction", "\x0d\x01\x03\x0d\x01\x00"s, "unknown operation"},
      {"transaction with a malformed record after a good one", "\x0d\x02\x03\x02\x01k\x01\x02"s, "truncated"},
      {"code 255", "\xff"s, "unknown operation"},
      {"empty payload", "", "truncated"},
      {"key length past the end", "\x02\x05" "abc"s, "truncated"},
      {"key varint over ten bytes", "\x02"s + std::string(10, '\x80') + "\x01", "truncated"},
      {"huge key length", "\x02"s + std::string(9, '\xff') + "\x01" + "k", "truncated"},
      {"list count past the end", "\x06\x01k\x05\x01" "a"s, "truncated"},
      {"huge list count", "\x0a\x01k"s + std::string(9, '\xff') + "\x01", "truncated"},
      {"list item past the end", "\x0a\x01k\x01\x04" "ab"s, "truncated"},
      {"hset without field", "\x04\x01k"s, "truncated"},
  };
  std::vector<std::string_view> scratch;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSink sink;
    auto r = apply_record(c.payload, sink, scratch);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), PersistErrorKind::InvalidData);
    EXPECT_EQ(r.error().text(), std::string("WAL record malformed: ") + c.reason);
    EXPECT_TRUE(sink.calls.empty());
  }
}

// ---- replay ------------------------------------------------------------------------

class WalReplayTest : public ::testing::Test {
 protected:
  std::string seg(std::uint64_t n) const { return segment_path(tmp_.path(), n); }

  Result<ReplayOutcome, PersistError> replay(std::uint64_t n) {
    sink_.calls.clear();
    return replay_segment(tmp_.path(), n, sink_);
  }

  TempDir tmp_;
  RecordingSink sink_;
};

TEST_F(WalReplayTest, AppendedRecordsReplayInOrder) {
  WalWriter w(FsyncPolicy::Never);
  ASSERT_TRUE(w.open_active(tmp_.path(), 3).ok());
  std::vector<std::string> expected;
  for (const KindCase& c : kind_cases()) {
    ASSERT_TRUE(w.append(c.rec).ok());
    expected.push_back(c.replayed);
  }
  // A payload larger than the read buffer.
  const std::string big(100000, 'b');
  ASSERT_TRUE(w.append(WalRecord::set("big", 1, big)).ok());
  expected.push_back("set big 1 " + big);
  EXPECT_EQ(w.wal_bytes(), read_file(seg(3)).size());

  auto r = replay(3);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_FALSE(r->torn);
  EXPECT_EQ(sink_.calls, expected);
}

TEST_F(WalReplayTest, EmptySegmentIsCleanAndMissingOneIsAnError) {
  write_file(seg(0), "");
  auto r = replay(0);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->torn);
  EXPECT_TRUE(testing_files::exists(seg(0)));

  auto missing = replay(1);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_errno(), ENOENT);
}

TEST_F(WalReplayTest, CutAtEveryOffsetKeepsExactlyTheCompleteFrames) {
  std::string file;
  std::vector<std::size_t> ends;  // end offset of each frame
  for (const KindCase& c : kind_cases()) {
    file += encoded(c.rec);
    ends.push_back(file.size());
  }
  const std::size_t small_end = file.size();
  file += encoded(WalRecord::set("big", 0, std::string(9000, 'v')));  // spans read buffers
  ends.push_back(file.size());

  // Every offset through the small frames; inside the big frame, its
  // header and the read-buffer boundaries (each torn cut costs an fsync).
  std::vector<std::size_t> cuts;
  for (std::size_t cut = 0; cut <= small_end; ++cut) cuts.push_back(cut);
  for (std::size_t extra : {std::size_t{1}, std::size_t{4}, std::size_t{7}, std::size_t{8}, std::size_t{9},
                            std::size_t{8191}, std::size_t{8192}, std::size_t{8193}}) {
    cuts.push_back(small_end + extra);
  }
  cuts.push_back(file.size() - 1);
  cuts.push_back(file.size());

  for (std::size_t cut : cuts) {
    write_file(seg(5), file.substr(0, cut));
    std::size_t complete = 0;
    while (complete < ends.size() && ends[complete] <= cut) ++complete;
    const std::size_t good = complete == 0 ? 0 : ends[complete - 1];

    auto r = replay(5);
    ASSERT_TRUE(r.ok()) << cut;
    ASSERT_EQ(r->torn, good != cut) << cut;
    if (r->torn) {
      EXPECT_EQ(r->torn_at, good);
    }
    ASSERT_EQ(sink_.calls.size(), complete) << cut;
    ASSERT_EQ(read_file(seg(5)).size(), good) << cut;
  }
}

TEST_F(WalReplayTest, ChecksumMismatchIsTornOnlyAtTheEndOfTheLastSegment) {
  const std::string f1 = encoded(WalRecord::del("a"));
  std::string f2 = encoded(WalRecord::del("b"));
  const std::string f3 = encoded(WalRecord::del("c"));
  f2[kFrameHeaderSize + 2] ^= 0x01;  // payload byte: the CRC no longer matches

  write_file(seg(0), f1 + f2 + f3);
  auto corrupt = replay(0);
  ASSERT_FALSE(corrupt.ok());
  EXPECT_EQ(corrupt.error().kind(), PersistErrorKind::InvalidData);
  EXPECT_EQ(corrupt.error().text(), "corrupt WAL frame in wal-0.log at byte 11");
  EXPECT_EQ(read_file(seg(0)), f1 + f2 + f3) << "corruption is not cut away";

  write_file(seg(1), f1 + f2);
  auto not_last = replay_segment(tmp_.path(), 1, sink_, false);
  ASSERT_FALSE(not_last.ok());
  EXPECT_EQ(not_last.error().text(), "corrupt WAL frame in wal-1.log at byte 11");
  EXPECT_EQ(read_file(seg(1)), f1 + f2);

  sink_.calls.clear();
  auto torn = replay(1);
  ASSERT_TRUE(torn.ok());
  EXPECT_TRUE(torn->torn);
  EXPECT_EQ(torn->torn_at, f1.size());
  EXPECT_EQ(sink_.calls, std::vector<std::string>{"del a"});
  EXPECT_EQ(read_file(seg(1)), f1);
  EXPECT_EQ(torn_tail_note(1, torn->torn_at), "truncated torn WAL tail in wal-1.log at byte 11");
}

TEST_F(WalReplayTest, ZeroLengthFrames) {
  const std::string f1 = encoded(WalRecord::del("a"));
  const std::string after = encoded(WalRecord::del("z"));

  write_file(seg(0), f1 + std::string(8, '\0') + after);
  auto malformed = replay(0);
  ASSERT_FALSE(malformed.ok());
  EXPECT_EQ(malformed.error().kind(), PersistErrorKind::InvalidData);
  EXPECT_EQ(malformed.error().text(), "WAL record malformed: truncated");
  EXPECT_EQ(read_file(seg(0)).size(), f1.size() + 8 + after.size()) << "corruption is not cut";

  // Zeros to the end of the file: a file extended before a power loss.
  write_file(seg(2), f1 + std::string(5000, '\0'));
  auto zeros = replay(2);
  ASSERT_TRUE(zeros.ok());
  EXPECT_TRUE(zeros->torn);
  EXPECT_EQ(zeros->torn_at, f1.size());
  EXPECT_EQ(read_file(seg(2)), f1);

  write_file(seg(1), f1 + "\0\0\0\0\x01\0\0\0"s + after);
  auto followed = replay(1);
  ASSERT_FALSE(followed.ok());
  EXPECT_EQ(followed.error().text(), "corrupt WAL frame in wal-1.log at byte 11");

  write_file(seg(3), f1 + "\0\0\0\0\x01\0\0\0"s);
  auto torn = replay(3);
  ASSERT_TRUE(torn.ok());
  EXPECT_TRUE(torn->torn);
  EXPECT_EQ(torn->torn_at, f1.size());
  EXPECT_EQ(read_file(seg(3)), f1);
}

TEST_F(WalReplayTest, MalformedRecordFailsWithoutCuttingTheFile) {
  const std::string f1 = encoded(WalRecord::del("a"));
  for (const std::string& payload : {"\x00"s, "\x0d\x01k"s, "\x01\x01\x02\x03"s}) {
    const std::string file = f1 + frame_of(payload);
    write_file(seg(2), file);
    auto r = replay(2);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), PersistErrorKind::InvalidData);
    EXPECT_EQ(sink_.calls, std::vector<std::string>{"del a"});
    EXPECT_EQ(read_file(seg(2)), file);
  }
}

TEST_F(WalReplayTest, ReadErrorIsReturnedWithoutCuttingAnything) {
  // A directory named like a segment opens and has a size, but reads fail.
  ASSERT_EQ(::mkdir(seg(9).c_str(), 0755), 0);
  struct stat st {};
  ASSERT_EQ(::stat(seg(9).c_str(), &st), 0);
  if (st.st_size == 0) GTEST_SKIP() << "this file system reports directories as empty";
  auto r = replay(9);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), PersistErrorKind::Os);
  EXPECT_EQ(r.error().os_errno(), EISDIR);
}

// ---- the writer ---------------------------------------------------------------------

TEST(WalWriterTest, OpenActiveCreatesOrContinuesTheSegment) {
  TempDir tmp;
  {
    WalWriter w(FsyncPolicy::Never);
    ASSERT_TRUE(w.open_active(tmp.path(), 4).ok());
    EXPECT_TRUE(w.is_open());
    EXPECT_EQ(w.segment(), 4u);
    EXPECT_EQ(w.wal_bytes(), 0u);
    ASSERT_TRUE(w.append(WalRecord::del("a")).ok());
  }
  WalWriter w(FsyncPolicy::Never);
  ASSERT_TRUE(w.open_active(tmp.path(), 4).ok());
  const std::string f = encoded(WalRecord::del("a"));
  EXPECT_EQ(w.wal_bytes(), f.size());
  ASSERT_TRUE(w.append(WalRecord::del("b")).ok());
  EXPECT_EQ(read_file(segment_path(tmp.path(), 4)), f + encoded(WalRecord::del("b")));

  WalWriter bad;
  auto r = bad.open_active(tmp.file("missing"), 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_errno(), ENOENT);
  EXPECT_FALSE(bad.is_open());
}

TEST(WalWriterTest, PoliciesControlDirtyAndSync) {
  struct Case {
    FsyncPolicy policy;
    bool dirty_after_append;
  };
  for (Case c : {Case{FsyncPolicy::Always, false}, Case{FsyncPolicy::EverySec, true},
                 Case{FsyncPolicy::Never, false}}) {
    SCOPED_TRACE(static_cast<int>(c.policy));
    TempDir tmp;
    WalWriter w(c.policy);
    ASSERT_TRUE(w.open_active(tmp.path(), 0).ok());
    ASSERT_TRUE(w.append(WalRecord::del("k")).ok());
    EXPECT_EQ(w.dirty(), c.dirty_after_append);
    ASSERT_TRUE(w.sync_if_dirty().ok());
    EXPECT_FALSE(w.dirty());
    ASSERT_TRUE(w.append(WalRecord::del("k")).ok());
    ASSERT_TRUE(w.sync_active().ok());
    EXPECT_FALSE(w.dirty());
  }
}

TEST(WalWriterTest, TakeFlushHandsOverTheSegmentOnlyWhenDirty) {
  TempDir tmp;
  WalWriter w(FsyncPolicy::EverySec);
  ASSERT_TRUE(w.open_active(tmp.path(), 0).ok());
  auto clean = w.take_flush();
  ASSERT_TRUE(clean.ok());
  EXPECT_FALSE(clean->valid()) << "nothing appended, nothing to flush";

  ASSERT_TRUE(w.append(WalRecord::del("k")).ok());
  auto taken = w.take_flush();
  ASSERT_TRUE(taken.ok());
  ASSERT_TRUE(taken->valid());
  EXPECT_FALSE(w.dirty());
  // The duplicate stays usable after the writer moves to another segment.
  ASSERT_TRUE(w.sync_active().ok());
  ASSERT_TRUE(w.rotate_to(tmp.path(), 1).ok());
  EXPECT_EQ(platform::sync_file(taken->get()), 0);

  ASSERT_TRUE(w.append(WalRecord::del("k")).ok());
  EXPECT_TRUE(w.dirty()) << "an append after the take is left for the next flush";
  ASSERT_TRUE(w.take_flush().ok());
  EXPECT_FALSE(w.dirty());
  w.flush_failed();
  EXPECT_TRUE(w.dirty()) << "a failed flush is tried again next period";
}

TEST(WalWriterTest, ClosedWriterAppendsNothing) {
  TempDir tmp;
  WalWriter never_opened;
  EXPECT_TRUE(never_opened.append(WalRecord::del("k")).ok());
  EXPECT_TRUE(never_opened.close().ok());

  WalWriter w(FsyncPolicy::EverySec);
  ASSERT_TRUE(w.open_active(tmp.path(), 0).ok());
  ASSERT_TRUE(w.append(WalRecord::del("k")).ok());
  ASSERT_TRUE(w.close().ok());
  EXPECT_FALSE(w.is_open());
  EXPECT_FALSE(w.dirty());
  EXPECT_TRUE(w.append(WalRecord::del("later")).ok());
  EXPECT_TRUE(w.close().ok());
  EXPECT_EQ(read_file(segment_path(tmp.path(), 0)), encoded(WalRecord::del("k")));
}

TEST(WalWriterTest, RotationSwitchesSegmentsOnlyOnSuccess) {
  TempDir tmp;
  WalWriter w(FsyncPolicy::Never);
  ASSERT_TRUE(w.open_active(tmp.path(), 1).ok());
  ASSERT_TRUE(w.append(WalRecord::del("old")).ok());

  auto failed = w.rotate_to(tmp.file("missing"), 2);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(w.segment(), 1u);
  ASSERT_TRUE(w.append(WalRecord::del("still-old")).ok());

  ASSERT_TRUE(w.rotate_to(tmp.path(), 2).ok());
  EXPECT_EQ(w.segment(), 2u);
  EXPECT_EQ(w.wal_bytes(), 0u);
  ASSERT_TRUE(w.append(WalRecord::del("new")).ok());
  EXPECT_EQ(read_file(segment_path(tmp.path(), 1)),
            encoded(WalRecord::del("old")) + encoded(WalRecord::del("still-old")));
  EXPECT_EQ(read_file(segment_path(tmp.path(), 2)), encoded(WalRecord::del("new")));
}

TEST(WalWriterTest, WriteErrorIsReportedAndNothingIsCounted) {
  TempDir tmp;
  ASSERT_EQ(::symlink("/dev/full", segment_path(tmp.path(), 5).c_str()), 0);
  WalWriter w(FsyncPolicy::Always);
  ASSERT_TRUE(w.open_active(tmp.path(), 5).ok());
  auto r = w.append(WalRecord::set("k", 0, "v"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "No space left on device (os error 28)");
  EXPECT_EQ(w.wal_bytes(), 0u);
}

TEST(WalWriterTest, SyncFailureUnderAlwaysDoesNotCountTheFrame) {
  // fsync on a FIFO fails with EINVAL while writes succeed (and so cannot
  // be truncated away; on a regular file the frame is cut off too).
  TempDir tmp;
  const std::string path = segment_path(tmp.path(), 3);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  UniqueFd reader(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.valid());

  WalWriter always(FsyncPolicy::Always);
  ASSERT_TRUE(always.open_active(tmp.path(), 3).ok());
  const std::string f = encoded(WalRecord::del("k"));
  auto r = always.append(WalRecord::del("k"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_errno(), EINVAL);
  EXPECT_EQ(always.wal_bytes(), 0u) << "a frame whose sync failed is not logged";
  std::string got(f.size(), '\0');
  ASSERT_EQ(::read(reader.get(), got.data(), got.size()), static_cast<ssize_t>(f.size()));
  EXPECT_EQ(got, f);

  WalWriter everysec(FsyncPolicy::EverySec);
  ASSERT_TRUE(everysec.open_active(tmp.path(), 3).ok());
  ASSERT_TRUE(everysec.append(WalRecord::del("k")).ok());
  EXPECT_FALSE(everysec.sync_if_dirty().ok());
  EXPECT_TRUE(everysec.dirty()) << "a failed periodic flush is retried";
  auto c = everysec.close();
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().os_errno(), EINVAL);
  EXPECT_FALSE(everysec.is_open());
}

TEST(WalWriterTest, PartialWriteIsTruncatedAwayAndTheNextFrameFollowsCleanly) {
  TempDir tmp;
  WalWriter w(FsyncPolicy::Never);
  ASSERT_TRUE(w.open_active(tmp.path(), 0).ok());
  ASSERT_TRUE(w.append(WalRecord::del("one")).ok());
  ASSERT_TRUE(w.append(WalRecord::del("two")).ok());
  const std::uint64_t before = w.wal_bytes();
  const std::string small = encoded(WalRecord::del(""));  // 10 bytes

  // In a child: a file size limit lets the big frame be written only in
  // part (then EFBIG); the writer must cut it off again so that the next
  // frame lands right after the last complete one.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{before + small.size(), before + small.size()};
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(10);
    auto r = w.append(WalRecord::set("k", 0, std::string(100, 'v')));
    if (r.ok()) ::_exit(11);
    if (r.error().os_errno() != EFBIG) ::_exit(12);
    if (w.wal_bytes() != before) ::_exit(13);
    if (!w.append(WalRecord::del("")).ok()) ::_exit(14);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  EXPECT_EQ(read_file(segment_path(tmp.path(), 0)),
            encoded(WalRecord::del("one")) + encoded(WalRecord::del("two")) + small);
  RecordingSink sink;
  auto r = replay_segment(tmp.path(), 0, sink);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->torn);
  EXPECT_EQ(sink.calls, (std::vector<std::string>{"del one", "del two", "del "}));
}

}  // namespace
}  // namespace mevora::persist
