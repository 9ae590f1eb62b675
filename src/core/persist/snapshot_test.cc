#include "core/persist/snapshot.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "core/persist/coding.h"
#include "core/persist/test_files.h"

namespace mevora::persist {
namespace {

using namespace std::string_literals;
using testing_files::read_file;
using testing_files::TempDir;
using testing_files::write_file;

// Records every record as one line of text.
class RecordingSink : public SnapshotSink {
 public:
  std::vector<std::string> records;

  void add_string(std::string_view k, std::uint64_t d, std::string_view v) override {
    records.push_back("string " + std::string(k) + " " + std::to_string(d) + " " + std::string(v));
  }
  void begin_list(std::string_view k, std::uint64_t d) override { begin("list", k, d); }
  void list_item(std::string_view v) override { item(std::string(v)); }
  void begin_hash(std::string_view k, std::uint64_t d) override { begin("hash", k, d); }
  void hash_pair(std::string_view f, std::string_view v) override {
    item(std::string(f) + "=" + std::string(v));
  }
  void begin_set(std::string_view k, std::uint64_t d) override { begin("set", k, d); }
  void set_member(std::string_view m) override { item(std::string(m)); }
  void end_collection() override {
    ASSERT_TRUE(open_);
    records.push_back(current_ + "]");
    open_ = false;
  }

 private:
  void begin(const char* type, std::string_view k, std::uint64_t d) {
    ASSERT_FALSE(open_);
    open_ = true;
    first_ = true;
    current_ = std::string(type) + " " + std::string(k) + " " + std::to_string(d) + " [";
  }
  void item(const std::string& s) {
    ASSERT_TRUE(open_);
    current_ += (first_ ? "" : ",") + s;
    first_ = false;
  }
  std::string current_;
  bool open_ = false;
  bool first_ = true;
};

// A keyspace of shards of records, fed to write_snapshot.
struct Rec {
  SnapshotType type;
  std::string key;
  std::uint64_t deadline;
  std::vector<std::string> items;  // String: {value}; Hash: field, value, ...
};

class FakeSource : public EntrySource {
 public:
  explicit FakeSource(std::vector<std::vector<Rec>> shards) : shards_(std::move(shards)) {}
  std::vector<std::size_t> visited;

  std::size_t shard_count() const override { return shards_.size(); }
  Result<void, PersistError> write_shard(std::size_t i, SnapshotWriter& out) override {
    visited.push_back(i);
    for (const Rec& r : shards_[i]) {
      if (auto res = write_one(r, out); !res.ok()) return res;
    }
    return {};
  }

  static Result<void, PersistError> write_one(const Rec& r, SnapshotWriter& out) {
    switch (r.type) {
      case SnapshotType::String:
        return out.add_string(r.key, r.deadline, r.items.at(0));
      case SnapshotType::List:
      case SnapshotType::Set: {
        auto b = r.type == SnapshotType::List ? out.begin_list(r.key, r.deadline, r.items.size())
                                              : out.begin_set(r.key, r.deadline, r.items.size());
        if (!b.ok()) return b;
        for (const std::string& s : r.items) {
          auto i = r.type == SnapshotType::List ? out.list_item(s) : out.set_member(s);
          if (!i.ok()) return i;
        }
        return {};
      }
      case SnapshotType::Hash: {
        if (auto b = out.begin_hash(r.key, r.deadline, r.items.size() / 2); !b.ok()) return b;
        for (std::size_t j = 0; j + 1 < r.items.size(); j += 2) {
          if (auto p = out.hash_pair(r.items[j], r.items[j + 1]); !p.ok()) return p;
        }
        return {};
      }
    }
    return {};
  }

 private:
  std::vector<std::vector<Rec>> shards_;
};

std::string u64le(std::uint64_t v) {
  std::string s;
  put_u64(s, v);
  return s;
}

std::string header(std::uint64_t wal_seq) { return "QVSNAP01\x01\0\0\0"s + u64le(wal_seq); }

// body followed by its CRC: a file that passes the checksum pass.
std::string sealed(const std::string& body) {
  std::string out = body;
  put_u32(out, crc32(body));
  return out;
}

std::string trailer(std::uint64_t count) { return "\xff"s + u64le(count); }

class SnapshotFileTest : public ::testing::Test {
 protected:
  std::string qvs() const { return tmp_.file("snapshot.qvs"); }

  Result<std::uint64_t, PersistError> write(std::uint64_t wal_seq, std::uint64_t now,
                                            std::vector<std::vector<Rec>> shards) {
    FakeSource src(std::move(shards));
    return write_snapshot(tmp_.path(), wal_seq, now, src);
  }
  Result<SnapshotInfo, PersistError> load() {
    sink_.records.clear();
    return load_snapshot(tmp_.path(), sink_);
  }
  void expect_load_error(PersistErrorKind kind, const std::string& text) {
    auto r = load();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), kind);
    EXPECT_EQ(r.error().text(), text);
  }

  TempDir tmp_;
  RecordingSink sink_;
};

TEST_F(SnapshotFileTest, EmptyStoreWritesTheMinimalFile) {
  auto size = write(7, 0, {});
  ASSERT_TRUE(size.ok()) << size.error().text();
  EXPECT_EQ(*size, 33u);
  EXPECT_EQ(read_file(qvs()), sealed(header(7) + trailer(0)));
  EXPECT_FALSE(testing_files::exists(tmp_.file("snapshot.tmp")));

  auto r = load();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->wal_seq, 7u);
  EXPECT_EQ(r->size, 33u);
  EXPECT_TRUE(sink_.records.empty());
}

TEST_F(SnapshotFileTest, EveryRecordTypeHasItsExactBytes) {
  const std::string k128(128, 'k');
  struct Case {
    Rec rec;
    std::string bytes;
  };
  const Case cases[] = {
      {{SnapshotType::String, "k", 5, {"v"}}, "\x01\x01k"s + u64le(5) + "\x01v"},
      {{SnapshotType::String, "", 0, {""}}, "\x01\x00"s + u64le(0) + "\x00"s},
      {{SnapshotType::String, k128, 0, {"v"}}, "\x01\x80\x01"s + k128 + u64le(0) + "\x01v"},
      {{SnapshotType::List, "l", 0, {"a", "bc"}}, "\x02\x01l"s + u64le(0) + "\x02\x01" "a\x02" "bc"},
      {{SnapshotType::Hash, "h", 9, {"f", "", "g", "w"}},
       "\x03\x01h"s + u64le(9) + "\x02\x01" "f\x00\x01" "g\x01" "w"s},
      {{SnapshotType::Set, "s", 1, {"m"}}, "\x04\x01s"s + u64le(1) + "\x01\x01m"},
      {{SnapshotType::Set, "s", 0, {}}, "\x04\x01s"s + u64le(0) + "\x00"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    auto size = write(3, 0, {{c.rec}});
    ASSERT_TRUE(size.ok());
    const std::string expected = sealed(header(3) + c.bytes + trailer(1));
    EXPECT_EQ(read_file(qvs()), expected);
    EXPECT_EQ(*size, expected.size());
  }
}

TEST_F(SnapshotFileTest, RecordsRoundTripShardByShard) {
  const std::string big(200000, 'B');  // larger than the write buffer
  std::vector<std::vector<Rec>> shards(3);
  std::vector<std::string> expected;
  shards[0].push_back({SnapshotType::String, "", 0, {""}});
  expected.push_back("string  0 ");
  shards[0].push_back({SnapshotType::String, "big", 42, {big}});
  expected.push_back("string big 42 " + big);
  shards[2].push_back({SnapshotType::Hash, "h", 0, {"f", "", "f", "later"}});
  expected.push_back("hash h 0 [f=,f=later]");
  shards[2].push_back({SnapshotType::List, "l", 0, {"x", "", "y"}});
  expected.push_back("list l 0 [x,,y]");
  shards[2].push_back({SnapshotType::Set, "s", 0, {"m", "m"}});
  expected.push_back("set s 0 [m,m]");
  for (int i = 0; i < 3000; ++i) {  // many small records cross buffer fills
    std::string key = "key" + std::to_string(i);
    shards[1].push_back({SnapshotType::String, key, 0, {"value" + std::to_string(i)}});
  }
  for (int i = 0; i < 3000; ++i) {
    expected.insert(expected.begin() + 2 + i, "string key" + std::to_string(i) + " 0 value" + std::to_string(i));
  }

  FakeSource src(shards);
  auto size = write_snapshot(tmp_.path(), 12, 1, src);
  ASSERT_TRUE(size.ok());
  EXPECT_EQ(src.visited, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(*size, read_file(qvs()).size());

  auto r = load();
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r->wal_seq, 12u);
  EXPECT_EQ(r->size, *size);
  EXPECT_EQ(sink_.records, expected);
}

TEST_F(SnapshotFileTest, KeysExpiredAtSaveTimeAreLeftOut) {
  const std::uint64_t now = 1000;
  auto size = write(0, now,
                    {{{SnapshotType::String, "at-now", now, {"x"}},
                      {SnapshotType::String, "next-ms", now + 1, {"y"}},
                      {SnapshotType::String, "no-ttl", 0, {"z"}},
                      {SnapshotType::List, "old-list", now - 1, {"a", "b"}},
                      {SnapshotType::Hash, "old-hash", 1, {"f", "v"}},
                      {SnapshotType::Set, "live-set", now + 5, {"m"}}}});
  ASSERT_TRUE(size.ok());
  auto r = load();
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(sink_.records, (std::vector<std::string>{"string next-ms 1001 y", "string no-ttl 0 z",
                                                     "set live-set 1005 [m]"}));
}

TEST_F(SnapshotFileTest, WriterRefusesMisuseAndStaysFailed) {
  auto w = SnapshotWriter::begin(tmp_.path(), 0, 0);
  ASSERT_TRUE(w.ok());
  auto stray = w->list_item("x");
  ASSERT_FALSE(stray.ok());
  EXPECT_EQ(stray.error().text(), "snapshot writer misuse");
  EXPECT_FALSE(w->add_string("k", 0, "v").ok()) << "errors are sticky";
  EXPECT_FALSE(w->finish().ok());
  EXPECT_FALSE(testing_files::exists(qvs()));

  struct Step {
    const char* name;
    Result<void, PersistError> (*run)(SnapshotWriter&);
  };
  const Step steps[] = {
      {"too few items", [](SnapshotWriter& s) { return s.begin_list("l", 0, 2); }},
      {"wrong item kind",
       [](SnapshotWriter& s) {
         if (auto r = s.begin_set("s", 0, 1); !r.ok()) return r;
         return s.list_item("x");
       }},
      {"record inside a collection",
       [](SnapshotWriter& s) {
         if (auto r = s.begin_hash("h", 0, 1); !r.ok()) return r;
         return s.add_string("k", 0, "v");
       }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    auto s = SnapshotWriter::begin(tmp_.path(), 0, 0);
    ASSERT_TRUE(s.ok());
    (void)step.run(*s);
    auto done = s->finish();
    ASSERT_FALSE(done.ok());
    EXPECT_EQ(done.error().text(), "snapshot writer misuse");
    EXPECT_FALSE(testing_files::exists(qvs()));
  }
}

TEST_F(SnapshotFileTest, FlippingAnyByteFailsTheChecksumBeforeAnyRecordIsLoaded) {
  ASSERT_TRUE(write(1, 0,
                    {{{SnapshotType::String, "k", 0, {"v"}},
                      {SnapshotType::Hash, "h", 3, {"f", "v"}}}})
                  .ok());
  const std::string good = read_file(qvs());
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (unsigned char mask : {0x01, 0x80, 0xff}) {
      std::string bad = good;
      bad[i] = static_cast<char>(bad[i] ^ mask);
      write_file(qvs(), bad);
      SCOPED_TRACE(i);
      expect_load_error(PersistErrorKind::InvalidData, "snapshot: checksum mismatch");
      ASSERT_TRUE(sink_.records.empty());
    }
  }
}

TEST_F(SnapshotFileTest, EveryShortenedFileIsRejected) {
  ASSERT_TRUE(write(1, 0, {{{SnapshotType::List, "l", 0, {"a", "b"}}}}).ok());
  const std::string good = read_file(qvs());
  for (std::size_t len = 0; len < good.size(); ++len) {
    SCOPED_TRACE(len);
    write_file(qvs(), good.substr(0, len));
    expect_load_error(PersistErrorKind::InvalidData,
                      len < 33 ? "snapshot: file truncated" : "snapshot: checksum mismatch");
    ASSERT_TRUE(sink_.records.empty());
  }
}

TEST_F(SnapshotFileTest, ChecksumCorrectButInvalidContentIsRejected) {
  const std::string rec = "\x01\x01k"s + u64le(0) + "\x01v";
  const std::string list_rec = "\x02\x01l"s + u64le(0) + "\x01\x01x";
  struct Case {
    const char* name;
    std::string body;
    PersistErrorKind kind;
    std::string text;
  };
  const PersistErrorKind bad = PersistErrorKind::InvalidData;
  const PersistErrorKind eof = PersistErrorKind::UnexpectedEof;
  const std::string fill = "failed to fill whole buffer";
  const Case cases[] = {
      {"bad magic", "QVSNAP02\x01\0\0\0"s + u64le(0) + trailer(0), bad, "snapshot: bad magic"},
      {"version 2", "QVSNAP01\x02\0\0\0"s + u64le(0) + trailer(0), bad, "snapshot: unsupported version"},
      {"version 0", "QVSNAP01\0\0\0\0"s + u64le(0) + trailer(0), bad, "snapshot: unsupported version"},
      {"count says 3 for 2", header(0) + rec + list_rec + trailer(3), bad, "snapshot: record count mismatch"},
      {"count says 0 for 1", header(0) + rec + trailer(0), bad, "snapshot: record count mismatch"},
      {"record type 0", header(0) + "\x00\x01k"s + u64le(0) + trailer(1), bad, "snapshot: unknown record type"},
      {"record type 5", header(0) + "\x05\x01k"s + u64le(0) + trailer(1), bad, "snapshot: unknown record type"},
      {"key varint overflow", header(0) + "\x01"s + std::string(10, '\x80') + "\x01" + trailer(0), bad,
       "snapshot: varint overflow"},
      {"list count varint overflow", header(0) + "\x02\x01l"s + u64le(0) + std::string(9, '\xff') + "\x80" +
                                         trailer(1),
       bad, "snapshot: varint overflow"},
      {"no end marker", header(0) + rec + "\x00\x00\x00"s, eof, fill},
      {"count cut short", header(0) + rec + "\xff\x01\x00\x00"s, eof, fill},
      {"key longer than the body", header(0) + "\x01\x7f" "k"s + u64le(0) + trailer(1), eof, fill},
      {"huge value length", header(0) + "\x01\x01k"s + u64le(0) + std::string(9, '\xff') + "\x01" + trailer(1),
       eof, fill},
      {"huge list count", header(0) + "\x02\x01l"s + u64le(0) + "\xff\xff\xff\xff\x0f" + trailer(1), eof, fill},
      // The key and deadline are read before the type is judged.
      {"unknown type with its key cut", header(0) + "\x09\x7f"s + std::string(10, 'k'), eof, fill},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(qvs(), sealed(c.body));
    expect_load_error(c.kind, c.text);
  }

  // Bytes between the count and the CRC are not examined.
  write_file(qvs(), sealed(header(4) + rec + trailer(1) + "extra"));
  auto r = load();
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r->wal_seq, 4u);
  EXPECT_EQ(sink_.records, std::vector<std::string>{"string k 0 v"});
}

TEST_F(SnapshotFileTest, MissingSnapshotIsNoneAndTheTemporaryIsNeverRead) {
  auto none = load();
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none->wal_seq, 0u);
  EXPECT_EQ(none->size, 0u);

  write_file(tmp_.file("snapshot.tmp"), sealed(header(9) + "\x01\x01t"s + u64le(0) + "\x00"s + trailer(1)));
  none = load();
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none->size, 0u);

  ASSERT_TRUE(write(2, 0, {{{SnapshotType::String, "real", 0, {"1"}}}}).ok());
  write_file(tmp_.file("snapshot.tmp"), "garbage");
  auto r = load();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->wal_seq, 2u);
  EXPECT_EQ(sink_.records, std::vector<std::string>{"string real 0 1"});

  remove_snapshot_tmp(tmp_.path());
  EXPECT_FALSE(testing_files::exists(tmp_.file("snapshot.tmp")));
  remove_snapshot_tmp(tmp_.path());  // nothing there: still fine
}

TEST_F(SnapshotFileTest, AnUnreadableSnapshotFailsTheLoadInsteadOfCountingAsNone) {
  // A path component that is a regular file: stat fails with ENOTDIR.
  write_file(tmp_.file("plain"), "x");
  RecordingSink sink;
  auto notdir = load_snapshot(tmp_.file("plain"), sink);
  ASSERT_FALSE(notdir.ok());
  EXPECT_EQ(notdir.error().kind(), PersistErrorKind::Os);
  EXPECT_EQ(notdir.error().os_errno(), ENOTDIR);

  ASSERT_EQ(::mkdir(qvs().c_str(), 0755), 0);
  auto isdir = load();
  ASSERT_FALSE(isdir.ok());
  EXPECT_EQ(isdir.error().kind(), PersistErrorKind::Os);
}

TEST_F(SnapshotFileTest, NewSnapshotReplacesTheOldOneWhole) {
  ASSERT_TRUE(write(1, 0, {{{SnapshotType::String, "a", 0, {"1"}}}}).ok());
  ASSERT_TRUE(write(2, 0, {{{SnapshotType::String, "b", 0, {"2"}}}}).ok());
  auto r = load();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->wal_seq, 2u);
  EXPECT_EQ(sink_.records, std::vector<std::string>{"string b 0 2"});
}

TEST_F(SnapshotFileTest, FailedWriteLeavesThePreviousSnapshotInPlace) {
  ASSERT_TRUE(write(1, 0, {{{SnapshotType::String, "old", 0, {"kept"}}}}).ok());
  const std::string before = read_file(qvs());

  // In a child, a file size limit makes the new snapshot's write fail
  // part-way (EFBIG).
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{1000, 1000};
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(10);
    auto r = write(2, 0, {{{SnapshotType::String, "new", 0, {std::string(100000, 'n')}}}});
    if (r.ok()) ::_exit(11);
    ::_exit(r.error().os_errno() == EFBIG ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  EXPECT_EQ(read_file(qvs()), before);
  auto r = load();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(sink_.records, std::vector<std::string>{"string old 0 kept"});

  FakeSource src({});
  auto missing = write_snapshot(tmp_.file("no-such-dir"), 1, 0, src);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_errno(), ENOENT);
  EXPECT_TRUE(src.visited.empty());
}

}  // namespace
}  // namespace mevora::persist
