// Store::open: recovery from the snapshot and the log segments.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "core/persist/lock.h"
#include "core/persist/persist_test_util.h"
#include "core/persist/snapshot.h"

namespace mevora::persist {
namespace {

using namespace std::string_literals;
using testing_files::exists;
using testing_files::read_file;
using testing_files::TempDir;
using testing_files::write_file;
using namespace testing_store;

constexpr std::uint64_t kFar = 4102444800000;  // 2100-01-01, never due in these tests

std::string wal(const TempDir& d, std::uint64_t n) { return segment_path(d.path(), n); }

// A mix of every operation kind, including removals that leave tombstones
// and an emptied hash, so the rebuilt tables have the same history.
void run_script(Store& s) {
  const std::string_view abc[] = {"a", "b", "c"};
  const std::string_view xyz[] = {"x", "y", "z"};
  (void)s.set("junk", "1", std::nullopt, false, false);
  (void)s.flush();
  (void)s.set("str", "value", std::nullopt, false, false);
  (void)s.set("ttl", "v", std::uint64_t{3600000}, false, false);
  (void)s.set("empty", "", std::nullopt, false, false);
  (void)s.set("gone", "v", std::nullopt, false, false);
  const std::string_view gone[] = {"gone"};
  (void)s.del(gone);
  (void)s.hset("h", "f1", "v1");
  (void)s.hset("h", "f2", "v2");
  (void)s.hset("h", "f1", "longer value");
  const std::string_view f2[] = {"f2", "missing"};
  (void)s.hdel("h", f2);
  (void)s.hset("emptied", "f", "v");
  const std::string_view f[] = {"f"};
  (void)s.hdel("emptied", f);
  (void)s.rpush("l", xyz);
  (void)s.lpush("l", abc);
  (void)s.lpop("l");
  (void)s.rpop("l");
  (void)s.sadd("s", abc);
  (void)s.sadd("s", xyz);
  (void)s.srem("s", abc);
  (void)s.incr("n", 41);
  (void)s.incr("n", 1);
  (void)s.pexpire("str", 7200000);
  (void)s.persist("str");
  (void)s.pexpire("h", 7200000);
}

TEST(StoreOpenTest, EmptyDirectoryOpensEmptyWithLockAndFirstSegment) {
  TempDir d;
  const std::string dir = d.path() + "/data/sub";  // created with its parents
  auto store = open_ok(config_for(dir));
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(store->persistent());
  EXPECT_EQ(store->len(), 0u);
  EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"LOCK", "wal-0.log"}));
  EXPECT_EQ(read_file(dir + "/LOCK"), std::to_string(::getpid()) + "\n");
  const PersistStats st = *store->persist_stats();
  EXPECT_EQ(st.wal_bytes, 0u);
  EXPECT_EQ(st.snapshot_bytes, 0u);
  EXPECT_EQ(st.loaded_keys, 0u);
  EXPECT_EQ(st.last_save_ms, 0u);
  EXPECT_FALSE(st.last_error.has_value());
}

TEST(StoreOpenTest, ReopenWithoutSaveRebuildsFromTheLogAlone) {
  TempDir d;
  std::vector<std::string> before;
  std::uint64_t used = 0;
  std::uint64_t wal_bytes = 0;
  {
    auto store = open_ok(config_for(d.path(), FsyncPolicy::Never, 0, 1));
    run_script(*store);
    before = dump(*store);
    used = store->used_memory();
    wal_bytes = store->persist_stats()->wal_bytes;
  }  // dropped without close: no snapshot
  EXPECT_EQ(dir_names(d.path()), (std::vector<std::string>{"wal-0.log"}));

  auto store = open_ok(config_for(d.path(), FsyncPolicy::Never, 0, 1));
  EXPECT_EQ(dump(*store), before);
  EXPECT_EQ(store->used_memory(), used);  // same operations, same accounting
  const PersistStats st = *store->persist_stats();
  EXPECT_EQ(st.loaded_keys, store->len());
  EXPECT_EQ(st.wal_bytes, wal_bytes);
  // Appends continue in the same segment.
  (void)store->set("more", "x", std::nullopt, false, false);
  EXPECT_GT(store->persist_stats()->wal_bytes, wal_bytes);
  EXPECT_EQ(log_lines(wal(d, 0)).back(), "set more 0 x");
}

TEST(StoreOpenTest, ReopenAfterSaveLoadsSnapshotThenNewerSegments) {
  TempDir d;
  std::vector<std::string> before;
  {
    auto store = open_ok(config_for(d.path()));
    run_script(*store);
    ASSERT_TRUE(store->save().ok());
    const std::string_view s_key[] = {"s"};
    (void)store->del(s_key);
    (void)store->set("str", "after save", std::nullopt, false, false);
    const std::string_view q[] = {"q"};
    (void)store->rpush("l", q);
    before = dump(*store);
  }
  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(dump(*store), before);
  EXPECT_EQ(dir_names(d.path()), (std::vector<std::string>{"LOCK", "snapshot.qvs", "wal-1.log"}));
  const PersistStats st = *store->persist_stats();
  EXPECT_EQ(st.snapshot_bytes, read_file(d.file("snapshot.qvs")).size());
  EXPECT_EQ(st.loaded_keys, store->len());
}

TEST(StoreOpenTest, InterruptedSaveReplaysEverySegmentFromTheSnapshotsSequence) {
  TempDir d;
  {
    auto store = open_ok(config_for(d.path()));
    (void)store->set("a", "1", std::nullopt, false, false);
    ASSERT_TRUE(store->save().ok());                          // snapshot wal_seq 1
    (void)store->set("b", "2", std::nullopt, false, false);  // into wal-1
  }
  // A save that rotated to segment 2 and stopped before its snapshot, and a
  // segment below the snapshot left behind by a save that stopped after it.
  write_file(wal(d, 2), frame(WalRecord::set("c", 0, "3")) + frame(WalRecord::del("a")));
  write_file(wal(d, 0), frame(WalRecord::set("stale", 0, "x")));

  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(dump(*store), (std::vector<std::string>{"b d=0 s:2", "c d=0 s:3"}));
  EXPECT_FALSE(exists(wal(d, 0)));
  (void)store->set("d", "4", std::nullopt, false, false);
  EXPECT_EQ(log_lines(wal(d, 2)).back(), "set d 0 4");  // the highest segment is active
  EXPECT_EQ(log_lines(wal(d, 1)), (std::vector<std::string>{"set b 0 2"}));
}

struct ReplayCase {
  const char* name;
  std::vector<std::string> frames;
  std::vector<std::string> expected;
};

TEST(StoreOpenTest, EachRecordKindReplaysAsItsOperation) {
  const std::string_view ab[] = {"a", "b"};
  const std::string_view ba[] = {"b", "a"};
  const std::string_view aa[] = {"a", "a"};
  const std::string_view one[] = {"f1"};
  const std::string_view none[] = {"zz"};
  const ReplayCase cases[] = {
      {"set with deadline, empty value",
       {frame(WalRecord::set("k", kFar, "")), frame(WalRecord::set("", 0, "empty key"))},
       {" d=0 s:empty key", "k d=" + std::to_string(kFar) + " s:"}},
      {"set replaces any kind", {frame(WalRecord::hset("k", "f", "v")), frame(WalRecord::set("k", 0, "s"))},
       {"k d=0 s:s"}},
      {"del, and del of a missing key",
       {frame(WalRecord::set("k", 0, "v")), frame(WalRecord::del("k")), frame(WalRecord::del("missing"))},
       {}},
      {"expire sets, 0 clears, missing ignored",
       {frame(WalRecord::set("a", 0, "1")), frame(WalRecord::set("b", kFar, "2")),
        frame(WalRecord::expire("a", kFar)), frame(WalRecord::expire("b", 0)),
        frame(WalRecord::expire("missing", kFar))},
       {"a d=" + std::to_string(kFar) + " s:1", "b d=0 s:2"}},
      {"hset creates and replaces; on a string it is ignored",
       {frame(WalRecord::hset("h", "f1", "v1")), frame(WalRecord::hset("h", "f1", "v2")),
        frame(WalRecord::hset("h", "f2", "")), frame(WalRecord::set("s", 0, "x")),
        frame(WalRecord::hset("s", "f", "v"))},
       {"h d=0 h:f1=v2,f2=,", "s d=0 s:x"}},
      {"hdel removes fields and an emptied hash",
       {frame(WalRecord::hset("h", "f1", "v")), frame(WalRecord::hset("h", "f2", "v")),
        frame(WalRecord::hset("g", "f1", "v")), frame(WalRecord::with_items(WalKind::HDel, "h", one)),
        frame(WalRecord::with_items(WalKind::HDel, "g", one)),
        frame(WalRecord::with_items(WalKind::HDel, "missing", one))},
       {"h d=0 h:f2=v,"}},
      {"pushes keep record order; pops take the ends",
       {frame(WalRecord::with_items(WalKind::RPush, "l", ab)), frame(WalRecord::with_items(WalKind::LPush, "l", ab)),
        frame(WalRecord::key_only(WalKind::LPop, "l")), frame(WalRecord::key_only(WalKind::RPop, "l")),
        frame(WalRecord::key_only(WalKind::LPop, "missing"))},
       {"l d=0 l:a,a,"}},
      {"popping the last element removes the list",
       {frame(WalRecord::with_items(WalKind::RPush, "l", one)), frame(WalRecord::key_only(WalKind::RPop, "l"))},
       {}},
      {"sets hold members once; srem removes and empties",
       {frame(WalRecord::with_items(WalKind::SAdd, "s", aa)), frame(WalRecord::with_items(WalKind::SAdd, "s", ba)),
        frame(WalRecord::with_items(WalKind::SRem, "s", none)), frame(WalRecord::with_items(WalKind::SAdd, "t", one)),
        frame(WalRecord::with_items(WalKind::SRem, "t", one))},
       {"s d=0 z:a,b,"}},
      {"flush drops everything before it",
       {frame(WalRecord::set("a", 0, "1")), frame(WalRecord::hset("h", "f", "v")), frame(WalRecord::flush()),
        frame(WalRecord::set("b", 0, "2"))},
       {"b d=0 s:2"}},
  };
  for (const ReplayCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    std::string seg;
    for (const std::string& f : c.frames) seg += f;
    write_file(wal(d, 0), seg);
    auto store = open_ok(config_for(d.path()));
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(dump(*store), c.expected);
    // Replay logs nothing: the segment is exactly as written.
    EXPECT_EQ(read_file(wal(d, 0)), seg);
  }
}

TEST(StoreOpenTest, TornTailOfTheLastSegmentIsCutBackAndTheSameDamageElsewhereIsCorruption) {
  struct Case {
    const char* name;
    std::string tail;
    bool torn_when_last;  // false: corruption wherever it is
  };
  const std::string good = frame(WalRecord::set("a", 0, "1"));
  const std::string next = frame(WalRecord::set("b", 0, "2"));
  std::string bad_crc = next;
  bad_crc.back() ^= 1;
  const Case cases[] = {
      {"header cut", next.substr(0, 5), true},
      {"payload cut", next.substr(0, next.size() - 1), true},
      {"checksum mismatch of the final frame", bad_crc, true},
      {"empty payload with a nonzero checksum", "\0\0\0\0\1\0\0\0"s, true},
      {"zeros from a frame boundary to the end", std::string(300, '\0'), true},
      {"checksum mismatch followed by more frames", bad_crc + frame(WalRecord::set("c", 0, "3")), false},
      {"empty payload followed by more frames", "\0\0\0\0\1\0\0\0"s + next, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      // In the last segment.
      TempDir d;
      write_file(wal(d, 0), frame(WalRecord::set("z", 0, "26")));
      write_file(wal(d, 1), good + c.tail);
      auto r = Store::open(config_for(d.path()));
      if (!c.torn_when_last) {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), PersistErrorKind::InvalidData);
        EXPECT_EQ(r.error().text(), corrupt_frame_text(1, good.size()));
        EXPECT_EQ(read_file(wal(d, 1)), good + c.tail) << "corruption is not cut away";
      } else {
        ASSERT_TRUE(r.ok()) << r.error().text();
        auto store = std::move(*r);
        EXPECT_EQ(dump(*store), (std::vector<std::string>{"a d=0 s:1", "z d=0 s:26"}));
        EXPECT_EQ(read_file(wal(d, 1)), good);
        EXPECT_EQ(store->persist_stats()->last_error, torn_tail_note(1, good.size()));
        (void)store->set("after", "x", std::nullopt, false, false);
        EXPECT_EQ(log_lines(wal(d, 1)).back(), "set after 0 x");
      }
    }
    {
      // In a segment that is not the last: always corruption, nothing cut.
      TempDir d;
      write_file(wal(d, 0), good + c.tail);
      write_file(wal(d, 1), frame(WalRecord::set("z", 0, "26")));
      auto r = Store::open(config_for(d.path()));
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), PersistErrorKind::InvalidData);
      if (c.tail[0] != '\0' || c.tail.size() < 8 || c.tail.substr(4, 1) != "\0"s) {
        EXPECT_EQ(r.error().text(), corrupt_frame_text(0, good.size()));
      }
      EXPECT_EQ(read_file(wal(d, 0)), good + c.tail);
      EXPECT_FALSE(exists(d.file("LOCK")));
    }
  }
}

TEST(StoreOpenTest, DamagedDataFailsTheOpenAndReleasesTheLock) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> damage;
    PersistErrorKind kind;
    std::string text;
  };
  const Case cases[] = {
      {"unknown code 0", [](const TempDir& d) { write_file(wal(d, 1), raw_frame("\0k"s)); },
       PersistErrorKind::InvalidData, "WAL record malformed: unknown operation"},
      {"unknown code 17", [](const TempDir& d) { write_file(wal(d, 1), raw_frame("\x11")); },
       PersistErrorKind::InvalidData, "WAL record malformed: unknown operation"},
      {"empty frame with zero checksum before more data",
       [](const TempDir& d) { write_file(wal(d, 1), std::string(8, '\0') + frame(WalRecord::del("k"))); },
       PersistErrorKind::InvalidData, "WAL record malformed: truncated"},
      {"set shorter than its deadline", [](const TempDir& d) { write_file(wal(d, 1), raw_frame("\x01\0\0\0"s)); },
       PersistErrorKind::InvalidData, "WAL record malformed: truncated"},
      {"flipped snapshot byte",
       [](const TempDir& d) {
         std::string snap = read_file(d.file("snapshot.qvs"));
         snap[snap.size() / 2] ^= 0x40;
         write_file(d.file("snapshot.qvs"), snap);
       },
       PersistErrorKind::InvalidData, "snapshot: checksum mismatch"},
      {"snapshot that is a directory",
       [](const TempDir& d) {
         ::unlink(d.file("snapshot.qvs").c_str());
         ::mkdir(d.file("snapshot.qvs").c_str(), 0700);
       },
       PersistErrorKind::Os, "Is a directory (os error 21)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    {
      auto store = open_ok(config_for(d.path()));
      (void)store->set("k", "v", std::nullopt, false, false);
      store->close();  // snapshot.qvs + empty wal-1.log
    }
    ::unlink(wal(d, 1).c_str());
    c.damage(d);
    auto r = Store::open(config_for(d.path()));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), c.kind);
    EXPECT_EQ(r.error().text(), c.text);
    EXPECT_FALSE(exists(d.file("LOCK")));
    char real[PATH_MAX];
    ASSERT_NE(::realpath(d.path().c_str(), real), nullptr);
    EXPECT_FALSE(lock_registry_contains(real));
  }
}

TEST(StoreOpenTest, KeysThatExpiredWhileClosedArePurgedWithADel) {
  TempDir d;
  write_file(wal(d, 0), frame(WalRecord::set("old", 1, "v")) + frame(WalRecord::set("live", kFar, "v")) +
                            frame(WalRecord::set("plain", 0, "v")) + frame(WalRecord::hset("h", "f", "v")) +
                            frame(WalRecord::expire("h", 2)));
  const std::size_t written = read_file(wal(d, 0)).size();
  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(store->len(), 2u);
  EXPECT_EQ(store->persist_stats()->loaded_keys, 2u);
  EXPECT_FALSE(store->exists("old"));
  EXPECT_FALSE(store->exists("h"));
  const std::vector<std::string> lines = log_lines(wal(d, 0));
  ASSERT_EQ(lines.size(), 7u);
  std::vector<std::string> purged(lines.end() - 2, lines.end());
  std::sort(purged.begin(), purged.end());
  EXPECT_EQ(purged, (std::vector<std::string>{"del h", "del old"}));
  EXPECT_EQ(store->persist_stats()->wal_bytes, frames_end(wal(d, 0)));
  EXPECT_GT(store->persist_stats()->wal_bytes, written);
}

TEST(StoreOpenTest, SnapshotDuplicatesKeepTheLaterRecordWithExactAccounting) {
  TempDir d;
  {
    auto w = SnapshotWriter::begin(d.path(), 0, 0);
    ASSERT_TRUE(w.ok());
    const std::pair<std::string_view, std::string_view> pairs[] = {{"f", "1"}, {"g", "22"}, {"f", "333"}};
    const std::string_view members[] = {"a", "b", "a"};
    const std::string_view items[] = {"1", "2", "1"};
    ASSERT_TRUE(w->add_hash("h", 0, pairs).ok());
    ASSERT_TRUE(w->add_set("s", kFar, members).ok());
    ASSERT_TRUE(w->add_string("k", 0, "first").ok());
    ASSERT_TRUE(w->add_list("k", 0, items).ok());
    ASSERT_TRUE(w->finish().ok());
  }
  auto store = open_ok(config_for(d.path(), FsyncPolicy::Never, 0, 1));
  EXPECT_EQ(dump(*store), (std::vector<std::string>{"h d=0 h:f=333,g=22,", "k d=0 l:1,2,1,",
                                                    "s d=" + std::to_string(kFar) + " z:a,b,"}));
  // The same content built by operations costs the same.
  StoreConfig plain;
  plain.shards = 1;
  plain.sweep_interval_ms = 0;
  auto model = Store::create(plain);
  (void)model->hset("h", "f", "333");
  (void)model->hset("h", "g", "22");
  const std::string_view ab[] = {"a", "b"};
  (void)model->sadd("s", ab);
  const std::string_view items[] = {"1", "2", "1"};
  (void)model->rpush("k", items);
  EXPECT_EQ(store->used_memory(), model->used_memory());
  EXPECT_EQ(store->persist_stats()->loaded_keys, 3u);
}

TEST(StoreOpenTest, RebuiltDataAboveTheMemoryLimitIsNotEvicted) {
  TempDir d;
  {
    auto store = open_ok(config_for(d.path()));
    for (int i = 0; i < 100; ++i) {
      (void)store->set("key" + std::to_string(i), std::string(100, 'v'), std::nullopt, false, false);
    }
  }
  StoreConfig c = config_for(d.path());
  c.max_memory = 2000;
  c.policy = EvictionPolicy::AllKeysLru;
  auto store = open_ok(c);
  EXPECT_EQ(store->len(), 100u);
  EXPECT_EQ(store->max_memory(), 2000u);
  EXPECT_EQ(store->policy(), EvictionPolicy::AllKeysLru);
  // The limit applies from now on: the next write evicts, and logs it.
  ASSERT_TRUE(store->set("new", "v", std::nullopt, false, false).ok());
  EXPECT_LT(store->len(), 100u);
  const std::vector<std::string> lines = log_lines(wal(d, 0));
  EXPECT_EQ(lines.back(), "set new 0 v");
  EXPECT_EQ(lines[lines.size() - 2].substr(0, 7), "del key");
}

TEST(StoreOpenTest, LeftoverTemporarySnapshotIsIgnoredAndRemoved) {
  TempDir d;
  std::string other;
  {
    auto store = open_ok(config_for(d.path()));
    (void)store->set("other", "v", std::nullopt, false, false);
    store->close();
    other = read_file(d.file("snapshot.qvs"));
  }
  TempDir d2;
  {
    auto store = open_ok(config_for(d2.path()));
    (void)store->set("real", "v", std::nullopt, false, false);
    store->close();
  }
  write_file(d2.file("snapshot.tmp"), other);  // a complete, valid snapshot
  auto store = open_ok(config_for(d2.path()));
  EXPECT_EQ(dump(*store), (std::vector<std::string>{"real d=0 s:v"}));
  EXPECT_FALSE(exists(d2.file("snapshot.tmp")));
}

TEST(StoreOpenTest, SegmentNamedTwiceIsReplayedOnceByItsPlainName) {
  TempDir d;
  const std::string_view x[] = {"x"};
  const std::string_view y[] = {"y"};
  write_file(wal(d, 7), frame(WalRecord::with_items(WalKind::RPush, "l", x)));
  write_file(d.file("wal-07.log"), frame(WalRecord::with_items(WalKind::RPush, "l", y)));
  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(dump(*store), (std::vector<std::string>{"l d=0 l:x,"}));
  (void)store->set("k", "v", std::nullopt, false, false);
  EXPECT_EQ(log_lines(wal(d, 7)).back(), "set k 0 v");
}

TEST(StoreOpenTest, OpenWithoutADirectoryIsRefused) {
  StoreConfig c;
  auto r = Store::open(c);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), PersistErrorKind::InvalidInput);
}

}  // namespace
}  // namespace mevora::persist
