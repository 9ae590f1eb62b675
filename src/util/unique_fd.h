// UniqueFd: the single owner of one POSIX descriptor.
//
// Move-only. reset() closes the old descriptor and preserves errno, so a
// caller may save an error, drop a descriptor and still report the error.
// close() is never retried on EINTR: on Linux the descriptor is released
// even when close reports EINTR, and a retry could close a descriptor that
// another thread has just been given.
#pragma once

#include <cerrno>
#include <unistd.h>

namespace mevora {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  bool operator!() const = delete;  // write valid() instead

  void reset(int fd = -1) {
    if (fd_ >= 0) {
      int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

  [[nodiscard]] int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace mevora
