#include "core/persist/snapshot.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/persist/coding.h"
#include "core/persist/file_io.h"
#include "util/platform.h"

namespace mevora::persist {

namespace {

PersistError corrupt(const char* reason) {
  return PersistError::make(PersistErrorKind::InvalidData, std::string("snapshot: ") + reason);
}

}  // namespace

// ---- SnapshotWriter -----------------------------------------------------------------

Result<SnapshotWriter, PersistError> SnapshotWriter::begin(const std::string& dir, std::uint64_t wal_seq,
                                                           std::uint64_t now_ms) {
  auto fd = open_file(join_path(dir, kSnapshotTmpName), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd.ok()) return make_err(fd.error());
  SnapshotWriter w;
  w.fd_ = std::move(*fd);
  w.dir_ = dir;
  w.now_ms_ = now_ms;
  w.buf_ = std::make_unique<char[]>(kSnapshotWriteBuffer);
  std::memcpy(w.buf_.get(), kSnapshotMagic.data(), kSnapshotMagic.size());
  w.used_ = kSnapshotMagic.size();
  store_u32(w.buf_.get() + w.used_, kSnapshotVersion);
  store_u64(w.buf_.get() + w.used_ + 4, wal_seq);
  w.used_ += 12;
  return w;
}

std::uint32_t SnapshotWriter::crc() const { return crc32_update(crc_, buf_.get(), used_); }

Result<void, PersistError> SnapshotWriter::fail(PersistError e) {
  failed_ = e;
  return make_err(std::move(e));
}

Result<void, PersistError> SnapshotWriter::misuse() {
  return fail(PersistError::make(PersistErrorKind::Other, "snapshot writer misuse"));
}

Result<void, PersistError> SnapshotWriter::flush_buffer() {
  if (used_ == 0) return {};
  crc_ = crc32_update(crc_, buf_.get(), used_);
  auto w = write_all(fd_.get(), buf_.get(), used_);
  wrote(used_);
  used_ = 0;
  if (!w.ok()) return fail(w.error());
  return {};
}

void SnapshotWriter::wrote(std::size_t n) {
  // Start writing back every few megabytes while the rest is still being
  // encoded, so the final sync finds little left to do. Only a hint: the
  // sync in finish() is what makes the file durable.
  unsynced_ += n;
  if (unsynced_ >= kWritebackChunk) {
    platform::start_writeback(fd_.get());
    unsynced_ = 0;
  }
}

Result<void, PersistError> SnapshotWriter::put(const char* data, std::size_t n) {
  if (used_ + n > kSnapshotWriteBuffer) {
    if (auto f = flush_buffer(); !f.ok()) return f;
  }
  if (n >= kSnapshotWriteBuffer) {
    // A large value goes straight to the file (the buffer is empty now).
    crc_ = crc32_update(crc_, data, n);
    if (auto w = write_all(fd_.get(), data, n); !w.ok()) return fail(w.error());
    wrote(n);
    return {};
  }
  std::memcpy(buf_.get() + used_, data, n);
  used_ += n;
  return {};
}

Result<void, PersistError> SnapshotWriter::put_varint(std::uint64_t v) {
  char b[kMaxVarintLen];
  return put(b, store_varint(b, v));
}

Result<void, PersistError> SnapshotWriter::put_u64(std::uint64_t v) {
  char b[8];
  store_u64(b, v);
  return put(b, sizeof b);
}

Result<void, PersistError> SnapshotWriter::put_field(std::string_view s) {
  if (auto r = put_varint(s.size()); !r.ok()) return r;
  return put(s.data(), s.size());
}

Result<void, PersistError> SnapshotWriter::start_record(SnapshotType type, std::string_view key,
                                                        std::uint64_t deadline_ms,
                                                        std::optional<std::uint64_t> count) {
  if (failed_) return make_err(*failed_);
  if (spent_ || pending_items_ != 0) return misuse();
  pending_type_ = type;
  pending_items_ = count.value_or(0);
  skipping_ = expired(deadline_ms);
  if (skipping_) return {};
  const char t = static_cast<char>(type);
  if (auto r = put(&t, 1); !r.ok()) return r;
  if (auto r = put_field(key); !r.ok()) return r;
  if (auto r = put_u64(deadline_ms); !r.ok()) return r;
  if (count) {
    if (auto r = put_varint(*count); !r.ok()) return r;
  }
  ++records_;
  return {};
}

Result<void, PersistError> SnapshotWriter::next_item(SnapshotType type) {
  if (failed_) return make_err(*failed_);
  if (spent_ || pending_items_ == 0 || pending_type_ != type) return misuse();
  --pending_items_;
  return {};
}

Result<void, PersistError> SnapshotWriter::add_string(std::string_view key, std::uint64_t deadline_ms,
                                                      std::string_view value) {
  // The usual record fits in the buffer's spare room: encode it in place,
  // in the same layout start_record and put_field produce.
  const std::size_t most = 1 + 2 * kMaxVarintLen + 8 + key.size() + value.size();
  if (!failed_ && !spent_ && pending_items_ == 0 && !expired(deadline_ms) && most <= kSnapshotWriteBuffer - used_) {
    char* p = buf_.get() + used_;
    *p++ = static_cast<char>(SnapshotType::String);
    p += store_varint(p, key.size());
    if (!key.empty()) std::memcpy(p, key.data(), key.size());
    p += key.size();
    store_u64(p, deadline_ms);
    p += 8;
    p += store_varint(p, value.size());
    if (!value.empty()) std::memcpy(p, value.data(), value.size());
    p += value.size();
    used_ = static_cast<std::size_t>(p - buf_.get());
    ++records_;
    return {};
  }
  if (auto r = start_record(SnapshotType::String, key, deadline_ms, std::nullopt); !r.ok()) return r;
  if (skipping_) return {};
  return put_field(value);
}

Result<void, PersistError> SnapshotWriter::begin_list(std::string_view key, std::uint64_t deadline_ms,
                                                      std::uint64_t count) {
  return start_record(SnapshotType::List, key, deadline_ms, count);
}

Result<void, PersistError> SnapshotWriter::list_item(std::string_view value) {
  if (auto r = next_item(SnapshotType::List); !r.ok()) return r;
  return skipping_ ? Result<void, PersistError>{} : put_field(value);
}

Result<void, PersistError> SnapshotWriter::begin_hash(std::string_view key, std::uint64_t deadline_ms,
                                                      std::uint64_t pairs) {
  return start_record(SnapshotType::Hash, key, deadline_ms, pairs);
}

Result<void, PersistError> SnapshotWriter::hash_pair(std::string_view field, std::string_view value) {
  if (auto r = next_item(SnapshotType::Hash); !r.ok()) return r;
  if (skipping_) return {};
  if (auto r = put_field(field); !r.ok()) return r;
  return put_field(value);
}

Result<void, PersistError> SnapshotWriter::begin_set(std::string_view key, std::uint64_t deadline_ms,
                                                     std::uint64_t count) {
  return start_record(SnapshotType::Set, key, deadline_ms, count);
}

Result<void, PersistError> SnapshotWriter::set_member(std::string_view member) {
  if (auto r = next_item(SnapshotType::Set); !r.ok()) return r;
  return skipping_ ? Result<void, PersistError>{} : put_field(member);
}

Result<void, PersistError> SnapshotWriter::add_list(std::string_view key, std::uint64_t deadline_ms,
                                                    std::span<const std::string_view> items) {
  if (auto r = begin_list(key, deadline_ms, items.size()); !r.ok()) return r;
  for (std::string_view s : items) {
    if (auto r = list_item(s); !r.ok()) return r;
  }
  return {};
}

Result<void, PersistError> SnapshotWriter::add_hash(
    std::string_view key, std::uint64_t deadline_ms,
    std::span<const std::pair<std::string_view, std::string_view>> pairs) {
  if (auto r = begin_hash(key, deadline_ms, pairs.size()); !r.ok()) return r;
  for (const auto& [f, v] : pairs) {
    if (auto r = hash_pair(f, v); !r.ok()) return r;
  }
  return {};
}

Result<void, PersistError> SnapshotWriter::add_set(std::string_view key, std::uint64_t deadline_ms,
                                                   std::span<const std::string_view> members) {
  if (auto r = begin_set(key, deadline_ms, members.size()); !r.ok()) return r;
  for (std::string_view s : members) {
    if (auto r = set_member(s); !r.ok()) return r;
  }
  return {};
}

Result<std::uint64_t, PersistError> SnapshotWriter::finish() {
  if (failed_) return make_err(*failed_);
  if (spent_ || pending_items_ != 0) return make_err(misuse().error());
  spent_ = true;
  const char marker = static_cast<char>(kSnapshotEndMarker);
  if (auto r = put(&marker, 1); !r.ok()) return make_err(r.error());
  if (auto r = put_u64(records_); !r.ok()) return make_err(r.error());
  char tail[4];
  store_u32(tail, crc());
  if (auto r = put(tail, sizeof tail); !r.ok()) return make_err(r.error());
  if (auto r = flush_buffer(); !r.ok()) return make_err(r.error());
  if (auto r = sync_file(fd_.get()); !r.ok()) return make_err(r.error());
  auto size = file_size(fd_.get());
  if (!size.ok()) return make_err(size.error());
  fd_.reset();
  const std::string tmp = join_path(dir_, kSnapshotTmpName);
  const std::string final_path = join_path(dir_, kSnapshotFileName);
  if (::rename(tmp.c_str(), final_path.c_str()) != 0) {
    int err = errno;
    return os_error(err);
  }
  if (auto r = sync_dir(dir_); !r.ok()) return make_err(r.error());
  return *size;
}

Result<std::uint64_t, PersistError> write_snapshot(const std::string& dir, std::uint64_t wal_seq,
                                                   std::uint64_t now_ms, EntrySource& source) {
  auto w = SnapshotWriter::begin(dir, wal_seq, now_ms);
  if (!w.ok()) return make_err(w.error());
  const std::size_t shards = source.shard_count();
  for (std::size_t i = 0; i < shards; ++i) {
    if (auto r = source.write_shard(i, *w); !r.ok()) return make_err(r.error());
  }
  return w->finish();
}

void remove_snapshot_tmp(const std::string& dir) { ::unlink(join_path(dir, kSnapshotTmpName).c_str()); }

// ---- loading -----------------------------------------------------------------------

namespace {

// Reads the CRC-covered part of the file (S - 4 bytes) in 64 KiB chunks and
// compares it with the stored CRC that follows.
Result<void, PersistError> verify_checksum(int fd, std::uint64_t size) {
  std::vector<char> chunk(kSnapshotChecksumChunk);
  std::uint64_t left = size - 4;
  std::uint32_t crc = 0;
  while (left > 0) {
    auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    ssize_t n = ::read(fd, chunk.data(), want);
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      return os_error(err);
    }
    if (n == 0) return make_err(corrupt("file truncated"));
    crc = crc32_update(crc, chunk.data(), static_cast<std::size_t>(n));
    left -= static_cast<std::uint64_t>(n);
  }
  char stored[4];
  BufferedReader tail(fd, sizeof stored);
  switch (tail.read_exact(stored, sizeof stored)) {
    case BufferedReader::Status::Ok:
      break;
    case BufferedReader::Status::Eof:
      return make_err(fill_error());
    case BufferedReader::Status::Error:
      return os_error(tail.error_errno());
  }
  if (load_u32(stored) != crc) return make_err(corrupt("checksum mismatch"));
  return {};
}

// The parse pass over a verified file: exact-length reads from a reader
// limited to the CRC-covered bytes.
class SnapshotParser {
 public:
  SnapshotParser(int fd, std::uint64_t body_size, SnapshotSink& sink)
      : in_(fd, kSnapshotReadBuffer, body_size), sink_(sink) {}

  // Returns wal_seq.
  Result<std::uint64_t, PersistError> run() {
    char magic[8];
    if (auto r = read(magic, sizeof magic); !r.ok()) return make_err(r.error());
    if (std::string_view(magic, sizeof magic) != kSnapshotMagic) return make_err(corrupt("bad magic"));
    char fixed[12];
    if (auto r = read(fixed, sizeof fixed); !r.ok()) return make_err(r.error());
    if (load_u32(fixed) != kSnapshotVersion) return make_err(corrupt("unsupported version"));
    const std::uint64_t wal_seq = load_u64(fixed + 4);

    std::uint64_t loaded = 0;
    for (;;) {
      std::uint8_t type = 0;
      if (auto r = status(in_.read_byte(type)); !r.ok()) return make_err(r.error());
      if (type == kSnapshotEndMarker) {
        std::uint64_t count = 0;
        if (auto r = read_u64(count); !r.ok()) return make_err(r.error());
        if (count != loaded) return make_err(corrupt("record count mismatch"));
        return wal_seq;
      }
      if (auto r = record(type); !r.ok()) return make_err(r.error());
      ++loaded;
    }
  }

 private:
  using Status = BufferedReader::Status;

  Result<void, PersistError> status(Status s) const {
    if (s == Status::Ok) return {};
    if (s == Status::Eof) return make_err(fill_error());
    return os_error(in_.error_errno());
  }
  Result<void, PersistError> read(char* dst, std::size_t n) { return status(in_.read_exact(dst, n)); }
  Result<void, PersistError> read_u64(std::uint64_t& v) {
    char b[8];
    if (auto r = read(b, sizeof b); !r.ok()) return r;
    v = load_u64(b);
    return {};
  }
  Result<void, PersistError> read_varint(std::uint64_t& v) {
    VarintDecoder d;
    for (;;) {
      std::uint8_t b = 0;
      if (auto r = status(in_.read_byte(b)); !r.ok()) return r;
      switch (d.feed(b)) {
        case VarintDecoder::Step::More:
          continue;
        case VarintDecoder::Step::Done:
          v = d.value();
          return {};
        case VarintDecoder::Step::Overflow:
          return make_err(corrupt("varint overflow"));
      }
    }
  }
  // A byte string into out. A length beyond what is left fails as a short
  // read before anything is allocated.
  Result<void, PersistError> read_field(std::string& out) {
    std::uint64_t n = 0;
    if (auto r = read_varint(n); !r.ok()) return r;
    if (n > in_.remaining()) return make_err(fill_error());
    out.resize(static_cast<std::size_t>(n));
    return read(out.data(), out.size());
  }

  Result<void, PersistError> record(std::uint8_t type) {
    std::uint64_t deadline = 0;
    if (auto r = read_field(key_); !r.ok()) return r;
    if (auto r = read_u64(deadline); !r.ok()) return r;
    std::uint64_t n = 0;
    switch (static_cast<SnapshotType>(type)) {
      case SnapshotType::String:
        if (auto r = read_field(a_); !r.ok()) return r;
        sink_.add_string(key_, deadline, a_);
        return {};
      case SnapshotType::List:
      case SnapshotType::Set:
        if (auto r = read_varint(n); !r.ok()) return r;
        if (type == static_cast<std::uint8_t>(SnapshotType::List)) {
          sink_.begin_list(key_, deadline);
        } else {
          sink_.begin_set(key_, deadline);
        }
        for (std::uint64_t i = 0; i < n; ++i) {
          if (auto r = read_field(a_); !r.ok()) return r;
          if (type == static_cast<std::uint8_t>(SnapshotType::List)) {
            sink_.list_item(a_);
          } else {
            sink_.set_member(a_);
          }
        }
        sink_.end_collection();
        return {};
      case SnapshotType::Hash:
        if (auto r = read_varint(n); !r.ok()) return r;
        sink_.begin_hash(key_, deadline);
        for (std::uint64_t i = 0; i < n; ++i) {
          if (auto r = read_field(a_); !r.ok()) return r;
          if (auto r = read_field(b_); !r.ok()) return r;
          sink_.hash_pair(a_, b_);
        }
        sink_.end_collection();
        return {};
    }
    return make_err(corrupt("unknown record type"));
  }

  BufferedReader in_;
  SnapshotSink& sink_;
  std::string key_;  // reused buffers
  std::string a_;
  std::string b_;
};

}  // namespace

Result<SnapshotInfo, PersistError> load_snapshot(const std::string& dir, SnapshotSink& sink) {
  const std::string path = join_path(dir, kSnapshotFileName);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    int err = errno;
    // Only a missing file means "no snapshot"; any other failure must not
    // let a snapshot that exists be ignored (and later overwritten).
    if (err == ENOENT) return SnapshotInfo{};
    return os_error(err);
  }

  auto fd = open_regular_file(path);
  if (!fd.ok()) return make_err(fd.error());
  auto size = file_size(fd->get());
  if (!size.ok()) return make_err(size.error());
  const std::uint64_t s = *size;
  if (s < kMinSnapshotSize) return make_err(corrupt("file truncated"));
  if (auto r = verify_checksum(fd->get(), s); !r.ok()) return make_err(r.error());

  auto parse_fd = open_regular_file(path);
  if (!parse_fd.ok()) return make_err(parse_fd.error());
  SnapshotParser parser(parse_fd->get(), s - 4, sink);
  auto wal_seq = parser.run();
  if (!wal_seq.ok()) return make_err(wal_seq.error());
  return SnapshotInfo{*wal_seq, s};
}

}  // namespace mevora::persist
