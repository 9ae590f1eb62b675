#include "core/persist/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/platform.h"

namespace mevora::persist {

namespace {

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The parent of path by its textual components: "a/b" -> "a", "a/b/" -> "a",
// "a" -> "", "/a" -> "/", "/" -> none (returns false).
bool parent_of(std::string_view path, std::string& parent) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return false;
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    parent.clear();
    return true;
  }
  std::string_view p = path.substr(0, slash);
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  parent.assign(p.empty() ? std::string_view("/") : p);
  return true;
}

}  // namespace

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

Result<void, PersistError> make_dirs(const std::string& path) {
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err != ENOENT) {
    if (is_directory(path)) return {};
    return os_error(err);
  }
  std::string parent;
  if (!parent_of(path, parent)) return os_error(err);
  if (auto r = make_dirs(parent); !r.ok()) return r;
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  err = errno;
  if (is_directory(path)) return {};
  return os_error(err);
}

Result<UniqueFd, PersistError> open_file(const std::string& path, int flags, mode_t mode) {
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    int err = errno;
    if (err != EINTR) return os_error(err);
  }
}

Result<UniqueFd, PersistError> open_regular_file(const std::string& path) {
  auto fd = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!fd.ok()) return fd;
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) {
    int err = errno;
    return os_error(err);
  }
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);  // what reading it would say
  if (!S_ISREG(st.st_mode)) {
    return make_err(PersistError::make(PersistErrorKind::Other, path + " is not a regular file"));
  }
  const int flags = ::fcntl(fd->get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    int err = errno;
    return os_error(err);
  }
  return fd;
}

Result<void, PersistError> write_all(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    ssize_t n = platform::write_file(fd, data, std::min(len, kMaxIoChunk));
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      return os_error(err);
    }
    if (n == 0) return make_err(PersistError::make(PersistErrorKind::Other, "failed to write whole buffer"));
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return {};
}

Result<std::uint64_t, PersistError> file_size(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    return os_error(err);
  }
  return static_cast<std::uint64_t>(st.st_size);
}

Result<void, PersistError> truncate_to(int fd, std::uint64_t len) {
  if (int err = platform::truncate_file(fd, len); err != 0) return os_error(err);
  return {};
}

Result<void, PersistError> allocate(int fd, std::uint64_t offset, std::uint64_t len) {
  if (int err = platform::allocate_file(fd, offset, len); err != 0) return os_error(err);
  return {};
}

Result<UniqueMapping, PersistError> map_shared(int fd, std::uint64_t offset, std::size_t len) {
  int err = 0;
  void* p = platform::map_file_shared(fd, offset, len, &err);
  if (p == nullptr) return os_error(err);
  return UniqueMapping(p, len);
}

Result<void, PersistError> sync_file(int fd) {
  if (int err = platform::sync_file(fd); err != 0) return os_error(err);
  return {};
}

Result<void, PersistError> sync_dir(const std::string& dir) {
  if (int err = platform::sync_dir(dir.c_str()); err != 0) return os_error(err);
  return {};
}

PersistError fill_error() {
  return PersistError::make(PersistErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

// ---- BufferedReader ---------------------------------------------------------

BufferedReader::BufferedReader(int fd, std::size_t capacity, std::uint64_t limit)
    : fd_(fd), buf_(std::max<std::size_t>(capacity, 1)), remaining_(limit) {}

BufferedReader::Status BufferedReader::fill() {
  // Never ask for more than the limit still allows.
  std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buf_.size(), remaining_));
  for (;;) {
    ssize_t n = ::read(fd_, buf_.data(), want);
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      errno_ = err;
      return Status::Error;
    }
    if (n == 0) return Status::Eof;
    pos_ = 0;
    end_ = static_cast<std::size_t>(n);
    return Status::Ok;
  }
}

BufferedReader::Status BufferedReader::read_exact(void* dst, std::size_t n) {
  if (n > remaining_) return Status::Eof;
  char* out = static_cast<char*>(dst);
  while (n > 0) {
    if (pos_ < end_) {
      std::size_t take = std::min(n, end_ - pos_);
      std::memcpy(out, buf_.data() + pos_, take);
      pos_ += take;
      out += take;
      n -= take;
      remaining_ -= take;
      continue;
    }
    if (n >= buf_.size()) {
      // A large request bypasses the (empty) buffer.
      ssize_t got = ::read(fd_, out, std::min(n, kMaxIoChunk));
      if (got < 0) {
        int err = errno;
        if (err == EINTR) continue;
        errno_ = err;
        return Status::Error;
      }
      if (got == 0) return Status::Eof;
      out += got;
      n -= static_cast<std::size_t>(got);
      remaining_ -= static_cast<std::uint64_t>(got);
      continue;
    }
    if (Status s = fill(); s != Status::Ok) return s;
  }
  return Status::Ok;
}

}  // namespace mevora::persist
