#include "core/persist/wal.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "core/persist/coding.h"
#include "core/persist/file_io.h"
#include "util/platform.h"

namespace mevora::persist {

namespace {

Err<PersistError> malformed(const char* reason) {
  return make_err(
      PersistError::make(PersistErrorKind::InvalidData, std::string("WAL record malformed: ") + reason));
}

bool has_items(WalKind k) {
  return k == WalKind::HDel || k == WalKind::LPush || k == WalKind::RPush || k == WalKind::SAdd ||
         k == WalKind::SRem;
}

std::uint64_t field_size(std::string_view s) { return varint_length(s.size()) + s.size(); }

}  // namespace

// Computed without encoding, so that an oversized record costs no buffer.
std::uint64_t record_payload_size(const WalRecord& rec) {
  std::uint64_t n = 1;
  switch (rec.kind) {
    case WalKind::Set:
    case WalKind::LSet:
    case WalKind::LRem:
      return n + 8 + field_size(rec.key) + rec.value.size();
    case WalKind::Expire:
      return n + 8 + field_size(rec.key);
    case WalKind::HSet:
      return n + field_size(rec.key) + field_size(rec.field) + rec.value.size();
    case WalKind::Del:
    case WalKind::LPop:
    case WalKind::RPop:
      return n + field_size(rec.key);
    case WalKind::HDel:
    case WalKind::LPush:
    case WalKind::RPush:
    case WalKind::SAdd:
    case WalKind::SRem:
      n += field_size(rec.key) + varint_length(rec.items.size());
      for (std::string_view s : rec.items) n += field_size(s);
      return n;
    case WalKind::Flush:
      return n;
    case WalKind::LInsert:
      return n + 8 + field_size(rec.key) + field_size(rec.field) + rec.value.size();
  }
  return 0;
}

// ---- segment naming -----------------------------------------------------------

std::string segment_path(std::string_view dir, std::uint64_t n) {
  return join_path(dir, "wal-" + std::to_string(n) + ".log");
}

std::optional<std::uint64_t> parse_segment_name(std::string_view name) {
  constexpr std::string_view kPrefix = "wal-";
  constexpr std::string_view kSuffix = ".log";
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix)) {
    return std::nullopt;
  }
  std::string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  std::uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

Result<std::vector<std::uint64_t>, PersistError> list_segments(const std::string& dir) {
  auto fd = open_file(dir, O_RDONLY | O_DIRECTORY);
  if (!fd.ok()) return make_err(fd.error());
  struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> d(::fdopendir(fd->get()));
  if (d == nullptr) {
    int err = errno;
    return os_error(err);
  }
  (void)fd->release();  // the DIR stream owns the descriptor now

  std::vector<std::uint64_t> out;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d.get());
    if (e == nullptr) {
      int err = errno;
      if (err != 0) return os_error(err);
      break;
    }
    if (auto n = parse_segment_name(e->d_name)) out.push_back(*n);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::string torn_tail_note(std::uint64_t n, std::uint64_t p) {
  return "truncated torn WAL tail in wal-" + std::to_string(n) + ".log at byte " + std::to_string(p);
}

// ---- encoding -------------------------------------------------------------------

void encode_payload(const WalRecord& rec, std::string& buf) {
  buf.push_back(static_cast<char>(rec.kind));
  switch (rec.kind) {
    case WalKind::Set:
    case WalKind::LSet:
    case WalKind::LRem:
      // LSet and LRem carry their index or count where Set has its deadline.
      put_u64(buf, rec.deadline_ms);
      put_bytes(buf, rec.key);
      buf.append(rec.value);
      break;
    case WalKind::Expire:
      put_u64(buf, rec.deadline_ms);
      put_bytes(buf, rec.key);
      break;
    case WalKind::HSet:
      put_bytes(buf, rec.key);
      put_bytes(buf, rec.field);
      buf.append(rec.value);
      break;
    case WalKind::Flush:
      break;
    case WalKind::LInsert:
      put_u64(buf, rec.deadline_ms);
      put_bytes(buf, rec.key);
      put_bytes(buf, rec.field);
      buf.append(rec.value);
      break;
    default:
      put_bytes(buf, rec.key);
      if (has_items(rec.kind)) put_bytes_list(buf, rec.items);
      break;
  }
}

namespace {

// Fills in the header of the frame whose header starts at buf[start].
void seal_frame(std::string& buf, std::size_t start) {
  const std::size_t size = buf.size() - start - kFrameHeaderSize;
  store_u32(buf.data() + start, static_cast<std::uint32_t>(size));
  store_u32(buf.data() + start + 4, crc32(buf.data() + start + kFrameHeaderSize, size));
}

Err<PersistError> oversized() {
  return make_err(PersistError::make(PersistErrorKind::InvalidInput, "WAL record over 4 GiB"));
}

}  // namespace

Result<void, PersistError> encode_record(const WalRecord& rec, std::string& buf) {
  const std::uint64_t size = record_payload_size(rec);
  if (size == 0) return make_err(PersistError::make(PersistErrorKind::InvalidInput, "unknown WAL record kind"));
  if (size > kMaxPayloadSize) return oversized();
  const std::size_t start = buf.size();
  buf.reserve(start + kFrameHeaderSize + size);
  buf.append(kFrameHeaderSize, '\0');
  encode_payload(rec, buf);
  seal_frame(buf, start);
  return {};
}

Result<void, PersistError> encode_batch(const WalBatch& batch, std::string& buf) {
  if (batch.error().has_value()) return make_err(*batch.error());
  if (batch.empty()) return {};
  std::string_view body = batch.bytes();
  if (batch.count() == 1) {
    // The one record's own frame: readable by every earlier version.
    std::uint64_t len = 0;
    (void)get_varint(body, len);
  }
  const std::uint64_t size =
      batch.count() == 1 ? body.size() : 1 + varint_length(batch.count()) + body.size();
  if (size > kMaxPayloadSize) return oversized();
  const std::size_t start = buf.size();
  buf.reserve(start + kFrameHeaderSize + size);
  buf.append(kFrameHeaderSize, '\0');
  if (batch.count() != 1) {
    buf.push_back(static_cast<char>(kTxnRecordCode));
    put_varint(buf, batch.count());
  }
  buf.append(body);
  seal_frame(buf, start);
  return {};
}

// ---- WalWriter ----------------------------------------------------------------------

SegmentAccess access_for(FsyncPolicy policy) {
  return policy == FsyncPolicy::Always ? SegmentAccess::Write : SegmentAccess::Mapped;
}

namespace {

// Opens segment n for appending, syncs the directory and sizes the file. A
// mapping needs the file open for reading too.
Result<std::pair<UniqueFd, std::uint64_t>, PersistError> open_segment(const std::string& dir, std::uint64_t n,
                                                                      SegmentAccess access) {
  const int flags = access == SegmentAccess::Mapped ? O_RDWR | O_CREAT : O_WRONLY | O_APPEND | O_CREAT;
  auto fd = open_file(segment_path(dir, n), flags, 0666);
  if (!fd.ok()) return make_err(fd.error());
  if (auto s = sync_dir(dir); !s.ok()) return make_err(s.error());
  auto size = file_size(fd->get());
  if (!size.ok()) return make_err(size.error());
  return std::pair<UniqueFd, std::uint64_t>(std::move(*fd), *size);
}

// Copies one sealed frame so that a process killed part-way through leaves
// a torn tail (see SegmentAccess): the length first, the CRC last. The
// fences keep the compiler from merging or reordering the three copies;
// the processor makes a thread's own stores visible in program order to
// the kernel that stops it.
void store_frame(char* dst, std::string_view frame) {
  std::memcpy(dst, frame.data(), 4);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(dst + kFrameHeaderSize, frame.data() + kFrameHeaderSize, frame.size() - kFrameHeaderSize);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(dst + 4, frame.data() + 4, 4);
}

std::uint64_t round_up(std::uint64_t v, std::uint64_t to) { return (v + to - 1) / to * to; }

}  // namespace

WalWriter::~WalWriter() { (void)cut_back(); }

WalWriter& WalWriter::operator=(WalWriter&& other) noexcept {
  if (this != &other) {
    (void)cut_back();
    fd_ = std::move(other.fd_);
    map_ = std::move(other.map_);
    map_start_ = other.map_start_;
    file_end_ = other.file_end_;
    segment_ = other.segment_;
    wal_bytes_ = other.wal_bytes_;
    buf_ = std::move(other.buf_);
    dirty_ = other.dirty_;
    policy_ = other.policy_;
    access_ = other.access_;
  }
  return *this;
}

Result<void, PersistError> WalWriter::open_active(const std::string& dir, std::uint64_t n) {
  auto seg = open_segment(dir, n, access_);
  if (!seg.ok()) return make_err(seg.error());
  (void)cut_back();
  fd_ = std::move(seg->first);
  segment_ = n;
  wal_bytes_ = seg->second;
  file_end_ = wal_bytes_;
  dirty_ = false;
  return {};
}

Result<void, PersistError> WalWriter::append(const WalRecord& rec) {
  if (!fd_.valid()) return {};
  buf_.clear();
  if (auto e = encode_record(rec, buf_); !e.ok()) return e;
  return write_buffer();
}

Result<void, PersistError> WalWriter::append_batch(const WalBatch& batch) {
  if (!fd_.valid() || batch.empty()) return {};
  buf_.clear();
  if (auto e = encode_batch(batch, buf_); !e.ok()) return e;
  return write_buffer();
}

Result<void, PersistError> WalWriter::write_buffer() {
  if (access_ == SegmentAccess::Mapped) return copy_buffer();
  if (auto w = write_all(fd_.get(), buf_); !w.ok()) {
    (void)cut_to_logged();  // the write's error is the one reported
    return w;
  }
  if (policy_ == FsyncPolicy::Always) {
    if (auto s = sync_file(fd_.get()); !s.ok()) {
      // The caller is told the record failed, so it must not stay behind.
      (void)cut_to_logged();
      return s;
    }
  }
  wal_bytes_ += buf_.size();
  file_end_ = wal_bytes_;
  if (policy_ == FsyncPolicy::EverySec) dirty_ = true;
  return {};
}

Result<void, PersistError> WalWriter::copy_buffer() {
  if (int err = platform::write_fault(); err != 0) return os_error(err);
  const std::uint64_t end = wal_bytes_ + buf_.size();
  if (end > map_start_ + map_.size()) {
    if (auto g = grow(end); !g.ok()) return g;
  }
  store_frame(map_.data() + (wal_bytes_ - map_start_), buf_);
  wal_bytes_ = end;
  if (policy_ == FsyncPolicy::EverySec) dirty_ = true;
  return {};
}

Result<void, PersistError> WalWriter::grow(std::uint64_t end) {
  const std::uint64_t page = platform::page_size();
  const std::uint64_t need = round_up(end, page);
  // The space is reserved before any frame is copied into it, so a full
  // disk refuses the append here instead of faulting the copy. A disk too
  // full for the whole step gets smaller ones, down to what the frame needs.
  std::uint64_t step = kSegmentGrowStep;
  for (;;) {
    const std::uint64_t target = need + step;
    auto r = allocate(fd_.get(), wal_bytes_, target - wal_bytes_);
    // Even a failed reservation may have lengthened the file.
    file_end_ = std::max(file_end_, target);
    if (r.ok()) break;
    const int err = r.error().os_errno();
    if (step == 0 || (err != ENOSPC && err != EFBIG)) return r;
    step = step / 2 >= page ? step / 2 : 0;
  }
  map_.reset();
  map_start_ = wal_bytes_ / page * page;
  auto m = map_shared(fd_.get(), map_start_, static_cast<std::size_t>(need + step - map_start_));
  if (!m.ok()) return make_err(m.error());
  map_ = std::move(*m);
  return {};
}

Result<void, PersistError> WalWriter::cut_back() {
  // Unmapped first: no mapped page may lie past the end of the file.
  map_.reset();
  map_start_ = 0;
  if (!fd_.valid() || file_end_ <= wal_bytes_) return {};
  if (auto t = truncate_to(fd_.get(), wal_bytes_); !t.ok()) return t;
  file_end_ = wal_bytes_;
  return {};
}

Result<void, PersistError> WalWriter::cut_to_logged() {
  if (!fd_.valid()) return {};
  map_.reset();
  map_start_ = 0;
  // O_APPEND puts the next frame at the truncated end.
  if (auto t = truncate_to(fd_.get(), wal_bytes_); !t.ok()) return t;
  file_end_ = wal_bytes_;
  return {};
}

Result<void, PersistError> WalWriter::sync_active() {
  if (!fd_.valid()) return {};
  if (auto s = sync_file(fd_.get()); !s.ok()) return s;
  dirty_ = false;
  return {};
}

Result<void, PersistError> WalWriter::sync_if_dirty() {
  if (!dirty_) return {};
  return sync_active();
}

Result<UniqueFd, PersistError> WalWriter::take_flush() {
  if (!dirty_) return UniqueFd();
  if (!fd_.valid()) {
    dirty_ = false;
    return UniqueFd();
  }
  UniqueFd copy(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 3));
  if (!copy.valid()) return os_error(errno);
  dirty_ = false;
  return copy;
}

Result<void, PersistError> WalWriter::rotate_to(const std::string& dir, std::uint64_t n) {
  if (fd_.valid() && file_end_ > wal_bytes_) {
    // Cut back and durable before a later segment exists: only the last
    // segment may end in reserved zeros after a crash.
    if (auto c = cut_back(); !c.ok()) return c;
    if (auto s = sync_file(fd_.get()); !s.ok()) return s;
  }
  auto seg = open_segment(dir, n, access_);
  if (!seg.ok()) return make_err(seg.error());
  map_.reset();
  fd_ = std::move(seg->first);  // closes the old segment
  segment_ = n;
  wal_bytes_ = seg->second;
  file_end_ = wal_bytes_;
  return {};
}

Result<void, PersistError> WalWriter::close() {
  if (!fd_.valid()) {
    dirty_ = false;
    return {};
  }
  Result<void, PersistError> r = cut_back();
  if (dirty_) {
    auto s = sync_file(fd_.get());
    if (r.ok()) r = s;
  }
  // Closed either way: with no file there is nothing left to flush.
  dirty_ = false;
  fd_.reset();
  return r;
}

// ---- replay ----------------------------------------------------------------------

namespace {

bool read_key(std::string_view& in, std::string_view& key) {
  return get_bytes(in, key) == DecodeStatus::Ok;
}

bool read_list(std::string_view& in, std::vector<std::string_view>& items) {
  std::uint64_t count = 0;
  if (get_varint(in, count) != DecodeStatus::Ok) return false;
  // Every item takes at least one byte; a larger count cannot be met.
  if (count > in.size()) return false;
  items.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string_view s;
    if (get_bytes(in, s) != DecodeStatus::Ok) return false;
    items.push_back(s);
  }
  return true;
}

}  // namespace

namespace {

// A record of kinds 1 to 12.
Result<void, PersistError> apply_single(std::string_view payload, RecordSink& sink,
                                        std::vector<std::string_view>& items) {
  if (payload.empty()) return malformed("truncated");
  const auto code = static_cast<std::uint8_t>(payload[0]);
  std::string_view in = payload.substr(1);
  std::string_view key;
  std::string_view field;
  std::uint64_t deadline = 0;
  switch (code) {
    case static_cast<std::uint8_t>(WalKind::Set):
      if (get_u64(in, deadline) != DecodeStatus::Ok || !read_key(in, key)) return malformed("truncated");
      sink.set(key, deadline, in);
      return {};
    case static_cast<std::uint8_t>(WalKind::Expire):
      if (get_u64(in, deadline) != DecodeStatus::Ok || !read_key(in, key)) return malformed("truncated");
      sink.expire(key, deadline);
      return {};
    case static_cast<std::uint8_t>(WalKind::HSet):
      if (!read_key(in, key) || !read_key(in, field)) return malformed("truncated");
      sink.hset(key, field, in);
      return {};
    case static_cast<std::uint8_t>(WalKind::Del):
    case static_cast<std::uint8_t>(WalKind::LPop):
    case static_cast<std::uint8_t>(WalKind::RPop):
      if (!read_key(in, key)) return malformed("truncated");
      if (code == static_cast<std::uint8_t>(WalKind::Del)) {
        sink.del(key);
      } else if (code == static_cast<std::uint8_t>(WalKind::LPop)) {
        sink.lpop(key);
      } else {
        sink.rpop(key);
      }
      return {};
    case static_cast<std::uint8_t>(WalKind::HDel):
    case static_cast<std::uint8_t>(WalKind::LPush):
    case static_cast<std::uint8_t>(WalKind::RPush):
    case static_cast<std::uint8_t>(WalKind::SAdd):
    case static_cast<std::uint8_t>(WalKind::SRem): {
      if (!read_key(in, key) || !read_list(in, items)) return malformed("truncated");
      std::span<const std::string_view> list(items);
      switch (static_cast<WalKind>(code)) {
        case WalKind::HDel: sink.hdel(key, list); break;
        case WalKind::LPush: sink.lpush(key, list); break;
        case WalKind::RPush: sink.rpush(key, list); break;
        case WalKind::SAdd: sink.sadd(key, list); break;
        default: sink.srem(key, list); break;
      }
      return {};
    }
    case static_cast<std::uint8_t>(WalKind::Flush):
      sink.flush();
      return {};
    case static_cast<std::uint8_t>(WalKind::LSet):
    case static_cast<std::uint8_t>(WalKind::LRem):
      if (get_u64(in, deadline) != DecodeStatus::Ok || !read_key(in, key)) return malformed("truncated");
      if (code == static_cast<std::uint8_t>(WalKind::LSet)) {
        sink.lset(key, static_cast<std::int64_t>(deadline), in);
      } else {
        sink.lrem(key, static_cast<std::int64_t>(deadline), in);
      }
      return {};
    case static_cast<std::uint8_t>(WalKind::LInsert):
      if (get_u64(in, deadline) != DecodeStatus::Ok || !read_key(in, key) || !read_key(in, field)) {
        return malformed("truncated");
      }
      if (deadline > 1) return malformed("unknown operation");
      sink.linsert(key, deadline == 1, field, in);
      return {};
    default:
      return malformed("unknown operation");
  }
}

// Accepts every record and keeps nothing: the checking pass of a
// transaction record.
class DiscardingSink final : public RecordSink {
 public:
  void set(std::string_view, std::uint64_t, std::string_view) override {}
  void del(std::string_view) override {}
  void expire(std::string_view, std::uint64_t) override {}
  void hset(std::string_view, std::string_view, std::string_view) override {}
  void hdel(std::string_view, std::span<const std::string_view>) override {}
  void lpush(std::string_view, std::span<const std::string_view>) override {}
  void rpush(std::string_view, std::span<const std::string_view>) override {}
  void lpop(std::string_view) override {}
  void rpop(std::string_view) override {}
  void sadd(std::string_view, std::span<const std::string_view>) override {}
  void srem(std::string_view, std::span<const std::string_view>) override {}
  void flush() override {}
  void lset(std::string_view, std::int64_t, std::string_view) override {}
  void linsert(std::string_view, bool, std::string_view, std::string_view) override {}
  void lrem(std::string_view, std::int64_t, std::string_view) override {}
};

// Runs each inner record of a transaction body through sink, in order.
Result<void, PersistError> apply_inner(std::string_view body, RecordSink& sink,
                                       std::vector<std::string_view>& items) {
  std::uint64_t count = 0;
  if (get_varint(body, count) != DecodeStatus::Ok) return malformed("truncated");
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string_view inner;
    if (get_bytes(body, inner) != DecodeStatus::Ok) return malformed("truncated");
    if (!inner.empty() && static_cast<std::uint8_t>(inner[0]) == kTxnRecordCode) {
      return malformed("unknown operation");
    }
    if (auto a = apply_single(inner, sink, items); !a.ok()) return a;
  }
  return {};
}

}  // namespace

Result<void, PersistError> apply_record(std::string_view payload, RecordSink& sink,
                                        std::vector<std::string_view>& items) {
  if (payload.empty() || static_cast<std::uint8_t>(payload[0]) != kTxnRecordCode) {
    return apply_single(payload, sink, items);
  }
  // All or nothing: every inner record is checked before any is applied.
  DiscardingSink check;
  if (auto a = apply_inner(payload.substr(1), check, items); !a.ok()) return a;
  return apply_inner(payload.substr(1), sink, items);
}

namespace {

// Whether every byte of fd from `from` up to `end` is zero.
Result<bool, PersistError> zeros_to_end(int fd, std::uint64_t from, std::uint64_t end) {
  char buf[4096];
  while (from < end) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buf, end - from));
    const ssize_t got = ::pread(fd, buf, want, static_cast<off_t>(from));
    if (got < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      return os_error(err);
    }
    if (got == 0) return false;
    for (ssize_t i = 0; i < got; ++i) {
      if (buf[i] != 0) return false;
    }
    from += static_cast<std::uint64_t>(got);
  }
  return true;
}

// Cuts segment path back to p bytes and makes that durable.
Result<void, PersistError> cut_segment(const std::string& path, std::uint64_t p) {
  auto fd = open_file(path, O_WRONLY);
  if (!fd.ok()) return make_err(fd.error());
  if (auto t = truncate_to(fd->get(), p); !t.ok()) return t;
  return sync_file(fd->get());
}

}  // namespace

Result<ReplayOutcome, PersistError> replay_segment(const std::string& dir, std::uint64_t n, RecordSink& sink,
                                                   bool last) {
  const std::string path = segment_path(dir, n);
  auto fd = open_regular_file(path);
  if (!fd.ok()) return make_err(fd.error());
  auto size = file_size(fd->get());
  if (!size.ok()) return make_err(size.error());
  const std::uint64_t s = *size;

  BufferedReader reader(fd->get(), kReplayBufferSize);
  std::string payload;
  std::vector<std::string_view> items;
  std::uint64_t p = 0;
  // A bad frame at p: a torn tail only in the last segment and only when
  // its damage reaches exactly to the end of the file; corruption otherwise.
  const auto bad_frame = [&](bool reaches_end) -> Result<bool, PersistError> {
    if (last && reaches_end) return true;
    return make_err(PersistError::make(PersistErrorKind::InvalidData, corrupt_frame_text(n, p)));
  };
  bool torn = false;
  while (p < s) {
    // A read that fails is an I/O error and must not cost the rest of the
    // segment; the sizes checked first mean a read never ends early on a
    // file that does not change under it.
    if (s - p < kFrameHeaderSize) {
      auto b = bad_frame(true);  // a header cut short by the end of the file
      if (!b.ok()) return make_err(b.error());
      torn = true;
      break;
    }
    char header[kFrameHeaderSize];
    auto st = reader.read_exact(header, sizeof header);
    if (st == BufferedReader::Status::Error) return os_error(reader.error_errno());
    if (st == BufferedReader::Status::Eof) return os_error(EIO);
    const std::uint32_t len = load_u32(header);
    const std::uint32_t crc = load_u32(header + 4);
    if (len == 0 && crc == 0) {
      // Zeros from a frame boundary to the end of the file are what a power
      // loss leaves after the file was extended; anything else is malformed.
      auto zeros = zeros_to_end(fd->get(), p, s);
      if (!zeros.ok()) return make_err(zeros.error());
      if (last && *zeros) {
        torn = true;
        break;
      }
      return malformed("truncated");
    }
    if (p + kFrameHeaderSize + len > s) {
      auto b = bad_frame(true);  // the payload runs past the end of the file
      if (!b.ok()) return make_err(b.error());
      torn = true;
      break;
    }
    payload.resize(len);
    st = reader.read_exact(payload.data(), len);
    if (st == BufferedReader::Status::Error) return os_error(reader.error_errno());
    if (st == BufferedReader::Status::Eof) return os_error(EIO);
    if (len == 0 || crc32(payload) != crc) {
      // A frame a killed writer left half-copied into a mapped segment is
      // followed by the zeros of the space reserved after it.
      const std::uint64_t end = p + kFrameHeaderSize + len;
      bool reaches_end = end == s;
      if (!reaches_end && last) {
        auto zeros = zeros_to_end(fd->get(), end, s);
        if (!zeros.ok()) return make_err(zeros.error());
        reaches_end = *zeros;
      }
      auto b = bad_frame(reaches_end);
      if (!b.ok()) return make_err(b.error());
      torn = true;
      break;
    }
    if (auto a = apply_record(payload, sink, items); !a.ok()) return make_err(a.error());
    p += kFrameHeaderSize + len;
  }
  if (!torn) return ReplayOutcome{};

  fd.value().reset();
  if (auto c = cut_segment(path, p); !c.ok()) return make_err(c.error());
  return ReplayOutcome{true, p};
}

std::string corrupt_frame_text(std::uint64_t n, std::uint64_t p) {
  return "corrupt WAL frame in wal-" + std::to_string(n) + ".log at byte " + std::to_string(p);
}

}  // namespace mevora::persist
