// The log framing of transactions: one frame per transaction (record kind
// 13), all of it or none of it replayed, files without it unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/persist/persist_test_util.h"

namespace mevora::persist {
namespace {

using namespace std::string_literals;
using testing_files::read_file;
using testing_files::TempDir;
using testing_files::write_file;
using testing_store::config_for;
using testing_store::dump;
using testing_store::frame;
using testing_store::get_or;
using testing_store::LineSink;
using testing_store::log_lines;
using testing_store::open_ok;

std::vector<std::string> lines_of(std::string_view payload) {
  LineSink sink;
  std::vector<std::string_view> items;
  EXPECT_TRUE(apply_record(payload, sink, items).ok());
  return sink.lines;
}

TEST(TransactionLogTest, ABatchIsOneFrameOfItsRecordsInOrder) {
  WalBatch batch;
  const std::string_view values[] = {"x", "y"};
  batch.add(WalRecord::set("a", 7, "1"));
  batch.add(WalRecord::with_items(WalKind::RPush, "l", values));
  batch.add(WalRecord::del("b"));
  std::string buf = "keep";
  ASSERT_TRUE(encode_batch(batch, buf).ok());
  ASSERT_EQ(buf.substr(0, 4), "keep");
  const std::string f = buf.substr(4);
  ASSERT_GT(f.size(), kFrameHeaderSize);
  const std::string_view payload = std::string_view(f).substr(kFrameHeaderSize);
  EXPECT_EQ(load_u32(f.data()), payload.size());
  EXPECT_EQ(load_u32(f.data() + 4), crc32(payload));
  EXPECT_EQ(static_cast<std::uint8_t>(payload[0]), kTxnRecordCode);
  EXPECT_EQ(payload[1], 3);  // the count
  EXPECT_EQ(lines_of(payload), (std::vector<std::string>{"set a 7 1", "rpush l x y", "del b"}));
}

TEST(TransactionLogTest, ABatchOfOneRecordIsThatRecordsOrdinaryFrame) {
  WalBatch batch;
  batch.add(WalRecord::set("a", 0, "v"));
  std::string buf;
  ASSERT_TRUE(encode_batch(batch, buf).ok());
  EXPECT_EQ(buf, frame(WalRecord::set("a", 0, "v")));
  std::string none;
  ASSERT_TRUE(encode_batch(WalBatch(), none).ok());
  EXPECT_TRUE(none.empty());
}

// A store where one transaction changes three keys, dropped without close
// so that only the log holds it.
void write_transaction(const std::string& dir) {
  auto store = open_ok(config_for(dir));
  (void)store->set("before", "1", std::nullopt, false, false);
  const std::string_view keys[] = {"a", "b", "l"};
  auto r = store->atomically(keys, false, nullptr, [&] {
    (void)store->set("a", "1", std::nullopt, false, false);
    (void)store->incr("b", 5);
    const std::string_view v[] = {"x"};
    (void)store->rpush("l", v);
  });
  ASSERT_TRUE(r.ok() && r.value());
  EXPECT_EQ(log_lines(segment_path(dir, 0)), (std::vector<std::string>{"set before 0 1", "set a 0 1", "set b 0 5",
                                                                        "rpush l x"}));
}

TEST(TransactionLogTest, RecoveryAppliesAWholeTransaction) {
  TempDir d;
  write_transaction(d.path());
  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(dump(*store), (std::vector<std::string>{"a d=0 s:1", "b d=0 s:5", "before d=0 s:1", "l d=0 l:x,"}));
}

TEST(TransactionLogTest, RecoveryAppliesNoneOfATornTransaction) {
  // Cut the transaction's frame at every length: nothing of it survives,
  // the record before it always does.
  TempDir probe;
  write_transaction(probe.path());
  const std::string whole = read_file(segment_path(probe.path(), 0));
  const std::size_t first = frame(WalRecord::set("before", 0, "1")).size();
  for (std::size_t cut = first; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    TempDir d;
    write_file(segment_path(d.path(), 0), whole.substr(0, cut));
    auto store = open_ok(config_for(d.path()));
    EXPECT_EQ(dump(*store), (std::vector<std::string>{"before d=0 s:1"}));
    if (cut > first) {
      EXPECT_EQ(store->persist_stats()->last_error, torn_tail_note(0, first));
    }
  }
}

TEST(TransactionLogTest, AMalformedRecordInsideFailsTheOpenWithoutApplyingAny) {
  TempDir d;
  // count 2: a good SET, then a DEL whose key runs past the end.
  std::string payload = "\x0d\x02"s;
  const std::string set_payload = frame(WalRecord::set("a", 0, "1")).substr(kFrameHeaderSize);
  payload += static_cast<char>(set_payload.size());
  payload += set_payload;
  payload += "\x03\x02\x05k"s;
  write_file(segment_path(d.path(), 0), testing_store::raw_frame(payload));
  auto r = Store::open(config_for(d.path()));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "WAL record malformed: truncated");
}

}  // namespace
}  // namespace mevora::persist
