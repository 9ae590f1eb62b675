// The mapped segment: what it leaves on disk while open, after each way of
// closing it, after a writer killed in the middle of a copy, and when the
// disk refuses a write or a reservation.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "core/persist/coding.h"
#include "core/persist/test_files.h"
#include "core/persist/wal.h"
#include "util/platform.h"

namespace mevora::persist {
namespace {

using testing_files::read_file;
using testing_files::TempDir;
using testing_files::write_file;

class CountingSink final : public RecordSink {
 public:
  int records = 0;
  void set(std::string_view, std::uint64_t, std::string_view) override { ++records; }
  void del(std::string_view) override { ++records; }
  void expire(std::string_view, std::uint64_t) override { ++records; }
  void hset(std::string_view, std::string_view, std::string_view) override { ++records; }
  void hdel(std::string_view, std::span<const std::string_view>) override { ++records; }
  void lpush(std::string_view, std::span<const std::string_view>) override { ++records; }
  void rpush(std::string_view, std::span<const std::string_view>) override { ++records; }
  void lpop(std::string_view) override { ++records; }
  void rpop(std::string_view) override { ++records; }
  void sadd(std::string_view, std::span<const std::string_view>) override { ++records; }
  void srem(std::string_view, std::span<const std::string_view>) override { ++records; }
  void flush() override { ++records; }
  void lset(std::string_view, std::int64_t, std::string_view) override { ++records; }
  void linsert(std::string_view, bool, std::string_view, std::string_view) override { ++records; }
  void lrem(std::string_view, std::int64_t, std::string_view) override { ++records; }
};

std::string frame(const WalRecord& rec) {
  std::string buf;
  EXPECT_TRUE(encode_record(rec, buf).ok());
  return buf;
}

// A few records, one of them larger than the reservation step, so that the
// segment grows more than once.
std::vector<WalRecord> records(const std::string& big) {
  return {WalRecord::set("a", 0, "1"), WalRecord::del("b"), WalRecord::set("big", 7, big),
          WalRecord::set("c", 0, "3")};
}

struct FaultGuard {
  FaultGuard() { platform::clear_faults(); }
  ~FaultGuard() { platform::clear_faults(); }
};

// How a test ends the life of the writer holding segment 0.
struct Ending {
  const char* name;
  std::function<void(WalWriter&, const std::string&)> end;
};

TEST(MappedSegmentTest, EveryWayOfClosingLeavesExactlyTheFramesWrite2Leaves) {
  const std::string big(kSegmentGrowStep + 100, 'x');
  std::string expected;
  for (const WalRecord& r : records(big)) expected += frame(r);

  const Ending endings[] = {
      {"close", [](WalWriter& w, const std::string&) { ASSERT_TRUE(w.close().ok()); }},
      {"drop", [](WalWriter& w, const std::string&) { w = WalWriter(); }},
      {"rotation", [](WalWriter& w, const std::string& dir) { ASSERT_TRUE(w.rotate_to(dir, 1).ok()); }},
  };
  for (FsyncPolicy policy : {FsyncPolicy::EverySec, FsyncPolicy::Never}) {
    for (const Ending& e : endings) {
      SCOPED_TRACE(std::string(e.name) + " policy " + std::to_string(static_cast<int>(policy)));
      TempDir tmp;
      const std::string path = segment_path(tmp.path(), 0);
      WalWriter w(policy, SegmentAccess::Mapped);
      ASSERT_TRUE(w.open_active(tmp.path(), 0).ok());
      for (const WalRecord& r : records(big)) ASSERT_TRUE(w.append(r).ok());
      EXPECT_EQ(w.wal_bytes(), expected.size());

      // Open: the frames, then the zeros of the reserved space.
      const std::string open = read_file(path);
      ASSERT_GT(open.size(), expected.size());
      EXPECT_EQ(open.substr(0, expected.size()), expected);
      EXPECT_EQ(open.find_first_not_of('\0', expected.size()), std::string::npos);

      e.end(w, tmp.path());
      EXPECT_EQ(read_file(path), expected);
      CountingSink sink;
      auto r = replay_segment(tmp.path(), 0, sink, /*last=*/false);
      ASSERT_TRUE(r.ok()) << r.error().text();
      EXPECT_EQ(sink.records, 4);
    }
  }
}

TEST(MappedSegmentTest, ReopenedSegmentContinuesRightAfterItsFrames) {
  TempDir tmp;
  const std::string path = segment_path(tmp.path(), 3);
  {
    WalWriter w(FsyncPolicy::Never, SegmentAccess::Mapped);
    ASSERT_TRUE(w.open_active(tmp.path(), 3).ok());
    ASSERT_TRUE(w.append(WalRecord::del("one")).ok());
  }
  WalWriter w(FsyncPolicy::Never, SegmentAccess::Mapped);
  ASSERT_TRUE(w.open_active(tmp.path(), 3).ok());
  EXPECT_EQ(w.wal_bytes(), frame(WalRecord::del("one")).size());
  ASSERT_TRUE(w.append(WalRecord::del("two")).ok());
  ASSERT_TRUE(w.close().ok());
  EXPECT_EQ(read_file(path), frame(WalRecord::del("one")) + frame(WalRecord::del("two")));
}

// What a writer killed during the copy of its last frame can leave: the
// frames before it, part of that frame (its length is stored first, its
// CRC last), and the zeros reserved after it.
TEST(MappedSegmentTest, FrameCutShortByAKillIsATornTailOnlyInTheLastSegment) {
  const std::string good = frame(WalRecord::set("k", 0, "v")) + frame(WalRecord::del("d"));
  const std::string last = frame(WalRecord::set("key", 0, "value"));
  const std::string zeros(4096, '\0');
  struct Case {
    const char* name;
    std::string tail;
  };
  const Case cases[] = {
      {"nothing of it", zeros},
      {"its length", last.substr(0, 4) + zeros},
      {"its length and part of the payload", last.substr(0, 4) + std::string(4, '\0') + last.substr(8, 5) + zeros},
      {"all but the CRC", last.substr(0, 4) + std::string(4, '\0') + last.substr(8) + zeros},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    const std::string path = segment_path(tmp.path(), 2);
    write_file(path, good + c.tail);

    CountingSink earlier;
    auto refused = replay_segment(tmp.path(), 2, earlier, /*last=*/false);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), PersistErrorKind::InvalidData);
    EXPECT_EQ(read_file(path), good + c.tail) << "a segment that is not the last one was changed";

    CountingSink sink;
    auto r = replay_segment(tmp.path(), 2, sink, /*last=*/true);
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_TRUE(r->torn);
    EXPECT_EQ(r->torn_at, good.size());
    EXPECT_EQ(sink.records, 2);
    EXPECT_EQ(read_file(path), good);
  }
}

TEST(MappedSegmentTest, ZerosAfterTheTornFrameMustRunToTheEnd) {
  // Data after the zeros is not what a killed writer leaves: corruption.
  TempDir tmp;
  const std::string good = frame(WalRecord::del("d"));
  const std::string last = frame(WalRecord::set("key", 0, "value"));
  const std::string data = good + last.substr(0, 4) + std::string(last.size() - 4 + 16, '\0') + "x";
  write_file(segment_path(tmp.path(), 0), data);
  CountingSink sink;
  auto r = replay_segment(tmp.path(), 0, sink, /*last=*/true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), corrupt_frame_text(0, good.size()));
  EXPECT_EQ(read_file(segment_path(tmp.path(), 0)), data);
}

TEST(MappedSegmentTest, RefusedWriteOrReservationChangesNothing) {
  FaultGuard guard;
  struct Case {
    platform::FaultOp op;
    int err;
  };
  for (Case c : {Case{platform::FaultOp::Write, EIO}, Case{platform::FaultOp::Allocate, ENOSPC}}) {
    SCOPED_TRACE(static_cast<int>(c.op));
    TempDir tmp;
    const std::string path = segment_path(tmp.path(), 0);
    WalWriter w(FsyncPolicy::EverySec, SegmentAccess::Mapped);
    ASSERT_TRUE(w.open_active(tmp.path(), 0).ok());
    ASSERT_TRUE(w.append(WalRecord::del("kept")).ok());
    const std::uint64_t before = w.wal_bytes();
    // Force a new reservation for the next frame, as after a rotation.
    ASSERT_TRUE(w.cut_to_logged().ok());

    platform::inject_fault(c.op, 1, c.err, 0);
    auto r = w.append(WalRecord::del("refused"));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().os_errno(), c.err);
    EXPECT_EQ(w.wal_bytes(), before);
    platform::clear_faults();

    ASSERT_TRUE(w.append(WalRecord::del("next")).ok());
    ASSERT_TRUE(w.close().ok());
    EXPECT_EQ(read_file(path), frame(WalRecord::del("kept")) + frame(WalRecord::del("next")));
  }
}

}  // namespace
}  // namespace mevora::persist
