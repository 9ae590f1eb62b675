// Fuzz target: loading the snapshot file.
//
// Input layout: byte 0 is the mode; the rest is the file. With mode bit 0
// set and a file of at least 33 bytes, its last 4 bytes are replaced by the
// correct CRC-32 of the bytes before them, so the parser behind the
// checksum is reached; otherwise the file is taken as it is.
//
// The file is written as snapshot.qvs in a scratch directory (tmpfs when
// available) and loaded. A parser of the layout written here, over the bytes
// in memory and with a bitwise CRC, predicts the outcome. Invariants:
//   - load_snapshot succeeds exactly when predicted, with the predicted
//     wal_seq, the file size and the same records in the same order, and
//     fails otherwise with the predicted kind and text ("snapshot: ..."
//     invalid data, or the short-read UnexpectedEof);
//   - the sink sees a well-formed sequence: items only inside a collection
//     of their kind, no record starting inside another, and every
//     collection closed when the load succeeds;
//   - no descriptor stays open, no memory leaks, the file is not changed.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/persist/snapshot.h"
#include "fuzz/fuzz_support.h"

namespace {

using mevora::PersistErrorKind;

struct Event {
  char what = 0;  // S string, L/H/T begin list/hash/set, i item, p pair, e end
  std::string key;
  std::uint64_t deadline = 0;
  std::string a;
  std::string b;

  bool operator==(const Event&) const = default;
};

// Records the events and checks their nesting as they arrive.
class RecordingSink final : public mevora::persist::SnapshotSink {
 public:
  void add_string(std::string_view key, std::uint64_t deadline_ms, std::string_view value) override {
    MEVORA_FUZZ_CHECK(open_ == 0, "a record started inside a collection");
    events.push_back({'S', std::string(key), deadline_ms, std::string(value), {}});
  }
  void begin_list(std::string_view key, std::uint64_t deadline_ms) override { begin('L', key, deadline_ms); }
  void list_item(std::string_view value) override { item('L', 'i', value, {}); }
  void begin_hash(std::string_view key, std::uint64_t deadline_ms) override { begin('H', key, deadline_ms); }
  void hash_pair(std::string_view field, std::string_view value) override { item('H', 'p', field, value); }
  void begin_set(std::string_view key, std::uint64_t deadline_ms) override { begin('T', key, deadline_ms); }
  void set_member(std::string_view member) override { item('T', 'i', member, {}); }
  void end_collection() override {
    MEVORA_FUZZ_CHECK(open_ != 0, "a collection ended that was never begun");
    open_ = 0;
    events.push_back({'e', {}, 0, {}, {}});
  }

  bool closed() const { return open_ == 0; }
  std::vector<Event> events;

 private:
  void begin(char kind, std::string_view key, std::uint64_t deadline) {
    MEVORA_FUZZ_CHECK(open_ == 0, "a record started inside a collection");
    open_ = kind;
    events.push_back({kind, std::string(key), deadline, {}, {}});
  }
  void item(char kind, char what, std::string_view a, std::string_view b) {
    MEVORA_FUZZ_CHECK(open_ == kind, "an item outside a collection of its kind");
    events.push_back({what, {}, 0, std::string(a), std::string(b)});
  }

  char open_ = 0;
};

struct Outcome {
  bool ok = false;
  std::uint64_t wal_seq = 0;
  PersistErrorKind kind = PersistErrorKind::Other;
  std::string text;
  std::vector<Event> events;
};

// Reads the CRC-covered body front to back; every shortfall is the
// short-read error, as in the product's exact-length reads.
class Cursor {
 public:
  explicit Cursor(std::string_view body) : rest_(body) {}

  bool bytes(std::size_t n, std::string_view& out) {
    if (n > rest_.size()) return false;
    out = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return true;
  }
  bool u64(std::uint64_t& v) {
    std::string_view b;
    if (!bytes(8, b)) return false;
    v = mevora::fuzz::load_le64(b.data());
    return true;
  }
  // nullopt: short read; false inside: overflow.
  std::optional<bool> varint(std::uint64_t& v) {
    v = 0;
    for (unsigned i = 0; i < 10; ++i) {
      if (rest_.empty()) return std::nullopt;
      const auto b = static_cast<unsigned char>(rest_[0]);
      rest_.remove_prefix(1);
      if (i == 9) {
        v |= std::uint64_t{b & 1u} << 63;
        return (b & 0x80) == 0;
      }
      v |= std::uint64_t{b & 0x7Fu} << (7 * i);
      if ((b & 0x80) == 0) return true;
    }
    return true;  // not reached
  }

 private:
  std::string_view rest_;
};

Outcome fail(PersistErrorKind kind, std::string text) {
  Outcome o;
  o.kind = kind;
  o.text = std::move(text);
  return o;
}
Outcome corrupt(const char* reason) { return fail(PersistErrorKind::InvalidData, std::string("snapshot: ") + reason); }
Outcome short_read() { return fail(PersistErrorKind::UnexpectedEof, "failed to fill whole buffer"); }

Outcome predict(std::string_view file) {
  if (file.size() < 33) return corrupt("file truncated");
  const std::string_view body = file.substr(0, file.size() - 4);
  if (mevora::fuzz::reference_crc32(body) != mevora::fuzz::load_le32(file.data() + body.size())) {
    return corrupt("checksum mismatch");
  }
  Cursor in(body);
  std::string_view magic;
  std::string_view version;
  Outcome o;
  in.bytes(8, magic);
  if (magic != "QVSNAP01") return corrupt("bad magic");
  in.bytes(4, version);
  if (mevora::fuzz::load_le32(version.data()) != 1) return corrupt("unsupported version");
  in.u64(o.wal_seq);

  // A byte string, or the error that reading it runs into.
  auto field = [&](std::string& out) -> std::optional<Outcome> {
    std::uint64_t n = 0;
    auto v = in.varint(n);
    if (!v) return short_read();
    if (!*v) return corrupt("varint overflow");
    std::string_view s;
    if (n > body.size() || !in.bytes(static_cast<std::size_t>(n), s)) return short_read();
    out.assign(s);
    return std::nullopt;
  };
  std::uint64_t loaded = 0;
  for (;;) {
    std::string_view type_byte;
    if (!in.bytes(1, type_byte)) return short_read();
    const auto type = static_cast<unsigned char>(type_byte[0]);
    if (type == 0xFF) {
      std::uint64_t count = 0;
      if (!in.u64(count)) return short_read();
      if (count != loaded) return corrupt("record count mismatch");
      o.ok = true;
      return o;
    }
    Event head;
    if (auto e = field(head.key)) return *e;
    if (!in.u64(head.deadline)) return short_read();
    if (type < 1 || type > 4) return corrupt("unknown record type");
    if (type == 1) {
      head.what = 'S';
      if (auto e = field(head.a)) return *e;
      o.events.push_back(head);
    } else {
      std::uint64_t n = 0;
      auto v = in.varint(n);
      if (!v) return short_read();
      if (!*v) return corrupt("varint overflow");
      head.what = type == 2 ? 'L' : type == 3 ? 'H' : 'T';
      o.events.push_back(head);
      for (std::uint64_t i = 0; i < n; ++i) {
        Event item{type == 3 ? 'p' : 'i', {}, 0, {}, {}};
        if (auto e = field(item.a)) return *e;
        if (type == 3) {
          if (auto e = field(item.b)) return *e;
        }
        o.events.push_back(std::move(item));
      }
      o.events.push_back({'e', {}, 0, {}, {}});
    }
    ++loaded;
  }
}

const std::string& dir() {
  static const std::string path = [] {
    auto& d = mevora::fuzz::ScratchDir::get();
    d.remember(mevora::persist::kSnapshotFileName);
    return d.path();
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) != 0 && file.size() >= mevora::persist::kMinSnapshotSize) {
    const std::size_t body = file.size() - 4;
    mevora::fuzz::store_le32(file.data() + body, mevora::fuzz::reference_crc32(std::string_view(file).substr(0, body)));
  }
  const std::string path = dir() + "/" + mevora::persist::kSnapshotFileName;
  mevora::fuzz::write_whole_file(path, file);

  const Outcome want = predict(file);
  const int free_fd = mevora::fuzz::lowest_free_fd();
  RecordingSink sink;
  auto got = mevora::persist::load_snapshot(dir(), sink);
  MEVORA_FUZZ_CHECK(mevora::fuzz::lowest_free_fd() == free_fd, "the load left a descriptor open");
  MEVORA_FUZZ_CHECK(mevora::fuzz::read_whole_file(path) == file, "the load changed the file");

  if (want.ok) {
    MEVORA_FUZZ_CHECK(got.ok(), "a valid snapshot failed to load");
    MEVORA_FUZZ_CHECK(got->wal_seq == want.wal_seq, "wal_seq differs");
    MEVORA_FUZZ_CHECK(got->size == file.size(), "the reported size is not the file size");
    MEVORA_FUZZ_CHECK(sink.closed(), "a collection was left open");
    MEVORA_FUZZ_CHECK(sink.events == want.events, "the records differ from the reference");
  } else {
    MEVORA_FUZZ_CHECK(!got.ok(), "a damaged snapshot loaded");
    MEVORA_FUZZ_CHECK(got.error().kind() == want.kind && got.error().text() == want.text,
                      "the load failed with another error than expected");
    if (want.text == "snapshot: file truncated" || want.text == "snapshot: checksum mismatch") {
      MEVORA_FUZZ_CHECK(sink.events.empty(), "records reached the sink before the checksum was verified");
    }
  }
  return 0;
}
