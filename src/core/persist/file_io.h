// Small file helpers shared by the lock, the log and the snapshot: path
// joining, recursive mkdir, whole-buffer writes, sizes, durable flushes and a
// buffered exact-length reader.
//
// Every descriptor opened here carries O_CLOEXEC and is returned owned by a
// UniqueFd; functions that take an `int fd` borrow it. Failures come back as
// PersistError values built from the errno of the failing call (copied
// before any cleanup). Nothing here keeps global state; a BufferedReader is
// used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/persist_error.h"
#include "util/result.h"
#include "util/unique_fd.h"
#include "util/unique_mapping.h"

namespace mevora::persist {

// The largest byte count handed to one read or write call. Larger requests
// are split; some kernels reject counts above INT_MAX.
constexpr std::size_t kMaxIoChunk = 2147483647;

// dir joined with name by one '/', unless dir is empty or already ends
// with '/'. dir is not resolved.
std::string join_path(std::string_view dir, std::string_view name);

// Creates path and any missing parents with permissions 0777 (before the
// umask). An existing directory is fine; an existing non-directory is the
// EEXIST error.
Result<void, PersistError> make_dirs(const std::string& path);

// open(2) with O_CLOEXEC added, retried on EINTR. mode is used with O_CREAT.
Result<UniqueFd, PersistError> open_file(const std::string& path, int flags, mode_t mode = 0666);

// Opens path read-only without ever blocking (O_NONBLOCK: a FIFO put in
// place of a data file must not hang the open) and accepts only a regular
// file: a directory is EISDIR, anything else the error "<path> is not a
// regular file" (kind Other). The descriptor is switched back to blocking
// reads.
Result<UniqueFd, PersistError> open_regular_file(const std::string& path);

// Writes all len bytes, looping over partial writes (each call asks for at
// most kMaxIoChunk bytes) and retrying EINTR. A call that writes nothing is
// the error "failed to write whole buffer" (kind Other). On failure some
// prefix of the data may have been written.
Result<void, PersistError> write_all(int fd, const char* data, std::size_t len);
inline Result<void, PersistError> write_all(int fd, std::string_view data) {
  return write_all(fd, data.data(), data.size());
}

// The size of an open file (fstat).
Result<std::uint64_t, PersistError> file_size(int fd);

// Cuts an open file to len bytes (or extends it with zeros).
Result<void, PersistError> truncate_to(int fd, std::uint64_t len);

// Reserves [offset, offset + len) of an open file (platform::allocate_file).
Result<void, PersistError> allocate(int fd, std::uint64_t offset, std::uint64_t len);

// Maps len bytes of an open file from a page-aligned offset, shared and
// writable (platform::map_file_shared).
Result<UniqueMapping, PersistError> map_shared(int fd, std::uint64_t offset, std::size_t len);

// Durable flushes (platform::sync_file / sync_dir) as results.
Result<void, PersistError> sync_file(int fd);
Result<void, PersistError> sync_dir(const std::string& dir);

// The error of an exact-length read that reached the end of its input:
// kind UnexpectedEof, text "failed to fill whole buffer".
PersistError fill_error();

// Reads a borrowed descriptor from its current offset through a buffer of a
// fixed capacity, handing out at most `limit` bytes in total (bytes past the
// limit are never handed out, and never requested beyond one buffer fill).
class BufferedReader {
 public:
  enum class Status : std::uint8_t {
    Ok,
    Eof,    // the input or the limit ended before the request was met
    Error,  // a read failed; see error_errno()
  };

  BufferedReader(int fd, std::size_t capacity,
                 std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());

  // Fills dst with exactly n bytes. A request larger than remaining() fails
  // with Eof at once, without reading. After Eof or Error the reader's
  // position is unspecified.
  Status read_exact(void* dst, std::size_t n);
  Status read_byte(std::uint8_t& b) {
    if (pos_ < end_ && remaining_ > 0) {
      b = static_cast<std::uint8_t>(buf_[pos_++]);
      --remaining_;
      return Status::Ok;
    }
    return read_exact(&b, 1);
  }

  // Bytes that may still be handed out under the limit (the input itself
  // may end sooner).
  std::uint64_t remaining() const { return remaining_; }
  int error_errno() const { return errno_; }

 private:
  Status fill();

  int fd_;
  std::vector<char> buf_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::uint64_t remaining_;
  int errno_ = 0;
};

}  // namespace mevora::persist
