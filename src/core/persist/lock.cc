#include "core/persist/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/persist/file_io.h"
#include "util/unique_fd.h"
#include "util/utf8.h"

namespace mevora::persist {

namespace {

// The canonical paths of directories held by DirLocks of this process.
struct LockRegistry {
  std::mutex mu;
  std::vector<std::string> paths;  // guarded by mu

  bool contains(const std::string& p) const {
    return std::find(paths.begin(), paths.end(), p) != paths.end();
  }
};

LockRegistry& lock_registry() {
  // Leaked on purpose: never destroyed, so it stays valid for threads that
  // outlive static destruction.
  static LockRegistry* registry = new LockRegistry;
  return *registry;
}

Err<PersistError> locked_error() {
  return make_err(PersistError::make(PersistErrorKind::WouldBlock, kLockedMessage));
}

// ---- reading a LOCK file ------------------------------------------------------
//
// The content is judged as text: valid UTF-8, Unicode whitespace trimmed at
// both ends, then an unsigned 32-bit decimal with an optional leading '+'.
// The file is parsed as a stream, so an absurdly large LOCK never costs more
// than one small buffer.

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Recognises  <space>* ['+'] <digit>+ <space>*  with the digits as a u32.
class PidParser {
 public:
  // Returns false once the text can no longer be a valid number.
  bool feed(char32_t c) {
    bool space = is_unicode_space(c);
    bool digit = c >= '0' && c <= '9';
    switch (state_) {
      case State::Lead:
        if (space) return true;
        if (c == '+') return advance(State::Sign);
        if (digit) return add_digit(c);
        return advance(State::Bad);
      case State::Sign:
        return digit ? add_digit(c) : advance(State::Bad);
      case State::Digits:
        if (digit) return add_digit(c);
        return advance(space ? State::Trail : State::Bad);
      case State::Trail:
        return space ? true : advance(State::Bad);
      case State::Bad:
        return false;
    }
    return false;
  }
  bool finished(std::uint32_t& value) const {
    value = static_cast<std::uint32_t>(value_);
    return state_ == State::Digits || state_ == State::Trail;
  }

 private:
  enum class State : std::uint8_t { Lead, Sign, Digits, Trail, Bad };

  bool advance(State s) {
    state_ = s;
    return s != State::Bad;
  }
  bool add_digit(char32_t c) {
    value_ = value_ * 10 + (c - '0');
    if (value_ > UINT32_MAX) return advance(State::Bad);
    return advance(State::Digits);
  }

  State state_ = State::Lead;
  std::uint64_t value_ = 0;
};

// The process id named by the LOCK file open as fd (read from its start),
// or 0 when it cannot be read or does not hold exactly one u32 number
// (surrounded by whitespace).
std::uint32_t read_lock_pid(int fd) {
  PidParser parser;
  // Read bytes not yet decoded: a sequence cut by the end of a read waits
  // here (at most 3 bytes) for the next one.
  char buf[256 + 3];
  std::size_t kept = 0;
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buf + kept, 256, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (n == 0) break;
    at += n;
    const std::string_view bytes(buf, kept + static_cast<std::size_t>(n));
    std::size_t i = 0;
    while (i < bytes.size()) {
      const Utf8Sequence seq = decode_utf8_at(bytes, i);
      if (!seq.ok && i + seq.len < bytes.size()) return 0;
      if (!seq.ok) break;  // maybe cut short: decided once more bytes come
      if (!parser.feed(seq.code_point)) return 0;
      i += seq.len;
    }
    kept = bytes.size() - i;
    std::memmove(buf, buf + i, kept);
  }
  std::uint32_t pid = 0;
  if (kept != 0 || !parser.finished(pid)) return 0;
  return pid;
}

// Whether the LOCK open as fd names a live process other than this one.
bool lock_owner_alive(int fd) {
  std::uint32_t raw = read_lock_pid(fd);
  // The number is taken as a signed 32-bit process id.
  auto pid = static_cast<std::int32_t>(raw);
  if (pid <= 0 || pid == ::getpid()) return false;
  if (::kill(pid, 0) == 0) return true;
  int err = errno;
  return err != ESRCH;  // EPERM: alive, owned by another user
}

// Whether fd is still the file linked at path: a LOCK is unlinked only by
// its owner while holding the OS lock, so whoever locked an unlinked file
// must start over with the file now at path.
Result<bool, PersistError> still_linked(int fd, const std::string& path) {
  struct stat held {};
  struct stat named {};
  if (::fstat(fd, &held) != 0) return os_error(errno);
  if (::stat(path.c_str(), &named) != 0) {
    const int err = errno;
    if (err == ENOENT) return false;
    return os_error(err);
  }
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

enum class Attempt : std::uint8_t { Owned, Retry };

// One attempt: open (or create) LOCK, take the OS lock without waiting,
// judge the pid it names, and on success rewrite it in place with ours.
// Owned: fd holds the OS lock and LOCK names this process. Retry: the file
// was unlinked by its owner meanwhile, or was not a regular file and has
// been removed. Errors: WouldBlock when another
// process holds the OS lock or LOCK names a live process; OS errors.
Result<Attempt, PersistError> try_lock_file(const std::string& path, UniqueFd& fd) {
  // O_NONBLOCK: a FIFO named LOCK must not hang the open; a regular file
  // is all that can hold a pid.
  auto opened = open_file(path, O_RDWR | O_CREAT | O_NONBLOCK, 0666);
  if (!opened.ok()) return make_err(opened.error());
  while (::flock(opened->get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EWOULDBLOCK) return locked_error();
    return os_error(err);
  }
  auto linked = still_linked(opened->get(), path);
  if (!linked.ok()) return make_err(linked.error());
  if (!*linked) return Attempt::Retry;
  struct stat st {};
  if (::fstat(opened->get(), &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) {
    // Names no owner: stale. Removed while holding its OS lock, like a
    // released LOCK, and replaced by a regular file on the next attempt.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return os_error(errno);
    return Attempt::Retry;
  }
  // Holding the OS lock: the pid rule decides, and only now may a stale
  // LOCK be taken over. A live pid is respected even without an OS lock
  // on the file (its owner may take none).
  if (lock_owner_alive(opened->get())) return locked_error();
  while (::ftruncate(opened->get(), 0) != 0) {
    const int err = errno;
    if (err != EINTR) return os_error(err);
  }
  const std::string text = std::to_string(::getpid()) + "\n";
  if (::lseek(opened->get(), 0, SEEK_SET) < 0) return os_error(errno);
  if (auto w = write_all(opened->get(), text); !w.ok()) return make_err(w.error());
  fd = std::move(*opened);
  return Attempt::Owned;
}

// How many times an attempt may find its LOCK unlinked under it before
// the directory is reported as held: each retry means another store
// released it in between, so this bounds a pathological churn only.
constexpr int kLockAttempts = 64;

}  // namespace

// ---- DirLock ----------------------------------------------------------------

DirLock::~DirLock() { release_dir_lock(*this); }

DirLock::DirLock(DirLock&& other) noexcept
    : lock_path_(std::move(other.lock_path_)),
      canonical_dir_(std::move(other.canonical_dir_)),
      fd_(std::move(other.fd_)),
      held_(std::exchange(other.held_, false)) {}

DirLock& DirLock::operator=(DirLock&& other) noexcept {
  if (this != &other) {
    release_dir_lock(*this);
    lock_path_ = std::move(other.lock_path_);
    canonical_dir_ = std::move(other.canonical_dir_);
    fd_ = std::move(other.fd_);
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

Result<DirLock, PersistError> acquire_dir_lock(const std::string& dir,
                                               std::chrono::milliseconds max_wait) {
  if (auto r = make_dirs(dir); !r.ok()) return make_err(r.error());
  std::unique_ptr<char, decltype(&::free)> real(::realpath(dir.c_str(), nullptr), &::free);
  if (real == nullptr) {
    int err = errno;
    return os_error(err);
  }

  DirLock lock;
  lock.lock_path_ = join_path(dir, kLockFileName);
  lock.canonical_dir_ = real.get();

  LockRegistry& reg = lock_registry();
  std::unique_lock<std::mutex> guard(reg.mu);
  const auto deadline = std::chrono::steady_clock::now() + max_wait;
  while (reg.contains(lock.canonical_dir_)) {
    if (std::chrono::steady_clock::now() >= deadline) return locked_error();
    guard.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    guard.lock();
  }

  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    auto r = try_lock_file(lock.lock_path_, lock.fd_);
    if (!r.ok()) return make_err(r.error());
    if (*r == Attempt::Owned) {
      reg.paths.push_back(lock.canonical_dir_);
      lock.held_ = true;
      return lock;
    }
  }
  return locked_error();
}

void release_dir_lock(DirLock& lock) {
  if (!lock.held_) return;
  lock.held_ = false;
  // Unlinked while the OS lock is still held, and only if the file at the
  // path is still ours: anyone who opened it meanwhile finds it unlinked
  // once they get the OS lock, and starts over.
  auto linked = still_linked(lock.fd_.get(), lock.lock_path_);
  if (linked.ok() && *linked) ::unlink(lock.lock_path_.c_str());
  lock.fd_.reset();
  LockRegistry& reg = lock_registry();
  std::lock_guard<std::mutex> guard(reg.mu);
  std::erase(reg.paths, lock.canonical_dir_);
}

bool lock_registry_contains(const std::string& canonical_dir) {
  LockRegistry& reg = lock_registry();
  std::lock_guard<std::mutex> guard(reg.mu);
  return reg.contains(canonical_dir);
}

}  // namespace mevora::persist
