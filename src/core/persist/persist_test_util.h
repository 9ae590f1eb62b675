// Helpers for the tests of a persistent Store (open_test.cc,
// persist_test.cc): configurations, frames built by hand, the records of a
// segment file as text lines, directory listings and thread counts.
// Header-only; used by those test files only.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/persist/coding.h"
#include "core/persist/test_files.h"
#include "core/persist/wal.h"
#include "core/store.h"
#include "util/thread_names_testing.h"

namespace mevora::persist::testing_store {

using testing_threads::thread_count;

// A persistent configuration without background threads unless asked for.
inline StoreConfig config_for(const std::string& dir, FsyncPolicy fsync = FsyncPolicy::Never,
                              std::uint64_t snapshot_interval = 0, std::uint64_t shards = 4) {
  StoreConfig c;
  c.persist_dir = dir;
  c.fsync = fsync;
  c.snapshot_interval = snapshot_interval;
  c.shards = shards;
  c.sweep_interval_ms = 0;
  return c;
}

inline std::shared_ptr<Store> open_ok(const StoreConfig& c) {
  auto r = Store::open(c);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return r.ok() ? std::move(*r) : nullptr;
}

inline std::string frame(const WalRecord& rec) {
  std::string out;
  EXPECT_TRUE(encode_record(rec, out).ok());
  return out;
}

inline std::string raw_frame(const std::string& payload) {
  std::string out;
  put_u32(out, static_cast<std::uint32_t>(payload.size()));
  put_u32(out, crc32(payload));
  return out + payload;
}

// Every record as one line: "<op> <key> <details>".
class LineSink : public RecordSink {
 public:
  std::vector<std::string> lines;

  void set(std::string_view k, std::uint64_t d, std::string_view v) override {
    add("set " + str(k) + " " + std::to_string(d) + " " + str(v));
  }
  void del(std::string_view k) override { add("del " + str(k)); }
  void expire(std::string_view k, std::uint64_t d) override { add("expire " + str(k) + " " + std::to_string(d)); }
  void hset(std::string_view k, std::string_view f, std::string_view v) override {
    add("hset " + str(k) + " " + str(f) + " " + str(v));
  }
  void hdel(std::string_view k, std::span<const std::string_view> i) override { add("hdel " + str(k) + join(i)); }
  void lpush(std::string_view k, std::span<const std::string_view> i) override { add("lpush " + str(k) + join(i)); }
  void rpush(std::string_view k, std::span<const std::string_view> i) override { add("rpush " + str(k) + join(i)); }
  void lpop(std::string_view k) override { add("lpop " + str(k)); }
  void rpop(std::string_view k) override { add("rpop " + str(k)); }
  void sadd(std::string_view k, std::span<const std::string_view> i) override { add("sadd " + str(k) + join(i)); }
  void srem(std::string_view k, std::span<const std::string_view> i) override { add("srem " + str(k) + join(i)); }
  void flush() override { add("flush"); }
  void lset(std::string_view k, std::int64_t i, std::string_view v) override {
    add("lset " + str(k) + " " + std::to_string(i) + " " + str(v));
  }
  void linsert(std::string_view k, bool after, std::string_view p, std::string_view v) override {
    add("linsert " + str(k) + (after ? " after " : " before ") + str(p) + " " + str(v));
  }
  void lrem(std::string_view k, std::int64_t n, std::string_view v) override {
    add("lrem " + str(k) + " " + std::to_string(n) + " " + str(v));
  }

 private:
  static std::string str(std::string_view s) { return std::string(s); }
  static std::string join(std::span<const std::string_view> items) {
    std::string out;
    for (std::string_view s : items) out += " " + std::string(s);
    return out;
  }
  void add(std::string s) { lines.push_back(std::move(s)); }
};

// The records of a segment file; fails the test on a damaged frame. The
// zeros that follow the frames of a segment still open for appending (its
// reserved space; a closed one has none, see wal_mapped_test.cc) end them.
inline std::vector<std::string> log_lines(const std::string& path) {
  const std::string data = testing_files::read_file(path);
  LineSink sink;
  std::vector<std::string_view> items;
  std::size_t p = 0;
  const std::size_t last_nonzero = data.find_last_not_of('\0');
  const std::size_t end = last_nonzero == std::string::npos ? 0 : last_nonzero + 1;
  while (p < end) {
    if (data.size() - p < kFrameHeaderSize) {
      ADD_FAILURE() << "partial header at " << p;
      break;
    }
    const std::uint32_t len = load_u32(data.data() + p);
    const std::string_view payload(data.data() + p + kFrameHeaderSize,
                                   std::min<std::size_t>(len, data.size() - p - kFrameHeaderSize));
    EXPECT_EQ(payload.size(), len);
    EXPECT_EQ(crc32(payload), load_u32(data.data() + p + 4));
    EXPECT_TRUE(apply_record(payload, sink, items).ok());
    p += kFrameHeaderSize + len;
  }
  return sink.lines;
}

// Where the frames of a segment file end: its size, less the zeros
// reserved after them while it is open for appending. Fails the test when
// anything but zeros follows the frames.
inline std::uint64_t frames_end(const std::string& path) {
  const std::string data = testing_files::read_file(path);
  std::size_t p = 0;
  while (data.size() - p >= kFrameHeaderSize && load_u32(data.data() + p) != 0) {
    p += kFrameHeaderSize + load_u32(data.data() + p);
  }
  if (p < data.size() && data.find_first_not_of('\0', p) != std::string::npos) {
    ADD_FAILURE() << "bytes other than zeros follow the frames of " << path << " at " << p;
  }
  return p;
}

inline std::vector<std::string> dir_names(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The whole keyspace as sorted lines "<key> d=<deadline> <kind>:<value>",
// collections with their elements (hash pairs and set members sorted).
inline std::vector<std::string> dump(Store& s) MEVORA_NO_THREAD_SAFETY_ANALYSIS {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < s.shard_count(); ++i) {
    Shard& shard = s.shard_at(i);
    ReadGuard g(shard.lock);
    shard.table.for_each([&](EntryRef e) {
      std::string line = std::string(e.key()) + " d=" + std::to_string(e.head().deadline_ms) + " ";
      std::vector<std::string> items;
      if (e.is_string()) {
        line += "s:" + std::string(e.str()->value());
      } else {
        const CollEntry& c = *e.coll();
        switch (c.kind) {
          case CollectionKind::List:
            line += "l:";
            for (std::size_t k = 0; k < c.list().size(); ++k) line += c.list().at(k) + ",";
            break;
          case CollectionKind::Hash:
            line += "h:";
            for (const Elem* el : c.hash()) items.push_back(std::string(el->key()) + "=" + std::string(el->value()));
            break;
          case CollectionKind::Set:
            line += "z:";
            for (const Elem* m : c.set()) items.push_back(std::string(m->key()));
            break;
        }
        std::sort(items.begin(), items.end());
        for (const std::string& it : items) line += it + ",";
      }
      out.push_back(std::move(line));
    });
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline std::string get_or(Store& s, std::string_view key, const std::string& missing = "<none>") {
  auto r = s.get(key);
  if (!r.ok()) return "<wrongtype>";
  return r.value().has_value() ? *r.value() : missing;
}

}  // namespace mevora::persist::testing_store
